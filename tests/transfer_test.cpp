// Downloads and uploads against the scripted server, in passive and active mode: the exact
// commands, the log lines that document the data path, the counters, the failures of each
// stage and the clean-up that follows them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
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
constexpr int kPatientMs = 5000;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// NULs, CR LF and high bytes, so that any text handling of the data shows.
std::string binary(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Exchange answer(std::string expect, std::string reply) {
  Exchange exchange;
  exchange.expect = std::move(expect);
  if (!reply.empty()) exchange.reply = {std::move(reply)};
  return exchange;
}

Exchange pasv(std::string reply = "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2})\r\n") {
  return answer("PASV", std::move(reply));
}

Exchange port() {
  Exchange exchange = answer("PORT 127,0,0,1,[0-9]+,[0-9]+", "200 PORT command successful\r\n");
  exchange.pattern = true;
  return exchange;
}

Exchange retr(const std::string& name, std::string bytes) {
  Exchange exchange = answer("RETR " + name, "150 Opening BINARY mode data connection\r\n");
  exchange.data = Data::Send;
  exchange.sendBytes = std::move(bytes);
  exchange.finalReply = {"226 Transfer complete\r\n"};
  return exchange;
}

Exchange stor(const std::string& name) {
  Exchange exchange = answer("STOR " + name, "150 Ok to send data\r\n");
  exchange.data = Data::Receive;
  exchange.finalReply = {"226 Transfer complete\r\n"};
  return exchange;
}

// Each line must start a log line, and they must come in this order.
::testing::AssertionResult logsInOrder(const std::string& log, const Strings& lines) {
  const std::string text = "\n" + log;
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = text.find("\n" + line, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure()
             << "no line '" << line << "' after offset " << at << " of the log:\n"
             << log;
    }
    at = found + line.size();  // a line's own LF may start the next
  }
  return ::testing::AssertionSuccess();
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// "socket:[inode]" of an open descriptor, which identifies the socket even if the number is
// reused.
std::string descriptorTarget(int fd) {
  std::error_code error;
  return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

bool anyDescriptorIs(const std::string& target) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error).string() == target) return true;
  }
  return false;
}

int optionValue(int fd, int level, int option) {
  int value = 0;
  socklen_t length = sizeof value;
  return getsockopt(fd, level, option, &value, &length) == 0 ? value : -1;
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    char pattern[] = "/tmp/dap32_transfer_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(dapAttach(1, 0), 1);
    channel_ = channelTable[kChan];
    ASSERT_GT(dapSetString(kChan, DAP_STR_LOG_OPEN, logPath().c_str()), 0);
    ASSERT_EQ(dapSetLocalDir(kChan, dir_.c_str()), 0);
    dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, kPatientMs);
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
    for (PlatFile* file : {&channel_->localFile, &channel_->logFile}) {
      if (*file > 0) ::close(*file);
      *file = 0;
    }
    dapRelease();
    settings = saved_;
    fs::remove_all(dir_);
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

  // The commands after the login, with their line ends.
  Strings commands() const {
    Strings all = server_->commands();
    all.erase(all.begin(), all.begin() + std::min<size_t>(2, all.size()));
    return all;
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

  static std::string portCommand(uint16_t port) {
    return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF) +
           "\r\n";
  }

  fs::path logPath() const { return dir_ / "channel.log"; }
  std::string log() const { return readFile(logPath()); }

  Settings saved_{};
  fs::path dir_;
  Channel* channel_ = nullptr;
  std::unique_ptr<ScriptServer> server_;
};

TEST_F(TransferTest, PassiveDownloadConnectsToThePasvPortAndLogsTheDataPath) {
  const std::string bytes = binary(5000);
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("data.bin", bytes)}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "data.bin"), 0);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "RETR data.bin\r\n"}));
  EXPECT_EQ(readFile(dir_ / "data.bin"), bytes);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), 5000);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), 226);
  EXPECT_TRUE(logsInOrder(
      log(),
      {"*** dapGetFile\r\n", "'" + (dir_ / "data.bin").string() + "' opened\r\n", "S: PASV\r\n",
       "DataPort = " + std::to_string(channel_->dataPort) + "\r\n", "DataSock is connected.\r\n",
       "S: RETR data.bin\r\n", "Closing file\r\n", "Closing data socket\r\n",
       "5000 bytes received\r\n", "R: 226 Transfer complete\r\n"}));
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(channel_->dataSocket, 0);
}

