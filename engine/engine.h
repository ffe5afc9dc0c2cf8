// The session engine: the state machine that dapDriver steps, one state per call.
#pragma once

#include <cstdint>

#include "frame/channel.h"

// Entry states of the operations.
enum EntryState : int32_t {
  kStateIdle = 0,
  kStateReadOwedReplies = 50,  // before the entry state, while replies are owed
  kStateConnect = 101,
  kStateQuit = 220,
  kStateDownload = 301,
  kStateUpload = 401,
  kStateChangeDir = 501,
  kStatePrintDir = 521,
  kStateDelete = 541,
  kStateCommand = 561,
  kStateRemoveDir = 601,
  kStateMakeDir = 610,
  kStateType = 701,
  kStateList = 801,
};

constexpr int32_t kStateControlHandshake = 125;
// AUTH TLS to PROT: a failure among them closes the control connection.
constexpr int32_t kFirstSecuringState = 120;
constexpr int32_t kLastSecuringState = 133;
constexpr int32_t kStateDataHandshake = 940;
constexpr int32_t kStateAwaitCandidate = 110;
constexpr int32_t kStateControlProxy = 140;  // 140-147: a proxy's handshake for the control
constexpr int32_t kStateDataProxy = 950;     // 950-957: the same for a passive data connection

// What a state returns: kStepDone goes on to the step's closing log lines and returns
// nextState; any other value ends the driver call with that result at once.
constexpr int32_t kStepDone = 0;

using StateFunction = int32_t (*)(Channel* channel, uint32_t now);

struct StateEntry {
  int32_t number;
  StateFunction run;
};

// Ends the operation: logs the failure with both codes and their texts, makes the channel
// idle, closes the local file, and returns the code for the caller.
int32_t errorExit(Channel* channel, int32_t sockCode, int32_t rokCode);

// Arms the engine for an operation at entryState, with no gate and no deadline. Replies that an
// interrupted operation left owed are read first, and the data connection it left is closed.
void armEngine(Channel* channel, int32_t entryState);

// Transitions shared by several states.
void awaitReply(Channel* channel, uint32_t now, int32_t next);
void openDataConnection(Channel* channel, int32_t transferState);
void awaitTransferReply(Channel* channel, uint32_t timeout, int32_t replyState);
void returnToSavedState(Channel* channel);

// Sends commandBuffer on the control connection: netSendCommand's result. A command sent is owed
// its final reply.
int32_t sendCommand(Channel* channel);

// Sends commandBuffer on the control connection and awaits its reply in replyState; a failed
// send ends the operation with the send's code.
int32_t sendCommandAwaitReply(Channel* channel, uint32_t now, int32_t replyState);

// The same for a command of the library's own words, the reply's text cleared first.
int32_t sendOwnCommand(Channel* channel, uint32_t now, const char* command, int32_t replyState);

// Reads one reply: netReadReply's result. A final reply (any but 1xx) pays one owed.
int32_t readReply(Channel* channel);
inline bool isPreliminary(int32_t code) {
  return code >= 100 && code <= 199;
}

// Reads a reply if one is waiting: 1 when it was read, 0 (kStepDone) while none is waiting, or
// the negative result of the error exit.
int32_t readWaitingReply(Channel* channel);
// The same for a state that judges a refusal itself: 1 for any reply read (a code from 500 up
// too, in serverCode), so that only a failure of the connection ends the operation.
int32_t readWaitingAnswer(Channel* channel);

// The server has accepted the transfer with a reply below 500: a download empties the local file
// it opened as it stood. An accepted data connection is no sign, since some servers connect at
// PORT, before they have seen the transfer command. kStepDone, or the error exit's result when
// the file cannot be emptied.
int32_t transferAccepted(Channel* channel);

// Secure sessions. The control connection's handshake starts after AUTH TLS's 234, or right
// after the connect for implicit TLS; a protected data connection's after the preliminary reply,
// going on to dataState once done (without protection it goes there at once). kStepDone, or the
// error exit's result.
int32_t startControlHandshake(Channel* channel, uint32_t now);
int32_t startDataHandshake(Channel* channel, uint32_t now, int32_t dataState);
// Whether a listing type sends the text of the caller's buffer as its argument, and how many
// bytes of it at most.
bool listTakesArgument(int32_t type);
int32_t listArgumentLimit(const Channel* channel);

// Networks. A channel with a proxy, IPv6 or either family connects through the addresses of its
// peer's name, tried in turn (state 110), then the proxy's handshake if there is one; a passive
// data connection goes to the same peer. Each returns kStepDone or the error exit's result.
void forgetNetworkSession(Channel* channel);
int32_t startCandidateConnect(Channel* channel, uint32_t now);
int32_t startProxyHandshake(Channel* channel, uint32_t now);
int32_t startDataProxyHandshake(Channel* channel, uint32_t now);
int32_t connectPassiveData(Channel* channel, uint32_t now);

