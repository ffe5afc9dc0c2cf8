// The per-channel debug log: every line is built in the channel's logText and written with
// one file write, only while the channel has a log file open.
#pragma once

#include "frame/channel.h"

inline bool isLogging(const Channel* channel) {
  return channel->logFile != 0;
}

#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((format(printf, 2, 3)))
#endif
void logLine(Channel* channel, const char* format, ...);

// Writes text as it stands: up to its NUL, at most 8192 bytes.
void logWrite(Channel* channel, const char* text);

void logClose(Channel* channel);
