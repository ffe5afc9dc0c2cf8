// dapDriver and the frame around the states: gates, deadline, state log, dispatch, the
// closing log lines of a step, the error exit, the shared transitions, and the table of
// every state.
#include "dap32.h"
#include "engine/engine.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
// Every state of the engine, in ascending order. Numbers not listed (305, 402, 806 ...) are
// unknown states.
constexpr StateEntry kStates[] = {
    {50, stateReadOwedReplies},      // an interrupted operation's replies, before the next
    {101, stateConnect},             // session: open the control connection
    {102, stateConnected},           //   read the local address once writable
    {103, stateReadGreeting},        //   the 220 greeting
    {104, stateSendUser},            //   USER
    {105, stateReadUserReply},       //
    {106, stateSendPassword},        //   PASS
    {107, stateReadPasswordReply},   //
    {110, stateAwaitCandidate},      //   a name's addresses in turn (IPv6, either, proxy)
    {120, stateSendAuthTls},         //   explicit TLS: AUTH TLS
    {121, stateReadAuthReply},       //     the 234
    {125, stateControlHandshake},    //   the control connection's TLS handshake
    {130, stateSendPbsz},            //   after the login in TLS: PBSZ 0
    {131, stateReadPbszReply},       //
    {132, stateSendProt},            //   PROT P or PROT C
    {133, stateReadProtReply},       //
    {140, stateSendSocksGreeting},   //   through a SOCKS5 proxy: the methods offered
    {141, stateReadSocksMethod},     //     the method chosen
    {142, stateSendSocksLogin},      //     user and password
    {143, stateReadSocksLogin},      //
    {144, stateSendSocksConnect},    //     CONNECT to the server
    {145, stateReadSocksConnect},    //
    {146, stateSendHttpConnect},     //   through an HTTP proxy: CONNECT
    {147, stateReadHttpReply},       //     its reply's header
    {150, stateSendUtf8On},          //   after the login: OPTS UTF8 ON, for UTF-8 names
    {151, stateReadUtf8Reply},       //
    {220, stateSendQuit},            //   QUIT
    {221, stateReadQuitReply},       //
    {301, stateStartDownload},       // download: open a data connection
    {302, stateSendRetrRest},        //   REST, when the local file is continued
    {303, stateSendRetr},            //   RETR
    {304, stateReadRetrReply},       //   the 150
    {306, stateReadRetrRestReply},   //   the REST's 350
    {307, stateReceiveBlock},        //   one block into the local file
    {308, stateEndDownload},         //   close the data connection
    {350, stateReadTransferEnd},     // every transfer: the final 226
    {401, stateStartUpload},         // upload: open a data connection
    {403, stateSendStor},            //   STOR
    {404, stateReadStorReply},       //   the 150
    {405, stateSendStorRest},        //   REST, when the server's file is continued
    {406, stateReadStorRestReply},   //   the REST's 350
    {407, stateSendBlock},           //   one block of the local file
    {408, stateEndUpload},           //   close the data connection
    {410, stateSendSize},            //   SIZE, before a resumed upload's data connection
    {411, stateReadSizeReply},       //   the 213, or 550 for none
    {501, stateSendCwd},             // CWD
    {502, stateReadCwdReply},        //
    {521, stateSendPwd},             // PWD
    {522, stateReadPwdReply},        //   the directory from the 257
    {541, stateSendDele},            // DELE
    {542, stateReadCommandReply},    //
    {561, stateSendCommand},         // dapCommand's command
    {562, stateReadFinalReply},      //   its replies, up to the final one
    {601, stateSendRmd},             // RMD
    {602, stateReadCommandReply},    //
    {610, stateSendMkd},             // MKD
    {611, stateReadCommandReply},    //
    {701, stateSendType},            // TYPE A or TYPE I
    {702, stateReadCommandReply},    //
    {801, stateStartList},           // listing: open a data connection
    {804, stateSendList},            //   LIST or NLST
    {805, stateReadListReply},       //   the 150
    {807, stateReceiveListing},      //   one line into the caller's buffer
    {808, stateEndList},             //   close the data connection
    {900, stateSendPasv},            // passive data connection: PASV
    {901, stateReadPasvReply},       //   the port from the 227, then connect
    {902, stateAwaitDataConnected},  //   connected
    {903, stateReadEpsvReply},       //   or EPSV: the port from the 229, then connect
    {910, stateSendPort},            // active data connection: listener, then PORT
    {911, stateReadPortReply},       //
    {912, stateReadEprtReply},       //   or EPRT, with PORT if the server refuses it
    {920, stateStartAccept},         //   after the transfer command
    {921, stateAcceptData},          //   accept the server's connection
    {940, stateDataHandshake},       // a data connection's TLS handshake, after the 150
    {950, stateSendSocksGreeting},   // a passive data connection through a proxy: as 140-147
    {951, stateReadSocksMethod},     //
    {952, stateSendSocksLogin},      //
    {953, stateReadSocksLogin},      //
    {954, stateSendSocksConnect},    //
    {955, stateReadSocksConnect},    //
    {956, stateSendHttpConnect},     //
    {957, stateReadHttpReply},       //
};

