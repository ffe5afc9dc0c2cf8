// 32 channels driven by 32 threads at once, each its own, against pyftpdlib and vsftpd (in
// passive and active mode), in clear and in TLS; then, while no channel runs, release and attach
// again from one thread, and the threads use the new channels. run.sh test also runs this under
// ThreadSanitizer; the library-wide settings are only changed while no channel runs.
//
// pyftpdlib 1.5.7 serves concurrent sessions in active mode unreliably: closing a session's
// earlier PORT connector unregisters its old descriptor number from the event loop, which by
// then may belong to another session's socket; that socket then never sees its events (a
// passive data connection is never accepted). Its channels here use passive mode.
#include <gtest/gtest.h>

#include <barrier>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dap32.h"
#include "support/library_fixture.h"
#include "support/real_server.h"
#include "support/scripted_session.h"
#include "support/test_files.h"

namespace {

using namespace ftptest;
namespace fs = std::filesystem;

constexpr int32_t kChannels = 32;

// Attaches by itself; the fixture gives the settings back afterwards.
class Concurrency : public LibraryFixture {
 protected:
  Concurrency() : LibraryFixture(0) {}
};

TEST_F(Concurrency, ThirtyTwoChannelsOnThirtyTwoThreads) {
  RealServer servers[4] = {
      RealServer(RealServerKind::Pyftpdlib), RealServer(RealServerKind::Vsftpd),
      RealServer(RealServerKind::PyftpdlibTls), RealServer(RealServerKind::VsftpdTls)};
  const auto serverOf = [&](int32_t ch) -> const RealServer& { return servers[ch % 4]; };
  for (const RealServer& server : servers) ASSERT_TRUE(server.ok()) << server.error();
  TempDir local("dap32-concurrency");
  // Channel ch: the server's directory cN holding downN.bin; upN.bin here.
  const auto file = [](const char* stem, int32_t ch) { return stem + std::to_string(ch) + ".bin"; };
  const auto serverDir = [&](int32_t ch) {
    return fs::path(serverOf(ch).root()) / ("c" + std::to_string(ch));
  };
  for (int32_t ch = 0; ch < kChannels; ++ch) {
    fs::create_directories(serverDir(ch));
    ASSERT_TRUE(
        writeFile((serverDir(ch) / file("down", ch)).string(), std::string(5000 + ch, 'd')));
    ASSERT_TRUE(writeFile(local.file(file("up", ch)), std::string(7000, 'u')));
  }
  for (const RealServer& server : servers) ASSERT_TRUE(server.hand_over_tree());

  // Set up from one thread while no channel runs: the settings are library-wide.
  const auto attach = [&] {
    ASSERT_EQ(dapAttach(kChannels, 0), 1);
    dapSetInteger(0, DAP_SET_POLL_SLEEP, 5);
    // Every close pauses holding the library's one lock, so with 32 channels a listing can
    // wait far longer for its polls than alone.
    dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, 60000);
    std::set<uint16_t> windows;
    for (int32_t ch = 0; ch < kChannels; ++ch) {
      const RealServer& server = serverOf(ch);
      dapSetInteger(ch, DAP_SET_SERVER_PORT, server.port());
      dapSetInteger(ch, DAP_SET_PASSIVE, !real_server_is_vsftpd(server.kind()) || ch / 4 % 2 == 1);
      dapSetInteger(ch, DAP_SET_TLS, real_server_has_tls(server.kind()) ? 1 : 0);
      dapSetString(ch, DAP_STR_TLS_CA_FILE, server.certificate().c_str());
      ASSERT_EQ(dapSetLocalDir(ch, local.path().c_str()), 0);
      while (!windows.insert(useOwnPortWindow(channelTable[ch])).second) {
      }
    }
  };
  std::vector<std::string> failures(kChannels);
  const auto check = [&](int32_t ch, const char* what, int32_t result, int32_t expected) {
    if (result != expected) {
      failures[ch] += std::string(what) + " gave " + std::to_string(result) + "; ";
    }
  };
  // Each channel moves a file up, a file down or a listing, in a directory of its own.
  const auto firstRound = [&](int32_t ch) {
    const RealServer& server = serverOf(ch);
    check(ch, "connect",
          dapConnect(ch, "127.0.0.1", server.user().c_str(), server.password().c_str()), 0);
    check(ch, "cwd", dapSetServerDir(ch, serverDir(ch).filename().c_str()), 0);
    check(ch, "type", dapSetMode(ch, 'B'), 0);
    char listing[64] = "";
    const std::string names = file("down", ch) + "\r\n";
    if (ch % 3 == 0) check(ch, "put", dapPutFile(ch, file("up", ch).c_str()), 0);
    if (ch % 3 == 1) check(ch, "get", dapGetFile(ch, file("down", ch).c_str()), 0);
    if (ch % 3 == 2) {
      check(ch, "list", dapGetList(ch, DAP_LIST_NAMES, listing, sizeof listing),
            static_cast<int32_t>(names.size()));
      check(ch, "listing", names == listing, 1);
    }
    check(ch, "close", dapClose(ch), 0);
  };
  // On the records of the new attach: what needs no server.
  const auto secondRound = [&](int32_t ch) {
    check(ch, "driver", dapDriver(ch), 0);
    check(ch, "abort", dapAbort(ch), 1);
    check(ch, "steps", dapGetInteger(ch, DAP_GET_STEP_COUNT), 0);
  };

  attach();
  std::barrier<> roundEnd(kChannels + 1);
  std::vector<std::thread> threads;
  for (int32_t ch = 0; ch < kChannels; ++ch) {
    threads.emplace_back([&, ch] {
      firstRound(ch);
      roundEnd.arrive_and_wait();  // the main thread releases and attaches again
      roundEnd.arrive_and_wait();
      secondRound(ch);
    });
  }
  roundEnd.arrive_and_wait();
  for (int cycle = 0; cycle < 10; ++cycle) {
    EXPECT_EQ(dapRelease(), 1);
    attach();
  }
  roundEnd.arrive_and_wait();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(dapRelease(), 1);

  for (int32_t ch = 0; ch < kChannels; ++ch) {
    EXPECT_EQ(failures[ch], "") << "channel " << ch;
    if (ch % 3 == 0) {
      EXPECT_EQ(fs::file_size(serverDir(ch) / file("up", ch)), 7000u);
    } else if (ch % 3 == 1) {
      EXPECT_EQ(fs::file_size(local.file(file("down", ch))), 5000u + ch);
    }
  }
}

}  // namespace
