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

// The value of a hexadecimal digit in either case, or -1 for any other character.
int hexDigitValue(char c);

inline bool isDecimalDigit(char c) {
  return c >= '0' && c <= '9';
}

// Characters up to the first NUL, never more than 8192.
uint32_t textLength(const char* text);

// Bytes of the valid UTF-8 character that starts at text (2 to 4), or 0 for anything else: a
// stray continuation byte, an overlong form, a surrogate, a value above U+10FFFF, or a
// character that another byte (a NUL too) cuts short. Never reads past a NUL.
int32_t utf8CharacterLength(const char* text);

// The bytes of source that a name keeps: printable ASCII and, with utf8, whole UTF-8
// characters, up to the first other byte and at most limit bytes (a character that would pass
// the limit is left out). -1 when utf8 is set and a byte from 0x80 up starts no valid character.
int32_t nameLength(const char* source, int32_t limit, bool utf8);

// Copies what nameLength keeps, then a NUL (the destination holds limit + 1 bytes); returns the
// count, or -1 with the destination untouched. Without utf8 it is copyPrintable.
int32_t copyName(char* destination, const char* source, int32_t limit, bool utf8);

// The length of a command's whole text when every byte up to its NUL is printable ASCII or,
// with utf8, part of a valid UTF-8 character, and there are at most limit of them; else -1.
int32_t commandTextLength(const char* text, int32_t limit, bool utf8);

// The decimal digits of value and a NUL (at most 20 digits); returns their count. The log's
// formatting takes 32 bits only, and a file's offset may need more.
constexpr int32_t kDecimalSize = 21;
int32_t formatDecimal(uint64_t value, char* text);

// The 64 uppercase hexadecimal digits of a SHA-256 digest, and a NUL.
void formatDigest(const unsigned char* digest, char* text);
