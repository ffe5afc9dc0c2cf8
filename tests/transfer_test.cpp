// Downloads and uploads against the scripted server, in passive and active mode: the exact
// commands, the log lines that document the data path, the counters, the failures of each
// stage and the clean-up that follows them; transfers that continue a file, and UTF-8 names.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <sys/ioctl.h>

#include <cerrno>
#endif

#include "dap32.h"
#include "frame/channel.h"
#include "platform/platform.h"
#include "support/case_name.h"
#include "support/local_pair.h"
#include "support/scripted_session.h"
#include "support/test_files.h"
#include "support/timing.h"

namespace {

using namespace ftptest;

constexpr int kPatientMs = 5000;

// NULs, CR LF and high bytes, so that any text handling of the data shows.
std::string binary(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class TransferTest : public ScriptedSession {
 protected:
#ifndef _WIN32
  void TearDown() override {
    platClearFaults();
    ScriptedSession::TearDown();
  }
#endif
  std::string file(const std::string& name) const {
    return dir().file(name);
  }
  std::string local(const std::string& name) const {
    return fileBytes(file(name));
  }
};

TEST_F(TransferTest, PassiveDownloadConnectsToThePasvPortAndLogsTheDataPath) {
  const std::string bytes = binary(5000);
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("data.bin", bytes)}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "data.bin"), 0);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "RETR data.bin\r\n"}));
  EXPECT_EQ(local("data.bin"), bytes);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), 5000);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), 226);
  EXPECT_TRUE(logsInOrder(
      log(),
      {"*** dapGetFile\r\n", "'" + file("data.bin") + "' opened\r\n", "S: PASV\r\n",
       "DataPort = " + std::to_string(channel()->dataPort) + "\r\n", "DataSock is connected.\r\n",
       "S: RETR data.bin\r\n", "Closing file\r\n", "Closing data socket\r\n",
       "5000 bytes received\r\n", "R: 226 Transfer complete\r\n"}));
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(channel()->dataSocket, 0);
}

TEST_F(TransferTest, PassiveUploadSendsTheFileAndClosesTheDataConnectionAtItsEnd) {
  const std::string bytes = binary(3000);
  writeFile(file("up.bin"), bytes);
  ASSERT_NO_FATAL_FAILURE(login({pasv(), stor("up.bin")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapPutFile(kChan, "up.bin"), 0);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "STOR up.bin\r\n"}));
  EXPECT_EQ(server().received(3), bytes);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_SENT), 3000);
  EXPECT_TRUE(
      logsInOrder(log(), {"*** dapPutFile\r\n", "DataSock is connected.\r\n", "S: STOR up.bin\r\n",
                          "[EOF]\r\n", "3000 bytes transmitted\r\n", "Closing file\r\n",
                          "Closing data socket\r\n", "R: 226 Transfer complete\r\n"}));
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(channel()->dataSocket, 0);
}

struct ActiveCase {
  const char* name;
  ActiveConnect order;
  bool upload;
};

void PrintTo(const ActiveCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferActiveTest : public TransferTest, public ::testing::WithParamInterface<ActiveCase> {};

// Large enough that a transfer whose preliminary reply was swallowed would stall. The listener
// exists before PORT goes out, whenever the server connects.
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
  // A download replaces a longer local file: none of its old bytes are left behind.
  writeFile(file("file.bin"), c.upload ? bytes : std::string(400000, 'o'));
  ASSERT_NO_FATAL_FAILURE(login({port(), transfer}));
  const uint16_t expected = firstActivePort();

  EXPECT_EQ(c.upload ? dapPutFile(kChan, "file.bin") : dapGetFile(kChan, "file.bin"), 0);
  const std::string verb = c.upload ? "STOR" : "RETR";
  EXPECT_EQ(commands(), (Strings{portCommand(expected), verb + " file.bin\r\n"}));
  EXPECT_TRUE((c.upload ? server().received(3) : local("file.bin")) == bytes);
  const std::string count = c.upload ? "300000 bytes transmitted\r\n" : "300000 bytes received\r\n";
  EXPECT_TRUE(logsInOrder(
      log(), {"Binding 127.0.0.1 to port " + std::to_string(expected) + "\r\n", "Listening...\r\n",
              "S: " + portCommand(expected), "S: " + verb + " file.bin\r\n",
              "Accepting connection.\r\n", "Connection is accepted.\r\n"}));
  const std::string text = log();
  EXPECT_TRUE(logsInOrder(text.substr(text.find("Connection is accepted.")),
                          c.upload
                              ? Strings{count, "Closing file\r\n", "Closing listener socket\r\n",
                                        "Closing data socket\r\n"}
                              : Strings{"Closing file\r\n", "Closing listener socket\r\n",
                                        "Closing data socket\r\n", count}));
  EXPECT_EQ(channel()->listenSocket, 0);
  EXPECT_EQ(channel()->dataSocket, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferActiveTest,
    ::testing::Values(ActiveCase{"DownloadServerRepliesFirst", ActiveConnect::AfterReply, false},
                      ActiveCase{"DownloadServerConnectsFirst", ActiveConnect::BeforeReply, false},
                      ActiveCase{"DownloadServerConnectsAtPort", ActiveConnect::AtPort, false},
                      ActiveCase{"UploadServerRepliesFirst", ActiveConnect::AfterReply, true},
                      ActiveCase{"UploadServerConnectsFirst", ActiveConnect::BeforeReply, true},
                      ActiveCase{"UploadServerConnectsAtPort", ActiveConnect::AtPort, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, ActivePortsCycleInsideTheChannelsRange) {
  ASSERT_NO_FATAL_FAILURE(login({port(), retr("1", "a"), port(), retr("2", "b"), pasv(),
                                 retr("3", "c"), port(), retr("4", "d"), port(), retr("5", "e")}));
  const uint16_t first = firstActivePort();
  EXPECT_EQ(dapGetFile(kChan, "1"), 0);
  EXPECT_EQ(dapGetFile(kChan, "2"), 0);
  EXPECT_EQ(commands().at(2), portCommand(static_cast<uint16_t>(first + 1)));

  // The server's passive port is no port of this channel's range.
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  EXPECT_EQ(dapGetFile(kChan, "3"), 0);
  dapSetInteger(kChan, DAP_SET_PASSIVE, 0);
  EXPECT_EQ(dapGetFile(kChan, "4"), 0);
  EXPECT_GE(channel()->dataPort, channel()->dataPortLow);
  EXPECT_LE(channel()->dataPort, channel()->dataPortHigh);
  EXPECT_EQ(commands().at(6), portCommand(channel()->dataPort));

  channel()->dataPort = channel()->dataPortHigh;
  EXPECT_EQ(dapGetFile(kChan, "5"), 0);
  EXPECT_EQ(commands().at(8), portCommand(channel()->dataPortLow));
  EXPECT_EQ(local("5"), "e");
}

// The totals count a channel's whole life: past 2 GiB they wrap as 32-bit counts, as the
// step count does, instead of overflowing.
TEST_F(TransferTest, CountersSeparateEachTransferFromTheChannelsTotals) {
  writeFile(file("u1"), binary(500));
  writeFile(file("u2"), binary(700));
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("d1", binary(1000)), pasv(), stor("u1"), pasv(),
                                 retr("d2", binary(3000)), pasv(), stor("u2")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  channel()->totalBytesReceived = INT32_MAX - 999;
  channel()->totalBytesSent = INT32_MAX;
  channel()->stepCount = INT32_MAX;

  EXPECT_EQ(dapGetFile(kChan, "d1"), 0);
  EXPECT_EQ(dapPutFile(kChan, "u1"), 0);
  EXPECT_EQ(dapGetFile(kChan, "d2"), 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), 3000);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_TOTAL_BYTES_RECEIVED), INT32_MIN + 3000);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_SENT), 500);
  EXPECT_EQ(dapPutFile(kChan, "u2"), 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_SENT), 700);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_TOTAL_BYTES_SENT), INT32_MIN + 1199);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), 3000);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_TOTAL_BYTES_RECEIVED), INT32_MIN + 3000);
  EXPECT_LT(dapGetInteger(kChan, DAP_GET_STEP_COUNT), INT32_MIN + 1000);
}

