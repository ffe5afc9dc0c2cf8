// dapExtract on any text, line, field and buffer size: the result fits the caller's buffer of
// exactly size + 1 bytes, is NUL-terminated there, and is a piece of the text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "dap32.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  int32_t line = input.ConsumeIntegralInRange<int32_t>(-2, 40);
  int32_t field = input.ConsumeIntegralInRange<int32_t>(-2, 40);
  int32_t limit = input.ConsumeIntegralInRange<int32_t>(-2, 600);
  std::string text = input.ConsumeRemainingBytesAsString();
  std::vector<char> buffer(limit >= 0 ? static_cast<size_t>(limit) + 1 : 1, '#');
  int32_t length = dapExtract(text.c_str(), line, field, buffer.data(), limit);
  fuzz::require(length >= 0 && length <= (limit > 0 ? limit : 0), "the piece fits the buffer");
  if (length > 0) {
    fuzz::require(buffer[static_cast<size_t>(length)] == '\0', "the piece is NUL-terminated");
    fuzz::require(strstr(text.c_str(), buffer.data()) != nullptr, "the piece is part of the text");
  }
  return 0;
}