constexpr bool isAscending(const StateEntry* states, size_t count) {
  for (size_t i = 1; i < count; ++i) {
    if (states[i - 1].number >= states[i].number) return false;
  }
  return true;
}
static_assert(isAscending(kStates, sizeof kStates / sizeof kStates[0]),
              "the state table must be in ascending order");
static_assert(sizeof kStates / sizeof kStates[0] == 82, "a state was added or lost");

constexpr uint32_t kTickStampMask = 0x7FFFF;
constexpr uint32_t kErrorTextLimit = 256;

void logStepEnd(Channel* channel) {
  if (!isLogging(channel)) return;
  if (channel->commandBuffer[0] != '\0') {
    logWrite(channel, "S: ");
    logWrite(channel, channel->commandBuffer);
    logWrite(channel, "\r\n");
  }
  if (channel->responseBuffer[0] != '\0') {
    logWrite(channel, "R: ");
    logWrite(channel, channel->responseBuffer);
  }
}

void logErrorText(Channel* channel, int32_t code) {
  errorTextInto(channel, code, channel->logText, kErrorTextLimit);
  logWrite(channel, channel->logText);
}

void logError(Channel* channel, int32_t sockCode, int32_t rokCode) {
  if (!isLogging(channel)) return;
  char stamp[8];
  tickStamp(platTicks(), stamp);
  logLine(channel, "ERROR(%s): SockCode=%d RokCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
          stamp, static_cast<int>(sockCode), static_cast<int>(rokCode),
          static_cast<int>(channel->lastLoggedState), static_cast<int>(channel->currentState),
          static_cast<int>(channel->nextState));
  if (rokCode == DAP_ERR_NOT_COMPLETED) {
    logLine(channel, "ServerCode=%d\r\n", static_cast<int>(channel->serverCode));
    logLine(channel, "[%s]\n", channel->responseBuffer);
  }
  if (rokCode < 0) logErrorText(channel, rokCode);
  if (sockCode < 0) logErrorText(channel, sockCode);
}
}  // namespace

const StateEntry* findState(int32_t number) {
  for (const StateEntry& entry : kStates) {
    if (entry.number == number) return &entry;
  }
  return nullptr;
}

void tickStamp(uint32_t tick, char* text) {
  uint32_t masked = tick & kTickStampMask;
  platFormat(text, "%3ld.%3ld", static_cast<long>(masked / 1000), static_cast<long>(masked % 1000));
  for (char* c = text; *c != '\0'; ++c) {
    if (*c == ' ') *c = '0';
  }
}

