// The dotted-quad test on server names, read from a copy of exactly the input's size, against
// a plain restatement of its rule: four components of digits only, each below 256 however many
// digits it has (an empty one is 0), ended by '.' or the end of the text; anything after the
// fourth '.' is not looked at.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/net.h"

namespace {
bool isQuad(const std::vector<char>& text, uint32_t* address) {
  size_t at = 0;
  *address = 0;
  for (int component = 0; component < 4; ++component) {
    uint32_t value = 0;
    for (; text[at] != '.' && text[at] != '\0'; ++at) {
      if (text[at] < '0' || text[at] > '9') return false;
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      if (value >= 256) return false;
    }
    if (component < 3 && text[at] != '.') return false;
    if (text[at] == '.') ++at;
    *address = *address << 8 | value;
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> name(data, data + size);
  name.push_back('\0');
  uint32_t expected = 0;
  bool quad = isQuad(name, &expected);
  fuzz::require(netIsDottedQuad(name.data()) == (quad ? 1 : 0), "the dotted-quad rule");
  if (quad) fuzz::require(netParseDottedQuad(name.data()) == expected, "the address of a quad");
  return 0;
}
