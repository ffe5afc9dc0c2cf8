// Text copies at the library boundary and between the channel's buffers.
#include "frame/text.h"

namespace {
constexpr uint32_t kLongestCountedText = 8192;

bool isPrintable(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte <= 0x7E;
}
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

int32_t appendText(char* destination, const char* source, int32_t limit) {
  return copyText(destination + textLength(destination), source, limit);
}

uint32_t textLength(const char* text) {
  uint32_t length = 0;
  while (length < kLongestCountedText && text[length] != '\0') ++length;
  return length;
}