TEST_F(TransferTest, EmptyFilesTravelBothWays) {
  writeFile(file("empty.up"), "");
  writeFile(file("empty.down"), "stale content");
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("empty.down", ""), pasv(), stor("empty.up")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "empty.down"), 0);
  EXPECT_TRUE(std::filesystem::exists(file("empty.down")));
  EXPECT_EQ(std::filesystem::file_size(file("empty.down")), 0u);
  EXPECT_EQ(dapPutFile(kChan, "empty.up"), 0);
  EXPECT_EQ(server().received(5), "");
  EXPECT_TRUE(logsInOrder(log(), {"0 bytes received\r\n", "*** dapPutFile\r\n", "[EOF]\r\n",
                                  "0 bytes transmitted\r\n", "Closing data socket\r\n"}));
}

struct ResumeCase {
  const char* name;
  bool upload;
  char mode;           // the TYPE last set
  std::string before;  // the local file: the upload's whole, or the download's start
  std::vector<Exchange> script;
  int32_t result;
  std::string after;  // the local file (download) or what STOR received (upload)
};

void PrintTo(const ResumeCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferResumeTest : public TransferTest, public ::testing::WithParamInterface<ResumeCase> {};

// REST goes out right before the transfer command, with the local file's size (download) or the
// server's (upload, asked with SIZE); only the rest travels. A refusal leaves both files as they
// were, and so does an offset the transfer cannot use. Every command scripted, and no other.
TEST_P(TransferResumeTest, ContinuesFromWhatTheOtherSideHolds) {
  const ResumeCase& c = GetParam();
  writeFile(file("r.bin"), c.before);
  ASSERT_NO_FATAL_FAILURE(login(c.script));
  const auto passive = [](const Exchange& e) { return e.expect == "PASV"; };
  dapSetInteger(kChan, DAP_SET_PASSIVE, std::any_of(c.script.begin(), c.script.end(), passive));
  EXPECT_EQ(dapSetInteger(kChan, DAP_SET_RESUME, 3), 1);
  channel()->binaryMode = c.mode == 'B' ? 1 : 0;

  EXPECT_EQ(c.upload ? dapPutFile(kChan, "r.bin") : dapGetFile(kChan, "r.bin"), c.result);
  EXPECT_EQ(commands().size(), c.script.size());
  const size_t stor = c.script.size() + 1;  // STOR ends every upload's script that gets so far
  EXPECT_EQ(c.upload ? server().received(stor) : local("r.bin"), c.after);
  EXPECT_EQ(local("r.bin"), c.upload || c.result != 0 ? c.before : c.after);
  const uint32_t counter = c.upload ? DAP_GET_BYTES_SENT : DAP_GET_BYTES_RECEIVED;
  EXPECT_EQ(dapGetInteger(kChan, counter), c.result == 0 ? 4 : 0);
  EXPECT_EQ(channel()->localFile, 0);
}

const Exchange kRest3 = answer("REST 3", "350 Restarting at 3.\r\n");
const Exchange kSize3 = answer("SIZE r.bin", "213 3\r\n");
const std::string kWhole = "abcdefg";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferResumeTest,
    ::testing::Values(
        ResumeCase{"DownloadPassive", false, 'B', "abc", {pasv(), kRest3, retr("r.bin", "defg")},
                   0, kWhole},
        ResumeCase{"DownloadActive", false, 'B', "abc", {port(), kRest3, retr("r.bin", "defg")}, 0,
                   kWhole},
        ResumeCase{"DownloadRestRefused", false, 'B', "abc",
                   {pasv(), answer("REST 3", "502 Not implemented\r\n")}, -18, "abc"},
        ResumeCase{"DownloadRestNot350", false, 'B', "abc",
                   {port(), answer("REST 3", "200 Ok\r\n")}, -18, "abc"},
        ResumeCase{"DownloadNothingHeld", false, 'A', "", {pasv(), retr("r.bin", "defg")}, 0,
                   "defg"},
        ResumeCase{"DownloadTextRefused", false, 'A', "abc", {}, -6, "abc"},
        ResumeCase{"UploadPassive", true, 'B', kWhole, {kSize3, pasv(), kRest3, stor("r.bin")}, 0,
                   "defg"},
        ResumeCase{"UploadActive", true, 'B', kWhole, {kSize3, port(), kRest3, stor("r.bin")}, 0,
                   "defg"},
        ResumeCase{"UploadNoServerFile", true, 'A', "defg",
                   {answer("SIZE r.bin", "550 No such file.\r\n"), port(), stor("r.bin")}, 0,
                   "defg"},
        ResumeCase{"UploadServerFileEmpty", true, 'B', "defg",
                   {answer("SIZE r.bin", "213 0\r\n"), pasv(), stor("r.bin")}, 0, "defg"},
        ResumeCase{"UploadSizeRefused", true, 'B', kWhole,
                   {answer("SIZE r.bin", "502 Not implemented\r\n")}, -18, ""},
        ResumeCase{"UploadSizeJunk", true, 'B', kWhole, {answer("SIZE r.bin", "213 3a\r\n")}, -18,
                   ""},
        ResumeCase{"UploadServerFileLonger", true, 'B', kWhole,
                   {answer("SIZE r.bin", "213 8\r\n")}, -6, ""},
        ResumeCase{"UploadRestRefused", true, 'B', kWhole,
                   {kSize3, port(), answer("REST 3", "500 Unknown\r\n")}, -18, ""},
        ResumeCase{"UploadTextRefused", true, 'A', kWhole, {kSize3}, -6, ""}),
    caseName);
// clang-format on

