// The command sender and the reply reader against a peer that writes scripted bytes.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "dap32.h"
#include "frame/channel.h"
#include "net/net.h"
#include "support/case_name.h"
#include "support/library_fixture.h"
#include "support/local_pair.h"
#include "support/timing.h"

namespace {

using namespace ftptest;
using namespace std::chrono_literals;

struct Step {
  int pauseMs;
  std::string bytes;
};
enum class End { stayOpen, close, reset };

// One loopback connection: near is the control socket, far plays the server.
class ControlIO : public LibraryFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LibraryFixture::SetUp());
    ASSERT_TRUE(pair.valid());
    channel()->controlSocket = pair.engineEnd();
    openLog();
    settings.replyTimeout = 3000;  // a reader that waits wrongly fails in seconds
    settings.pollSleep = 20;
  }

  void TearDown() override {
    if (server.joinable()) server.join();
    LibraryFixture::TearDown();
  }

  void writeAll(const std::string& bytes) {
    ASSERT_EQ(pair.sendFromPeer(bytes), static_cast<int>(bytes.size()));
  }

  // The server writes the steps from another thread, each after its pause, then ends.
  void serve(std::vector<Step> steps, End end = End::stayOpen) {
    server = std::thread([this, steps = std::move(steps), end] {
      for (const Step& step : steps) {
        if (stopServer) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
        pair.sendFromPeer(step.bytes);
      }
      if (end == End::reset) {
        std::this_thread::sleep_for(50ms);
        pair.closePeer(LocalPair::PeerClose::Reset);
      } else if (end == End::close) {
        pair.closePeer(LocalPair::PeerClose::Orderly);
      }
    });
  }

  // A reader still waiting after the limit is ended by shutting the connection down, so that
  // a wrong wait fails the test instead of hanging it.
  int32_t readReply(int limitMs = 6000) {
    auto reader = std::async(std::launch::async, [] { return netReadReply(channel()); });
    if (reader.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
      ADD_FAILURE() << "the reader was still waiting after " << limitMs << " ms";
      shutdown(near, SHUT_RDWR);
    }
    return reader.get();
  }

  std::string response() const { return channel()->responseBuffer; }

  LocalPair pair{LocalPair::Kind::Tcp};
  const int near = pair.end(0);
  const int far = pair.end(1);
  std::thread server;
  std::atomic<bool> stopServer{false};
};

