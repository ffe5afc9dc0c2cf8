// The entry pattern shared by the exported operations.
#pragma once

#include <cstdint>

#include "frame/channel.h"

// The channel after the preamble, with the operation's entry line written to its log; or
// nullptr with -15 or -8 in *error.
Channel* beginOperation(int32_t chan, const char* entryLine, int32_t* error);

// Arms the engine at entryState and, with AUTO_CALL on, drives it to the end: the result is
// 0 or the failure's code. With AUTO_CALL off it returns 0 at once.
int32_t runOperation(Channel* channel, int32_t entryState);

// Joins the local directory and a file name in the channel's data buffer and opens the file:
// created, or opened as it is, for a download; read-only for an upload. Returns the handle or -1.
// The name must be one that copyName keeps.
PlatFile openLocalFile(Channel* channel, const char* name, bool create);
