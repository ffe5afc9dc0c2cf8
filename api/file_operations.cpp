// The FTP operations on a logged-in channel: transfers, listings, the transfer type, the
// server directory, and deleting or making server files and directories.
#include "api/operation.h"
#include "dap32.h"
#include "engine/engine.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
bool usesUtf8(const Channel* channel) {
  return channel->utf8Names != 0;
}

// A resumed download continues a local file that holds bytes from its end, and never empties
// it. Text transfers may change line ends on the way, so an offset into one is not portable.
int32_t continueDownload(Channel* channel) {
  int64_t held = platFileSize(channel->localFile);
  if (held < 0) return DAP_ERR_CANNOT_OPEN_FILE;
  if (held == 0) return 0;
  if (channel->binaryMode == 0) return DAP_ERR_CANNOT_COMPLY;
  if (platFileSeek(channel->localFile, static_cast<uint64_t>(held)) != 0) {
    return DAP_ERR_CANNOT_OPEN_FILE;
  }
  channel->truncateOnAccept = 0;
  channel->transferOffset = static_cast<uint64_t>(held);
  return 0;
}

// Opens the transfer's local file before anything goes to the server, so a file that cannot be
// opened fails at once; a download's is emptied only once the server accepts the transfer. A
// file left open by an abandoned earlier transfer is closed first.
int32_t startTransfer(int32_t chan, const char* entryLine, const char* name, bool download) {
  int32_t error;
  Channel* channel = beginOperation(chan, entryLine, &error);
  if (channel == nullptr) return error;
  if (name == nullptr || nameLength(name, kNameSize, usesUtf8(channel)) < 0) {
    return DAP_ERR_CANNOT_COMPLY;
  }
  closeLocalFile(channel);
  PlatFile file = openLocalFile(channel, name, download);
  if (file < 0) return DAP_ERR_CANNOT_OPEN_FILE;
  channel->localFile = file;
  channel->transferOffset = 0;
  if (download) {
    channel->truncateOnAccept = 1;
    channel->bytesReceived = 0;
  } else {
    channel->bytesSent = 0;
  }
  if (download && channel->resumeTransfers != 0) {
    int32_t refused = continueDownload(channel);
    if (refused < 0) {
      closeLocalFile(channel);
      return refused;
    }
  }
  return runOperation(channel, download ? kStateDownload : kStateUpload);
}

// The operations whose one argument is a name sent with the command.
int32_t runNamedCommand(int32_t chan, const char* entryLine, const char* name,
                        char* Channel::*field, int32_t entryState) {
  int32_t error;
  Channel* channel = beginOperation(chan, entryLine, &error);
  if (channel == nullptr) return error;
  if (name == nullptr) return DAP_ERR_CANNOT_COMPLY;
  if (copyName(channel->*field, name, kNameSize, usesUtf8(channel)) < 0) {
    return DAP_ERR_CANNOT_COMPLY;
  }
  return runOperation(channel, entryState);
}
}  // namespace

int32_t DAP_CALL dapGetFile(int32_t chan, const char* name) {
  return startTransfer(chan, "*** dapGetFile\r\n", name, true);
}

int32_t DAP_CALL dapPutFile(int32_t chan, const char* name) {
  return startTransfer(chan, "*** dapPutFile\r\n", name, false);
}

// The listing goes into the caller's buffer while the engine runs; the result is the number
// of bytes stored.
int32_t DAP_CALL dapGetList(int32_t chan, int32_t type, char* buffer, int32_t size) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapGetList\r\n", &error);
  if (channel == nullptr) return error;
  if (buffer == nullptr || size < 0) return DAP_ERR_CANNOT_COMPLY;
  channel->listBuffer = buffer;
  channel->listBufferSize = static_cast<uint32_t>(size);
  if (listTakesArgument(type) &&
      nameLength(buffer, listArgumentLimit(channel), usesUtf8(channel)) < 0) {
    return DAP_ERR_CANNOT_COMPLY;
  }
  channel->listLength = 0;
  channel->listType = type;
  int32_t result = runOperation(channel, kStateList);
  return result < 0 ? result : channel->listLength;
}

int32_t DAP_CALL dapSetMode(int32_t chan, int32_t mode) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapSetMode\r\n", &error);
  if (channel == nullptr) return error;
  char letter = static_cast<char>(mode & 0xFF);
  if (letter != 'A' && letter != 'B') return DAP_ERR_BAD_MODE;
  channel->binaryMode = letter == 'B' ? 1 : 0;
  return runOperation(channel, kStateType);
}

int32_t DAP_CALL dapSetServerDir(int32_t chan, const char* directory) {
  return runNamedCommand(chan, "*** dapSetServerDir\r\n", directory, &Channel::serverDir,
                         kStateChangeDir);
}

// Returns the directory's full length, which may exceed what the buffer received.
int32_t DAP_CALL dapGetServerDir(int32_t chan, char* buffer, int32_t size) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapGetServerDir\r\n", &error);
  if (channel == nullptr) return error;
  int32_t result = runOperation(channel, kStatePrintDir);
  if (result < 0 || channel->autoCall == 0) return result;
  copyText(buffer, channel->serverDir, size);
  return static_cast<int32_t>(textLength(channel->serverDir));
}

int32_t DAP_CALL dapDelFile(int32_t chan, const char* name) {
  return runNamedCommand(chan, "*** dapDelFile\r\n", name, &Channel::fileName, kStateDelete);
}

int32_t DAP_CALL dapMakeServerDir(int32_t chan, const char* name) {
  return runNamedCommand(chan, "*** dapMakeServerDir\r\n", name, &Channel::fileName, kStateMakeDir);
}

int32_t DAP_CALL dapDelServerDir(int32_t chan, const char* name) {
  return runNamedCommand(chan, "*** dapRemoveServerDir\r\n", name, &Channel::fileName,
                         kStateRemoveDir);
}