// With UTF-8 names the local file's path is UTF-8, and so is a log's opened then: on Windows
// they go through the wide calls.
TEST_F(TransferTest, Utf8NamesReachTheLocalFilesAndTheServer) {
  const std::string up = "r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt";
  const std::string down =
      "\xC3\xBC"
      "ber.txt";
  writeFile(file(up), "up");
  dapSetInteger(kChan, DAP_SET_UTF8, 1);
  ASSERT_NO_FATAL_FAILURE(login({answer("OPTS UTF8 ON", "200 Always in UTF8 mode.\r\n"), pasv(),
                                 stor(up), pasv(), retr(down, "down")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  EXPECT_EQ(dapPutFile(kChan, up.c_str()) + dapGetFile(kChan, down.c_str()), 0);
  EXPECT_EQ(server().received(4) + local(down), "updown");
  EXPECT_TRUE(
      logsInOrder(log(), {"'" + file(up) + "' opened\r\n", "'" + file(down) + "' opened\r\n"}));
  const std::string journal = file("journal-\xC3\xA9.log");
  writeFile(journal, "an older and longer log");
  ASSERT_GT(dapSetString(kChan, DAP_STR_LOG_OPEN, journal.c_str()), 0);
  dapSetString(kChan, DAP_STR_LOG_WRITE, "written");
  dapSetString(kChan, DAP_STR_LOG_OPEN, nullptr);
  EXPECT_EQ(local("journal-\xC3\xA9.log"), "written\r\n");
}

class TransferSizeTest : public TransferTest, public ::testing::WithParamInterface<size_t> {};

// Around the 8192-byte receive buffer.
TEST_P(TransferSizeTest, RoundTripKeepsEveryByte) {
  const std::string down = binary(GetParam());
  const std::string up = binary(GetParam() + 1).substr(1);
  writeFile(file("up.bin"), up);
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("down.bin", down), pasv(), stor("up.bin")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "down.bin"), 0);
  EXPECT_TRUE(local("down.bin") == down);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), static_cast<int32_t>(GetParam()));
  EXPECT_EQ(dapPutFile(kChan, "up.bin"), 0);
  EXPECT_TRUE(server().received(5) == up);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_SENT), static_cast<int32_t>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferSizeTest, ::testing::Values(8191, 8192, 8193),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param); });

struct BlockCase {
  int32_t setting;
  int32_t block;
};

void PrintTo(const BlockCase& c, std::ostream* out) {
  *out << "Set" << c.setting << "Block" << c.block;
}

class TransferBlockTest : public TransferTest, public ::testing::WithParamInterface<BlockCase> {};

// One driver step never sends past the end of the current block, so every block boundary
// shows up in the running byte count, and no step sends more than a block.
TEST_P(TransferBlockTest, UploadGoesOutInBlocksOfTheClampedSize) {
  const auto [setting, block] = GetParam();
  const std::string bytes = binary(20000);
  writeFile(file("blocks.bin"), bytes);
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
  EXPECT_TRUE(server().received(3) == bytes);
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
                                           BlockCase{9000, 8192}),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

struct ChunkCase {
  const char* name;
  bool passive;
  bool upload;
  bool refuse;  // the kernel refuses to move the bytes, so the data buffer copies them
};

void PrintTo(const ChunkCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferChunkTest : public TransferTest, public ::testing::WithParamInterface<ChunkCase> {
 protected:
  void TearDown() override {
    platRefuseDataMoves(0);
    TransferTest::TearDown();
  }
};

#ifndef _WIN32
// Pipes of this process: the kernel data path opens one inside a step and closes it there.
int pipesOpen() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    count += std::filesystem::read_symlink(entry.path(), error).string().starts_with("pipe:");
  }
  return count;
}

// The library does nothing between driver calls, so a pipe it left is still there at a second
// look; the sanitizer runtime probes memory through a pipe of its own, on any thread, for an
// instant.
int pipesLeftSince(int before) {
  int left = pipesOpen() - before;
  for (int look = 0; left > 0 && look < 3; ++look) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    left = std::min(left, pipesOpen() - before);
  }
  return left;
}
#endif

