// Socket primitives over real loopback connections: readiness polls and waits, the global
// lock, reads that never block, sends that never lose bytes, and the closes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "dap32.h"
#include "frame/channel.h"
#include "net/net.h"
#include "support/child_process.h"
#include "support/library_fixture.h"
#include "support/local_pair.h"
#include "support/test_files.h"
#include "support/timing.h"

namespace {

using namespace ftptest;
using namespace std::chrono_literals;

// Reads are only meaningful once the peer's bytes have all arrived.
bool waitPending(int fd, int bytes) {
  auto start = Clock::now();
  int pending = 0;
  while (msSince(start) < 3000) {
    if (ioctl(fd, FIONREAD, &pending) == 0 && pending >= bytes) return true;
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

// One loopback connection: near is handed to the library, far plays the peer.
class SocketPrimitives : public LibraryFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LibraryFixture::SetUp());
    ASSERT_TRUE(pair.valid());
  }

  void writeAll(const std::string& bytes) {
    ASSERT_EQ(pair.sendFromPeer(bytes), static_cast<int>(bytes.size()));
  }

  LocalPair pair{LocalPair::Kind::Tcp};
  const int near = pair.end(0);
  const int far = pair.end(1);
};

TEST_F(SocketPrimitives, ZeroTimeOutIsOnePollWithoutSleep) {
  settings.pollSleep = 1000;  // any sleep would show in the elapsed time, however busy the host
  auto start = Clock::now();
  EXPECT_EQ(netWaitReadable(near, 0), 0);
  EXPECT_EQ(netWaitWritable(near, 0), 1);
  EXPECT_EQ(rokStatus(near, 1), 0);
  EXPECT_EQ(rokStatus(near, 2), 1);
  EXPECT_EQ(rokStatus(near, 3), 0);
  EXPECT_LT(msSince(start), 500);

  writeAll("x");
  ASSERT_TRUE(waitPending(near, 1));
  start = Clock::now();
  EXPECT_EQ(rokStatus(near, 1), 1);
  EXPECT_EQ(netWaitReadable(near, 0), 1);
  EXPECT_LT(msSince(start), 500);
}

TEST_F(SocketPrimitives, TimedWaitEndsAfterTimeOutOnQuietSocket) {
  settings.pollSleep = 20;
  auto start = Clock::now();
  EXPECT_EQ(netWaitReadable(near, 500), 0);
  EXPECT_TRUE(elapsedBetween(msSince(start), 450, 2000));
}

// Waiting is sleeping pollSleep between zero-time-out polls, so data arriving early in a sleep
// is only seen at the next poll.
TEST_F(SocketPrimitives, TimedWaitPollsAtPollSleepCadence) {
  settings.pollSleep = 300;
  std::thread peer([this] {
    std::this_thread::sleep_for(40ms);
    writeAll("220 ready\r\n");
  });
  auto start = Clock::now();
  EXPECT_EQ(netWaitReadable(near, 5000), 1);
  EXPECT_TRUE(elapsedBetween(msSince(start), 250, 2000));
  peer.join();
}

