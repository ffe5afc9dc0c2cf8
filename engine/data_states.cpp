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
  int32_t sent = netSendCommand(channel->controlSocket, channel->commandBuffer);
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

int32_t stateSendPort(Channel* channel, uint32_t now) {
  channel->responseBuffer[0] = '\0';
  netAdvanceDataPort(channel);
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

// Some servers connect first and then send "150 Opening data connection"; others (after
// PORT) send the 150 first. A reply read here is remembered, so that the reply state that
// follows goes straight on to the data instead of waiting for a reply that has come.
int32_t stateAcceptData(Channel* channel, uint32_t now) {
  if (netWaitReadable(channel->listenSocket, 0) != 0) {
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
  if (channel->transferReplyRead != 0) return kStepDone;
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  channel->transferReplyRead = 1;
  return kStepDone;
}
