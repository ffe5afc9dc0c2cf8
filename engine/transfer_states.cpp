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

int32_t sendTransferCommand(Channel* channel, uint32_t timeout, int32_t replyState) {
  int32_t sent = sendCommand(channel);
  if (sent < 0) return errorExit(channel, sent, DAP_ERR_SEND_FAILED);
  awaitTransferReply(channel, timeout, replyState);
  return kStepDone;
}

// The preliminary reply ("150 Opening BINARY mode data connection"); its code is not
// examined: anything below 500 lets the transfer go on.
int32_t readPreliminaryReply(Channel* channel, uint32_t now, int32_t dataState) {
  if (channel->transferReplyRead != 0) {
    channel->transferReplyRead = 0;
  } else {
    int32_t replied = readWaitingReply(channel);
    if (replied <= 0) return replied;
  }
  int32_t accepted = transferAccepted(channel);
  if (accepted != kStepDone) return accepted;
  return startDataHandshake(channel, now, dataState);
}

int32_t controlClosedError(Channel* channel) {
  return errorExit(channel, DAP_ERR_SOCKET_CLOSED, 0);
}

// The bytes one data step may move: 0 for the single block of the default chunk. blockDelay
// paces an upload between its blocks, so an upload keeps to one block per step while it is set.
uint32_t stepLimit(bool upload) {
  if (settings.transferChunk <= kDataBufferSize) return 0;
  if (upload && settings.blockDelay != 0) return 0;
  return settings.transferChunk;
}

// A chunked step that found the data socket not ready waits for it, as long as a held-back
// call would sleep (pollSleep), but wakes as soon as the peer has sent data or made room: a
// fixed sleep would let the stream run dry on a fast link. Socket buffers carry the data on
// meanwhile.
void waitForData(Channel* channel, uint32_t limit, int32_t mode) {
  if (limit != 0) netAwaitReady(channel->dataSocket, mode, settings.pollSleep);
}
}  // namespace

// ---- Download ----

// A file that cannot be emptied fails as one that cannot be written.
int32_t transferAccepted(Channel* channel) {
  if (channel->truncateOnAccept == 0) return kStepDone;
  channel->truncateOnAccept = 0;
  if (platFileTruncate(channel->localFile) == 0) return kStepDone;
  netCloseTransfer(channel, kPauseAfterDownload);
  return errorExit(channel, kPlatFileError, DAP_ERR_FILE_WRITE);
}

int32_t stateStartDownload(Channel* channel, uint32_t) {
  startTransfer(channel, 303);
  return kStepDone;
}

int32_t stateSendRetr(Channel* channel, uint32_t) {
  platFormat(channel->commandBuffer, "RETR %s", channel->fileName);
  return sendTransferCommand(channel, settings.dataConnectTimeout, 304);
}

int32_t stateReadRetrReply(Channel* channel, uint32_t now) {
  return readPreliminaryReply(channel, now, 307);
}

// One block per call, or with a larger transferChunk as much as keeps arriving up to the
// chunk; every step that brings data renews the deadline.
int32_t stateReceiveBlock(Channel* channel, uint32_t now) {
  uint32_t limit = stepLimit(false);
  DataStep step = netReceiveToFile(channel, limit);
  if (step.moved > 0) {
    addToCount(&channel->bytesReceived, static_cast<uint32_t>(step.moved));
    addToCount(&channel->totalBytesReceived, static_cast<uint32_t>(step.moved));
    channel->resumeTick = 0;
    channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  }
  if (step.fileCode < 0) {
    netCloseTransfer(channel, kPauseAfterDownload);
    return errorExit(channel, step.fileCode, DAP_ERR_FILE_WRITE);
  }
  if (step.socketCode == DAP_ERR_SOCKET_CLOSED) {
    awaitReply(channel, now, 308);
    return kStepDone;
  }
  if (step.socketCode < 0) return errorExit(channel, step.socketCode, DAP_ERR_SOCKET_READ);
  if (step.moved == 0) waitForData(channel, limit, kPollReadable);
  return kStepDone;
}

// A data connection in TLS ends with the client's close_notify too.
int32_t stateEndDownload(Channel* channel, uint32_t) {
  netCloseDataTls(channel, true);
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
  platFormat(channel->commandBuffer, "STOR %s", channel->fileName);
  return sendTransferCommand(channel, settings.dataConnectTimeout, 404);
}

int32_t stateReadStorReply(Channel* channel, uint32_t now) {
  return readPreliminaryReply(channel, now, 407);
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
// renewed by every step that sends, ends a stalled upload.
int32_t stateSendBlock(Channel* channel, uint32_t now) {
  uint32_t limit = stepLimit(true);
  DataStep step = netSendFromFile(channel, limit);
  if (step.moved > 0) {
    addToCount(&channel->bytesSent, static_cast<uint32_t>(step.moved));
    addToCount(&channel->totalBytesSent, static_cast<uint32_t>(step.moved));
    channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  }
  if (step.socketCode < 0) return errorExit(channel, step.socketCode, DAP_ERR_SEND_FAILED);
  if (step.fileEnded) return finishUpload(channel);
  channel->pendingFlag = 1;
  if (step.moved > 0 && channel->uploadPending == 0) {
    channel->resumeTick = tickAfter(now, settings.blockDelay);
  }
  if (step.moved == 0) waitForData(channel, limit, kPollWritable);
  return kStepDone;
}

// Closing the data connection tells the server that the file is complete. In TLS that takes the
// client's close_notify, which must find room in the socket: a server that insists on it fails
// an upload that ends without it.
int32_t stateEndUpload(Channel* channel, uint32_t) {
  if (channel->dataTls != nullptr && netWaitWritable(channel->dataSocket, 0) == 0) return kStepDone;
  logLine(channel, "%ld bytes transmitted\r\n", static_cast<long>(channel->bytesSent));
  netCloseDataTls(channel, true);
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
  formatListCommand(channel);
  channel->responseBuffer[0] = '\0';
  return sendTransferCommand(channel, settings.replyTimeout, 805);
}

int32_t stateReadListReply(Channel* channel, uint32_t now) {
  return readPreliminaryReply(channel, now, 807);
}

// One line per call. A line is stored only while it and its NUL fit; one that does not is
// dropped and later, shorter lines are still stored. The deadline is not renewed: the whole
// listing must arrive in time.
int32_t stateReceiveListing(Channel* channel, uint32_t now) {
  int32_t received = netReceivePart(channel->dataSocket, channel->responseBuffer, kLineBufferSize,
                                    channel->dataTls);
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
  netCloseDataTls(channel, true);
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