// 4 MiB with a chunk of 1 MiB: a step moves all that has arrived (or that the socket takes)
// up to the chunk, so the transfer needs far fewer steps than its 512 blocks of 8192 bytes.
// The caller pauses between steps, as one busy elsewhere would, so that data piles up.
TEST_P(TransferChunkTest, LargeChunkMovesManyBlocksPerStep) {
  const ChunkCase& c = GetParam();
  constexpr int32_t kSize = 4 << 20;
  constexpr int32_t kChunk = 1 << 20;
  const std::string bytes = binary(kSize);
  if (c.upload) writeFile(file("chunk.bin"), bytes);
  ASSERT_NO_FATAL_FAILURE(login(
      {c.passive ? pasv() : port(), c.upload ? stor("chunk.bin") : retr("chunk.bin", bytes)}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, c.passive ? 1 : 0);
  ASSERT_EQ(dapSetInteger(kChan, DAP_SET_TRANSFER_CHUNK, kChunk), kChunk);
  dapSetInteger(kChan, DAP_SET_POLL_SLEEP, 1);
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  platRefuseDataMoves(c.refuse ? 1 : 0);

  ASSERT_EQ(c.upload ? dapPutFile(kChan, "chunk.bin") : dapGetFile(kChan, "chunk.bin"), 0);
  // Arming used the buffer for the local path; the data path alone uses it from here on.
  std::memset(channel()->dataBuffer, '#', kDataBufferSize);
  const uint32_t counter = c.upload ? DAP_GET_BYTES_SENT : DAP_GET_BYTES_RECEIVED;
  int32_t moved = 0;
  int32_t largest = 0;
  int dataSteps = 0;
#ifndef _WIN32
  const int pipesBefore = pipesLeftSince(0);  // fleeting ones aside
#endif
  int pipesLeft = 0;
  const auto start = Clock::now();
  int32_t result;
  while ((result = dapDriver(kChan)) > 0 && msSince(start) < 30000) {
    const int32_t now = dapGetInteger(kChan, counter);
    if (now != moved) {
      ++dataSteps;
      largest = std::max(largest, now - moved);
      moved = now;
    }
#ifndef _WIN32
    pipesLeft = std::max(pipesLeft, pipesLeftSince(pipesBefore));
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(result, 0);
  EXPECT_TRUE((c.upload ? server().received(3) : local("chunk.bin")) == bytes);
  EXPECT_EQ(moved, kSize);
  EXPECT_GT(largest, static_cast<int32_t>(kDataBufferSize));
  EXPECT_LE(largest, kChunk);
  EXPECT_LT(dataSteps, 128) << "largest step " << largest;
  EXPECT_EQ(pipesLeft, 0);
  // Only copying goes through the data buffer; uploads always copy.
#ifdef _WIN32
  const bool kernelMoved = false;
#else
  const bool kernelMoved = !c.refuse && !c.upload;
#endif
  EXPECT_EQ(std::string(channel()->dataBuffer, 16) == std::string(16, '#'), kernelMoved);
  const std::string count =
      std::to_string(kSize) + (c.upload ? " bytes transmitted\r\n" : " bytes received\r\n");
  EXPECT_TRUE(logsInOrder(log(), {c.upload ? "S: STOR chunk.bin\r\n" : "S: RETR chunk.bin\r\n",
                                  count, "R: 226 Transfer complete\r\n"}));
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferChunkTest,
                         ::testing::Values(ChunkCase{"PassiveDownload", true, false, false},
                                           ChunkCase{"PassiveUpload", true, true, false},
                                           ChunkCase{"ActiveDownload", false, false, false},
                                           ChunkCase{"ActiveUpload", false, true, false},
                                           ChunkCase{"PassiveDownloadCopied", true, false, true},
                                           ChunkCase{"ActiveDownloadCopied", false, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A chunked step that finds no data waits for it no longer than the data takes to come, at
// most pollSleep: the server's two pauses cost about their own length, not two pollSleeps.
TEST_F(TransferTest, ChunkedStepWakesAsSoonAsDataComes) {
  Exchange transfer = retr("w.bin", binary(30000));
  transfer.sendChunk = 10000;
  transfer.sendPauseMs = 100;
  ASSERT_NO_FATAL_FAILURE(login({pasv(), transfer}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChan, DAP_SET_TRANSFER_CHUNK, 1 << 20);
  dapSetInteger(kChan, DAP_SET_POLL_SLEEP, 1000);
  const auto start = Clock::now();
  EXPECT_EQ(dapGetFile(kChan, "w.bin"), 0);
  EXPECT_TRUE(elapsedBetween(msSince(start), 150, 1500));
  EXPECT_EQ(local("w.bin"), binary(30000));
}

// dapAbort closes the listener and the data socket, each followed by a pause of 250 ms
// holding the lock, unless closePause is 0.
TEST_F(TransferTest, AbortPausesAfterEachCloseUnlessClosePauseIs0) {
  for (int32_t closePause : {1, 0}) {
    ASSERT_EQ(dapSetInteger(kChan, DAP_SET_CLOSE_PAUSE, closePause), closePause);
    channel()->listenSocket = loopbackSocket();
    channel()->dataSocket = loopbackSocket(0, false);
    ASSERT_GT(channel()->listenSocket, 0);
    ASSERT_GT(channel()->dataSocket, 0);
    const auto start = Clock::now();
    EXPECT_EQ(dapAbort(kChan), 1);
    EXPECT_TRUE(closePause == 1 ? elapsedBetween(msSince(start), 480, 5000)
                                : elapsedBetween(msSince(start), 0, 300))
        << "closePause " << closePause;
    EXPECT_EQ(channel()->listenSocket, 0);
    EXPECT_EQ(channel()->dataSocket, 0);
  }
}

TEST_F(TransferTest, FinalReplyOtherThan226FailsAndLogsTheReply) {
  Exchange down = retr("f.bin", "abc");
  down.finalReply = {"250 Requested file action okay\r\n"};
  Exchange up = stor("f.bin");
  up.finalReply = down.finalReply;
  ASSERT_NO_FATAL_FAILURE(login({pasv(), down, pasv(), up}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "f.bin"), DAP_ERR_NOT_COMPLETED);
  EXPECT_EQ(local("f.bin"), "abc");
  EXPECT_EQ(dapPutFile(kChan, "f.bin"), DAP_ERR_NOT_COMPLETED);
  EXPECT_EQ(server().received(5), "abc");
  const std::string text = log();
  EXPECT_EQ(occurrences(text, "\nServerCode=250\r\n[250 Requested file action okay\r\n]\n"), 2u)
      << text;
  EXPECT_EQ(occurrences(text, "RokCode=-31 "), 2u);
  EXPECT_EQ(channel()->nextState, 0);
}

// The local file is emptied only once the server accepts the transfer.
TEST_F(TransferTest, RefusedDownloadLeavesTheLocalFileAsItWas) {
  writeFile(file("refused.txt"), "old content");
  ASSERT_NO_FATAL_FAILURE(login({pasv(), answer("RETR refused.txt", "550 No such file\r\n")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "refused.txt"), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "RETR refused.txt\r\n"}));
  EXPECT_EQ(local("refused.txt"), "old content");
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(channel()->nextState, 0);
  EXPECT_TRUE(
      logsInOrder(log(), {"FtpResponse: [550 No such file\r\n] Code=550\r\n", "ERROR(",
                          "FTP server returned error. 550 No such file\r\n", "Closing file\r\n"}));
}

struct ResetCase {
  const char* name;
  bool listing;
  int32_t chunk;
  bool refuse;  // the kernel refuses to move the bytes, so the data buffer copies them
};

void PrintTo(const ResetCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferResetTest : public TransferTest, public ::testing::WithParamInterface<ResetCase> {
 protected:
  void TearDown() override {
    platRefuseDataMoves(0);
    TransferTest::TearDown();
  }
};

// Only an orderly close ends the data; a reset fails the transfer with its socket code, whatever
// the server's final reply says.
TEST_P(TransferResetTest, ResetDataConnectionFailsWithItsSocketCode) {
  if (runningUnderWine()) GTEST_SKIP() << "wine reads a reset connection as closed";
  const ResetCase& c = GetParam();
  Exchange transfer =
      c.listing ? listing("LIST", std::string(3000, 'l') + "\r\n") : retr("r.bin", binary(30000));
  transfer.resetData = true;
  ASSERT_NO_FATAL_FAILURE(login({pasv(), transfer}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChan, DAP_SET_TRANSFER_CHUNK, c.chunk);
  platRefuseDataMoves(c.refuse ? 1 : 0);
  char buffer[8192] = "";

  EXPECT_EQ(c.listing ? dapGetList(kChan, DAP_LIST_FULL, buffer, sizeof buffer)
                      : dapGetFile(kChan, "r.bin"),
            -10054);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SOCKET_CODE), -10054);
  EXPECT_TRUE(logsInOrder(log(), {"ERROR(", "Socket read error.Connection reset by remote host."}));
  EXPECT_NE(log().find(": SockCode=-10054 RokCode=-20 "), std::string::npos) << log();
  EXPECT_EQ(channel()->localFile, 0);
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferResetTest,
                         ::testing::Values(ResetCase{"DownloadOneBlockPerStep", false, 8192, false},
                                           ResetCase{"DownloadChunkedKernel", false, 1 << 20,
                                                     false},
                                           ResetCase{"DownloadChunkedCopied", false, 1 << 20, true},
                                           ResetCase{"Listing", true, 8192, false}),
                         caseName);

#ifndef _WIN32
// The kernel moves a whole chunk into its pipe and the file then refuses the splice: the bytes
// are copied over and the step ends there, and later steps carry the download to its end.
TEST_F(TransferTest, ChunkedDownloadGoesOnWhenTheFileRefusesTheKernelMove) {
  constexpr int32_t kChunk = 16384;
  const std::string bytes = binary(100000);
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr("r.bin", bytes)}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChan, DAP_SET_TRANSFER_CHUNK, kChunk);
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  ASSERT_EQ(dapGetFile(kChan, "r.bin"), 0);
  const auto start = Clock::now();
  while (channel()->nextState != 307 && dapDriver(kChan) > 0 && msSince(start) < kPatientMs) {
  }
  ASSERT_EQ(channel()->nextState, 307);
  // More than a chunk waits in the socket, so the first step fills the chunk exactly.
  int waiting = 0;
  while (ioctl(channel()->dataSocket, FIONREAD, &waiting) == 0 && waiting <= kChunk &&
         msSince(start) < kPatientMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(waiting, kChunk);
  dapSetString(kChan, DAP_STR_LOG_OPEN, nullptr);  // so the fault meets the splice, not a log line
  platInjectFault(kPlatCallFileWrite, 1, EINVAL, 0);

  int32_t result = dapDriver(kChan);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), kChunk);
  while (result > 0 && msSince(start) < 2 * kPatientMs) result = dapDriver(kChan);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(local("r.bin") == bytes);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), 100000);
}
#endif

