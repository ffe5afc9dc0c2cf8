// A transfer's data between the data socket and the local file, one driver step's worth.
// The default step is one block, as the socket primitives move it. A chunked step (a limit
// above one block) lets the kernel move a download's bytes where it can, and otherwise copies
// through the whole data buffer, piece after piece while the socket stays ready.
#include "dap32.h"
#include "net/net.h"
#include "tls/tls.h"

namespace {
bool chunked(uint32_t limit) {
  return limit > kDataBufferSize;
}

// Whether a kernel move ended the step; after a refusal the step goes on by copying.
bool endsStep(PlatMoveStop stop, DataStep* step) {
  switch (stop) {
    case kMoveRefused:
      return false;
    case kMoveEnd:
      step->socketCode = DAP_ERR_SOCKET_CLOSED;
      return true;
    case kMoveSocketFailed:
      step->socketCode = -platSocketError();
      return true;
    case kMoveFileFailed:
      step->fileCode = kPlatFileError;
      return true;
    case kMoveNotReady:
      return true;
  }
  return true;
}

// The next piece to copy: one block in a default step; in a chunked one the whole buffer, or
// what is left of the limit.
uint32_t pieceSize(uint32_t limit, int32_t moved, uint32_t block) {
  if (!chunked(limit)) return block;
  uint32_t left = limit - static_cast<uint32_t>(moved);
  return left < kDataBufferRoom ? left : kDataBufferRoom;
}

// Writes size bytes of the data buffer to the local file: false when that failed.
bool writePiece(Channel* channel, uint32_t size, DataStep* step) {
  int32_t written = platFileWrite(channel->localFile, channel->dataBuffer, size);
  if (written < 0) {
    step->fileCode = written;
    return false;
  }
  step->moved += written;
  return true;
}

// Receives one piece into the local file: false once the step must end (nothing more now, the
// end of the data, or a failure, which the step then carries).
bool receivePiece(Channel* channel, uint32_t size, DataStep* step) {
  int32_t received = netReceive(channel->dataSocket, channel->dataBuffer,
                                static_cast<int32_t>(size), channel->dataTls);
  if (received < 0) step->socketCode = received;
  if (received <= 0) return false;
  return writePiece(channel, static_cast<uint32_t>(received), step);
}

// Inside TLS the kernel cannot move the bytes, and a receive gives one record: a chunked step
// decrypts record after record into the whole data buffer with no poll between them, and writes
// the buffer to the file as it fills.
void receiveSecureChunk(Channel* channel, uint32_t limit, DataStep* step) {
  while (static_cast<uint32_t>(step->moved) < limit) {
    uint32_t room = pieceSize(limit, step->moved, kDataBufferSize);
    uint32_t filled = 0;
    int32_t received = 0;
    while (filled < room) {
      received = tlsReceive(channel->dataTls, channel->dataBuffer + filled,
                            static_cast<int32_t>(room - filled), false);
      if (received <= 0) break;
      filled += static_cast<uint32_t>(received);
    }
    if (filled > 0 && !writePiece(channel, filled, step)) return;
    if (received < 0) step->socketCode = received;
    if (received <= 0) return;
  }
}
}  // namespace

// A chunked step copies only while the chunk has room: a receive of 0 bytes would read as the
// end of the data.
DataStep netReceiveToFile(Channel* channel, uint32_t limit) {
  DataStep step = {0, 0, 0, false};
  if (!chunked(limit)) {
    receivePiece(channel, kDataBufferSize, &step);
    return step;
  }
  PlatSocket socket = channel->dataSocket;
  // The same two polls as a single block's receive come first.
  if (rokStatus(socket, kPollWritable) != 1) {
    step.socketCode = DAP_ERR_SOCKET_CLOSED;
    return step;
  }
  if (netWaitReadable(socket, 0, channel->dataTls) == 0) return step;
  if (channel->dataTls != nullptr) {
    receiveSecureChunk(channel, limit, &step);
    return step;
  }
  uint32_t moved = 0;
  PlatMoveStop stop = platSocketReceiveToFile(socket, channel->localFile, limit, &moved);
  step.moved = static_cast<int32_t>(moved);
  if (endsStep(stop, &step)) return step;
  while (static_cast<uint32_t>(step.moved) < limit &&
         receivePiece(channel, pieceSize(limit, step.moved, kDataBufferSize), &step)) {
  }
  return step;
}

DataStep netSendFromFile(Channel* channel, uint32_t limit) {
  DataStep step = {0, 0, 0, false};
  PlatSocket socket = channel->dataSocket;
  // A chunked step starts only once the socket has room to spare; sending into the little
  // room a reader has just made would spend a step on a few bytes.
  if (chunked(limit) && rokStatus(socket, kPollWritable) != 1) return step;
  do {
    if (channel->uploadPending == 0) {
      uint32_t piece = pieceSize(limit, step.moved, settings.uploadBlockSize);
      int32_t read = platFileRead(channel->localFile, channel->dataBuffer, piece);
      if (read <= 0) {
        step.fileEnded = true;
        break;
      }
      channel->uploadPending = static_cast<uint32_t>(read);
      channel->uploadPendingOffset = 0;
    }
    // What the socket does not take now waits in the buffer; the file is already past it.
    const char* piece = channel->dataBuffer + channel->uploadPendingOffset;
    int32_t sent = netSendAvailable(socket, piece, static_cast<int32_t>(channel->uploadPending),
                                    channel->dataTls);
    if (sent < 0) step.socketCode = sent;
    if (sent <= 0) break;
    channel->uploadPending -= static_cast<uint32_t>(sent);
    channel->uploadPendingOffset += static_cast<uint32_t>(sent);
    step.moved += sent;
    // A plain socket that took part of a piece is full; a TLS write takes a record, or a
    // gathering of records, at a time.
    if (channel->uploadPending != 0 && channel->dataTls == nullptr) break;
  } while (static_cast<uint32_t>(step.moved) < limit);
  return step;
}