// A full send buffer makes the socket unwritable: the writable wait times out, and a read on a
// socket that cannot be written is taken as a closed connection.
TEST_F(SocketPrimitives, UnwritableSocket) {
  writeAll("pending\r\n");
  ASSERT_TRUE(waitPending(near, 9));
  std::vector<char> block(65536, 'z');
  auto start = Clock::now();
  while (send(near, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    ASSERT_LT(msSince(start), 10000) << "send buffer never filled";
  }
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(rokStatus(near, 2), 0);

  settings.pollSleep = 20;
  start = Clock::now();
  EXPECT_EQ(netWaitWritable(near, 300), 0);
  EXPECT_TRUE(elapsedBetween(msSince(start), 250, 2000));

  char buffer[64];
  EXPECT_EQ(netReceive(near, buffer, sizeof buffer), -1);
  EXPECT_EQ(netPeek(near, buffer, sizeof buffer), -1);
}

TEST_F(SocketPrimitives, BadPollModeLeavesLockReleased) {
  for (int32_t mode : {0, 4, -1}) EXPECT_EQ(rokStatus(near, mode), -4) << mode;

  auto other = std::async(std::launch::async, [] {
    platLockEnter();
    platLockLeave();
  });
  bool taken = other.wait_for(2s) == std::future_status::ready;
  if (!taken) {
    // Give back the holds the bad calls kept so that the other thread can finish.
    for (int hold = 0; hold < 3; ++hold) platLockLeave();
  }
  other.wait();
  EXPECT_TRUE(taken) << "the lock stayed held after rokStatus rejected the mode";
}

TEST_F(SocketPrimitives, PeekReceiveAndReceivePartOnTwoLines) {
  writeAll("220-A\r\n220 B\r\n");
  ASSERT_TRUE(waitPending(near, 14));

  char buffer[64];
  EXPECT_EQ(netReceivePart(near, buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "220-A\r\n");

  // Peek and receive leave the bytes after the data alone: no NUL is written.
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(netPeek(near, buffer, sizeof buffer), 7);
  EXPECT_EQ(std::string(buffer, 8), "220 B\r\n#");
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(netPeek(near, buffer, sizeof buffer), 7);
  EXPECT_EQ(netReceive(near, buffer, sizeof buffer), 7);
  EXPECT_EQ(std::string(buffer, 8), "220 B\r\n#");

  // A live connection without data: nothing, and no blocking.
  auto start = Clock::now();
  EXPECT_EQ(netReceive(near, buffer, sizeof buffer), 0);
  EXPECT_EQ(netPeek(near, buffer, sizeof buffer), 0);
  EXPECT_EQ(netReceivePart(near, buffer, sizeof buffer), 0);
  EXPECT_LT(msSince(start), 500);
}

TEST_F(SocketPrimitives, ReceivePartCutsLongLineBeforeSize) {
  const std::string line = std::string(2998, 'x') + "\r\n";
  writeAll(line);
  ASSERT_TRUE(waitPending(near, 3000));

  std::vector<char> buffer(2048);  // exact size: a write past it is a heap overflow
  EXPECT_EQ(netReceivePart(near, buffer.data(), 2048), 2047);
  EXPECT_EQ(strlen(buffer.data()), 2047u);
  EXPECT_EQ(netReceivePart(near, buffer.data(), 2048), 953);
  EXPECT_EQ(std::string(buffer.data()), line.substr(2047));
}

TEST_F(SocketPrimitives, OrderlyCloseReadsAsClosedAfterPendingData) {
  writeAll("bye");
  shutdown(far, SHUT_WR);
  ASSERT_TRUE(waitPending(near, 3));

  char buffer[64];
  EXPECT_EQ(netReceive(near, buffer, sizeof buffer), 3);
  settings.pollSleep = 20;
  ASSERT_EQ(netWaitReadable(near, 2000), 1);  // the end of the connection is readable
  EXPECT_EQ(netPeek(near, buffer, sizeof buffer), -1);
  EXPECT_EQ(netReceive(near, buffer, sizeof buffer), -1);
  EXPECT_EQ(netReceivePart(near, buffer, sizeof buffer), -1);
}

// The send buffer is far smaller than the data and each send gives up after 200 ms, so sends
// come back partial; every byte must still arrive, in order.
TEST_F(SocketPrimitives, SendContinuesPartialSends) {
  timeval limit{0, 200000};
  ASSERT_EQ(setsockopt(near, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit), 0);
  std::vector<char> data(8 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 12));

  std::vector<char> received;
  received.reserve(data.size());
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<char> chunk(16384);
    auto start = Clock::now();
    while (received.size() < data.size() && !stop && msSince(start) < 30000) {
      ssize_t count = recv(far, chunk.data(), chunk.size(), MSG_DONTWAIT);
      if (count > 0) received.insert(received.end(), chunk.begin(), chunk.begin() + count);
      if (count == 0) break;
      std::this_thread::sleep_for(1ms);
    }
  });
  int32_t sent = netSend(near, data.data(), static_cast<int32_t>(data.size()));
  if (sent != static_cast<int32_t>(data.size())) stop = true;
  reader.join();
  EXPECT_EQ(sent, static_cast<int32_t>(data.size()));
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

// Both sends: the commands' and the data path's, which must not wait either.
TEST_F(SocketPrimitives, SendToClosedPeerFailsWithoutSignal) {
  for (auto send : {netSend, netSendAvailable}) {
    const int result = runInChild([send] {
      // The parent still holds the fixture's pair, so the child closes a pair of its own.
      signal(SIGPIPE, SIG_DFL);
      LocalPair own(LocalPair::Kind::Tcp);
      own.closePeer(LocalPair::PeerClose::Orderly);
      std::vector<char> block(65536, 'q');
      int32_t sent = 0;
      for (int attempt = 0; attempt < 200 && sent >= 0; ++attempt) {
        sent = send(own.end(0), block.data(), static_cast<int32_t>(block.size()), nullptr);
        usleep(5000);
      }
      const int32_t error = platSocketError();
      return sent == -1 && (error == 10053 || error == 10054) ? 0 : 1;
    });
    ASSERT_GE(result, 0) << "killed by signal " << -result;
    EXPECT_EQ(result, 0) << "send did not fail with -1 and 10053/10054";
  }
}

TEST_F(SocketPrimitives, CloseSleepsHalfThePauseHoldingTheLock) {
  for (uint32_t pause : {125u, 0x1007Du}) {  // only the low 16 bits count
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto start = Clock::now();
    EXPECT_EQ(netCloseSocket(fd, pause), 1);
    EXPECT_TRUE(elapsedBetween(msSince(start), 55, 2000)) << pause;
    EXPECT_FALSE(isOpen(fd));
  }

  // Another thread asking for the lock during a pause of 1 s waits for its end, however late a
  // busy host lets it ask.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::atomic<bool> closing{false};
  std::atomic<long> waited{-1};
  std::thread other([&] {
    while (!closing) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);
    auto asked = Clock::now();
    platLockEnter();
    waited = msSince(asked);
    platLockLeave();
  });
  auto start = Clock::now();
  closing = true;
  EXPECT_EQ(netCloseSocket(fd, 2000), 1);
  long elapsed = msSince(start);
  other.join();
  EXPECT_GE(elapsed, 990);
  EXPECT_GE(waited.load(), 400) << "the lock was free during the pause";
}