// A reply owed after an abort that comes too late is given up with the control connection: read
// later, it would pass for another command's reply. Later operations fail as on a dead line.
TEST_F(TransferTest, OwedReplyGivenUpClosesTheControlConnection) {
  Exchange late = pasv();
  late.reply.insert(late.reply.begin(), "");  // the empty chunk holds the reply back
  late.chunkPauseMs = 1500;
  ASSERT_NO_FATAL_FAILURE(login({late}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 300);
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  ASSERT_EQ(dapGetFile(kChan, "late.bin"), 0);
  const auto start = Clock::now();
  while (channel()->nextState != 901 && dapDriver(kChan) > 0 && msSince(start) < kPatientMs) {
  }
  ASSERT_EQ(channel()->nextState, 901);
  EXPECT_EQ(dapAbort(kChan), 1);
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 1);

  EXPECT_EQ(dapSetServerDir(kChan, "a"), DAP_ERR_TIMED_OUT);
  EXPECT_EQ(channel()->controlSocket, 0);
  EXPECT_TRUE(logsInOrder(
      log(), {"Replies owed: 1\r\n", "TimeStop exceeded [", "ERROR(",
              "Socket timed out.Replies owed given up\r\n", "Closing control socket\r\n"}));
  EXPECT_EQ(dapSetServerDir(kChan, "b"), DAP_ERR_SOCKET_CLOSED);
  EXPECT_EQ(dapSetServerDir(kChan, "c"), DAP_ERR_SOCKET_CLOSED);
  EXPECT_EQ(commands(), Strings{"PASV\r\n"});
}

struct PasvCase {
  const char* name;
  const char* reply;
  int32_t result;
  Strings logged;  // of a failure, after the PASV, in order
};

void PrintTo(const PasvCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferPasvTest : public TransferTest, public ::testing::WithParamInterface<PasvCase> {};

// Only the port of the reply counts; the data connection always goes to the server. A failure
// ends through the error exit, which records whose code it was.
TEST_P(TransferPasvTest, ReadsThePortFromTheReply) {
  const PasvCase& c = GetParam();
  std::vector<Exchange> script = {pasv(c.reply)};
  if (c.result == 0) script.push_back(retr("p.bin", "payload"));
  ASSERT_NO_FATAL_FAILURE(login(script));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, "p.bin"), c.result);
  const std::string text = log();
  if (c.result == 0) {
    EXPECT_EQ(local("p.bin"), "payload");
    EXPECT_EQ(commands(), (Strings{"PASV\r\n", "RETR p.bin\r\n"}));
    EXPECT_EQ(channel()->dataSockaddr.address, 0x7F000001u);
    EXPECT_TRUE(logsInOrder(
        text, {"S: PASV\r\n", "DataPort = " + std::to_string(channel()->dataPort) + "\r\n",
               "DataSock is connected.\r\n"}));
    return;
  }
  EXPECT_TRUE(logsInOrder(text.substr(text.find("S: PASV\r\n")), c.logged));
  EXPECT_EQ(commands(), Strings{"PASV\r\n"});
  EXPECT_EQ(channel()->localFile, 0);
  const bool socketError = c.result <= -10000;
  // Only a failed connect leaves a socket, for the next transfer to close.
  EXPECT_EQ(channel()->dataSocket > 0, socketError);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SOCKET_CODE), socketError ? c.result : 0);
  const std::string codes = socketError ? ": SockCode=" + std::to_string(c.result) + " RokCode=0 "
                                        : ": SockCode=0 RokCode=" + std::to_string(c.result) + " ";
  EXPECT_NE(text.find(codes), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferPasvTest,
    ::testing::Values(
        PasvCase{
            "NoParentheses", "227 Entering Passive Mode {h1},{h2},{h3},{h4},{p1},{p2}\r\n", 0, {}},
        PasvCase{"TrailingText", "227 =({h1},{h2},{h3},{h4},{p1},{p2}). Go\r\n", 0, {}},
        PasvCase{"ForeignHost", "227 Entering Passive Mode (10,0,0,5,{p1},{p2})\r\n", 0, {}},
        PasvCase{"NoDigits",
                 "227 Entering Passive Mode\r\n",
                 DAP_ERR_NO_PASV_PORT,
                 {"Response=[227 Entering Passive Mode\r\n]\r\n", "ERROR(",
                  "Cannot find PASV port.Closing file\r\n"}},
        PasvCase{"FiveNumbers", "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1})\r\n",
                 DAP_ERR_NO_PASV_PORT, Strings{"ERROR(", "Cannot find PASV port."}},
        PasvCase{"SpacedNumbers", "227 Entering Passive Mode (127, 0, 0, 1, {p1}, {p2})\r\n",
                 DAP_ERR_NO_PASV_PORT, Strings{"ERROR(", "Cannot find PASV port."}},
        PasvCase{"Refused", "502 PASV not implemented\r\n", DAP_ERR_SERVER_REFUSED,
                 Strings{"ERROR(", "FTP server returned error. 502"}},
        // Port 1 on the loopback has no listener without privileges.
        PasvCase{
            "PortWithoutListener",
            "227 Entering Passive Mode (127,0,0,1,0,1)\r\n",
            -10061,
            {"DataPort = 1\r\n", "ERROR(", "Connection refused by remote host.Closing file\r\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, RefusedPortStopsBeforeTheTransferCommand) {
  Exchange refused = port();
  refused.reply = {"500 Illegal PORT command.\r\n"};
  ASSERT_NO_FATAL_FAILURE(login({refused}));
  EXPECT_EQ(dapGetFile(kChan, "p.bin"), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(commands().size(), 1u);
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_TRUE(logsInOrder(log(), {"Listening...\r\n", "S: PORT ", "ERROR("}));
}

// No retry on another port: the transfer fails before PORT, and the next one takes the next port.
TEST_F(TransferTest, ListenerPortInUseFailsAndTheNextTransferMovesOn) {
  ASSERT_NO_FATAL_FAILURE(login({port(), retr("ok.bin", "ok")}));
  const uint16_t taken = firstActivePort();
  const PlatSocket holder = loopbackSocket(taken);
  ASSERT_NE(holder, kPlatInvalidSocket);

  EXPECT_EQ(dapGetFile(kChan, "busy.bin"), -10048);
  closeSocket(holder);
  EXPECT_EQ(commands(), Strings{});
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_NE(log().find(": SockCode=-10048 RokCode=-25 "), std::string::npos);
  EXPECT_TRUE(logsInOrder(log(), {"Binding 127.0.0.1 to port " + std::to_string(taken) + "\r\n",
                                  "ERROR(", "Listen error.Socket address already in use."}));

  EXPECT_EQ(dapGetFile(kChan, "ok.bin"), 0);
  EXPECT_EQ(commands().at(0), portCommand(static_cast<uint16_t>(taken + 1)));
  EXPECT_EQ(local("ok.bin"), "ok");
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
  EXPECT_TRUE(elapsedBetween(msSince(start), 350, 6000));
  EXPECT_TRUE(local("f.bin") == binary(20000));
  EXPECT_TRUE(logsInOrder(log(), {"20000 bytes received\r\n", "<350:", "TimeStop exceeded [",
                                  "ERROR(", "Socket timed out."}));
}

// A listing arms replyTimeout with its command; RETR would wait dataConnectTimeout (20 s).
TEST_F(TransferTest, ActiveServerThatNeverConnectsTimesOut) {
  Exchange list = listing("LIST", "");
  list.activeConnect = ActiveConnect::Never;
  ASSERT_NO_FATAL_FAILURE(login({port(), list}));
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 400);
  char buffer[64] = "";

  const auto start = Clock::now();
  EXPECT_EQ(dapGetList(kChan, DAP_LIST_FULL, buffer, sizeof buffer), DAP_ERR_TIMED_OUT);
  EXPECT_TRUE(elapsedBetween(msSince(start), 350, 5000));
  EXPECT_TRUE(logsInOrder(
      log(), {"Listening...\r\n", "S: LIST\r\n", "R: 150 Here comes the directory listing\r\n",
              "TimeStop exceeded [", "ERROR(", "Socket timed out."}));
  EXPECT_EQ(log().find("Accepting connection."), std::string::npos);
}

struct AnswerCase {
  const char* name;
  Strings reply;  // to RETR, from a server that never connects
  Then then;
  int32_t result;
  std::string logged;  // after the ERROR line
};

void PrintTo(const AnswerCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferAnswerTest : public TransferTest, public ::testing::WithParamInterface<AnswerCase> {};

// The wait for the server's connection, 20 s for a download, ends as soon as the server has
// answered instead or hung up.
TEST_P(TransferAnswerTest, ServerThatAnswersInsteadOfConnectingEndsTheWait) {
  const AnswerCase& c = GetParam();
  Exchange never = retr("n.bin", "x");
  never.activeConnect = ActiveConnect::Never;
  never.reply = c.reply;
  never.then = c.then;
  ASSERT_NO_FATAL_FAILURE(login({port(), never}));
  const auto start = Clock::now();
  EXPECT_EQ(dapGetFile(kChan, "n.bin"), c.result);
  EXPECT_LT(msSince(start), 3000);
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_TRUE(logsInOrder(log(), {"S: RETR n.bin\r\n", "ERROR(", c.logged}));
}

const std::string k425 = "425 Can't open data connection.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferAnswerTest,
    ::testing::Values(
        AnswerCase{
            "CannotConnect", {k425}, Then::Continue, -31, "ServerCode=425\r\n[" + k425 + "]\n"},
        AnswerCase{"PreliminaryThenCannotConnect",
                   {"150 Opening\r\n", k425},
                   Then::Continue,
                   -31,
                   "ServerCode=425\r\n[" + k425 + "]\n"},
        AnswerCase{"Refused",
                   {"550 Permission denied.\r\n"},
                   Then::Continue,
                   DAP_ERR_SERVER_REFUSED,
                   "FTP server returned error. 550 Permission denied."},
        AnswerCase{"HungUp",
                   {"150 Opening\r\n"},
                   Then::Close,
                   DAP_ERR_SOCKET_CLOSED,
                   "Socket has been closed."}),
    caseName);

std::string modeName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Passive" : "Active";
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
  dapSetInteger(kChan, DAP_SET_PASSIVE, passive ? 1 : 0);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 400);

  const auto start = Clock::now();
  EXPECT_EQ(dapGetFile(kChan, "quiet.bin"), DAP_ERR_TIMED_OUT);
  EXPECT_TRUE(elapsedBetween(msSince(start), 350, 6000));
  EXPECT_EQ(local("quiet.bin"), passive ? std::string(100, 'q') : "");
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_BYTES_RECEIVED), passive ? 100 : 0);
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_TRUE(
      logsInOrder(log(), {"TimeStop exceeded [", "ERROR(", "Socket timed out.Closing file\r\n"}));
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferSilentTest, ::testing::Values(false, true), modeName);

