// The states that open a session (connect, greeting, USER, PASS) and end it (QUIT).
#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
constexpr int32_t kHostNameSize = 2047;
constexpr int32_t kAddressTextSize = 18;

void logSessionHeader(Channel* channel) {
  uint16_t version = libraryVersion();
  logLine(channel, "DAP Win32 Version %d.%d.%d Build %d\r\n", version >> 8, (version >> 4) & 15,
          version & 15, static_cast<int>(libraryBuild()));
  copyText(channel->responseBuffer, platSocketDescription(), kLineBufferSize - 1);
  if (!isLogging(channel)) return;
  logLine(channel, "Description:  '%s'\r\n", channel->responseBuffer);
  netLocalHostName(channel->responseBuffer, kHostNameSize);
  logLine(channel, "LocalHost: '%s'\r\n", channel->responseBuffer);
  logLine(channel, "Server: '%s'\r\n", channel->serverName);
}

int32_t takeServerAddress(Channel* channel) {
  if (netIsDottedQuad(channel->serverName)) {
    channel->serverAddr = netParseDottedQuad(channel->serverName);
    return 1;
  }
  return netResolveServer(channel);
}

// A control socket that never connected is closed at once: left in the record, it would hold
// up a later dapClose, which waits for the control connection to become writable.
// What the last session knew of its TLS is gone with it.
void forgetTlsSession(Channel* channel) {
  channel->tlsDataResumed = -1;
  channel->tlsPeerFingerprint[0] = '\0';
  channel->tlsSessionText[0] = '\0';
}

int32_t failConnect(Channel* channel, int32_t sockCode) {
  netCloseSocket(channel->controlSocket, 0);
  channel->controlSocket = 0;
  return errorExit(channel, sockCode, 0);
}

}  // namespace

// A server that does not answer the connect is caught by the connect deadline while the
// frame waits for the socket to become writable.
int32_t stateConnect(Channel* channel, uint32_t) {
  channel->commandBuffer[0] = '\0';
  logSessionHeader(channel);
  forgetTlsSession(channel);
  // A session that asked for TLS and cannot have it never connects.
  if (channel->tlsMode != kTlsOff) {
    int32_t available = netTlsStartup();
    if (available < 0) return errorExit(channel, 0, available);
  }
  channel->controlSocket = netOpenSocket();
  if (channel->controlSocket < 0) {
    return errorExit(channel, channel->controlSocket, DAP_ERR_CANNOT_CREATE_SOCKET);
  }
  int32_t resolved = takeServerAddress(channel);
  if (resolved < 0) return failConnect(channel, resolved);
  if (isLogging(channel)) {
    char address[kAddressTextSize];
    netFormatAddress(channel->serverAddr, address, sizeof address);
    logLine(channel, "ServerIP = %s\r\n", address);
  }
  int32_t connected = netConnectControl(channel);
  if (connected < 0) return failConnect(channel, connected);
  channel->repliesOwed = 1;  // the greeting
  platSleep(0);
  uint32_t now = platTicks();
  channel->resumeTick = tickAfter(now, settings.commandDelay);
  channel->deadlineTick = tickAfter(now, settings.connectTimeout);
  channel->pendingFlag = 1;
  channel->nextState = 102;
  return kStepDone;
}

int32_t stateConnected(Channel* channel, uint32_t now) {
  if (netWaitWritable(channel->controlSocket, 0) == 0) return kStepDone;
  if (netLocalAddress(channel) < 0) {
    return errorExit(channel, channel->listenSocket, DAP_ERR_LISTEN);
  }
  if (channel->tlsMode == kTlsImplicit) return startControlHandshake(channel, now);
  channel->resumeTick = 0;
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  channel->nextState = 103;
  return kStepDone;
}

int32_t stateReadGreeting(Channel* channel, uint32_t) {
  int32_t reply = readReply(channel);
  if (reply < 0) return errorExit(channel, 0, reply);
  platSleep(settings.pollSleep);
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  channel->nextState = channel->tlsMode == kTlsExplicit ? 120 : 104;
  return kStepDone;
}

int32_t stateSendUser(Channel* channel, uint32_t now) {
  platFormat(channel->commandBuffer, "USER %s", channel->userName);
  return sendCommandAwaitReply(channel, now, 105);
}

// Whatever a reply below 500 says (331, 230, 332), the login goes on with PASS.
// A TLS 1.3 server sends its session tickets after the handshake: the session the data
// connections resume is taken once this first reply inside TLS has been read.
int32_t stateReadUserReply(Channel* channel, uint32_t) {
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  if (channel->controlTls != nullptr) netKeepTlsSession(channel);
  channel->pendingFlag = 1;
  channel->nextState = 106;
  return kStepDone;
}

int32_t stateSendPassword(Channel* channel, uint32_t now) {
  platFormat(channel->commandBuffer, "PASS %s", channel->password);
  int32_t result = sendCommandAwaitReply(channel, now, 107);
  // The step's log line shows the command; the password stays on the wire only.
  copyText(channel->commandBuffer, "PASS ****", kLineBufferSize - 1);
  return result;
}

int32_t stateReadPasswordReply(Channel* channel, uint32_t) {
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  channel->nextState = stateAfterLogin(channel, 107);
  return kStepDone;
}

int32_t stateSendQuit(Channel* channel, uint32_t now) {
  if (netWaitWritable(channel->controlSocket, 0) == 0) {
    channel->nextState = kStateIdle;
    return kStepDone;
  }
  copyText(channel->commandBuffer, "QUIT", kLineBufferSize - 1);
  int32_t result = sendCommandAwaitReply(channel, now, 221);
  // A server may take longer to answer QUIT: the reply is polled no earlier than four
  // command delays on.
  if (result == kStepDone) channel->resumeTick = tickAfter(now, 4 * settings.commandDelay);
  return result;
}

// A server that closes the connection on QUIT has completed the quit.
int32_t stateReadQuitReply(Channel* channel, uint32_t) {
  if (netWaitReadable(channel->controlSocket, 0, channel->controlTls) == 0) return kStepDone;
  int32_t reply = readReply(channel);
  if (reply < 0 && reply != DAP_ERR_SOCKET_CLOSED) return errorExit(channel, 0, reply);
  channel->nextState = kStateIdle;
  return kStepDone;
}
