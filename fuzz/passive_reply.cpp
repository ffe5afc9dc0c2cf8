// The port of a PASV reply, read from a copy of exactly the input's size, so that reading past
// its NUL is caught. A port is only ever found where the line holds six numbers.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Channel* channel = fuzz::channel();
  std::vector<char> line(data, data + size);
  line.push_back('\0');
  int32_t found = netParsePassivePort(channel, line.data());
  int numbers = 0;
  for (size_t i = 4; i < size && line[i] != '\0'; ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    bool previousDigit = i > 4 && line[i - 1] >= '0' && line[i - 1] <= '9';
    if (digit && !previousDigit) ++numbers;
  }
  fuzz::require(found == 0 || (found == 1 && numbers >= 6), "a port only from six numbers");
  return 0;
}
