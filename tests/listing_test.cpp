// Directory listings into the caller's buffer: the command each type sends, how the buffer
// fills when the listing does not fit, and the argument taken from the buffer itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dap32.h"
#include "frame/channel.h"
#include "support/script_server.h"

namespace {

using namespace ftptest;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int32_t kChan = 0;

int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Exchange answer(std::string expect, std::string reply) {
  Exchange exchange;
  exchange.expect = std::move(expect);
  exchange.reply = {std::move(reply)};
  return exchange;
}

Exchange pasv() {
  return answer("PASV", "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2})\r\n");
}

Exchange port() {
  Exchange exchange = answer("PORT 127,0,0,1,[0-9]+,[0-9]+", "200 PORT command successful\r\n");
  exchange.pattern = true;
  return exchange;
}

Exchange listing(std::string command, std::string bytes) {
  Exchange exchange = answer(std::move(command), "150 Here comes the directory listing\r\n");
  exchange.data = Data::Send;
  exchange.sendBytes = std::move(bytes);
  exchange.finalReply = {"226 Directory send OK\r\n"};
  return exchange;
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    char pattern[] = "/tmp/dap32_listing_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(dapAttach(1, 0), 1);
    channel_ = channelTable[kChan];
    ASSERT_GT(dapSetString(kChan, DAP_STR_LOG_OPEN, (dir_ / "channel.log").c_str()), 0);
    dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 5000);
  }

  void TearDown() override {
    if (server_) {
      server_->stop();
      EXPECT_EQ(server_->failure(), "");
    }
    // Closed directly: dapClose and dapAbort pause after every socket they close.
    for (PlatSocket* socket :
         {&channel_->controlSocket, &channel_->listenSocket, &channel_->dataSocket}) {
      if (*socket > 0) ::close(*socket);
      *socket = 0;
    }
    if (channel_->logFile > 0) ::close(channel_->logFile);
    channel_->logFile = 0;
    dapRelease();
    settings = saved_;
    fs::remove_all(dir_);
  }

  // Logs in, then plays PASV and the listing exchange.
  void loginForListing(std::string command, std::string bytes) {
    login({pasv(), listing(std::move(command), std::move(bytes))});
    dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  }

  void login(std::vector<Exchange> exchanges) {
    Script script;
    script.greeting = {"220 hi\r\n"};
    script.exchanges = {answer("USER u", "331 pw\r\n"), answer("PASS p", "230 ok\r\n")};
    script.exchanges.insert(script.exchanges.end(), exchanges.begin(), exchanges.end());
    server_ = std::make_unique<ScriptServer>(std::move(script));
    dapSetInteger(kChan, DAP_SET_SERVER_PORT, server_->port());
    ASSERT_EQ(dapConnect(kChan, "127.0.0.1", "u", "p"), 0);
  }

  // Parallel test processes would otherwise share channel 0's clock-chosen window of
  // listening ports. This window lies below the library's windows (16384 up) and the
  // kernel's ephemeral ports; chosen at random and probed, it is very likely this test's alone.
  uint16_t useOwnPortWindow() {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto low = static_cast<uint16_t>(10016 + 32 * (random() % 199));
      bool free = true;
      for (uint16_t port = low; free && port < low + 32; ++port) free = portFree(port);
      if (!free) continue;
      channel_->dataPortLow = low;
      channel_->dataPortHigh = static_cast<uint16_t>(low + 31);
      channel_->dataPort = low;
      return static_cast<uint16_t>(low + 1);
    }
    ADD_FAILURE() << "no free window of listening ports";
    return 0;
  }

  // Bound as the library binds its listener, so a lingering TIME_WAIT does not count.
  static bool portFree(uint16_t port) {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    const int reuse = 1;
    ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool bound = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return bound;
  }

  // The commands after the login, with their line ends.
  Strings commands() const {
    Strings all = server_->commands();
    all.erase(all.begin(), all.begin() + std::min<size_t>(2, all.size()));
    return all;
  }

  std::string log() const {
    std::ifstream in(dir_ / "channel.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  Settings saved_{};
  fs::path dir_;
  Channel* channel_ = nullptr;
  std::unique_ptr<ScriptServer> server_;
};

struct TypeCase {
  int32_t type;
  const char* command;
};

class ListingTypeTest : public ListingTest, public ::testing::WithParamInterface<TypeCase> {};

// The pattern types take their argument from the buffer; the others ignore what it holds.
TEST_P(ListingTypeTest, SendsTheCommandOfTheTypeAndFillsTheBuffer) {
  const std::string text = "a.txt\r\nb.txt\r\n";
  ASSERT_NO_FATAL_FAILURE(loginForListing(GetParam().command, text));
  char buffer[64] = "*.txt";

  EXPECT_EQ(dapGetList(kChan, GetParam().type, buffer, sizeof buffer), 14);
  EXPECT_EQ(std::string(buffer), text);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", std::string(GetParam().command) + "\r\n"}));
  // Each piece is logged as it arrives.
  EXPECT_NE(log().find("\nR: a.txt\r\n"), std::string::npos);
  EXPECT_NE(log().find("\nR: b.txt\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Listing, ListingTypeTest,
                         ::testing::Values(TypeCase{0, "LIST"}, TypeCase{1, "NLST"},
                                           TypeCase{-2, "LIST"}, TypeCase{2, "LIST *.txt"},
                                           TypeCase{3, "NLST *.txt"}, TypeCase{9, "LIST *.txt"}));

class ListingModeTest : public ListingTest, public ::testing::WithParamInterface<ActiveConnect> {};

TEST_P(ListingModeTest, ActiveListingWorksWhicheverTheServerDoesFirst) {
  std::string text;
  for (int i = 0; i < 400; ++i)
    text += "-rw-r--r-- 1 ftp ftp 1234 Jan 01 00:00 file" + std::to_string(i) + "\r\n";
  Exchange list = listing("NLST", text);
  list.activeConnect = GetParam();
  if (GetParam() == ActiveConnect::AfterReply) {
    // The empty chunk holds the connect back, so the reply surely comes first.
    list.reply.push_back("");
    list.chunkPauseMs = 300;
  }
  ASSERT_NO_FATAL_FAILURE(login({port(), list}));
  useOwnPortWindow();
  std::vector<char> buffer(text.size() + 1, '#');

  EXPECT_EQ(dapGetList(kChan, DAP_LIST_NAMES, buffer.data(), static_cast<int32_t>(buffer.size())),
            static_cast<int32_t>(text.size()));
  EXPECT_EQ(std::string(buffer.data()), text);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), 226);
}

INSTANTIATE_TEST_SUITE_P(Listing, ListingModeTest,
                         ::testing::Values(ActiveConnect::AfterReply, ActiveConnect::BeforeReply),
                         [](const auto& info) {
                           return info.param == ActiveConnect::AfterReply ? "ServerRepliesFirst"
                                                                          : "ServerConnectsFirst";
                         });

TEST_F(ListingTest, LinesThatNoLongerFitAreSkippedAndLaterShortOnesKept) {
  ASSERT_NO_FATAL_FAILURE(
      loginForListing("LIST", "aaaaaaaaaa\r\nbb\r\ncccccccccccccccccccc\r\nd\r\n"));
  char buffer[32];
  std::memset(buffer, '#', sizeof buffer);

  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, buffer, 20), 19);
  EXPECT_EQ(std::string(buffer, 20), std::string("aaaaaaaaaa\r\nbb\r\nd\r\n") + '\0');
  EXPECT_EQ(std::string(buffer + 20, 12), std::string(12, '#'));
}