// The channel is idle afterwards, with no gate and no deadline: a deadline that has just
// fired must not fire again on the next call. Owed replies that did not come in time are given
// up with the control connection: a late one would otherwise pass for a later command's reply,
// and a server that never sends them cannot hold up every later operation.
int32_t errorExit(Channel* channel, int32_t sockCode, int32_t rokCode) {
  logError(channel, sockCode, rokCode);
  if (channel->nextState == kStateReadOwedReplies) {
    logWrite(channel, "Replies owed given up\r\n");
    netCloseControl(channel, 0);
  }
  // A session that asked for TLS and could not have it is not left half secured: it ends
  // before anything that should go inside TLS goes out in clear.
  if (channel->nextState >= kFirstSecuringState && channel->nextState <= kLastSecuringState) {
    netCloseControl(channel, 0);
  }
  channel->nextState = kStateIdle;
  channel->lastLoggedState = channel->currentState;
  channel->currentState = -1;
  channel->lastSocketCode = sockCode;
  channel->dataAccepted = 0;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  closeLocalFile(channel);
  platSleep(0);
  return sockCode < 0 ? sockCode : rokCode;
}

void armEngine(Channel* channel, int32_t entryState) {
  channel->nextState = entryState;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  if (channel->repliesOwed <= 0 || entryState == kStateIdle || entryState == kStateConnect) return;
  logLine(channel, "Replies owed: %d\r\n", static_cast<int>(channel->repliesOwed));
  // A server answers an interrupted transfer once its data connection is closed.
  netCloseDataSockets(channel, 0);
  channel->stateAfterOwedReplies = entryState;
  channel->nextState = kStateReadOwedReplies;
}

// Each reply read here is logged by the step's "R: " line; a refusal is an owed reply like any
// other, not this operation's failure.
int32_t stateReadOwedReplies(Channel* channel, uint32_t now) {
  if (channel->deadlineTick == 0) channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  if (netWaitReadable(channel->controlSocket, 0, channel->controlTls) == 0) return kStepDone;
  int32_t reply = readReply(channel);
  if (reply < 0 && reply != DAP_ERR_SERVER_REFUSED) return errorExit(channel, 0, reply);
  if (channel->repliesOwed > 0) return kStepDone;
  channel->nextState = channel->stateAfterOwedReplies;
  channel->stateAfterOwedReplies = 0;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  return kStepDone;
}

void awaitReply(Channel* channel, uint32_t now, int32_t next) {
  channel->resumeTick = tickAfter(now, settings.commandDelay);
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  channel->nextState = next;
}

void openDataConnection(Channel* channel, int32_t transferState) {
  channel->returnState = transferState;
  channel->nextState = channel->passiveMode != 0 ? 900 : 910;
}

void awaitTransferReply(Channel* channel, uint32_t timeout, int32_t replyState) {
  uint32_t now = platTicks();
  channel->resumeTick = tickAfter(now, settings.commandDelay);
  channel->deadlineTick = tickAfter(now, timeout);
  if (channel->passiveMode != 0) {
    channel->nextState = replyState;
  } else {
    channel->nextState = 920;
    channel->returnState = replyState;
  }
}

void returnToSavedState(Channel* channel) {
  channel->nextState = channel->returnState;
  channel->returnState = 0;
}

int32_t sendCommand(Channel* channel) {
  int32_t sent =
      netSendCommand(channel->controlSocket, channel->commandBuffer, channel->controlTls);
  if (sent > 0) ++channel->repliesOwed;
  return sent;
}

int32_t sendCommandAwaitReply(Channel* channel, uint32_t now, int32_t replyState) {
  int32_t sent = sendCommand(channel);
  if (sent < 0) return errorExit(channel, sent, DAP_ERR_SEND_FAILED);
  awaitReply(channel, now, replyState);
  return kStepDone;
}

int32_t sendOwnCommand(Channel* channel, uint32_t now, const char* command, int32_t replyState) {
  channel->responseBuffer[0] = '\0';
  copyText(channel->commandBuffer, command, kLineBufferSize - 1);
  return sendCommandAwaitReply(channel, now, replyState);
}

