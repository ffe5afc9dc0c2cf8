// The states that set up a transfer's data connection: passive (PASV, then connect to the
// server) and active (PORT, then accept the server's connection on the listener).
#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

int32_t stateSendPasv(Channel* channel, uint32_t now) {
  channel->responseBuffer[0] = '\0';
  copyText(channel->commandBuffer, "PASV", kLineBufferSize - 1);
  int32_t sent = sendCommand(channel);
  if (sent < 0) return errorExit(channel, 0, sent);
  awaitReply(channel, now, 901);
  return kStepDone;
}

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": only the port is taken.
int32_t stateReadPasvReply(Channel* channel, uint32_t now) {
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  if (!netParsePassivePort(channel, channel->responseBuffer)) {
    logLine(channel, "Response=[%s]\r\n", channel->responseBuffer);
    return errorExit(channel, 0, DAP_ERR_NO_PASV_PORT);
  }
  logLine(channel, "DataPort = %d\r\n", static_cast<int>(channel->dataPort));
  int32_t connected = netConnectData(channel);
  if (connected == DAP_ERR_INVALID_SOCKET) {
    return errorExit(channel, connected, DAP_ERR_CANNOT_CREATE_SOCKET);
  }
  if (connected < 0) return errorExit(channel, connected, 0);
  awaitReply(channel, now, 902);
  return kStepDone;
}

int32_t stateAwaitDataConnected(Channel* channel, uint32_t) {
  if (netWaitWritable(channel->dataSocket, 0) == 0) return kStepDone;
  logWrite(channel, "DataSock is connected.\r\n");
  returnToSavedState(channel);
  return kStepDone;
}

// The listener exists before PORT announces its port: a server may connect as soon as it has
// PORT, even before it answers.
int32_t stateSendPort(Channel* channel, uint32_t now) {
  channel->responseBuffer[0] = '\0';
  netAdvanceDataPort(channel);
  int32_t listening = netOpenListener(channel);
  if (listening == DAP_ERR_INVALID_SOCKET) {
    return errorExit(channel, listening, DAP_ERR_CANNOT_CREATE_SOCKET);
  }
  if (listening < 0) return errorExit(channel, listening, DAP_ERR_LISTEN);
  netFormatPortCommand(channel);
  return sendCommandAwaitReply(channel, now, 911);
}

int32_t stateReadPortReply(Channel* channel, uint32_t now) {
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  channel->resumeTick = 0;
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  returnToSavedState(channel);
  return kStepDone;
}

int32_t stateStartAccept(Channel* channel, uint32_t) {
  channel->nextState = 921;
  return kStepDone;
}

namespace {
int32_t acceptData(Channel* channel, uint32_t now) {
  logWrite(channel, "Accepting connection.\r\n");
  int32_t accepted = netAcceptData(channel);
  if (accepted == DAP_ERR_INVALID_SOCKET) {
    return errorExit(channel, accepted, DAP_ERR_CANNOT_CREATE_SOCKET);
  }
  if (accepted < 0) return errorExit(channel, accepted, 0);
  logWrite(channel, "Connection is accepted.\r\n");
  channel->dataAccepted = 1;
  channel->resumeTick = tickAfter(now, settings.commandDelay);
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  returnToSavedState(channel);
  return kStepDone;
}
}  // namespace

// Some servers connect first and then send "150 Opening data connection"; others send the 150
// first. A 150 read here is remembered, so that the reply state that follows goes straight on
// to the data. A final reply ("425 Can't open data connection.") or a closed control connection
// means the server will not connect: the wait ends at once.
int32_t stateAcceptData(Channel* channel, uint32_t now) {
  if (netWaitReadable(channel->listenSocket, 0) != 0) return acceptData(channel, now);
  if (netWaitReadable(channel->controlSocket, 0, channel->controlTls) == 0) return kStepDone;
  // A server that connected and then replied between the two polls: its reply stays unread
  // for the reply state.
  if (netWaitReadable(channel->listenSocket, 0) != 0) return acceptData(channel, now);
  int32_t reply = readReply(channel);
  if (reply < 0) return errorExit(channel, 0, reply);
  if (!isPreliminary(channel->serverCode)) return errorExit(channel, 0, DAP_ERR_NOT_COMPLETED);
  channel->transferReplyRead = 1;
  return kStepDone;
}
