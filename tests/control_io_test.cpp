// The command sender and the reply reader against a peer that writes scripted bytes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "dap32.h"
#include "frame/channel.h"
#include "net/net.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Both ends of one loopback connection: near is the control socket, far plays the server.
struct Pair {
  int near = -1;
  int far = -1;
};

Pair connectedPair() {
  Pair pair;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener >= 0) close(listener);
    return pair;
  }
  pair.near = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(pair.near, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    pair.far = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  }
  close(listener);
  return pair;
}

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t count = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (count <= 0) return;
    done += static_cast<size_t>(count);
  }
}

struct Step {
  int pauseMs;
  std::string bytes;
};
enum class End { stayOpen, close, reset };

class ControlIO : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(dapAttach(1, 0), 1);
    channel = channelTable[0];
    pair = connectedPair();
    ASSERT_GT(pair.near, 0);
    ASSERT_GT(pair.far, 0);
    channel->controlSocket = pair.near;
    logPath = testing::TempDir() + "control_io_test_" + std::to_string(getpid()) + ".log";
    channel->logFile = platFileCreate(logPath.c_str());
    ASSERT_GT(channel->logFile, 0);
    settings.replyTimeout = 3000;  // a reader that waits wrongly fails in seconds
    settings.pollSleep = 20;
  }

  void TearDown() override {
    if (server.joinable()) server.join();
    settings.replyTimeout = savedReplyTimeout;
    settings.pollSleep = savedPollSleep;
    if (channel->logFile != 0) platFileClose(channel->logFile);
    channel->logFile = 0;
    unlink(logPath.c_str());
    channel->controlSocket = 0;
    dapRelease();
    close(pair.near);
    if (pair.far > 0) close(pair.far);
  }

  // The server writes the steps from another thread, each after its pause, then ends.
  void serve(std::vector<Step> steps, End end = End::stayOpen) {
    server = std::thread([this, steps = std::move(steps), end] {
      for (const Step& step : steps) {
        if (stopServer) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
        writeAll(pair.far, step.bytes);
      }
      if (end == End::reset) {
        std::this_thread::sleep_for(50ms);
        linger abort{1, 0};
        setsockopt(pair.far, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      if (end != End::stayOpen) {
        close(pair.far);
        pair.far = -1;
      }
    });
  }

  std::string logText() const {
    std::ifstream file(logPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  // A reader still waiting after the limit is ended by shutting the connection down, so that
  // a wrong wait fails the test instead of hanging it.
  int32_t readReply(int limitMs = 6000) {
    auto reader = std::async(std::launch::async, [this] { return netReadReply(channel); });
    if (reader.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
      ADD_FAILURE() << "the reader was still waiting after " << limitMs << " ms";
      shutdown(pair.near, SHUT_RDWR);
    }
    return reader.get();
  }

  std::string response() const { return channel->responseBuffer; }

  Channel* channel = nullptr;
  Pair pair;
  std::string logPath;
  std::thread server;
  std::atomic<bool> stopServer{false};
  const uint32_t savedReplyTimeout = settings.replyTimeout;
  const uint32_t savedPollSleep = settings.pollSleep;
};

TEST_F(ControlIO, SendCommandAddsLineEnd) {
  EXPECT_EQ(netSendCommand(pair.near, "PWD"), 5);
  const std::string longCommand = "STOR " + std::string(1995, 'f');
  EXPECT_EQ(netSendCommand(pair.near, longCommand.c_str()), 2002);

  std::string received;
  char buffer[4096];
  auto start = Clock::now();
  while (received.size() < 2007 && msSince(start) < 3000) {
    ssize_t count = recv(pair.far, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count > 0) received.append(buffer, static_cast<size_t>(count));
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(received, "PWD\r\n" + longCommand + "\r\n");
}

TEST_F(ControlIO, SingleLineReplyIsNotLoggedByReader) {
  writeAll(pair.far, "220 ready\r\n");
  EXPECT_EQ(readReply(), 11);
  EXPECT_EQ(channel->serverCode, 220);
  EXPECT_EQ(response(), "220 ready\r\n");
  EXPECT_EQ(logText(), "");
}

TEST_F(ControlIO, MultiLineReplyLogsAllButItsLastLine) {
  writeAll(pair.far, "230-Welcome\r\n Second line\r\n230 Logged in\r\n");
  EXPECT_EQ(readReply(), 15);
  EXPECT_EQ(channel->serverCode, 230);
  EXPECT_EQ(response(), "230 Logged in\r\n");
  EXPECT_EQ(logText(), "r: 230-Welcome\r\nc:  Second line\r\n");
}

// Replies from 401 are logged; from 500 they fail with -18 and the line is kept.
TEST_F(ControlIO, ReplyCodesAroundTheLoggingAndErrorBounds) {
  writeAll(pair.far, "400 a\r\n401 b\r\n421 bye\r\n500 c\r\n550 denied\r\n");
  EXPECT_EQ(readReply(), 7);
  EXPECT_EQ(readReply(), 7);
  EXPECT_EQ(readReply(), 9);
  EXPECT_EQ(channel->serverCode, 421);
  EXPECT_EQ(readReply(), -18);
  EXPECT_EQ(readReply(), -18);
  EXPECT_EQ(channel->serverCode, 550);
  EXPECT_EQ(response(), "550 denied\r\n");
  EXPECT_EQ(logText(),
            "FtpResponse: [401 b\r\n] Code=401\r\n"
            "FtpResponse: [421 bye\r\n] Code=421\r\n"
            "FtpResponse: [500 c\r\n] Code=500\r\n"
            "FtpResponse: [550 denied\r\n] Code=550\r\n");
}

TEST_F(ControlIO, ReplySplitAcrossWritesWithPauses) {
  serve({{0, "23"},
         {100, "0-Wel"},
         {100, "come\r\n"},
         {150, " indented\r\n"},
         {200, "230 o"},
         {100, "k\r\n"}});
  EXPECT_EQ(readReply(), 8);
  EXPECT_EQ(channel->serverCode, 230);
  EXPECT_EQ(response(), "230 ok\r\n");
  EXPECT_EQ(logText(), "r: 230-Welcome\r\nc:  indented\r\n");
}

TEST_F(ControlIO, LineWithBlankAsFourthCharacterEndsReply) {
  writeAll(pair.far, "230-Welcome\r\nOur rules\r\n230 ok\r\n");
  EXPECT_EQ(readReply(), 11);
  EXPECT_EQ(channel->serverCode, 0);
  EXPECT_EQ(response(), "Our rules\r\n");
  EXPECT_EQ(readReply(), 8);
  EXPECT_EQ(channel->serverCode, 230);
}

// A line shorter than four characters has no fourth character; what an earlier, longer line
// left behind its NUL must not end the reply. The pause keeps later bytes from filling the gap.
TEST_F(ControlIO, EmptyLineInsideReplyDoesNotEndIt) {
  serve({{0, "230-Welcome\r\n    indented\r\n\r\n"}, {300, "230 ok\r\n"}});
  EXPECT_EQ(readReply(), 8);
  EXPECT_EQ(channel->serverCode, 230);
  EXPECT_EQ(response(), "230 ok\r\n");
  EXPECT_EQ(logText(), "r: 230-Welcome\r\nc:     indented\r\nr: \r\n");
}

TEST_F(ControlIO, BareCodeWithoutLineEndEndsReply) {
  writeAll(pair.far, "220");
  EXPECT_EQ(readReply(), 3);
  EXPECT_EQ(channel->serverCode, 220);
  EXPECT_EQ(response(), "220");
}

TEST_F(ControlIO, LongLineComesInTwoPieces) {
  const std::string line = "220 " + std::string(2994, 'x') + "\r\n";
  writeAll(pair.far, line);
  EXPECT_EQ(readReply(), 2047);
  EXPECT_EQ(channel->serverCode, 220);
  EXPECT_EQ(response(), line.substr(0, 2047));

  char rest[2048];
  EXPECT_EQ(netReceiveLine(pair.near, rest, sizeof rest, 2000, 500, platTicks() + 5000), 953);
  EXPECT_EQ(std::string(rest), line.substr(2047));
}

TEST_F(ControlIO, ReaderStopsAtDeadline) {
  auto start = Clock::now();
  channel->deadlineTick = tickAfter(platTicks(), 400);
  EXPECT_EQ(readReply(), -22);
  long elapsed = msSince(start);
  EXPECT_GE(elapsed, 350);
  EXPECT_LE(elapsed, 2000);

  // An unfinished multi-line reply is bounded the same way.
  writeAll(pair.far, "230-Welcome\r\n");
  start = Clock::now();
  channel->deadlineTick = tickAfter(platTicks(), 400);
  EXPECT_EQ(readReply(), -22);
  elapsed = msSince(start);
  EXPECT_GE(elapsed, 350);
  EXPECT_LE(elapsed, 2000);
  EXPECT_EQ(logText(), "r: 230-Welcome\r\n");
}

TEST_F(ControlIO, ReaderWithoutDeadlineStopsAfterReplyTimeout) {
  settings.replyTimeout = 400;
  channel->deadlineTick = 0;
  auto start = Clock::now();
  EXPECT_EQ(readReply(), -22);
  long elapsed = msSince(start);
  EXPECT_GE(elapsed, 350);
  EXPECT_LE(elapsed, 2000);
}

// A deadline 2^30 ms behind the clock still lies in the past after the counter wrapped, where
// an unsigned comparison would see it far ahead.
TEST_F(ControlIO, DeadlineComparesBySignedDifference) {
  channel->deadlineTick = platTicks() + 0xC0000000u;
  auto start = Clock::now();
  EXPECT_EQ(readReply(3000), -22);
  EXPECT_LE(msSince(start), 2000);
}

// A server trickling one line without end keeps data coming, but not past the deadline.
TEST_F(ControlIO, TrickledLineDoesNotOutlastDeadline) {
  std::vector<Step> trickle{{0, "230-"}};
  for (int i = 0; i < 30; ++i) trickle.push_back({100, "x"});
  serve(std::move(trickle));
  channel->deadlineTick = tickAfter(platTicks(), 300);
  auto start = Clock::now();
  int32_t result = readReply();
  long elapsed = msSince(start);
  stopServer = true;
  EXPECT_EQ(result, -22);
  EXPECT_LE(elapsed, 1500);
}

TEST_F(ControlIO, ConnectionClosedWhileAwaitingReply) {
  channel->serverCode = 331;
  serve({}, End::close);
  EXPECT_EQ(readReply(), -1);
  EXPECT_EQ(channel->serverCode, 331);
}

TEST_F(ControlIO, ConnectionClosedInsideMultiLineReply) {
  serve({{0, "230-Welcome\r\n"}}, End::close);
  EXPECT_EQ(readReply(), -1);
}

// Text without its line end followed by the end of the connection is no reply.
TEST_F(ControlIO, LineCutShortByClose) {
  serve({{0, "230 ok"}}, End::close);
  EXPECT_EQ(readReply(), -1);
}

TEST_F(ControlIO, BareCodeCutShortByClose) {
  serve({{0, "221"}}, End::close);
  EXPECT_EQ(readReply(), -1);
}

TEST_F(ControlIO, LineCutShortByReset) {
  serve({{0, "230 ok"}}, End::reset);
  EXPECT_EQ(readReply(), -1);
}

TEST_F(ControlIO, CompleteLineBeforeCloseIsAReply) {
  serve({{0, "221 bye\r\n"}}, End::close);
  EXPECT_EQ(readReply(), 9);
  EXPECT_EQ(channel->serverCode, 221);
}

TEST_F(ControlIO, NoControlSocketReturnsAtOnce) {
  settings.pollSleep = 300;
  channel->controlSocket = 0;
  auto start = Clock::now();
  EXPECT_EQ(readReply(), 1);
  EXPECT_LT(msSince(start), 150);
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
      {"12345678901 x", 1234567890, 11},
      {"1234567890", 1234567890, 10},
  };
  for (const CodeCase& c : cases) {
    memset(channel->responseBuffer, 'S', 64);
    strcpy(channel->responseBuffer, c.line);
    EXPECT_EQ(netReplyCode(channel), c.code) << '"' << c.line << '"';
    EXPECT_EQ(channel->responseText - channel->responseBuffer, c.textOffset)
        << '"' << c.line << '"';
  }
}

TEST_F(ControlIO, DirectoryReplySetsResponseText) {
  writeAll(pair.far, "257 \"/pub\" is current\r\n");
  EXPECT_EQ(readReply(), 23);
  EXPECT_STREQ(channel->responseText, "/pub\" is current\r\n");
}

}  // namespace
