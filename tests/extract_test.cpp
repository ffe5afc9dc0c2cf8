// dapExtract: lines and blank-separated fields out of CR LF text such as a listing.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "dap32.h"

namespace {

constexpr size_t kBufferSize = 64;
constexpr char kFill = 'x';

struct Outcome {
  int32_t count;
  std::optional<std::string> stored;  // nullopt: the buffer was not touched
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  out << "{" << outcome.count << ", ";
  if (outcome.stored) {
    out << '"' << *outcome.stored << '"';
  } else {
    out << "untouched";
  }
  return out << "}";
}

Outcome stored(int32_t count, const std::string& text) {
  return {count, text};
}
Outcome untouched() {
  return {0, std::nullopt};
}

// The text goes into a heap block of exactly its size, so a read past its NUL is caught by
// AddressSanitizer; the result buffer is pre-filled to show what was written.
Outcome extract(const std::string& text, int32_t line, int32_t field, int32_t size) {
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  std::memcpy(exact.get(), text.c_str(), text.size() + 1);
  char buffer[kBufferSize];
  std::memset(buffer, kFill, sizeof buffer);
  const int32_t count = dapExtract(exact.get(), line, field, buffer, size);
  if (std::string(buffer, sizeof buffer) == std::string(sizeof buffer, kFill)) {
    return {count, std::nullopt};
  }
  const size_t end = std::string(buffer, sizeof buffer).find('\0');
  if (end == std::string::npos) return {count, "<no NUL stored>"};
  for (size_t i = end + 1; i < sizeof buffer; ++i) {
    if (buffer[i] != kFill) return {count, "<written past the NUL>"};
  }
  return {count, std::string(buffer, end)};
}

struct Case {
  const char* name;
  std::string text;
  int32_t line;
  int32_t field;
  int32_t size;
  Outcome expected;
};

void expectAll(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(extract(c.text, c.line, c.field, c.size), c.expected) << c.name;
  }
}

const std::string kThreeLines = "A\r\nB\r\nC\r\n";
// Line 1 has nine words between runs of spaces and tabs, with blanks before and after them.
const std::string kListing =
    "total 2\r\n"
    "  \tdrwxr-xr-x \t 2  ftp\t\tftp   4096 Feb  2 2020\t sub  \r\n"
    "-rw-r--r-- 1 ftp ftp 1234 Jan 01 12:00 notes.txt\r\n";
const std::string kLine1 = "  \tdrwxr-xr-x \t 2  ftp\t\tftp   4096 Feb  2 2020\t sub  ";

// Lines count from 0 and line 0 cannot be selected; a line counts only if a CR ends it.
TEST(Extract, Lines) {
  expectAll({
      {"second line", kThreeLines, 1, 0, 100, stored(1, "B")},
      {"third line", kThreeLines, 2, 0, 100, stored(1, "C")},
      {"past the last line", kThreeLines, 3, 0, 100, untouched()},
      {"line 0", kThreeLines, 0, 0, 100, untouched()},
      {"field of line 0", kThreeLines, 0, 1, 100, untouched()},
      {"far line", kThreeLines, INT_MAX, 0, 100, untouched()},
      {"last line without CR LF", "A\r\nB\r\nC", 2, 0, 100, untouched()},
      {"no CR at all", "A B C", 1, 0, 100, untouched()},
      {"empty text", "", 1, 0, 100, untouched()},
      {"empty line", "A\r\n\r\nC\r\n", 1, 0, 100, stored(0, "")},
      {"whole line keeps its blanks", kListing, 1, 0, 100,
       stored(static_cast<int32_t>(kLine1.size()), kLine1)},
      {"whole line cut to size", kListing, 1, 0, 3, stored(3, "  \t")},
  });
}

TEST(Extract, Fields) {
  expectAll({
      {"first word after leading blanks", kListing, 1, 1, 100, stored(10, "drwxr-xr-x")},
      {"second word after spaces and a tab", kListing, 1, 2, 100, stored(1, "2")},
      {"word after two tabs", kListing, 1, 4, 100, stored(3, "ftp")},
      {"ninth word before trailing blanks", kListing, 1, 9, 100, stored(3, "sub")},
      {"tenth of nine words", kListing, 1, 10, 100, stored(0, "")},
      {"far field", kListing, 1, 1000, 100, stored(0, "")},
      {"last word ends at the CR", kListing, 2, 9, 100, stored(9, "notes.txt")},
      {"field stops at its line", "h\r\nlast\r\nnext\r\n", 1, 2, 100, stored(0, "")},
      {"blank line has no field", "h\r\n \t \r\nnext\r\n", 1, 1, 100, stored(0, "")},
      {"field longer than size", kListing, 1, 1, 4, stored(4, "drwx")},
      {"field of exactly size", kListing, 1, 1, 10, stored(10, "drwxr-xr-x")},
      {"size 0 stores an empty text", kListing, 1, 1, 0, stored(0, "")},
      {"negative size touches nothing", kListing, 1, 1, -1, untouched()},
      {"most negative size", kListing, 1, 0, INT_MIN, untouched()},
  });
}

// A CR without its LF is stepped over alone and never carries the scan past the NUL.
TEST(Extract, LoneCarriageReturns) {
  expectAll({
      {"lone CR ends a line", "A\rB\r\n", 1, 0, 100, stored(1, "B")},
      {"lone CR before CR LF", "A\r\r\nB\r\n", 1, 0, 100, stored(0, "")},
      {"line after lone CR and CR LF", "A\r\r\nB\r\n", 2, 0, 100, stored(1, "B")},
      {"CR ends the text", "A\r\nB\r", 1, 0, 100, stored(1, "B")},
      {"past a CR that ends the text", "A\r\nB\r", 2, 0, 100, untouched()},
      {"far past a CR that ends the text", "A\r", 5, 1, 100, untouched()},
      {"only a CR", "\r", 1, 0, 100, untouched()},
  });
}

// Line 0 cannot be selected, so a negative line number must not reach it either.
TEST(Extract, NegativeLineSelectsNothing) {
  for (int32_t line : {-1, -2, INT_MIN}) {
    EXPECT_EQ(extract(kThreeLines, line, 0, 100), untouched()) << line;
    EXPECT_EQ(extract(kListing, line, 1, 100), untouched()) << line;
  }
}

TEST(Extract, NullTextOrBufferIsNeverWritten) {
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(dapExtract(nullptr, 1, 0, buffer, 7), 0);
  EXPECT_STREQ(buffer, "xxxxxxx");
  EXPECT_EQ(dapExtract(kThreeLines.c_str(), 1, 0, nullptr, 7), 0);
  EXPECT_EQ(dapExtract(kListing.c_str(), 1, 1, nullptr, 100), 0);
  EXPECT_EQ(dapExtract(nullptr, 0, 0, nullptr, 0), 0);
}

// No attach is needed and nothing is kept between calls.
TEST(Extract, WorksUnattachedAndKeepsNoState) {
  ASSERT_EQ(dapGetInteger(0, DAP_GET_VERSION), DAP_ERR_NOT_ATTACHED);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(extract(kListing, 2, 5, 100), stored(4, "1234"));
    EXPECT_EQ(extract(kListing, 1, 3, 100), stored(3, "ftp"));
  }
}

}  // namespace
