// The channel's local directory and the local files of transfers.
#include "api/operation.h"
#include "dap32.h"
#include "frame/log.h"
#include "frame/text.h"

namespace {
constexpr int32_t kLocalDirLimit = 127;

void appendSeparator(char* path) {
  uint32_t length = textLength(path);
  if (length == 0 || path[length - 1] == kPathSeparator) return;
  path[length] = kPathSeparator;
  path[length + 1] = '\0';
}
}  // namespace

// The directory is not checked: a wrong one shows when a transfer cannot open its file.
int32_t DAP_CALL dapSetLocalDir(int32_t chan, const char* directory) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapSetLocalDir\r\n", &error);
  if (channel == nullptr) return error;
  if (directory == nullptr) return DAP_ERR_CANNOT_COMPLY;
  int32_t kept = copyName(channel->localDir, directory, kLocalDirLimit, channel->utf8Names != 0);
  if (kept < 0) return DAP_ERR_CANNOT_COMPLY;
  if (kept == 0) return 0;
  appendSeparator(channel->localDir);
  logLine(channel, "Local directory is '%s'\r\n", channel->localDir);
  return 0;
}

int32_t DAP_CALL dapGetLocalDir(int32_t chan, char* buffer, int32_t size) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapGetLocalDir\r\n", &error);
  if (channel == nullptr) return error;
  logLine(channel, "Local directory is '%s'\r\n", channel->localDir);
  return copyText(buffer, channel->localDir, size);
}

// The name is joined unchanged: one with separators reaches into subdirectories, and an
// empty local directory leaves it relative to the process's current directory. With UTF-8 names
// the whole path is UTF-8, which Windows opens through its wide-character calls.
PlatFile openLocalFile(Channel* channel, const char* name, bool create) {
  bool utf8 = channel->utf8Names != 0;
  copyName(channel->fileName, name, kNameSize, utf8);
  char* path = channel->dataBuffer;
  copyText(path, channel->localDir, kNameSize);
  appendSeparator(path);
  appendText(path, channel->fileName, kNameSize);
  PlatFile file = utf8     ? platFileOpenUtf8(path, create)
                  : create ? platFileOpenWrite(path)
                           : platFileOpenRead(path);
  logLine(channel, file < 0 ? "Cannot open '%s'\r\n" : "'%s' opened\r\n", path);
  return file;
}
