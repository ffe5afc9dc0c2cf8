// Text copies at the library boundary and between the channel's buffers.
#include "frame/text.h"

namespace {
constexpr uint32_t kLongestCountedText = 8192;

bool isPrintable(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte <= 0x7E;
}

bool isHighByte(char c) {
  return static_cast<unsigned char>(c) >= 0x80;
}

// The payload bits a lead byte carries, and the smallest value each length may encode: a
// smaller one is an overlong form of a shorter character.
struct Utf8Lead {
  unsigned char first;
  unsigned char last;
  unsigned char payloadMask;
  uint32_t smallest;
};
constexpr Utf8Lead kUtf8Leads[] = {
    {0xC2, 0xDF, 0x1F, 0x80},
    {0xE0, 0xEF, 0x0F, 0x800},
    {0xF0, 0xF4, 0x07, 0x10000},
};
constexpr uint32_t kFirstSurrogate = 0xD800;
constexpr uint32_t kLastSurrogate = 0xDFFF;
constexpr uint32_t kLastCodePoint = 0x10FFFF;
}  // namespace

int32_t copyPrintable(char* destination, const char* source, int32_t limit) {
  int32_t count = 0;
  while (count < limit && isPrintable(source[count])) {
    destination[count] = source[count];
    ++count;
  }
  destination[count] = '\0';
  return count;
}

int32_t copyText(char* destination, const char* source, int32_t limit) {
  if (destination == nullptr || source == nullptr || limit < 0) return 0;
  int32_t count = 0;
  while (count < limit && source[count] != '\0') {
    destination[count] = source[count];
    ++count;
  }
  destination[count] = '\0';
  return count;
}

int hexDigitValue(char c) {
  if (isDecimalDigit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int32_t appendText(char* destination, const char* source, int32_t limit) {
  return copyText(destination + textLength(destination), source, limit);
}

uint32_t textLength(const char* text) {
  uint32_t length = 0;
  while (length < kLongestCountedText && text[length] != '\0') ++length;
  return length;
}

int32_t utf8CharacterLength(const char* text) {
  unsigned char lead = static_cast<unsigned char>(text[0]);
  int32_t length = 2;
  for (const Utf8Lead& form : kUtf8Leads) {
    if (lead >= form.first && lead <= form.last) {
      uint32_t value = lead & form.payloadMask;
      for (int32_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
      }
      bool surrogate = value >= kFirstSurrogate && value <= kLastSurrogate;
      if (value < form.smallest || surrogate || value > kLastCodePoint) return 0;
      return length;
    }
    ++length;
  }
  return 0;
}

int32_t nameLength(const char* source, int32_t limit, bool utf8) {
  int32_t count = 0;
  while (count < limit) {
    if (isPrintable(source[count])) {
      ++count;
      continue;
    }
    if (!utf8 || !isHighByte(source[count])) break;
    int32_t length = utf8CharacterLength(source + count);
    if (length == 0) return -1;
    if (count + length > limit) break;
    count += length;
  }
  return count;
}

int32_t copyName(char* destination, const char* source, int32_t limit, bool utf8) {
  int32_t count = nameLength(source, limit, utf8);
  if (count < 0) return count;
  for (int32_t i = 0; i < count; ++i) destination[i] = source[i];
  destination[count] = '\0';
  return count;
}

int32_t commandTextLength(const char* text, int32_t limit, bool utf8) {
  int32_t count = 0;
  while (text[count] != '\0') {
    int32_t length = isPrintable(text[count]) ? 1 : 0;
    if (length == 0 && utf8 && isHighByte(text[count])) length = utf8CharacterLength(text + count);
    if (length == 0 || count + length > limit) return -1;
    count += length;
  }
  return count;
}

int32_t formatDecimal(uint64_t value, char* text) {
  char reversed[kDecimalSize];
  int32_t count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int32_t i = 0; i < count; ++i) text[i] = reversed[count - 1 - i];
  text[count] = '\0';
  return count;
}

void formatDigest(const unsigned char* digest, char* text) {
  static const char kDigits[] = "0123456789ABCDEF";
  constexpr int kDigestSize = 32;
  for (int i = 0; i < kDigestSize; ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 15];
  }
  text[2 * kDigestSize] = '\0';
}
