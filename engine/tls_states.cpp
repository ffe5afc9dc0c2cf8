// The states of secure sessions: AUTH TLS and the control connection's handshake, PBSZ and PROT
// after the login, and the data connections' handshakes. Each handshake step is one poll and one
// handshake call; a handshake must end within replyTimeout of its start.
#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"
#include "net/net.h"

namespace {
constexpr int32_t kAuthAccepted = 234;

bool succeeded(int32_t code) {
  return code >= 200 && code <= 299;
}

// A socket's code is the socket's failure; anything else is the handshake's or the certificate's.
int32_t failHandshake(Channel* channel, int32_t code, bool data) {
  int32_t sockCode = code <= -10000 ? code : 0;
  int32_t rokCode = code <= -10000 ? DAP_ERR_TLS_HANDSHAKE : code;
  if (data) netCloseDataTls(channel, false);
  return errorExit(channel, sockCode, rokCode);
}

// The reply to AUTH TLS, PBSZ or PROT: 1 when it is the one wanted, 0 while none is waiting, or
// the error exit's result: any other reply is a refusal of TLS.
int32_t readSecuringReply(Channel* channel, bool (*wanted)(int32_t)) {
  if (netWaitReadable(channel->controlSocket, 0, channel->controlTls) == 0) return kStepDone;
  int32_t reply = readReply(channel);
  if (reply < 0 && reply != DAP_ERR_SERVER_REFUSED) return errorExit(channel, 0, reply);
  if (reply < 0 || !wanted(channel->serverCode)) {
    return errorExit(channel, 0, DAP_ERR_TLS_REFUSED);
  }
  return 1;
}

bool authAccepted(int32_t code) {
  return code == kAuthAccepted;
}

void startHandshakeDeadline(Channel* channel, uint32_t now) {
  channel->resumeTick = 0;
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
}
}  // namespace

int32_t startControlHandshake(Channel* channel, uint32_t now) {
  int32_t opened = netOpenControlTls(channel);
  if (opened < 0) return errorExit(channel, 0, opened);
  startHandshakeDeadline(channel, now);
  channel->nextState = kStateControlHandshake;
  return kStepDone;
}

int32_t stateSendAuthTls(Channel* channel, uint32_t now) {
  return sendOwnCommand(channel, now, "AUTH TLS", 121);
}

int32_t stateReadAuthReply(Channel* channel, uint32_t now) {
  int32_t replied = readSecuringReply(channel, authAccepted);
  if (replied <= 0) return replied;
  return startControlHandshake(channel, now);
}

// Implicit TLS reads the greeting inside TLS; explicit TLS goes on with USER.
int32_t stateControlHandshake(Channel* channel, uint32_t now) {
  int32_t progress = netHandshake(channel, false);
  if (progress > 0) return kStepDone;
  if (progress < 0) return failHandshake(channel, progress, false);
  channel->resumeTick = 0;
  if (channel->tlsMode == kTlsImplicit) {
    channel->deadlineTick = tickAfter(now, settings.replyTimeout);
    channel->nextState = 103;
  } else {
    channel->deadlineTick = 0;
    channel->nextState = 104;
  }
  return kStepDone;
}

int32_t stateSendPbsz(Channel* channel, uint32_t now) {
  return sendOwnCommand(channel, now, "PBSZ 0", 131);
}

int32_t stateReadPbszReply(Channel* channel, uint32_t) {
  int32_t replied = readSecuringReply(channel, succeeded);
  if (replied <= 0) return replied;
  channel->nextState = 132;
  return kStepDone;
}

int32_t stateSendProt(Channel* channel, uint32_t now) {
  return sendOwnCommand(channel, now, channel->tlsProtectData != 0 ? "PROT P" : "PROT C", 133);
}

int32_t stateReadProtReply(Channel* channel, uint32_t) {
  int32_t replied = readSecuringReply(channel, succeeded);
  if (replied <= 0) return replied;
  channel->dataProtected = channel->tlsProtectData;
  channel->nextState = stateAfterLogin(channel, 133);
  return kStepDone;
}

// The data connection's handshake starts once the server has answered the transfer command with
// its preliminary reply: servers take the ClientHello only once they have seen the command, and
// send the 150 before their side of the handshake.
int32_t startDataHandshake(Channel* channel, uint32_t now, int32_t dataState) {
  if (channel->dataProtected == 0) {
    channel->nextState = dataState;
    return kStepDone;
  }
  int32_t opened = netOpenDataTls(channel);
  if (opened < 0) return errorExit(channel, 0, opened);
  startHandshakeDeadline(channel, now);
  channel->returnState = dataState;
  channel->nextState = kStateDataHandshake;
  return kStepDone;
}

int32_t stateDataHandshake(Channel* channel, uint32_t now) {
  int32_t progress = netHandshake(channel, true);
  if (progress > 0) return kStepDone;
  if (progress < 0) return failHandshake(channel, progress, true);
  channel->resumeTick = 0;
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  returnToSavedState(channel);
  return kStepDone;
}
