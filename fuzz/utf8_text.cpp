// The UTF-8 checks on any bytes, against a decoder of the well-formed sequences written here
// from Unicode's table: a name keeps printable ASCII and, with utf8, whole valid characters, up
// to the first other byte and within its limit, and fails only on an ill-formed sequence before
// that; a command's text is taken whole or refused.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/text.h"
#include "fuzz/fuzz_support.h"

namespace {
// The bytes that may follow a lead byte, for the second byte and for each one after it.
struct Sequence {
  unsigned char firstLead, lastLead;
  unsigned char secondLow, secondHigh;
  int length;
};
constexpr Sequence kWellFormed[] = {
    {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
    {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
    {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
};

int referenceLength(const unsigned char* text) {
  for (const Sequence& form : kWellFormed) {
    if (text[0] < form.firstLead || text[0] > form.lastLead) continue;
    if (text[1] < form.secondLow || text[1] > form.secondHigh) return 0;
    for (int i = 2; i < form.length; ++i) {
      if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    }
    return form.length;
  }
  return 0;
}

bool printable(unsigned char byte) {
  return byte >= 0x20 && byte <= 0x7E;
}

int32_t referenceName(const unsigned char* text, int32_t limit, bool utf8) {
  int32_t count = 0;
  while (count < limit) {
    if (printable(text[count])) {
      ++count;
    } else if (utf8 && text[count] >= 0x80) {
      int length = referenceLength(text + count);
      if (length == 0) return -1;
      if (count + length > limit) break;
      count += length;
    } else {
      break;
    }
  }
  return count;
}

int32_t referenceCommand(const unsigned char* text, int32_t limit, bool utf8) {
  int32_t count = 0;
  while (text[count] != 0) {
    int length = printable(text[count])        ? 1
                 : utf8 && text[count] >= 0x80 ? referenceLength(text + count)
                                               : 0;
    if (length == 0 || count + length > limit) return -1;
    count += length;
  }
  return count;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  int32_t limit = input.ConsumeIntegralInRange<int32_t>(0, 300);
  bool utf8 = input.ConsumeBool();
  std::string text = input.ConsumeRemainingBytesAsString();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());

  int32_t kept = nameLength(text.c_str(), limit, utf8);
  fuzz::require(kept == referenceName(bytes, limit, utf8), "a name keeps what the table allows");
  std::vector<char> copy(static_cast<size_t>(limit) + 1 + 8, '#');
  fuzz::require(copyName(copy.data(), text.c_str(), limit, utf8) == kept, "copyName keeps as much");
  if (kept >= 0) {
    fuzz::require(std::memcmp(copy.data(), text.c_str(), static_cast<size_t>(kept)) == 0 &&
                      copy[static_cast<size_t>(kept)] == '\0',
                  "the copy is the name's first bytes and a NUL");
  } else {
    fuzz::require(copy[0] == '#', "a refused name leaves the destination untouched");
  }
  for (size_t i = static_cast<size_t>(limit) + 1; i < copy.size(); ++i) {
    fuzz::require(copy[i] == '#', "nothing is written past the limit and its NUL");
  }
  if (!utf8) {
    std::vector<char> printableCopy(static_cast<size_t>(limit) + 1);
    fuzz::require(copyPrintable(printableCopy.data(), text.c_str(), limit) == kept,
                  "without UTF-8 a name is cut as it always was");
  }
  fuzz::require(
      commandTextLength(text.c_str(), limit, utf8) == referenceCommand(bytes, limit, utf8),
      "a command's text is taken whole or refused");
  return 0;
}
