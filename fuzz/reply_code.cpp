// The reply code of a line: never negative, 500 or more exactly when the number its leading
// digits make is, however many digits there are; responseText inside the line.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/net.h"

namespace {
// Whether the decimal number at the start of text is 500 or more, read as a string.
bool atLeast500(const char* text) {
  while (*text == '0') ++text;
  size_t digits = 0;
  while (text[digits] >= '0' && text[digits] <= '9') ++digits;
  return digits > 3 || (digits == 3 && std::string(text, 3) >= "500");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Channel* channel = fuzz::channel();
  size_t length = size < kLineBufferSize - 1 ? size : kLineBufferSize - 1;
  memcpy(channel->responseBuffer, data, length);
  channel->responseBuffer[length] = '\0';
  int32_t code = netReplyCode(channel);
  fuzz::require(code >= 0, "a reply code is never negative");
  fuzz::require((code >= 500) == atLeast500(channel->responseBuffer),
                "500 or more exactly when the leading digits are");
  size_t line = strlen(channel->responseBuffer);
  fuzz::require(channel->responseText >= channel->responseBuffer &&
                    channel->responseText <= channel->responseBuffer + line,
                "responseText points into the line");
  return 0;
}