TEST_F(TransferTest, PassiveUploadSendsTheFileAndClosesTheDataConnectionAtItsEnd) {
  const std::string bytes = binary(3000);
  writeFile(dir_ / "up.bin", bytes);
  ASSERT_NO_FATAL_FAILURE(login({pasv(), stor("up.bin")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapPutFile(kChan, "up.bin"), 0);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "STOR up.bin\r\n"}));
  EXPECT_EQ(server_->received(3), bytes);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_SENT), 3000);
  EXPECT_TRUE(
      logsInOrder(log(), {"*** dapPutFile\r\n", "DataSock is connected.\r\n", "S: STOR up.bin\r\n",
                          "[EOF]\r\n", "3000 bytes transmitted\r\n", "Closing file\r\n",
                          "Closing data socket\r\n", "R: 226 Transfer complete\r\n"}));
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(channel_->dataSocket, 0);
}

struct ActiveCase {
  const char* name;
  ActiveConnect order;
  bool upload;
};

class TransferActiveTest : public TransferTest, public ::testing::WithParamInterface<ActiveCase> {};

// Large enough that a transfer whose preliminary reply was swallowed would stall.
TEST_P(TransferActiveTest, ListensOnThePortItAnnouncedAndAcceptsTheServer) {
  const ActiveCase& c = GetParam();
  const std::string bytes = binary(300000);
  Exchange transfer = c.upload ? stor("file.bin") : retr("file.bin", bytes);
  transfer.activeConnect = c.order;
  if (c.order == ActiveConnect::AfterReply) {
    // The empty chunk holds the connect back, so the reply surely comes first.
    transfer.reply.push_back("");
    transfer.chunkPauseMs = 300;
  }
  if (c.upload) writeFile(dir_ / "file.bin", bytes);
  ASSERT_NO_FATAL_FAILURE(login({port(), transfer}));
  const uint16_t expected = useOwnPortWindow();

  EXPECT_EQ(c.upload ? dapPutFile(kChan, "file.bin") : dapGetFile(kChan, "file.bin"), 0);
  const std::string verb = c.upload ? "STOR" : "RETR";
  EXPECT_EQ(commands(), (Strings{portCommand(expected), verb + " file.bin\r\n"}));
  if (c.upload) {
    EXPECT_TRUE(server_->received(3) == bytes);
  } else {
    EXPECT_TRUE(readFile(dir_ / "file.bin") == bytes);
  }
  const std::string count = c.upload ? "300000 bytes transmitted\r\n" : "300000 bytes received\r\n";
  EXPECT_TRUE(logsInOrder(log(), {"S: " + portCommand(expected),
                                  "Binding 127.0.0.1 to port " + std::to_string(expected) + "\r\n",
                                  "Listening...\r\n", "S: " + verb + " file.bin\r\n",
                                  "Accepting connection.\r\n", "Connection is accepted.\r\n"}));
  const std::string text = log();
  EXPECT_TRUE(logsInOrder(text.substr(text.find("Connection is accepted.")),
                          c.upload
                              ? Strings{count, "Closing file\r\n", "Closing listener socket\r\n",
                                        "Closing data socket\r\n"}
                              : Strings{"Closing file\r\n", "Closing listener socket\r\n",
                                        "Closing data socket\r\n", count}));
  EXPECT_EQ(channel_->listenSocket, 0);
  EXPECT_EQ(channel_->dataSocket, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferActiveTest,
    ::testing::Values(ActiveCase{"DownloadServerRepliesFirst", ActiveConnect::AfterReply, false},
                      ActiveCase{"DownloadServerConnectsFirst", ActiveConnect::BeforeReply, false},
                      ActiveCase{"UploadServerRepliesFirst", ActiveConnect::AfterReply, true},
                      ActiveCase{"UploadServerConnectsFirst", ActiveConnect::BeforeReply, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, ActivePortsCycleInsideTheChannelsRange) {
  ASSERT_NO_FATAL_FAILURE(login({port(), retr("1", "a"), port(), retr("2", "b"), pasv(),
                                 retr("3", "c"), port(), retr("4", "d"), port(), retr("5", "e")}));
  const uint16_t first = useOwnPortWindow();
  EXPECT_EQ(dapGetFile(kChan, "1"), 0);
  EXPECT_EQ(dapGetFile(kChan, "2"), 0);
  EXPECT_EQ(commands().at(2), portCommand(static_cast<uint16_t>(first + 1)));

  // The server's passive port is no port of this channel's range.
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  EXPECT_EQ(dapGetFile(kChan, "3"), 0);
  dapSetInteger(kChan, DAP_SET_PASSIVE, 0);
  EXPECT_EQ(dapGetFile(kChan, "4"), 0);
  EXPECT_GE(channel_->dataPort, channel_->dataPortLow);
  EXPECT_LE(channel_->dataPort, channel_->dataPortHigh);
  EXPECT_EQ(commands().at(6), portCommand(channel_->dataPort));

  channel_->dataPort = channel_->dataPortHigh;
  EXPECT_EQ(dapGetFile(kChan, "5"), 0);
  EXPECT_EQ(commands().at(8), portCommand(channel_->dataPortLow));
  EXPECT_EQ(readFile(dir_ / "5"), "e");
}

TEST_F(TransferTest, CountersSeparateEachTransferFromTheChannelsTotals) {
  writeFile(dir_ / "u1", binary(500));
  writeFile(dir_ / "u2", binary(700));
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("d1", binary(1000)), pasv(), stor("u1"), pasv(),
                                 retr("d2", binary(3000)), pasv(), stor("u2")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "d1"), 0);
  EXPECT_EQ(dapPutFile(kChan, "u1"), 0);
  EXPECT_EQ(dapGetFile(kChan, "d2"), 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), 3000);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_TOTAL_BYTES_RECEIVED), 4000);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_SENT), 500);
  EXPECT_EQ(dapPutFile(kChan, "u2"), 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_SENT), 700);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_TOTAL_BYTES_SENT), 1200);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), 3000);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_TOTAL_BYTES_RECEIVED), 4000);
}