TEST_F(TransferTest, TimeStopAfterAnAcceptedActiveTransferIsStillATimeout) {
  ASSERT_NO_FATAL_FAILURE(login({port(), retr("a.bin", "abc"), answer("PWD", "")}));
  EXPECT_EQ(dapGetFile(kChan, "a.bin"), 0);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 300);
  char directory[32] = "untouched";
  EXPECT_EQ(dapGetServerDir(kChan, directory, sizeof directory), DAP_ERR_TIMED_OUT);
  EXPECT_STREQ(directory, "untouched");
  EXPECT_TRUE(logsInOrder(
      log(), {"*** dapGetServerDir\r\n", "TimeStop exceeded [", "ERROR(", "Socket timed out."}));
  EXPECT_EQ(dapDriver(kChan), 0);
}

struct AbortCase {
  const char* name;
  bool passive;
  int32_t abortIn;  // the state waiting when dapAbort comes; 0 after the transfer ended
  Strings owed;     // the replies the next command reads before it goes out, as logged
};

void PrintTo(const AbortCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferAbortTest : public TransferTest, public ::testing::WithParamInterface<AbortCase> {};

// Nothing goes to the server with the abort, and the server still answers the interrupted
// command; the next command reads that answer first and then gets its own reply.
TEST_P(TransferAbortTest, AbortClosesTheTransferAndTheNextCommandGetsItsOwnReply) {
  const AbortCase& c = GetParam();
  Exchange slow = retr("slow.bin", binary(4000));
  slow.sendChunk = 100;
  slow.sendPauseMs = 20;
  slow.finalReply = {"426 Connection closed; transfer aborted.\r\n"};
  if (c.abortIn == 920) {
    slow.activeConnect = ActiveConnect::Never;
    slow.reply.push_back("425 Can't open data connection.\r\n");
  }
  std::vector<Exchange> script = {c.passive ? pasv() : port(), slow,
                                  answer("CWD next", "550 No such directory\r\n")};
  if (c.abortIn == 901) script.erase(script.begin() + 1);
  ASSERT_NO_FATAL_FAILURE(login(script));
  dapSetInteger(kChan, DAP_SET_PASSIVE, c.passive ? 1 : 0);
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);

  ASSERT_EQ(dapGetFile(kChan, "slow.bin"), 0);
  const auto start = Clock::now();
  int32_t result = 1;
  while (
      (channel()->nextState != c.abortIn || (c.abortIn == 307 && channel()->bytesReceived == 0)) &&
      result > 0 && msSince(start) < kPatientMs) {
    result = dapDriver(kChan);
  }
  ASSERT_EQ(channel()->nextState, c.abortIn);
  // Commands must not wait for the server's delayed acknowledgement.
  EXPECT_TRUE(noDelayOn(channel()->controlSocket));
  const PlatSocket data = channel()->dataSocket;
  const PlatSocket listener = channel()->listenSocket;
  const std::string dataSocket = socketIdentity(data);
  const std::string listenSocket = socketIdentity(listener);
  EXPECT_EQ(dataSocket != "", c.abortIn == 307);

  EXPECT_EQ(dapAbort(kChan), 1);
  EXPECT_EQ(channel()->nextState, 0);
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(channel()->dataSocket, 0);
  EXPECT_EQ(channel()->listenSocket, 0);
  EXPECT_FALSE(socketStillOpen(dataSocket, data));
  EXPECT_FALSE(socketStillOpen(listenSocket, listener));
  EXPECT_EQ(dapDriver(kChan), 0);
  EXPECT_EQ(binary(4000).substr(0, channel()->bytesReceived), local("slow.bin"));

  const size_t before = log().size();
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 1);
  const auto commandStart = Clock::now();
  EXPECT_EQ(dapSetServerDir(kChan, "next"), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), 550);
  EXPECT_EQ(commands().back(), "CWD next\r\n");
  const std::string text = log().substr(before);
  Strings expected = {"*** dapSetServerDir\r\n"};
  if (!c.owed.empty()) expected.push_back("Replies owed: 1\r\n");
  expected.insert(expected.end(), c.owed.begin(), c.owed.end());
  expected.push_back("S: CWD next\r\n");
  expected.push_back("FtpResponse: [550 No such directory\r\n] Code=550\r\n");
  EXPECT_TRUE(logsInOrder(text, expected));
  // An abort that interrupted nothing owed costs no wait.
  if (c.owed.empty()) {
    EXPECT_EQ(text.find("Replies owed"), std::string::npos);
    EXPECT_LT(msSince(commandStart), 2500);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferAbortTest,
    ::testing::Values(
        AbortCase{"PasvReplyUnread", true, 901, {"R: 227 Entering Passive Mode (127,0,0,1,"}},
        AbortCase{"RetrSent",
                  false,
                  920,
                  {"R: 150 Opening BINARY mode data connection\r\n",
                   "R: 425 Can't open data connection.\r\n"}},
        AbortCase{"PassiveDataMoving", true, 307, {"R: 426 Connection closed; transfer aborted."}},
        AbortCase{"ActiveDataMoving", false, 307, {"R: 426 Connection closed; transfer aborted."}},
        AbortCase{"AfterTheTransfer", true, 0, {}}),
    caseName);