int32_t readReply(Channel* channel) {
  int32_t reply = netReadReply(channel);
  bool final =
      reply == DAP_ERR_SERVER_REFUSED || (reply > 0 && !isPreliminary(channel->serverCode));
  if (final && channel->repliesOwed > 0) --channel->repliesOwed;
  return reply;
}

int32_t readWaitingReply(Channel* channel) {
  if (netWaitReadable(channel->controlSocket, 0, channel->controlTls) == 0) return kStepDone;
  int32_t reply = readReply(channel);
  if (reply < 0) return errorExit(channel, 0, reply);
  return 1;
}

namespace {
// The gates that hold a call back: a resume tick ahead, or a control connection that must
// be writable first. A held call sleeps and reports that nothing ran.
bool heldBack(const Channel* channel, uint32_t now) {
  return channel->resumeTick != 0 && tickBefore(now, channel->resumeTick);
}

// A wait that no state has bounded (dapClose's) ends after replyTimeout from its first held
// call, so a control connection that never becomes writable cannot hold the caller forever.
bool awaitingWritable(Channel* channel, uint32_t now) {
  if (channel->pendingFlag == 0) return false;
  if (rokStatus(channel->controlSocket, kPollWritable) == 1) {
    channel->pendingFlag = 0;
    return false;
  }
  if (channel->deadlineTick == 0) channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  return true;
}

bool deadlinePassed(const Channel* channel, uint32_t now) {
  return channel->deadlineTick != 0 && tickBefore(channel->deadlineTick, now);
}

int32_t timeStop(Channel* channel, uint32_t now) {
  // Ticks print as signed 32-bit values, as on Windows, so every platform writes the same.
  logLine(channel, "TimeStop exceeded [%ld:%ld]\r\n", static_cast<long>(static_cast<int32_t>(now)),
          static_cast<long>(static_cast<int32_t>(channel->deadlineTick)));
  return errorExit(channel, 0, DAP_ERR_TIMED_OUT);
}

int32_t waitAndReport() {
  platSleep(settings.pollSleep);
  return DAP_DRIVER_WAITING;
}

void logStateChange(Channel* channel, uint32_t now) {
  if (!isLogging(channel) || channel->currentState == channel->lastLoggedState) return;
  char stamp[8];
  tickStamp(now, stamp);
  logLine(channel, "<%3d:%s>\r\n", static_cast<int>(channel->currentState), stamp);
}
}  // namespace

int32_t DAP_CALL dapDriver(int32_t chan) {
  int32_t error;
  Channel* channel = channelFor(chan, &error);
  if (channel == nullptr) return error;
  channel->commandBuffer[0] = '\0';
  channel->responseBuffer[0] = '\0';
  uint32_t now = platTicks();
  if (heldBack(channel, now)) return waitAndReport();
  if (deadlinePassed(channel, now)) return timeStop(channel, now);
  if (awaitingWritable(channel, now)) return waitAndReport();

  channel->currentState = channel->nextState;
  if (channel->currentState > 0) addToCount(&channel->stepCount, 1);
  logStateChange(channel, now);

  if (channel->currentState == kStateIdle) {
    channel->currentState = -1;
    channel->resumeTick = 0;
    channel->deadlineTick = 0;
    return 0;
  }
  if (const StateEntry* state = findState(channel->currentState)) {
    int32_t result = state->run(channel, now);
    if (result != kStepDone) return result;
  } else {
    logLine(channel, "ERROR! Unknown state %d\r\n", static_cast<int>(channel->currentState));
  }
  logStepEnd(channel);
  channel->lastLoggedState = channel->currentState;
  channel->currentState = -1;
  // A finished operation leaves no gate and no deadline behind: an idle channel that is
  // driven on must keep answering 0.
  if (channel->nextState == kStateIdle) {
    channel->resumeTick = 0;
    channel->deadlineTick = 0;
  }
  return channel->nextState;
}