TEST_F(TransferTest, EmptyFilesTravelBothWays) {
  writeFile(dir_ / "empty.up", "");
  writeFile(dir_ / "empty.down", "stale content");
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("empty.down", ""), pasv(), stor("empty.up")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "empty.down"), 0);
  EXPECT_TRUE(fs::exists(dir_ / "empty.down"));
  EXPECT_EQ(fs::file_size(dir_ / "empty.down"), 0u);
  EXPECT_EQ(dapPutFile(kChan, "empty.up"), 0);
  EXPECT_EQ(server_->received(5), "");
  EXPECT_TRUE(logsInOrder(log(), {"0 bytes received\r\n", "*** dapPutFile\r\n", "[EOF]\r\n",
                                  "0 bytes transmitted\r\n", "Closing data socket\r\n"}));
}

class TransferSizeTest : public TransferTest, public ::testing::WithParamInterface<size_t> {};

// Around the 8192-byte receive buffer.
TEST_P(TransferSizeTest, RoundTripKeepsEveryByte) {
  const std::string down = binary(GetParam());
  const std::string up = binary(GetParam() + 1).substr(1);
  writeFile(dir_ / "up.bin", up);
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("down.bin", down), pasv(), stor("up.bin")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "down.bin"), 0);
  EXPECT_TRUE(readFile(dir_ / "down.bin") == down);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), static_cast<int32_t>(GetParam()));
  EXPECT_EQ(dapPutFile(kChan, "up.bin"), 0);
  EXPECT_TRUE(server_->received(5) == up);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_SENT), static_cast<int32_t>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferSizeTest, ::testing::Values(8191, 8192, 8193));

struct BlockCase {
  int32_t setting;
  int32_t block;
};

class TransferBlockTest : public TransferTest, public ::testing::WithParamInterface<BlockCase> {};