// Pauses of a second and more, so that a busy host's delays cannot pass for one.
TEST_F(SocketPrimitives, ClosePause0ClosesWithoutSleeping) {
  ASSERT_EQ(dapSetInteger(0, DAP_SET_CLOSE_PAUSE, 0), 0);
  for (uint32_t pause : {2000u, 0xFFFFu}) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto start = Clock::now();
    EXPECT_EQ(netCloseSocket(fd, pause), 1);
    EXPECT_TRUE(elapsedBetween(msSince(start), 0, 500)) << pause;
    EXPECT_FALSE(isOpen(fd));
  }
}

TEST_F(SocketPrimitives, CloseRejectsBadHandlesAndSparesStandardInput) {
  int fd = dup(near);
  close(fd);
  EXPECT_EQ(netCloseSocket(fd, 0), -10009);
  bool stdinOpen = isOpen(0);
  EXPECT_LT(netCloseSocket(0, 0), 0);
  EXPECT_EQ(isOpen(0), stdinOpen);
}

TEST_F(SocketPrimitives, CloseTransferWithNothingOpenWritesNoLine) {
  openLog();
  const PlatSocket control = pair.engineEnd();
  channel()->controlSocket = control;
  netCloseTransfer(channel(), 0);
  EXPECT_EQ(log(), "");
  EXPECT_EQ(channel()->controlSocket, control);
  EXPECT_TRUE(isOpen(control));
}

TEST_F(SocketPrimitives, CloseTransferClosesFileListenerAndDataSocket) {
  openLog();
  Channel* c = channel();
  c->localFile = platFileCreate(dir().file("data").c_str());
  ASSERT_GT(c->localFile, 0);
  const int file = c->localFile;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int data = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const PlatSocket control = pair.engineEnd();
  c->listenSocket = listener;
  c->dataSocket = data;
  c->controlSocket = control;

  netCloseTransfer(c, 0);

  EXPECT_EQ(log(), "Closing file\r\nClosing listener socket\r\nClosing data socket\r\n");
  EXPECT_EQ(c->localFile, 0);
  EXPECT_EQ(c->listenSocket, 0);
  EXPECT_EQ(c->dataSocket, 0);
  EXPECT_FALSE(isOpen(file));
  EXPECT_FALSE(isOpen(listener));
  EXPECT_FALSE(isOpen(data));
  EXPECT_EQ(c->controlSocket, control);
  EXPECT_TRUE(isOpen(control));
}

// select() could not watch a descriptor this high; every primitive must still work on it.
TEST_F(SocketPrimitives, SocketAboveDescriptor1023) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max <= 1100) GTEST_SKIP() << "hard limit";
  rlimit raised = saved;
  if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur <= 1100) raised.rlim_cur = 1200;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

  int high = fcntl(near, F_DUPFD_CLOEXEC, 1100);
  ASSERT_GE(high, 1100);
  settings.pollSleep = 20;
  EXPECT_EQ(netWaitReadable(high, 0), 0);
  EXPECT_EQ(rokStatus(high, 2), 1);
  writeAll("220 ok\r\n");
  EXPECT_EQ(netWaitReadable(high, 2000), 1);
  char buffer[64];
  EXPECT_EQ(netReceivePart(high, buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "220 ok\r\n");
  EXPECT_EQ(netSend(high, "PWD\r\n", 5), 5);
  ASSERT_TRUE(waitPending(far, 5));
  EXPECT_EQ(recv(far, buffer, sizeof buffer, 0), 5);
  EXPECT_EQ(netCloseSocket(high, 0), 1);
  setrlimit(RLIMIT_NOFILE, &saved);
}

// In a child whose descriptor 0 is free, neither a new nor an accepted socket may be 0.
TEST_F(SocketPrimitives, HandleZeroIsNeverHandedOut) {
  const int listener = loopbackSocket();
  ASSERT_GT(listener, 0);
  const int client = connectLoopback(localPortOf(listener));
  ASSERT_GT(client, 0);

  const int failures = runInChild([listener] {
    int failures = 0;
    close(0);
    uint32_t peer = 0;
    uint16_t port = 0;
    if (platSocketAccept(listener, &peer, &port) <= 0) failures |= 1;
    close(0);
    if (netOpenSocket() <= 0) failures |= 2;
    return failures;
  });
  closeSocket(client);
  closeSocket(listener);
  ASSERT_GE(failures, 0) << "killed by signal " << -failures;
  EXPECT_EQ(failures & 1, 0) << "accept handed out 0";
  EXPECT_EQ(failures & 2, 0) << "socket creation handed out 0";
}

}  // namespace
