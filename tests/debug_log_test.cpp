// The per-channel debug log: dapDebug, the application's own lines, the 1023-character cut,
// and silence while no log is open.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "dap32.h"
#include "frame/channel.h"
#include "frame/log.h"
#include "platform/platform.h"
#include "support/library_fixture.h"
#include "support/test_files.h"

namespace {

using ftptest::fileBytes;
using ftptest::handlesOpenOn;
using ftptest::LibraryFixture;

// A text whose every position differs from its neighbours, so a cut shows where it fell.
std::string digits(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += static_cast<char>('0' + i % 10);
  return text;
}

class DebugLog : public LibraryFixture {
 protected:
  DebugLog() : LibraryFixture(2) {}
};

TEST_F(DebugLog, DebugWritesItsEntryLineAndReturns1) {
  const std::string log = openLog(0);
  EXPECT_EQ(dapDebug(0, 0, 0, 0), 1);
  EXPECT_EQ(fileBytes(log), "*** dapDebug\r\n");  // in the file before the call returns
  EXPECT_EQ(dapDebug(0, -1, INT_MAX, INT_MIN), 1);
  EXPECT_EQ(fileBytes(log), "*** dapDebug\r\n*** dapDebug\r\n");
}

TEST_F(DebugLog, ApplicationTextIsWrittenWithCrLf) {
  struct Case {
    const char* text;
    const char* line;
  };
  // The text is an argument of the format, never the format itself.
  for (Case c : {Case{"abc", "abc\r\n"}, Case{"", "\r\n"},
                 Case{"100% %s %d %n", "100% %s %d %n\r\n"}, Case{"tab\there", "tab\there\r\n"}}) {
    const std::string log = openLog(0);
    EXPECT_GT(dapSetString(0, DAP_STR_LOG_WRITE, c.text), 0);
    EXPECT_EQ(fileBytes(log), c.line) << c.text;
  }
}

TEST_F(DebugLog, FormattedLinesAreCutAt1023Characters) {
  struct Case {
    size_t textLength;
    std::string line;
  };
  const Case cases[] = {
      {2000, digits(1023)},  // the CR LF is lost with the cut part
      {1023, digits(1023)},
      {1022, digits(1022) + "\r"},
      {1021, digits(1021) + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.textLength);
    const std::string log = openLog(1);
    const std::string text = digits(c.textLength);
    EXPECT_GT(dapSetString(1, DAP_STR_LOG_WRITE, text.c_str()), 0);
    const std::string written = fileBytes(log);
    EXPECT_EQ(written.size(), c.line.size());
    EXPECT_EQ(written, c.line);
  }
}

TEST_F(DebugLog, NothingIsWrittenWhileNoLogIsOpen) {
  EXPECT_EQ(dapDebug(0, 0, 0, 0), 1);
  EXPECT_EQ(dapSetString(0, DAP_STR_LOG_WRITE, "abc"), 0);
  EXPECT_EQ(dapSetInteger(0, DAP_SET_AUTO_CALL, 1), 1);
  EXPECT_STREQ(channelTable[0]->logText, "") << "a line was formatted with no log open";

  // One channel's log takes none of another channel's lines.
  const std::string log = openLog(1);
  EXPECT_EQ(dapDebug(0, 0, 0, 0), 1);
  EXPECT_EQ(dapSetString(0, DAP_STR_LOG_WRITE, "abc"), 0);
  EXPECT_EQ(fileBytes(log), "");
}

// dapClose closes the log this way; the channel is silent until a new log is opened.
TEST_F(DebugLog, ClosedLogTakesNoMoreLinesAndANewOneStartsFresh) {
  const std::string first = openLog(0);
  EXPECT_EQ(dapDebug(0, 0, 0, 0), 1);
  logClose(channelTable[0]);
  EXPECT_EQ(channelTable[0]->logFile, 0);
  EXPECT_EQ(handlesOpenOn(first), 0);
  EXPECT_EQ(dapDebug(0, 0, 0, 0), 1);
  EXPECT_EQ(dapSetString(0, DAP_STR_LOG_WRITE, "late"), 0);
  EXPECT_EQ(fileBytes(first), "*** dapDebug\r\n");

  const std::string second = openLog(0);
  EXPECT_EQ(dapDebug(0, 0, 0, 0), 1);
  EXPECT_EQ(fileBytes(second), "*** dapDebug\r\n");
  EXPECT_EQ(fileBytes(first), "*** dapDebug\r\n");
}

// Release closes no log: the application closes its channels first.
TEST_F(DebugLog, ReleaseLeavesTheLogFileOpen) {
  const std::string log = openLog(0);
  const PlatFile file = channelTable[0]->logFile;
  ASSERT_EQ(dapRelease(), 1);
  EXPECT_EQ(handlesOpenOn(log), 1);
  platFileClose(file);
}

}  // namespace