// The seven characters "sss.mmm" of a tick, for log lines.
void tickStamp(uint32_t tick, char* text);

// What follows the login: the first state after done (the login's last state, or a follow-up's)
// among the follow-ups the channel's settings ask for; idle when none is left.
int32_t stateAfterLogin(const Channel* channel, int32_t done);

// The state functions, by group.
int32_t stateReadOwedReplies(Channel*, uint32_t);

int32_t stateConnect(Channel*, uint32_t);
int32_t stateConnected(Channel*, uint32_t);
int32_t stateReadGreeting(Channel*, uint32_t);
int32_t stateSendUser(Channel*, uint32_t);
int32_t stateReadUserReply(Channel*, uint32_t);
int32_t stateSendPassword(Channel*, uint32_t);
int32_t stateReadPasswordReply(Channel*, uint32_t);
int32_t stateSendQuit(Channel*, uint32_t);
int32_t stateReadQuitReply(Channel*, uint32_t);
int32_t stateSendUtf8On(Channel*, uint32_t);
int32_t stateReadUtf8Reply(Channel*, uint32_t);

int32_t stateSendAuthTls(Channel*, uint32_t);
int32_t stateReadAuthReply(Channel*, uint32_t);
int32_t stateControlHandshake(Channel*, uint32_t);
int32_t stateSendPbsz(Channel*, uint32_t);
int32_t stateReadPbszReply(Channel*, uint32_t);
int32_t stateSendProt(Channel*, uint32_t);
int32_t stateReadProtReply(Channel*, uint32_t);
int32_t stateDataHandshake(Channel*, uint32_t);

int32_t stateAwaitCandidate(Channel*, uint32_t);
int32_t stateReadEpsvReply(Channel*, uint32_t);
int32_t stateReadEprtReply(Channel*, uint32_t);
int32_t stateSendSocksGreeting(Channel*, uint32_t);
int32_t stateReadSocksMethod(Channel*, uint32_t);
int32_t stateSendSocksLogin(Channel*, uint32_t);
int32_t stateReadSocksLogin(Channel*, uint32_t);
int32_t stateSendSocksConnect(Channel*, uint32_t);
int32_t stateReadSocksConnect(Channel*, uint32_t);
int32_t stateSendHttpConnect(Channel*, uint32_t);
int32_t stateReadHttpReply(Channel*, uint32_t);

int32_t stateSendPasv(Channel*, uint32_t);
int32_t stateReadPasvReply(Channel*, uint32_t);
int32_t stateAwaitDataConnected(Channel*, uint32_t);
int32_t stateSendPort(Channel*, uint32_t);
int32_t stateReadPortReply(Channel*, uint32_t);
int32_t stateStartAccept(Channel*, uint32_t);
int32_t stateAcceptData(Channel*, uint32_t);

int32_t stateStartDownload(Channel*, uint32_t);
int32_t stateSendRetr(Channel*, uint32_t);
int32_t stateReadRetrReply(Channel*, uint32_t);
int32_t stateReceiveBlock(Channel*, uint32_t);
int32_t stateEndDownload(Channel*, uint32_t);
int32_t stateStartUpload(Channel*, uint32_t);
int32_t stateSendStor(Channel*, uint32_t);
int32_t stateReadStorReply(Channel*, uint32_t);
int32_t stateSendBlock(Channel*, uint32_t);
int32_t stateEndUpload(Channel*, uint32_t);
int32_t stateStartList(Channel*, uint32_t);
int32_t stateSendList(Channel*, uint32_t);
int32_t stateReadListReply(Channel*, uint32_t);
int32_t stateReceiveListing(Channel*, uint32_t);
int32_t stateEndList(Channel*, uint32_t);
int32_t stateReadTransferEnd(Channel*, uint32_t);
int32_t stateSendRetrRest(Channel*, uint32_t);
int32_t stateReadRetrRestReply(Channel*, uint32_t);
int32_t stateSendStorRest(Channel*, uint32_t);
int32_t stateReadStorRestReply(Channel*, uint32_t);
int32_t stateSendSize(Channel*, uint32_t);
int32_t stateReadSizeReply(Channel*, uint32_t);

int32_t stateSendCwd(Channel*, uint32_t);
int32_t stateReadCwdReply(Channel*, uint32_t);
int32_t stateSendPwd(Channel*, uint32_t);
int32_t stateReadPwdReply(Channel*, uint32_t);
int32_t stateSendDele(Channel*, uint32_t);
int32_t stateSendRmd(Channel*, uint32_t);
int32_t stateSendMkd(Channel*, uint32_t);
int32_t stateSendType(Channel*, uint32_t);
int32_t stateReadCommandReply(Channel*, uint32_t);
int32_t stateSendCommand(Channel*, uint32_t);
int32_t stateReadFinalReply(Channel*, uint32_t);

// Test builds may arm any state number; exposed for tests that check unknown states.
const StateEntry* findState(int32_t number);