// One driver step never sends past the end of the current block, so every block boundary
// shows up in the running byte count, and no step sends more than a block.
TEST_P(TransferBlockTest, UploadGoesOutInBlocksOfTheClampedSize) {
  const auto [setting, block] = GetParam();
  const std::string bytes = binary(20000);
  writeFile(dir_ / "blocks.bin", bytes);
  ASSERT_NO_FATAL_FAILURE(login({pasv(), stor("blocks.bin")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  EXPECT_EQ(dapSetInteger(kChan, DAP_SET_UPLOAD_BLOCK_SIZE, setting), block);
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);

  ASSERT_EQ(dapPutFile(kChan, "blocks.bin"), 0);
  std::vector<int32_t> counts;
  const auto start = Clock::now();
  int32_t result;
  while ((result = dapDriver(kChan)) > 0 && msSince(start) < 15000) {
    const int32_t sent = dapGetInteger(kChan, DAP_GET_BYTES_SENT);
    if (counts.empty() || counts.back() != sent) counts.push_back(sent);
  }
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(server_->received(3) == bytes);
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(counts.back(), 20000);
  int32_t previous = 0;
  for (const int32_t count : counts) {
    EXPECT_LE(count - previous, block) << "after " << previous;
    previous = count;
  }
  for (int32_t boundary = block; boundary < 20000; boundary += block) {
    EXPECT_NE(std::find(counts.begin(), counts.end(), boundary), counts.end())
        << "a step crossed the block boundary " << boundary;
  }
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferBlockTest,
                         ::testing::Values(BlockCase{100, 128}, BlockCase{1000, 1000},
                                           BlockCase{9000, 8192}));

TEST_F(TransferTest, FinalReplyOtherThan226FailsAndLogsTheReply) {
  Exchange down = retr("f.bin", "abc");
  down.finalReply = {"250 Requested file action okay\r\n"};
  Exchange up = stor("f.bin");
  up.finalReply = down.finalReply;
  ASSERT_NO_FATAL_FAILURE(login({pasv(), down, pasv(), up}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "f.bin"), DAP_ERR_NOT_COMPLETED);
  EXPECT_EQ(readFile(dir_ / "f.bin"), "abc");
  EXPECT_EQ(dapPutFile(kChan, "f.bin"), DAP_ERR_NOT_COMPLETED);
  EXPECT_EQ(server_->received(5), "abc");
  const std::string text = log();
  EXPECT_EQ(occurrences(text, "\nServerCode=250\r\n[250 Requested file action okay\r\n]\n"), 2u)
      << text;
  EXPECT_EQ(occurrences(text, "RokCode=-31 "), 2u);
  EXPECT_EQ(channel_->nextState, 0);
}

TEST_F(TransferTest, RefusedDownloadLeavesAnEmptyLocalFile) {
  writeFile(dir_ / "refused.txt", "old content");
  ASSERT_NO_FATAL_FAILURE(login({pasv(), answer("RETR refused.txt", "550 No such file\r\n")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "refused.txt"), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "RETR refused.txt\r\n"}));
  EXPECT_TRUE(fs::exists(dir_ / "refused.txt"));
  EXPECT_EQ(readFile(dir_ / "refused.txt"), "");
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(channel_->nextState, 0);
  EXPECT_TRUE(
      logsInOrder(log(), {"FtpResponse: [550 No such file\r\n] Code=550\r\n", "ERROR(",
                          "FTP server returned error. 550 No such file\r\n", "Closing file\r\n"}));
}

struct PasvCase {
  const char* name;
  const char* reply;
  int32_t result;
};

class TransferPasvTest : public TransferTest, public ::testing::WithParamInterface<PasvCase> {};

// Only the port of the reply counts; the data connection always goes to the server.
TEST_P(TransferPasvTest, ReadsThePortFromTheReply) {
  const PasvCase& c = GetParam();
  std::vector<Exchange> script = {pasv(c.reply)};
  if (c.result == 0) script.push_back(retr("p.bin", "payload"));
  ASSERT_NO_FATAL_FAILURE(login(script));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "p.bin"), c.result);
  if (c.result == 0) {
    EXPECT_EQ(readFile(dir_ / "p.bin"), "payload");
    EXPECT_EQ(commands(), (Strings{"PASV\r\n", "RETR p.bin\r\n"}));
  } else {
    EXPECT_EQ(commands(), Strings{"PASV\r\n"});
    EXPECT_EQ(channel_->dataSocket, 0);
    EXPECT_EQ(channel_->localFile, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferPasvTest,
    ::testing::Values(
        PasvCase{"NoParentheses", "227 Entering Passive Mode {h1},{h2},{h3},{h4},{p1},{p2}\r\n", 0},
        PasvCase{"TrailingText", "227 =({h1},{h2},{h3},{h4},{p1},{p2}). Go\r\n", 0},
        PasvCase{"NoDigits", "227 Entering Passive Mode\r\n", DAP_ERR_NO_PASV_PORT},
        PasvCase{"FiveNumbers", "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1})\r\n",
                 DAP_ERR_NO_PASV_PORT},
        PasvCase{"SpacedNumbers", "227 Entering Passive Mode (127, 0, 0, 1, {p1}, {p2})\r\n",
                 DAP_ERR_NO_PASV_PORT},
        PasvCase{"Refused", "502 PASV not implemented\r\n", DAP_ERR_SERVER_REFUSED}),
    [](const auto& info) { return std::string(info.param.name); });

// Port 1 on the loopback has no listener without privileges.
TEST_F(TransferTest, PasvPortWithoutListenerFailsWithTheConnectError) {
  ASSERT_NO_FATAL_FAILURE(login({pasv("227 Entering Passive Mode (127,0,0,1,0,1)\r\n")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  EXPECT_EQ(dapGetFile(kChan, "p.bin"), -10061);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SOCKET_CODE), -10061);
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(commands(), Strings{"PASV\r\n"});
  EXPECT_TRUE(logsInOrder(
      log(), {"DataPort = 1\r\n", "ERROR(", "Connection refused by remote host.Closing file\r\n"}));
  EXPECT_NE(log().find(": SockCode=-10061 RokCode=0 "), std::string::npos);
}

TEST_F(TransferTest, RefusedPortStopsBeforeTheTransferCommand) {
  Exchange refused = port();
  refused.reply = {"500 Illegal PORT command.\r\n"};
  ASSERT_NO_FATAL_FAILURE(login({refused}));
  useOwnPortWindow();
  EXPECT_EQ(dapGetFile(kChan, "p.bin"), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(commands().size(), 1u);
  EXPECT_EQ(channel_->listenSocket, 0);
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(log().find("Binding "), std::string::npos);
}

// No retry on another port: the transfer fails, and the next one takes the next port.
TEST_F(TransferTest, ListenerPortInUseFailsAndTheNextTransferMovesOn) {
  ASSERT_NO_FATAL_FAILURE(login({port(), port(), retr("ok.bin", "ok")}));
  const uint16_t taken = useOwnPortWindow();
  // A listener blocks the port even for binds with SO_REUSEADDR, as the library's is.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(taken);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);

  EXPECT_EQ(dapGetFile(kChan, "busy.bin"), -10048);
  ::close(fd);
  EXPECT_EQ(commands(), Strings{portCommand(taken)});
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_NE(log().find(": SockCode=-10048 RokCode=-25 "), std::string::npos);
  EXPECT_TRUE(logsInOrder(log(), {"Binding 127.0.0.1 to port " + std::to_string(taken) + "\r\n",
                                  "ERROR(", "Listen error.Socket address already in use."}));

  EXPECT_EQ(dapGetFile(kChan, "ok.bin"), 0);
  EXPECT_EQ(commands().at(1), portCommand(static_cast<uint16_t>(taken + 1)));
  EXPECT_EQ(readFile(dir_ / "ok.bin"), "ok");
}

// The final reply has its own deadline from the end of the data.
TEST_F(TransferTest, MissingFinalReplyTimesOutAfterTheData) {
  Exchange silent = retr("f.bin", binary(20000));
  silent.finalReply.clear();
  ASSERT_NO_FATAL_FAILURE(login({pasv(), silent}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 400);

  const auto start = Clock::now();
  EXPECT_EQ(dapGetFile(kChan, "f.bin"), DAP_ERR_TIMED_OUT);
  EXPECT_GE(msSince(start), 350);
  EXPECT_LT(msSince(start), 6000);
  EXPECT_TRUE(readFile(dir_ / "f.bin") == binary(20000));
  EXPECT_TRUE(logsInOrder(log(), {"20000 bytes received\r\n", "<350:", "TimeStop exceeded [",
                                  "ERROR(", "Socket timed out."}));
}

TEST_F(TransferTest, PasvReplyToAForeignHostStillConnectsToTheServer) {
  ASSERT_NO_FATAL_FAILURE(
      login({pasv("227 Entering Passive Mode (10,0,0,5,{p1},{p2})\r\n"), retr("x", "1")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  EXPECT_EQ(dapGetFile(kChan, "x"), 0);
  EXPECT_EQ(channel_->dataSockaddr.address, 0x7F000001u);
  EXPECT_TRUE(logsInOrder(log(), {"DataPort = " + std::to_string(channel_->dataPort) + "\r\n",
                                  "DataSock is connected.\r\n"}));
}

TEST_F(TransferTest, PasvReplyWithoutDigitsIsLoggedWhole) {
  ASSERT_NO_FATAL_FAILURE(login({pasv("227 Entering Passive Mode\r\n")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  EXPECT_EQ(dapGetFile(kChan, "x"), DAP_ERR_NO_PASV_PORT);
  EXPECT_TRUE(logsInOrder(log(), {"Response=[227 Entering Passive Mode\r\n]\r\n", "ERROR(",
                                  "Cannot find PASV port.Closing file\r\n"}));
}

// A listing arms replyTimeout with its command; RETR would wait dataConnectTimeout (20 s).
TEST_F(TransferTest, ActiveServerThatNeverConnectsTimesOut) {
  Exchange list = answer("LIST", "150 Here comes the directory listing\r\n");
  list.data = Data::Send;
  list.activeConnect = ActiveConnect::Never;
  ASSERT_NO_FATAL_FAILURE(login({port(), list}));
  useOwnPortWindow();
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 400);
  char buffer[64] = "";

  const auto start = Clock::now();
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, buffer, sizeof buffer), DAP_ERR_TIMED_OUT);
  EXPECT_GE(msSince(start), 350);
  EXPECT_LT(msSince(start), 5000);
  EXPECT_TRUE(logsInOrder(
      log(), {"Listening...\r\n", "S: LIST\r\n", "R: 150 Here comes the directory listing\r\n",
              "TimeStop exceeded [", "ERROR(", "Socket timed out."}));
  EXPECT_EQ(log().find("Accepting connection."), std::string::npos);
}

class TransferSilentTest : public TransferTest, public ::testing::WithParamInterface<bool> {};

// Active: the accept arms replyTimeout. Passive: a first block renews it, then nothing comes.
TEST_P(TransferSilentTest, SilentDataConnectionTimesOut) {
  const bool passive = GetParam();
  Exchange quiet = retr("quiet.bin", passive ? std::string(100, 'q') + "rest" : "");
  if (passive) {
    quiet.sendChunk = 100;
    quiet.sendPauseMs = 8000;
  } else {
    quiet.data = Data::Stall;
    quiet.finalReply.clear();
  }
  ASSERT_NO_FATAL_FAILURE(login({passive ? pasv() : port(), quiet}));
  if (!passive) useOwnPortWindow();
  dapSetInteger(kChan, DAP_SET_PASSIVE, passive ? 1 : 0);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 400);

  const auto start = Clock::now();
  EXPECT_EQ(dapGetFile(kChan, "quiet.bin"), DAP_ERR_TIMED_OUT);
  EXPECT_GE(msSince(start), 350);
  EXPECT_LT(msSince(start), 6000);
  EXPECT_EQ(readFile(dir_ / "quiet.bin"), passive ? std::string(100, 'q') : "");
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), passive ? 100 : 0);
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_TRUE(
      logsInOrder(log(), {"TimeStop exceeded [", "ERROR(", "Socket timed out.Closing file\r\n"}));
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferSilentTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST_F(TransferTest, TimeStopAfterAnAcceptedActiveTransferIsStillATimeout) {
  ASSERT_NO_FATAL_FAILURE(login({port(), retr("a.bin", "abc"), answer("PWD", "")}));
  useOwnPortWindow();
  EXPECT_EQ(dapGetFile(kChan, "a.bin"), 0);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 300);
  char directory[32] = "untouched";
  EXPECT_EQ(dapGetServerDir(kChan, directory, sizeof directory), DAP_ERR_TIMED_OUT);
  EXPECT_STREQ(directory, "untouched");
  EXPECT_TRUE(logsInOrder(
      log(), {"*** dapGetServerDir\r\n", "TimeStop exceeded [", "ERROR(", "Socket timed out."}));
  EXPECT_EQ(dapDriver(kChan), 0);
}

class TransferAbortTest : public TransferTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TransferAbortTest, AbortStopsATransferAndTheNextCommandReadsItsStaleReply) {
  const bool passive = GetParam();
  Exchange slow = retr("slow.bin", binary(4000));
  slow.sendChunk = 100;
  slow.sendPauseMs = 20;
  slow.finalReply = {"426 Connection closed; transfer aborted.\r\n"};
  ASSERT_NO_FATAL_FAILURE(
      login({passive ? pasv() : port(), slow, answer("CWD next", "250 ok\r\n")}));
  if (!passive) useOwnPortWindow();
  dapSetInteger(kChan, DAP_SET_PASSIVE, passive ? 1 : 0);
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);

  ASSERT_EQ(dapGetFile(kChan, "slow.bin"), 0);
  const auto start = Clock::now();
  while (channel_->bytesReceived == 0 && msSince(start) < kPatientMs) {
    ASSERT_GT(dapDriver(kChan), 0);
  }
  ASSERT_GT(channel_->bytesReceived, 0);
  EXPECT_EQ(channel_->nextState, 307);
  // Commands must not wait for the server's delayed acknowledgement.
  EXPECT_EQ(optionValue(channel_->controlSocket, IPPROTO_TCP, TCP_NODELAY), 1);
  const std::string dataTarget = descriptorTarget(channel_->dataSocket);
  const std::string listenTarget = passive ? "" : descriptorTarget(channel_->listenSocket);
  const size_t before = log().size();

  EXPECT_EQ(dapAbort(kChan), 1);
  EXPECT_EQ(channel_->nextState, 0);
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(channel_->dataSocket, 0);
  EXPECT_EQ(channel_->listenSocket, 0);
  EXPECT_FALSE(anyDescriptorIs(dataTarget));
  EXPECT_TRUE(passive || !anyDescriptorIs(listenTarget));
  EXPECT_GT(channel_->controlSocket, 0);
  EXPECT_EQ(dapDriver(kChan), 0);
  const std::string closed = std::string("*** dapAbort\r\nClosing file\r\n") +
                             (passive ? "" : "Closing listener socket\r\n") +
                             "Closing data socket\r\n";
  EXPECT_EQ(log().substr(before, closed.size()), closed);
  EXPECT_EQ(binary(4000).substr(0, channel_->bytesReceived), readFile(dir_ / "slow.bin"));

  // Nothing went to the server with the abort, so its 426 is the next reply on the line.
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 1);
  EXPECT_EQ(dapSetServerDir(kChan, "next"), 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), 426);
  // The stale reply completed CWD before the server need have read it.
  EXPECT_TRUE(server_->waitFinished(kPatientMs));
  EXPECT_EQ(commands().back(), "CWD next\r\n");
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferAbortTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

// A readable descriptor that is no listener stands in for the listener, so accept fails.
TEST_F(TransferTest, AcceptFailureEndsThroughTheErrorExit) {
  Exchange never = retr("n.bin", "x");
  never.activeConnect = ActiveConnect::Never;
  ASSERT_NO_FATAL_FAILURE(login({port(), never}));
  useOwnPortWindow();
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  ASSERT_EQ(dapGetFile(kChan, "n.bin"), 0);
  const auto start = Clock::now();
  while (channel_->nextState != 921 && msSince(start) < kPatientMs) {
    ASSERT_GT(dapDriver(kChan), 0);
  }
  ASSERT_EQ(channel_->nextState, 921);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_EQ(::write(pair[1], "!", 1), 1);
  ASSERT_EQ(dup2(pair[0], channel_->listenSocket), channel_->listenSocket);
  ::close(pair[0]);
  ::close(pair[1]);

  int32_t result;
  while ((result = dapDriver(kChan)) == 921 && msSince(start) < kPatientMs) {
  }
  EXPECT_EQ(result, -10022);
  EXPECT_EQ(channel_->nextState, 0);
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(channel_->dataSocket, 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SOCKET_CODE), -10022);
  EXPECT_TRUE(logsInOrder(
      log(), {"Accepting connection.\r\n", "ERROR(", "Invalid argument.Closing file\r\n"}));
  EXPECT_NE(log().find(": SockCode=-10022 RokCode=0 "), std::string::npos);
  EXPECT_EQ(dapDriver(kChan), 0);
}

