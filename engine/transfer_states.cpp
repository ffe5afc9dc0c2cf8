// The transfer states: download (RETR), upload (STOR) and listing (LIST, NLST), each ending
// in the final reply, which must be 226.
//
// Divisions: shared steps; download; upload; listing; final reply.
#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
constexpr int32_t kTransferComplete = 226;
constexpr int32_t kLongestListArgument = 2000;

// ---- Shared steps ----

// A data or listening socket that an earlier failure left open is closed before a new
// transfer opens its own, so sockets never pile up.
void startTransfer(Channel* channel, int32_t commandState) {
  netCloseDataSockets(channel, 0);
  channel->transferReplyRead = 0;
  channel->uploadPending = 0;
  channel->uploadPendingOffset = 0;
  openDataConnection(channel, commandState);
}

// In active mode the listener must exist before the transfer command goes out.
int32_t listenIfActive(Channel* channel) {
  if (channel->passiveMode != 0) return kStepDone;
  int32_t listening = netOpenListener(channel);
  if (listening == DAP_ERR_INVALID_SOCKET) {
    return errorExit(channel, listening, DAP_ERR_CANNOT_CREATE_SOCKET);
  }
  if (listening < 0) return errorExit(channel, listening, DAP_ERR_LISTEN);
  return kStepDone;
}

int32_t sendTransferCommand(Channel* channel, uint32_t timeout, int32_t replyState) {
  int32_t sent = netSendCommand(channel->controlSocket, channel->commandBuffer);
  if (sent < 0) return errorExit(channel, sent, DAP_ERR_SEND_FAILED);
  awaitTransferReply(channel, timeout, replyState);
  return kStepDone;
}

// The preliminary reply ("150 Opening BINARY mode data connection"); its code is not
// examined: anything below 500 lets the transfer go on.
int32_t readPreliminaryReply(Channel* channel, int32_t dataState) {
  if (channel->transferReplyRead != 0) {
    channel->transferReplyRead = 0;
    channel->nextState = dataState;
    return kStepDone;
  }
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  channel->nextState = dataState;
  return kStepDone;
}

int32_t controlClosedError(Channel* channel) {
  return errorExit(channel, DAP_ERR_SOCKET_CLOSED, 0);
}
}  // namespace

// ---- Download ----

int32_t stateStartDownload(Channel* channel, uint32_t) {
  startTransfer(channel, 303);
  return kStepDone;
}

int32_t stateSendRetr(Channel* channel, uint32_t) {
  if (int32_t failed = listenIfActive(channel)) return failed;
  platFormat(channel->commandBuffer, "RETR %s", channel->fileName);
  return sendTransferCommand(channel, settings.dataConnectTimeout, 304);
}

int32_t stateReadRetrReply(Channel* channel, uint32_t) {
  return readPreliminaryReply(channel, 307);
}

// One block per call; every block that arrives renews the deadline.
int32_t stateReceiveBlock(Channel* channel, uint32_t now) {
  int32_t received = netReceive(channel->dataSocket, channel->dataBuffer, kDataBufferSize);
  if (received == DAP_ERR_SOCKET_CLOSED) {
    awaitReply(channel, now, 308);
    return kStepDone;
  }
  if (received < 0) return errorExit(channel, received, DAP_ERR_SOCKET_READ);
  if (received == 0) return kStepDone;
  int32_t written =
      platFileWrite(channel->localFile, channel->dataBuffer, static_cast<uint32_t>(received));
  if (written < 0) {
    netCloseTransfer(channel, kPauseAfterDownload);
    return errorExit(channel, written, DAP_ERR_FILE_WRITE);
  }
  channel->bytesReceived += written;
  channel->totalBytesReceived += written;
  channel->resumeTick = 0;
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  return kStepDone;
}

int32_t stateEndDownload(Channel* channel, uint32_t) {
  netCloseTransfer(channel, kPauseAfterDownload);
  logLine(channel, "%ld bytes received\r\n", static_cast<long>(channel->bytesReceived));
  awaitReply(channel, platTicks(), 350);
  return kStepDone;
}

// ---- Upload ----

int32_t stateStartUpload(Channel* channel, uint32_t) {
  startTransfer(channel, 403);
  return kStepDone;
}

int32_t stateSendStor(Channel* channel, uint32_t) {
  if (int32_t failed = listenIfActive(channel)) return failed;
  platFormat(channel->commandBuffer, "STOR %s", channel->fileName);
  return sendTransferCommand(channel, settings.dataConnectTimeout, 404);
}

int32_t stateReadStorReply(Channel* channel, uint32_t) {
  return readPreliminaryReply(channel, 407);
}

namespace {
int32_t finishUpload(Channel* channel) {
  logWrite(channel, "[EOF]\r\n");
  channel->pendingFlag = 1;
  uint32_t now = platTicks();
  channel->resumeTick = tickAfter(now, settings.finalBlockDelay);
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  channel->nextState = 408;
  return kStepDone;
}
}  // namespace

