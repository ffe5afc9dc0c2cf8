// The per-channel debug log and dapDebug.
#include "frame/log.h"

#include <cstdarg>

#include "dap32.h"
#include "frame/text.h"

void logWrite(Channel* channel, const char* text) {
  if (!isLogging(channel)) return;
  platFileWrite(channel->logFile, text, textLength(text));
}

void logLine(Channel* channel, const char* format, ...) {
  if (!isLogging(channel)) return;
  va_list args;
  va_start(args, format);
  platFormatV(channel->logText, format, args);
  va_end(args);
  logWrite(channel, channel->logText);
}

void logClose(Channel* channel) {
  if (!isLogging(channel)) return;
  platFileClose(channel->logFile);
  channel->logFile = 0;
}

int32_t DAP_CALL dapDebug(int32_t chan, int32_t, int32_t, int32_t) {
  int32_t error;
  Channel* channel = channelFor(chan, &error);
  if (channel == nullptr) return error;
  logWrite(channel, "*** dapDebug\r\n");
  return 1;
}