TEST_F(ControlIO, SendCommandAddsLineEnd) {
  EXPECT_EQ(netSendCommand(near, "PWD"), 5);
  const std::string longCommand = "STOR " + std::string(1995, 'f');
  EXPECT_EQ(netSendCommand(near, longCommand.c_str()), 2002);

  std::string received;
  char buffer[4096];
  auto start = Clock::now();
  while (received.size() < 2007 && msSince(start) < 3000) {
    ssize_t count = recv(far, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count > 0) received.append(buffer, static_cast<size_t>(count));
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(received, "PWD\r\n" + longCommand + "\r\n");
}

// Replies from 401 are logged; from 500 they fail with -18 and the line is kept.
TEST_F(ControlIO, ReplyCodesAroundTheLoggingAndErrorBounds) {
  writeAll("400 a\r\n401 b\r\n421 bye\r\n500 c\r\n550 denied\r\n");
  EXPECT_EQ(readReply(), 7);
  EXPECT_EQ(readReply(), 7);
  EXPECT_EQ(readReply(), 9);
  EXPECT_EQ(channel()->serverCode, 421);
  EXPECT_EQ(readReply(), -18);
  EXPECT_EQ(readReply(), -18);
  EXPECT_EQ(channel()->serverCode, 550);
  EXPECT_EQ(response(), "550 denied\r\n");
  EXPECT_EQ(log(),
            "FtpResponse: [401 b\r\n] Code=401\r\n"
            "FtpResponse: [421 bye\r\n] Code=421\r\n"
            "FtpResponse: [500 c\r\n] Code=500\r\n"
            "FtpResponse: [550 denied\r\n] Code=550\r\n");
}

TEST_F(ControlIO, LineWithBlankAsFourthCharacterEndsReply) {
  writeAll("230-Welcome\r\nOur rules\r\n230 ok\r\n");
  EXPECT_EQ(readReply(), 11);
  EXPECT_EQ(channel()->serverCode, 0);
  EXPECT_EQ(response(), "Our rules\r\n");
  EXPECT_EQ(readReply(), 8);
  EXPECT_EQ(channel()->serverCode, 230);
}

struct ReplyCase {
  const char* name;
  std::vector<Step> steps;
  End end;
  int32_t result;  // the reply's length, or -1 for a connection that ended inside it
  std::optional<int32_t> serverCode;
  std::string response;
  std::string log;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
  *out << c.name;
}

class ControlIOReply : public ControlIO, public ::testing::WithParamInterface<ReplyCase> {};

// The reader logs the lines before a multi-line reply's last; text cut short by the end of
// the connection gives no code.
TEST_P(ControlIOReply, ReadsOneWholeReply) {
  const ReplyCase& c = GetParam();
  channel()->serverCode = 331;
  serve(c.steps, c.end);
  EXPECT_EQ(readReply(), c.result);
  if (c.serverCode) {
    EXPECT_EQ(channel()->serverCode, *c.serverCode);
  }
  if (c.result > 0) {
    EXPECT_EQ(response(), c.response);
    EXPECT_EQ(log(), c.log);
  }
}

// A line shorter than four characters has no fourth character; what an earlier, longer line
// left behind its NUL must not end the reply. The pause keeps later bytes from filling the gap.
INSTANTIATE_TEST_SUITE_P(
    ControlIO, ControlIOReply,
    ::testing::Values(
        ReplyCase{"SingleLineIsNotLogged",
                  {{0, "220 ready\r\n"}},
                  End::stayOpen,
                  11,
                  220,
                  "220 ready\r\n",
                  ""},
        ReplyCase{"MultiLineLogsAllButItsLastLine",
                  {{0, "230-Welcome\r\n Second line\r\n230 Logged in\r\n"}},
                  End::stayOpen,
                  15,
                  230,
                  "230 Logged in\r\n",
                  "r: 230-Welcome\r\nc:  Second line\r\n"},
        ReplyCase{"SplitAcrossWritesWithPauses",
                  {{0, "23"},
                   {100, "0-Wel"},
                   {100, "come\r\n"},
                   {150, " indented\r\n"},
                   {200, "230 o"},
                   {100, "k\r\n"}},
                  End::stayOpen,
                  8,
                  230,
                  "230 ok\r\n",
                  "r: 230-Welcome\r\nc:  indented\r\n"},
        ReplyCase{"EmptyLineInsideDoesNotEndIt",
                  {{0, "230-Welcome\r\n    indented\r\n\r\n"}, {300, "230 ok\r\n"}},
                  End::stayOpen,
                  8,
                  230,
                  "230 ok\r\n",
                  "r: 230-Welcome\r\nc:     indented\r\nr: \r\n"},
        ReplyCase{"BareCodeWithoutLineEnd", {{0, "220"}}, End::stayOpen, 3, 220, "220", ""},
        ReplyCase{
            "CompleteLineBeforeClose", {{0, "221 bye\r\n"}}, End::close, 9, 221, "221 bye\r\n", ""},
        ReplyCase{"ClosedBeforeAnyByte", {}, End::close, -1, 331, "", ""},
        ReplyCase{"ClosedInsideMultiLineReply",
                  {{0, "230-Welcome\r\n"}},
                  End::close,
                  -1,
                  std::nullopt,
                  "",
                  ""},
        // Text without its line end followed by the end of the connection is no reply.
        ReplyCase{"LineCutShortByClose", {{0, "230 ok"}}, End::close, -1, 331, "", ""},
        ReplyCase{"BareCodeCutShortByClose", {{0, "221"}}, End::close, -1, 331, "", ""},
        ReplyCase{"LineCutShortByReset", {{0, "230 ok"}}, End::reset, -1, 331, "", ""}),
    caseName);

TEST_F(ControlIO, LongLineComesInTwoPieces) {
  const std::string line = "220 " + std::string(2994, 'x') + "\r\n";
  writeAll(line);
  EXPECT_EQ(readReply(), 2047);
  EXPECT_EQ(channel()->serverCode, 220);
  EXPECT_EQ(response(), line.substr(0, 2047));

  char rest[2048];
  EXPECT_EQ(netReceiveLine(near, rest, sizeof rest, 2000, 500, platTicks() + 5000), 953);
  EXPECT_EQ(std::string(rest), line.substr(2047));
}

TEST_F(ControlIO, ReaderStopsAtDeadline) {
  auto start = Clock::now();
  channel()->deadlineTick = tickAfter(platTicks(), 400);
  EXPECT_EQ(readReply(), -22);
  EXPECT_TRUE(elapsedBetween(msSince(start), 350, 2000));

  // An unfinished multi-line reply is bounded the same way.
  writeAll("230-Welcome\r\n");
  start = Clock::now();
  channel()->deadlineTick = tickAfter(platTicks(), 400);
  EXPECT_EQ(readReply(), -22);
  EXPECT_TRUE(elapsedBetween(msSince(start), 350, 2000));
  EXPECT_EQ(log(), "r: 230-Welcome\r\n");

  // Nor is a line whose end does not come by the deadline: the 500 ms for the rest of a line
  // would reach past it.
  writeAll("257 \"/pa");
  channel()->deadlineTick = tickAfter(platTicks(), 300);
  EXPECT_EQ(readReply(), -22);
}

TEST_F(ControlIO, ReaderWithoutDeadlineStopsAfterReplyTimeout) {
  settings.replyTimeout = 400;
  channel()->deadlineTick = 0;
  auto start = Clock::now();
  EXPECT_EQ(readReply(), -22);
  EXPECT_TRUE(elapsedBetween(msSince(start), 350, 2000));
}

// A deadline 2^30 ms behind the clock still lies in the past after the counter wrapped, where
// an unsigned comparison would see it far ahead.
TEST_F(ControlIO, DeadlineComparesBySignedDifference) {
  channel()->deadlineTick = platTicks() + 0xC0000000u;
  auto start = Clock::now();
  EXPECT_EQ(readReply(3000), -22);
  EXPECT_LE(msSince(start), 2000);
}

// A server trickling one line without end keeps data coming, but not past the deadline.
TEST_F(ControlIO, TrickledLineDoesNotOutlastDeadline) {
  std::vector<Step> trickle{{0, "230-"}};
  for (int i = 0; i < 30; ++i) trickle.push_back({100, "x"});
  serve(std::move(trickle));
  channel()->deadlineTick = tickAfter(platTicks(), 300);
  auto start = Clock::now();
  int32_t result = readReply();
  long elapsed = msSince(start);
  stopServer = true;
  EXPECT_EQ(result, -22);
  EXPECT_LE(elapsed, 1500);
}

TEST_F(ControlIO, NoControlSocketReturnsAtOnce) {
  settings.pollSleep = 1000;
  channel()->controlSocket = 0;
  auto start = Clock::now();
  EXPECT_EQ(readReply(), 1);
  EXPECT_LT(msSince(start), 500);
}

struct CodeCase {
  const char* line;
  int32_t code;
  int textOffset;  // where responseText points, from the start of the buffer
};

// Stale text behind the line's NUL shows any pointer past the end of the line.
TEST_F(ControlIO, ReplyCodeAndResponseText) {
  const CodeCase cases[] = {
      {"257 \"/pub\" ok\r\n", 257, 5},
      {"257", 257, 3},
      {"257 ", 257, 4},
      {"25", 25, 2},
      {"abc", 0, 2},
      {"", 0, 0},
      {"1234567890 dir", 1234567890, 11},
      {"12345678901 x", 2147483647, 11},
      {"4294967546 x", 2147483647, 11},
      {"0000000000250 x", 250, 11},
      {"1234567890", 1234567890, 10},
  };
  for (const CodeCase& c : cases) {
    memset(channel()->responseBuffer, 'S', 64);
    strcpy(channel()->responseBuffer, c.line);
    EXPECT_EQ(netReplyCode(channel()), c.code) << '"' << c.line << '"';
    EXPECT_EQ(channel()->responseText - channel()->responseBuffer, c.textOffset)
        << '"' << c.line << '"';
  }
}

TEST_F(ControlIO, DirectoryReplySetsResponseText) {
  writeAll("257 \"/pub\" is current\r\n");
  EXPECT_EQ(readReply(), 23);
  EXPECT_STREQ(channel()->responseText, "/pub\" is current\r\n");
}

}  // namespace