// Two ways the accept can fail: a readable socket that is no listener stands in for the
// listener, or the server's connection arrives with a handle too wide for the record (as a
// pointer-sized one could on 64-bit Windows), which counts as a socket that was not created.
struct AcceptFailureCase {
  const char* name;
  bool handleTooWide;
  int32_t result;
  const char* errorCodes;
  const char* errorTexts;
};

void PrintTo(const AcceptFailureCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferAcceptFailureTest : public TransferTest,
                                  public ::testing::WithParamInterface<AcceptFailureCase> {};

TEST_P(TransferAcceptFailureTest, EndsThroughTheErrorExit) {
  const AcceptFailureCase& c = GetParam();
  Exchange transfer = retr("n.bin", "x");
  transfer.activeConnect = c.handleTooWide ? ActiveConnect::BeforeReply : ActiveConnect::Never;
  ASSERT_NO_FATAL_FAILURE(login({port(), transfer}));
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  ASSERT_EQ(dapGetFile(kChan, "n.bin"), 0);
  const auto start = Clock::now();
  while (channel()->nextState != 921 && msSince(start) < kPatientMs) {
    ASSERT_GT(dapDriver(kChan), 0);
  }
  ASSERT_EQ(channel()->nextState, 921);
  LocalPair pair;
  if (c.handleTooWide) {
    platLimitSocketHandles(1);
  } else {
    ASSERT_EQ(pair.sendFromPeer("!"), 1);
    closeSocket(channel()->listenSocket);
    channel()->listenSocket = pair.engineEnd();
    ASSERT_GT(channel()->listenSocket, 0);
  }

  int32_t result;
  while ((result = dapDriver(kChan)) == 921 && msSince(start) < kPatientMs) {
  }
  platLimitSocketHandles(kPlatHighestSocket);
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(channel()->nextState, 0);
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(channel()->dataSocket, 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SOCKET_CODE), c.result);
  EXPECT_TRUE(logsInOrder(log(), {"Accepting connection.\r\n", "ERROR(",
                                  std::string(c.errorTexts) + "Closing file\r\n"}));
  EXPECT_NE(log().find(c.errorCodes), std::string::npos) << log();
  EXPECT_EQ(dapDriver(kChan), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferAcceptFailureTest,
    ::testing::Values(AcceptFailureCase{"NoListener", false, -10022, ": SockCode=-10022 RokCode=0 ",
                                        "Invalid argument."},
                      AcceptFailureCase{"HandleTooWide", true, -10, ": SockCode=-10 RokCode=-7 ",
                                        "Cannot create socket.Invalid socket."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, UploadToAServerThatStopsReadingEndsAtTheDeadline) {
  const size_t size = 32u << 20;
  writeFile(file("big.bin"), std::string(size, 'x'));
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
    if (finished.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
      server().stop();
    }
  });
  const auto start = Clock::now();
  EXPECT_EQ(dapPutFile(kChan, "big.bin"), DAP_ERR_TIMED_OUT);
  EXPECT_LT(msSince(start), 15000);
  done.set_value();
  watchdog.join();
  EXPECT_GT(dapGetInteger(kChan, DAP_GET_BYTES_SENT), 0);
  EXPECT_LT(dapGetInteger(kChan, DAP_GET_BYTES_SENT), static_cast<int32_t>(size));
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(log().find("[EOF]"), std::string::npos);
  EXPECT_TRUE(logsInOrder(log(), {"S: STOR big.bin\r\n", "TimeStop exceeded [", "ERROR(",
                                  "Socket timed out.Closing file\r\n"}));
}

// The end of the session also ends what a failed transfer left open.
TEST_F(TransferTest, CloseClosesWhatAFailedTransferLeftOpen) {
  ASSERT_NO_FATAL_FAILURE(login(
      {port(), answer("RETR gone.bin", "550 No such file\r\n"), answer("QUIT", "221 bye\r\n")}));
  EXPECT_EQ(dapGetFile(kChan, "gone.bin"), DAP_ERR_SERVER_REFUSED);
  const PlatSocket left = channel()->listenSocket;
  const std::string identity = socketIdentity(left);
  ASSERT_NE(identity, "");
  EXPECT_EQ(dapClose(kChan), 0);
  EXPECT_FALSE(socketStillOpen(identity, left));
  EXPECT_EQ(channel()->listenSocket, 0);
}

enum class Next { Get, Put, List };

struct LeftoverCase {
  const char* name;
  bool passive;
  Next next;
};

void PrintTo(const LeftoverCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferLeftoverTest : public TransferTest,
                             public ::testing::WithParamInterface<LeftoverCase> {};

// Passive leaves the data socket of the refused transfer, active its listener.
TEST_P(TransferLeftoverTest, NextTransferClosesTheSocketAFailureLeftOpen) {
  const auto [name, passive, next] = GetParam();
  const Exchange setup = passive ? pasv() : port();
  const Exchange following = next == Next::Get   ? retr("here.bin", "here")
                             : next == Next::Put ? stor("here.bin")
                                                 : listing("LIST", "here");
  writeFile(file("here.bin"), "here");
  ASSERT_NO_FATAL_FAILURE(
      login({setup, answer("RETR gone.bin", "550 No such file\r\n"), setup, following}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, passive ? 1 : 0);

  EXPECT_EQ(dapGetFile(kChan, "gone.bin"), DAP_ERR_SERVER_REFUSED);
  const PlatSocket left = passive ? channel()->dataSocket : channel()->listenSocket;
  ASSERT_GT(left, 0);
  const std::string identity = socketIdentity(left);
  ASSERT_NE(identity, "");
  const size_t before = log().size();

  char buffer[16] = "";
  const std::string entry = next == Next::Get   ? "*** dapGetFile\r\n"
                            : next == Next::Put ? "*** dapPutFile\r\n"
                                                : "*** dapGetList\r\n";
  EXPECT_EQ(next == Next::Get   ? dapGetFile(kChan, "here.bin")
            : next == Next::Put ? dapPutFile(kChan, "here.bin")
                                : dapGetList(kChan, DAP_LIST_FULL, buffer, sizeof buffer),
            next == Next::List ? 4 : 0);
  EXPECT_FALSE(socketStillOpen(identity, left));
  const std::string closing = passive ? "Closing data socket\r\n" : "Closing listener socket\r\n";
  EXPECT_TRUE(
      logsInOrder(log().substr(before), {entry, closing, passive ? "S: PASV\r\n" : "S: PORT "}));
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferLeftoverTest,
                         ::testing::Values(LeftoverCase{"PassiveThenGet", true, Next::Get},
                                           LeftoverCase{"PassiveThenPut", true, Next::Put},
                                           LeftoverCase{"PassiveThenList", true, Next::List},
                                           LeftoverCase{"ActiveThenGet", false, Next::Get},
                                           LeftoverCase{"ActiveThenPut", false, Next::Put},
                                           LeftoverCase{"ActiveThenList", false, Next::List}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- EPSV and EPRT ----

Exchange epsv(std::string reply = "229 Entering Extended Passive Mode (|||{port}|)\r\n") {
  return answer("EPSV", std::move(reply));
}

Exchange eprt(bool ipv6, std::string reply = "200 EPRT command successful\r\n") {
  Exchange exchange =
      answer(ipv6 ? R"(EPRT \|2\|::1\|[0-9]+\|)" : R"(EPRT \|1\|127\.0\.0\.1\|[0-9]+\|)",
             std::move(reply));
  exchange.pattern = true;
  return exchange;
}

std::string eprtCommand(bool ipv6, uint16_t port) {
  return std::string(ipv6 ? "EPRT |2|::1|" : "EPRT |1|127.0.0.1|") + std::to_string(port) + "|\r\n";
}

struct ExtendedCase {
  const char* name;
  bool ipv6;  // a server on ::1 gets EPSV and EPRT unasked
  bool passive;
  bool refused;  // the first EPSV or EPRT is refused: PASV or PORT from then on
};

void PrintTo(const ExtendedCase& c, std::ostream* out) {
  *out << c.name;
}

class TransferExtendedTest : public TransferTest,
                             public ::testing::WithParamInterface<ExtendedCase> {};

TEST_P(TransferExtendedTest, DownloadsThenUploadsWithTheCommandsTheServerTakes) {
  const ExtendedCase& c = GetParam();
  const std::string bytes = binary(70000);
  writeFile(file("up.bin"), bytes);
  const auto setup = [&] {
    if (c.refused) return c.passive ? pasv() : port();
    return c.passive ? epsv() : eprt(c.ipv6);
  };
  std::vector<Exchange> exchanges;
  if (c.refused) {
    exchanges.push_back(c.passive ? answer("EPSV", "502 EPSV not implemented\r\n")
                                  : eprt(c.ipv6, "500 'EPRT': command not understood\r\n"));
  }
  for (Exchange transfer : {retr("down.bin", bytes), stor("up.bin")}) {
    exchanges.push_back(setup());
    exchanges.push_back(transfer);
  }
  ASSERT_NO_FATAL_FAILURE(login(exchanges, c.ipv6));
  dapSetInteger(kChan, DAP_SET_PASSIVE, c.passive ? 1 : 0);
  if (!c.ipv6) {
    EXPECT_EQ(dapSetInteger(kChan, DAP_SET_EXTENDED, 1), 1);
  }

  EXPECT_EQ(dapGetFile(kChan, "down.bin"), 0);
  EXPECT_EQ(dapPutFile(kChan, "up.bin"), 0);
  EXPECT_EQ(local("down.bin"), bytes);
  EXPECT_TRUE(server().received(exchanges.size() + 1) == bytes);
  const uint16_t first = firstActivePort();
  Strings expected;
  if (c.refused) expected.push_back(c.passive ? "EPSV\r\n" : eprtCommand(c.ipv6, first));
  for (uint16_t at = c.refused ? 1 : 0; at < (c.refused ? 3 : 2); ++at) {
    const uint16_t port = static_cast<uint16_t>(first + at);
    if (c.passive) expected.push_back(c.refused ? "PASV\r\n" : "EPSV\r\n");
    if (!c.passive) expected.push_back(c.refused ? portCommand(port) : eprtCommand(c.ipv6, port));
    expected.push_back(expected.size() < 3 ? "RETR down.bin\r\n" : "STOR up.bin\r\n");
  }
  EXPECT_EQ(commands(), expected);
  const std::string text = log();
  const std::string fallback = c.passive ? "EPSV refused (502): PASV from now on\r\n"
                                         : "EPRT refused (500): PORT from now on\r\n";
  EXPECT_EQ(occurrences(text, fallback), c.refused ? 1u : 0u);
  if (c.ipv6) {
    char address[64];
    EXPECT_EQ(dapGetString(kChan, DAP_STR_SERVER_IP, address, sizeof address), 3);
    EXPECT_STREQ(address, "::1");
    EXPECT_TRUE(logsInOrder(text, {"ServerIP = ::1\r\n", "LocalIP=[::1]\r\n"}));
    EXPECT_EQ(c.passive, text.find("Binding ::1 to port ") == std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Transfer, TransferExtendedTest,
                         ::testing::Values(ExtendedCase{"Epsv", false, true, false},
                                           ExtendedCase{"Eprt", false, false, false},
                                           ExtendedCase{"EpsvRefusedThenPasv", false, true, true},
                                           ExtendedCase{"EprtRefusedThenPort", false, false, true},
                                           ExtendedCase{"Ipv6Epsv", true, true, false},
                                           ExtendedCase{"Ipv6Eprt", true, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// PASV cannot carry an IPv6 address: a server on ::1 that refuses EPSV has no fallback.
TEST_F(TransferTest, Ipv6ServerThatRefusesEpsvFails) {
  ASSERT_NO_FATAL_FAILURE(login({answer("EPSV", "502 EPSV not implemented\r\n")}, true));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  EXPECT_EQ(dapGetFile(kChan, "x.bin"), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(commands(), (Strings{"EPSV\r\n"}));
}

// Each malformed 229 ends its download with -30 before RETR, as a PASV reply without a port does.
TEST_F(TransferTest, MalformedExtendedPassiveRepliesAreMinus30) {
  const Strings replies = {"229 Entering Extended Passive Mode (|||0|)\r\n",
                           "229 Entering Extended Passive Mode (|||65536|)\r\n",
                           "229 Entering Extended Passive Mode (||{port}|)\r\n",
                           "229 Entering Extended Passive Mode\r\n",
                           "229 Entering Extended Passive Mode (|||{port})\r\n",
                           "229 (|||\r\n",
                           "229 Entering Extended Passive Mode (|||{port}\r\n",
                           "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2})\r\n"};
  std::vector<Exchange> exchanges;
  for (const std::string& reply : replies) exchanges.push_back(epsv(reply));
  ASSERT_NO_FATAL_FAILURE(login(exchanges));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChan, DAP_SET_EXTENDED, 1);
  for (const std::string& reply : replies) {
    EXPECT_EQ(dapGetFile(kChan, "x.bin"), DAP_ERR_NO_PASV_PORT) << reply;
  }
  EXPECT_EQ(commands(), Strings(replies.size(), "EPSV\r\n"));
  EXPECT_EQ(occurrences(log(), "Response=[229"), replies.size() - 1);
}

}  // namespace
