// Error codes and their texts.
#pragma once

#include <cstdint>

#include "frame/channel.h"

// The text of code into buffer as dapErrorText gives it (with the channel's last reply after
// the two server-refusal codes); returns its length.
int32_t errorTextInto(const Channel* channel, int32_t code, char* buffer, int32_t size);
