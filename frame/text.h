// Text copies at the library boundary and between the channel's buffers.
#pragma once

#include <cstdint>

// Copies at most limit characters, stopping at the first byte outside 0x20..0x7E; stores a
// NUL after what was copied (the destination holds limit + 1 bytes). Returns the count.
int32_t copyPrintable(char* destination, const char* source, int32_t limit);

// Copies up to and including the NUL, at most limit characters, then a NUL; returns the count
// without the NUL. A null pointer, or a negative limit, copies nothing and returns 0.
int32_t copyText(char* destination, const char* source, int32_t limit);

// Appends source to the text in destination, at most limit characters of it.
int32_t appendText(char* destination, const char* source, int32_t limit);

// Characters up to the first NUL, never more than 8192.
uint32_t textLength(const char* text);