struct FitCase {
  const char* line;
  int32_t result;
};

class ListingFitTest : public ListingTest, public ::testing::WithParamInterface<FitCase> {};

// A line is stored only together with its NUL.
TEST_P(ListingFitTest, LineAndNulMustFitTheBuffer) {
  ASSERT_NO_FATAL_FAILURE(loginForListing("LIST", GetParam().line));
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);

  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, buffer, 10), GetParam().result);
  const std::string stored =
      GetParam().result > 0 ? std::string(GetParam().line) + '\0' : std::string(10, '#');
  EXPECT_EQ(std::string(buffer, 10), stored);
  EXPECT_EQ(std::string(buffer + 10, 6), std::string(6, '#'));
}

INSTANTIATE_TEST_SUITE_P(Listing, ListingFitTest,
                         ::testing::Values(FitCase{"abcdefg\r\n", 9}, FitCase{"abcdefgh\r\n", 0}));

TEST_F(ListingTest, PatternEndsBeforeAControlCharacter) {
  ASSERT_NO_FATAL_FAILURE(loginForListing("LIST *.txt", ""));
  char buffer[32] = "*.txt\r\nDELE x";
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL_PATTERN, buffer, sizeof buffer), 0);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "LIST *.txt\r\n"}));
}

// Heap buffers of exactly the given size, so that a read past them is caught by the sanitizer.
TEST_F(ListingTest, PatternIsNeverReadPastTheBufferSize) {
  ASSERT_NO_FATAL_FAILURE(login({pasv(), listing("NLST abcdef", "x\r\n"), pasv(),
                                 listing("LIST " + std::string(2000, 'a'), "")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  auto small = std::make_unique<char[]>(6);
  std::memcpy(small.get(), "abcdef", 6);
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_NAMES_PATTERN, small.get(), 6), 3);
  EXPECT_EQ(std::string(small.get(), 6), std::string("x\r\n\0ef", 6));

  auto large = std::make_unique<char[]>(3000);
  std::memset(large.get(), 'a', 3000);
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL_PATTERN, large.get(), 3000), 0);
  EXPECT_EQ(commands().size(), 4u);
}