// Sends only what the data socket takes at once, so a server that stops reading cannot hold
// the caller inside a send: the rest of the block waits for the next call, and the deadline,
// renewed by every piece sent, ends a stalled upload.
int32_t stateSendBlock(Channel* channel, uint32_t now) {
  if (channel->uploadPending == 0) {
    int32_t read = platFileRead(channel->localFile, channel->dataBuffer, settings.uploadBlockSize);
    if (read <= 0) return finishUpload(channel);
    channel->uploadPending = static_cast<uint32_t>(read);
    channel->uploadPendingOffset = 0;
  }
  const char* piece = channel->dataBuffer + channel->uploadPendingOffset;
  int32_t sent =
      netSendAvailable(channel->dataSocket, piece, static_cast<int32_t>(channel->uploadPending));
  if (sent < 0) return errorExit(channel, sent, DAP_ERR_SEND_FAILED);
  channel->pendingFlag = 1;
  if (sent == 0) return kStepDone;
  channel->uploadPending -= static_cast<uint32_t>(sent);
  channel->uploadPendingOffset += static_cast<uint32_t>(sent);
  channel->bytesSent += sent;
  channel->totalBytesSent += sent;
  if (channel->uploadPending == 0) channel->resumeTick = tickAfter(now, settings.blockDelay);
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  return kStepDone;
}

// Closing the data connection tells the server that the file is complete.
int32_t stateEndUpload(Channel* channel, uint32_t) {
  logLine(channel, "%ld bytes transmitted\r\n", static_cast<long>(channel->bytesSent));
  netCloseTransfer(channel, kPauseAfterUpload);
  awaitReply(channel, platTicks(), 350);
  return kStepDone;
}

// ---- Listing ----

int32_t stateStartList(Channel* channel, uint32_t) {
  startTransfer(channel, 804);
  return kStepDone;
}

namespace {
// The pattern types take their argument from the caller's buffer, cut like every other
// argument at the first unprintable character (a CR LF there would send a second command)
// and never read past the buffer's size.
void formatListCommand(Channel* channel) {
  char* command = channel->commandBuffer;
  bool names = channel->listType < 2 ? channel->listType == 1 : channel->listType == 3;
  copyText(command, names ? "NLST" : "LIST", 4);
  if (channel->listType < 2) return;
  uint32_t limit = channel->listBufferSize < kLongestListArgument ? channel->listBufferSize
                                                                  : kLongestListArgument;
  command[4] = ' ';
  copyPrintable(command + 5, channel->listBuffer, static_cast<int32_t>(limit));
}
}  // namespace

int32_t stateSendList(Channel* channel, uint32_t) {
  if (int32_t failed = listenIfActive(channel)) return failed;
  formatListCommand(channel);
  channel->responseBuffer[0] = '\0';
  return sendTransferCommand(channel, settings.replyTimeout, 805);
}

int32_t stateReadListReply(Channel* channel, uint32_t) {
  return readPreliminaryReply(channel, 807);
}

// One line per call. A line is stored only while it and its NUL fit; one that does not is
// dropped and later, shorter lines are still stored. The deadline is not renewed: the whole
// listing must arrive in time.
int32_t stateReceiveListing(Channel* channel, uint32_t now) {
  int32_t received = netReceivePart(channel->dataSocket, channel->responseBuffer, kLineBufferSize);
  if (received == DAP_ERR_SOCKET_CLOSED) {
    awaitReply(channel, now, 808);
    return kStepDone;
  }
  if (received < 0) return errorExit(channel, received, DAP_ERR_SOCKET_READ);
  if (received == 0 || static_cast<uint32_t>(received) >= channel->listBufferSize) return kStepDone;
  // A NUL inside the piece ends it: only the bytes copied are counted and stepped over.
  int32_t stored = copyText(channel->listBuffer, channel->responseBuffer, received);
  channel->listBuffer += stored;
  *channel->listBuffer = '\0';
  channel->listBufferSize -= static_cast<uint32_t>(stored);
  channel->listLength += stored;
  return kStepDone;
}

int32_t stateEndList(Channel* channel, uint32_t) {
  netCloseTransfer(channel, kPauseAfterDownload);
  if (netWaitWritable(channel->controlSocket, 0) == 0) return controlClosedError(channel);
  channel->nextState = 350;
  return kStepDone;
}

// ---- Final reply ----

int32_t stateReadTransferEnd(Channel* channel, uint32_t) {
  if (netWaitWritable(channel->controlSocket, 0) == 0) return controlClosedError(channel);
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  if (channel->serverCode != kTransferComplete) return errorExit(channel, 0, DAP_ERR_NOT_COMPLETED);
  channel->nextState = kStateIdle;
  return kStepDone;
}
