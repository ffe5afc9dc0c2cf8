// The port of an EPSV reply, read from a copy of exactly the input's size, against a plain
// restatement of RFC 2428's form: after the code, "(" and three times a printable delimiter
// that is no digit, one to five digits making 1 to 65535, the delimiter again and ")".
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/net.h"

namespace {
bool digit(char c) {
  return c >= '0' && c <= '9';
}

int32_t expectedPort(const std::vector<char>& line) {
  size_t at = 0;
  while (at < 4 && line[at] != '\0') ++at;
  while (line[at] != '\0' && line[at] != '(') ++at;
  if (line[at] != '(') return -1;
  char d = line[at + 1];
  if (d < 33 || d > 126 || digit(d) || line[at + 2] != d || line[at + 3] != d) return -1;
  size_t start = at + 4;
  size_t end = start;
  int32_t port = 0;
  while (digit(line[end]) && end - start < 6) port = port * 10 + (line[end++] - '0');
  if (end == start || end - start > 5 || port < 1 || port > 65535) return -1;
  return line[end] == d && line[end + 1] == ')' ? port : -1;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> line(data, data + size);
  line.push_back('\0');
  std::vector<char> exact(line);
  uint16_t port = 0;
  int32_t found = netParseExtendedPassivePort(exact.data(), &port);
  line.resize(line.size() + 8, '\0');  // the restatement may look a few bytes ahead
  int32_t expected = expectedPort(line);
  fuzz::require(found == (expected > 0 ? 1 : 0), "a port only from (|||port|)");
  if (found == 1) fuzz::require(port == expected, "the port as written");
  return 0;
}