TEST_F(TransferTest, UploadToAServerThatStopsReadingEndsAtTheDeadline) {
  const size_t size = 32u << 20;
  writeFile(dir_ / "big.bin", std::string(size, 'x'));
  Exchange stalled = answer("STOR big.bin", "150 Ok to send data\r\n");
  stalled.data = Data::Stall;
  ASSERT_NO_FATAL_FAILURE(login({pasv(), stalled}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 500);
  dapSetInteger(kChan, DAP_SET_UPLOAD_BLOCK_SIZE, 8192);

  // An upload that blocked inside a send would wait for the server for ever; closing the
  // stalled connection then frees it.
  std::promise<void> done;
  std::thread watchdog([this, finished = done.get_future()] {
    if (finished.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) server_->stop();
  });
  const auto start = Clock::now();
  EXPECT_EQ(dapPutFile(kChan, "big.bin"), DAP_ERR_TIMED_OUT);
  EXPECT_LT(msSince(start), 15000);
  done.set_value();
  watchdog.join();
  EXPECT_GT(dapGetInteger(kChan, DAP_GET_BYTES_SENT), 0);
  EXPECT_LT(dapGetInteger(kChan, DAP_GET_BYTES_SENT), static_cast<int32_t>(size));
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(log().find("[EOF]"), std::string::npos);
  EXPECT_TRUE(logsInOrder(log(), {"S: STOR big.bin\r\n", "TimeStop exceeded [", "ERROR(",
                                  "Socket timed out.Closing file\r\n"}));
}

struct LeftoverCase {
  const char* name;
  bool passive;
  int next;  // 0 download, 1 upload, 2 listing
};

class TransferLeftoverTest : public TransferTest,
                             public ::testing::WithParamInterface<LeftoverCase> {};

// Passive leaves the data socket of the refused transfer, active its listener.
TEST_P(TransferLeftoverTest, NextTransferClosesTheSocketAFailureLeftOpen) {
  const auto [name, passive, next] = GetParam();
  const Exchange setup = passive ? pasv() : port();
  Exchange following = next == 0 ? retr("here.bin", "here") : stor("here.bin");
  if (next == 2) following = retr("here.bin", "here");
  if (next == 2) following.expect = "LIST";
  writeFile(dir_ / "here.bin", "here");
  ASSERT_NO_FATAL_FAILURE(
      login({setup, answer("RETR gone.bin", "550 No such file\r\n"), setup, following}));
  if (!passive) useOwnPortWindow();
  dapSetInteger(kChan, DAP_SET_PASSIVE, passive ? 1 : 0);

  EXPECT_EQ(dapGetFile(kChan, "gone.bin"), DAP_ERR_SERVER_REFUSED);
  const PlatSocket left = passive ? channel_->dataSocket : channel_->listenSocket;
  ASSERT_GT(left, 0);
  const std::string target = descriptorTarget(left);
  ASSERT_EQ(target.rfind("socket:", 0), 0u) << target;
  const size_t before = log().size();

  char buffer[16] = "";
  const std::string entry = next == 0   ? "*** dapGetFile\r\n"
                            : next == 1 ? "*** dapPutFile\r\n"
                                        : "*** dapGetList\r\n";
  EXPECT_EQ(next == 0   ? dapGetFile(kChan, "here.bin")
            : next == 1 ? dapPutFile(kChan, "here.bin")
                        : dapGetList(kChan, DAP_LIST_FULL, buffer, sizeof buffer),
            next == 2 ? 4 : 0);
  EXPECT_FALSE(anyDescriptorIs(target));
  const std::string closing = passive ? "Closing data socket\r\n" : "Closing listener socket\r\n";
  EXPECT_TRUE(
      logsInOrder(log().substr(before), {entry, closing, passive ? "S: PASV\r\n" : "S: PORT "}));
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferLeftoverTest,
                         ::testing::Values(LeftoverCase{"PassiveThenGet", true, 0},
                                           LeftoverCase{"PassiveThenPut", true, 1},
                                           LeftoverCase{"PassiveThenList", true, 2},
                                           LeftoverCase{"ActiveThenGet", false, 0},
                                           LeftoverCase{"ActiveThenPut", false, 1},
                                           LeftoverCase{"ActiveThenList", false, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, UploadOfAMissingFileFailsBeforeAnythingIsSent) {
  ASSERT_NO_FATAL_FAILURE(login({}));
  EXPECT_EQ(dapPutFile(kChan, "missing.txt"), DAP_ERR_CANNOT_OPEN_FILE);
  EXPECT_TRUE(logsInOrder(
      log(), {"*** dapPutFile\r\n", "Cannot open '" + (dir_ / "missing.txt").string() + "'\r\n"}));
  EXPECT_EQ(channel_->nextState, 0);
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(dapDriver(kChan), 0);
  EXPECT_EQ(commands(), Strings{});
}

}  // namespace
