// The transfer states: download (RETR), upload (STOR) and listing (LIST, NLST, MLSD), each
// ending in the final reply, which must be 226; and the REST and SIZE exchanges of a transfer
// that continues a file.
//
// Divisions: shared steps; download; upload; listing; final reply; resume.
#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
constexpr int32_t kTransferComplete = 226;
constexpr uint32_t kLongestListArgument = 2000;
constexpr int32_t kRestartAccepted = 350;
constexpr int32_t kFileStatus = 213;
constexpr int32_t kFileUnavailable = 550;

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
  startTransfer(channel, channel->transferOffset != 0 ? 302 : 303);
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

// A resumed upload learns the server file's size before it opens its data connection.
int32_t stateStartUpload(Channel* channel, uint32_t) {
  if (channel->resumeTransfers != 0) {
    channel->nextState = 410;
    return kStepDone;
  }
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
// In TLS the data socket outlives the data until the final reply.
int32_t stateEndUpload(Channel* channel, uint32_t) {
  if (channel->dataTls != nullptr && netWaitWritable(channel->dataSocket, 0) == 0) return kStepDone;
  logLine(channel, "%ld bytes transmitted\r\n", static_cast<long>(channel->bytesSent));
  if (channel->dataTls != nullptr) {
    netEndSecureUpload(channel);
    closeLocalFile(channel);
  } else {
    netCloseTransfer(channel, kPauseAfterUpload);
  }
  awaitReply(channel, platTicks(), 350);
  return kStepDone;
}

// ---- Listing ----

int32_t stateStartList(Channel* channel, uint32_t) {
  startTransfer(channel, 804);
  return kStepDone;
}

namespace {
struct ListCommand {
  const char* verb;
  bool argument;  // the text the caller's buffer holds on entry follows
};
// By type; a negative type lists as 0 does, one above the table as 2 does.
constexpr ListCommand kListCommands[] = {
    {"LIST", false}, {"NLST", false}, {"LIST", true},
    {"NLST", true},  {"MLSD", false}, {"MLSD", true},
};
constexpr int32_t kListCommandCount = sizeof kListCommands / sizeof kListCommands[0];

const ListCommand& listCommandOf(int32_t type) {
  if (type < 0) return kListCommands[0];
  return kListCommands[type < kListCommandCount ? type : 2];
}

// The argument is cut like every other at the first character a name may not hold (a CR LF
// there would send a second command) and never read past the buffer's size; dapGetList has
// refused an invalid UTF-8 sequence in it.
void formatListCommand(Channel* channel) {
  char* command = channel->commandBuffer;
  const ListCommand& list = listCommandOf(channel->listType);
  copyText(command, list.verb, 4);
  if (!list.argument) return;
  command[4] = ' ';
  if (copyName(command + 5, channel->listBuffer, listArgumentLimit(channel),
               channel->utf8Names != 0) < 0) {
    command[5] = '\0';
  }
}
}  // namespace

bool listTakesArgument(int32_t type) {
  return listCommandOf(type).argument;
}

int32_t listArgumentLimit(const Channel* channel) {
  uint32_t size = channel->listBufferSize;
  return static_cast<int32_t>(size < kLongestListArgument ? size : kLongestListArgument);
}

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
  // Only a TLS upload's data socket is still open here.
  if (channel->dataSocket != 0) netCloseDataSockets(channel, kPauseAfterUpload);
  if (channel->serverCode != kTransferComplete) return errorExit(channel, 0, DAP_ERR_NOT_COMPLETED);
  channel->nextState = kStateIdle;
  return kStepDone;
}

// ---- Resume ----

namespace {
// REST goes out right before the transfer command: a command between them would cancel it.
int32_t sendRest(Channel* channel, uint32_t now, int32_t replyState) {
  char offset[kDecimalSize];
  formatDecimal(channel->transferOffset, offset);
  platFormat(channel->commandBuffer, "REST %s", offset);
  return sendCommandAwaitReply(channel, now, replyState);
}

// "350 Restart position accepted (1048576)." Any other answer ends the transfer before it has
// touched either file.
int32_t readRestReply(Channel* channel, int32_t transferState) {
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  if (channel->serverCode != kRestartAccepted) return errorExit(channel, 0, DAP_ERR_SERVER_REFUSED);
  channel->nextState = transferState;
  return kStepDone;
}

// "213 1048576": the digits after the code, and nothing after them but a line end or a blank.
bool readSize(const char* line, uint64_t* size) {
  const char* digit = line + 3;
  while (*digit == ' ') ++digit;
  uint64_t value = 0;
  const char* start = digit;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    uint64_t next = value * 10 + static_cast<uint64_t>(*digit - '0');
    if (next / 10 != value) return false;
    value = next;
  }
  if (digit == start || (*digit != '\0' && *digit != '\r' && *digit != '\n' && *digit != ' ')) {
    return false;
  }
  *size = value;
  return true;
}

// The upload continues from held bytes: never past the local file's end, and not in a text
// transfer, whose line ends may change on the way. Both files are as they were on a refusal.
int32_t continueUploadFrom(Channel* channel, uint64_t held) {
  int64_t local = platFileSize(channel->localFile);
  if (local < 0 || held > static_cast<uint64_t>(local)) {
    char server[kDecimalSize];
    char mine[kDecimalSize];
    formatDecimal(held, server);
    formatDecimal(local < 0 ? 0 : static_cast<uint64_t>(local), mine);
    logLine(channel, "Server file holds %s bytes, the local one %s\r\n", server, mine);
    return errorExit(channel, 0, DAP_ERR_CANNOT_COMPLY);
  }
  if (held != 0 && channel->binaryMode == 0) return errorExit(channel, 0, DAP_ERR_CANNOT_COMPLY);
  if (held != 0 && platFileSeek(channel->localFile, held) != 0) {
    return errorExit(channel, 0, DAP_ERR_CANNOT_OPEN_FILE);
  }
  channel->transferOffset = held;
  startTransfer(channel, held != 0 ? 405 : 403);
  return kStepDone;
}
}  // namespace

int32_t stateSendRetrRest(Channel* channel, uint32_t now) {
  return sendRest(channel, now, 306);
}

int32_t stateReadRetrRestReply(Channel* channel, uint32_t) {
  return readRestReply(channel, 303);
}

int32_t stateSendStorRest(Channel* channel, uint32_t now) {
  return sendRest(channel, now, 406);
}

int32_t stateReadStorRestReply(Channel* channel, uint32_t) {
  return readRestReply(channel, 403);
}

int32_t stateSendSize(Channel* channel, uint32_t now) {
  channel->responseBuffer[0] = '\0';
  platFormat(channel->commandBuffer, "SIZE %s", channel->fileName);
  return sendCommandAwaitReply(channel, now, 411);
}

// "550 No such file" starts the server's file afresh with a plain STOR, as a size of 0 does.
// Any other answer than a 213 with a size is a refusal.
int32_t stateReadSizeReply(Channel* channel, uint32_t) {
  int32_t replied = readWaitingAnswer(channel);
  if (replied <= 0) return replied;
  bool absent = channel->serverCode == kFileUnavailable;
  uint64_t held = 0;
  if (!absent &&
      (channel->serverCode != kFileStatus || !readSize(channel->responseBuffer, &held))) {
    return errorExit(channel, 0, DAP_ERR_SERVER_REFUSED);
  }
  return continueUploadFrom(channel, held);
}
