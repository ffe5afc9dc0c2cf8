// Faults injected into the OS calls of the POSIX seam, at every point of a session against
// pyftpdlib: a failure ends its operation with a negative result that has a text, leaves the
// local file closed and no descriptor open that the channel record does not hold, and the
// channel then does the operation it failed; faults that the seam must absorb (short transfers,
// EAGAIN after a poll, EINTR) change nothing.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "dap32.h"
#include "support/case_name.h"
#include "support/library_fixture.h"
#include "support/real_server.h"

namespace {

using namespace ftptest;
namespace fs = std::filesystem;

constexpr int32_t kChan = 0;

struct FaultCase {
  const char* name;
  PlatCall call;
  int error;   // errno, an EAI_ code for the resolver; 0 a short transfer
  int period;  // 0: one run per call of the session, failing that call; else every period-th
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name;
}

int openDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count - 1;  // the iterator's own
}

class FaultInjection : public LibraryFixture, public ::testing::WithParamInterface<FaultCase> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LibraryFixture::SetUp());
    ASSERT_TRUE(server_.ok()) << server_.error();
    for (size_t i = 0; i < 20000; ++i) down_ += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(writeFile(server_.root() + "/down.bin", down_));
    ASSERT_TRUE(writeFile(dir().file("up.bin"), std::string(3000, 'u')));
    ASSERT_EQ(dapSetLocalDir(kChan, dir().path().c_str()), 0);
    dapSetInteger(kChan, DAP_SET_SERVER_PORT, server_.port());
    dapSetInteger(kChan, DAP_SET_POLL_SLEEP, 1);
    dapSetInteger(kChan, DAP_SET_FINAL_BLOCK_DELAY, 0);
    dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 5000);
  }
  void TearDown() override {
    platClearFaults();
    LibraryFixture::TearDown();
  }

  // The session: a host name for the resolver, an active download with file writes, a passive
  // upload, a passive listing.
  struct Step {
    const char* name;
    std::function<int32_t()> run;
    int32_t success;
  };
  const std::vector<Step> steps_ = {
      {"connect",
       [this] {
         return dapConnect(kChan, "localhost", server_.user().c_str(), server_.password().c_str());
       },
       0},
      {"get",
       [] {
         dapSetInteger(kChan, DAP_SET_PASSIVE, 0);
         return dapGetFile(kChan, "down.bin");
       },
       0},
      {"put",
       [] {
         dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
         return dapPutFile(kChan, "up.bin");
       },
       0},
      {"list",
       [] {
         char names[256] = "";
         return dapGetList(kChan, DAP_LIST_NAMES, names, sizeof names);
       },
       18},  // "down.bin\r\nup.bin\r\n"
  };

  // Every descriptor the failure left open is one of the record's.
  int heldByRecord() const {
    int held = 0;
    for (PlatSocket socket :
         {channel()->controlSocket, channel()->dataSocket, channel()->listenSocket}) {
      held += socket > 0 ? 1 : 0;
    }
    return held;
  }

  // A fault in a send or receive shuts its connection down, as a reset does.
  static bool controlAlive() {
    tcp_info info{};
    socklen_t length = sizeof info;
    return channel()->controlSocket > 0 &&
           getsockopt(channel()->controlSocket, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_state == TCP_ESTABLISHED;
  }

  // Runs the session and returns how many steps failed; the checks are made after each failure.
  int runSession(const std::string& label) {
    SCOPED_TRACE(label);
    const int before = openDescriptors();
    int failures = 0;
    for (const Step& step : steps_) {
      const int32_t result = step.run();
      if (result == step.success) continue;
      ++failures;
      SCOPED_TRACE(std::string(step.name) + " gave " + std::to_string(result));
      char text[256] = "";
      EXPECT_LT(result, 0);
      EXPECT_GT(dapErrorText(kChan, result, text, sizeof text), 0);
      EXPECT_EQ(channel()->localFile, 0);
      EXPECT_EQ(openDescriptors(), before + heldByRecord());
      // The channel does the operation it failed: on the same session if the fault left the
      // control connection alive, else after logging in again.
      if (!controlAlive()) {
        EXPECT_EQ(steps_[0].run(), 0);
      }
      EXPECT_EQ(step.run(), step.success);
    }
    EXPECT_EQ(fs::file_size(dir().file("down.bin")), down_.size());
    EXPECT_EQ(fs::file_size(server_.root() + "/up.bin"), 3000u);
    closeQuietly(channel());
    EXPECT_EQ(openDescriptors(), before);
    return failures;
  }

  RealServer server_{RealServerKind::Pyftpdlib};
  std::string down_;
};

TEST_P(FaultInjection, EveryPointOfASession) {
  const FaultCase& c = GetParam();
  platClearFaults();
  ASSERT_EQ(runSession("without faults"), 0);
  const int32_t calls = platCallCount(c.call);
  ASSERT_GT(calls, 0);
  if (c.period > 0) {
    platClearFaults();
    platInjectFault(c.call, 1, c.error, c.period);
    EXPECT_EQ(runSession("with every " + std::to_string(c.period) + ". call faulty"), 0);
    EXPECT_TRUE(fileBytes(dir().file("down.bin")) == down_);
    return;
  }
  for (int32_t n = 1; n <= calls; ++n) {
    platClearFaults();
    platInjectFault(c.call, n, c.error, 0);
    EXPECT_EQ(runSession("call " + std::to_string(n) + " of " + std::to_string(calls)), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Seam, FaultInjection,
    ::testing::Values(FaultCase{"SocketCannotBeCreated", kPlatCallSocket, EMFILE, 0},
                      FaultCase{"ConnectRefused", kPlatCallConnect, ECONNREFUSED, 0},
                      FaultCase{"BindInUse", kPlatCallBind, EADDRINUSE, 0},
                      FaultCase{"ListenFails", kPlatCallListen, EADDRINUSE, 0},
                      FaultCase{"AcceptAborted", kPlatCallAccept, ECONNABORTED, 0},
                      FaultCase{"LocalNameFails", kPlatCallLocalName, ENOBUFS, 0},
                      FaultCase{"ResolverFails", kPlatCallResolve, EAI_AGAIN, 0},
                      FaultCase{"SendReset", kPlatCallSend, ECONNRESET, 0},
                      FaultCase{"DiskFull", kPlatCallFileWrite, ENOSPC, 0},
                      FaultCase{"SendShort", kPlatCallSend, 0, 1},
                      FaultCase{"ReceiveShort", kPlatCallReceive, 0, 1},
                      FaultCase{"FileWriteShort", kPlatCallFileWrite, 0, 1},
                      FaultCase{"ReceiveNothingAfterPoll", kPlatCallReceive, EAGAIN, 3},
                      FaultCase{"SendInterrupted", kPlatCallSend, EINTR, 2},
                      FaultCase{"ReceiveInterrupted", kPlatCallReceive, EINTR, 2},
                      FaultCase{"ConnectInterrupted", kPlatCallConnect, EINTR, 2},
                      FaultCase{"AcceptInterrupted", kPlatCallAccept, EINTR, 2},
                      FaultCase{"PollInterrupted", kPlatCallPoll, EINTR, 2},
                      FaultCase{"FileWriteInterrupted", kPlatCallFileWrite, EINTR, 2}),
    caseName);

}  // namespace