TEST_F(ListingTest, EmptyListingLeavesTheBufferAsItWas) {
  ASSERT_NO_FATAL_FAILURE(loginForListing("NLST *.c", ""));
  char buffer[32];
  std::memset(buffer, '#', sizeof buffer);
  std::memcpy(buffer, "*.c", 4);
  char before[sizeof buffer];
  std::memcpy(before, buffer, sizeof buffer);

  EXPECT_EQ(dapGetList(kChan, DAP_LIST_NAMES_PATTERN, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::memcmp(buffer, before, sizeof buffer), 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), 226);
}

// At most 2047 bytes of a line come in one piece; each piece is stored if it fits on its own.
TEST_F(ListingTest, LongLineArrivesInPiecesOfAtMost2047Bytes) {
  ASSERT_NO_FATAL_FAILURE(login({pasv(), listing("LIST", std::string(3000, 'x') + "\r\n"), pasv(),
                                 listing("LIST", std::string(3000, 'y') + "\r\n")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  std::vector<char> buffer(4000, '#');
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, buffer.data(), 4000), 3002);
  EXPECT_EQ(std::string(buffer.data()), std::string(3000, 'x') + "\r\n");

  std::fill(buffer.begin(), buffer.end(), '#');
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, buffer.data(), 2100), 2047);
  EXPECT_EQ(std::string(buffer.data()), std::string(2047, 'y'));
  // Each piece is logged unchanged, so only the last carries the line end.
  EXPECT_NE(log().find("\nR: " + std::string(2047, 'y') + "R: " + std::string(953, 'y') + "\r\n"),
            std::string::npos);
}

// A NUL ends the piece it arrives in; what the NUL hides is neither stored nor counted.
TEST_F(ListingTest, PieceWithANulIsStoredUpToTheNul) {
  Exchange list = listing("LIST", std::string("ab\0cd\r\n", 7) + "ef\r\n");
  list.sendChunk = 7;
  list.sendPauseMs = 500;
  ASSERT_NO_FATAL_FAILURE(login({pasv(), list}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  char buffer[32];
  std::memset(buffer, '#', sizeof buffer);

  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 7), std::string("abef\r\n\0", 7));
  EXPECT_EQ(buffer[7], '#');
}

TEST_F(ListingTest, NullBufferOrNegativeSizeIsRefusedBeforeArming) {
  ASSERT_NO_FATAL_FAILURE(login({}));
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  char buffer[8] = "keep";
  const size_t before = log().size();

  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, nullptr, 100), DAP_ERR_CANNOT_COMPLY);
  EXPECT_EQ(channel_->nextState, 0);
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL_PATTERN, buffer, -1), DAP_ERR_CANNOT_COMPLY);
  EXPECT_EQ(channel_->nextState, 0);
  EXPECT_STREQ(buffer, "keep");
  EXPECT_EQ(log().substr(before), "*** dapGetList\r\n*** dapGetList\r\n");
  EXPECT_EQ(dapDriver(kChan), 0);
  EXPECT_EQ(commands(), Strings{});
}

// The deadline armed with the command is not renewed by arriving lines.
TEST_F(ListingTest, SlowListingEndsAtTheReplyDeadline) {
  std::string text;
  for (int i = 10; i < 40; ++i) text += "line " + std::to_string(i) + "\r\n";
  Exchange list = listing("LIST", text);
  list.sendChunk = 9;
  list.sendPauseMs = 100;
  ASSERT_NO_FATAL_FAILURE(login({pasv(), list}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 500);
  char buffer[512] = "";

  const auto start = Clock::now();
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, buffer, sizeof buffer), DAP_ERR_TIMED_OUT);
  EXPECT_GE(msSince(start), 450);
  EXPECT_LT(msSince(start), 2500);
  EXPECT_EQ(std::string(buffer).rfind("line 10\r\nline 11\r\n", 0), 0u) << buffer;
  EXPECT_LT(std::strlen(buffer), text.size());
  EXPECT_NE(log().find("\nTimeStop exceeded ["), std::string::npos);
}

}  // namespace
