// The single commands (CWD, PWD, DELE, MKD, RMD, TYPE) with their exact texts and replies, the
// checks the operations make before arming, and the channel's local directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "dap32.h"
#include "frame/channel.h"
#include "support/script_server.h"

namespace {

using namespace ftptest;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

constexpr int32_t kChan = 0;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Exchange answer(std::string expect, std::string reply) {
  Exchange exchange;
  exchange.expect = std::move(expect);
  exchange.reply = {std::move(reply)};
  return exchange;
}

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    char pattern[] = "/tmp/dap32_command_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(dapAttach(1, 0), 1);
    channel_ = channelTable[kChan];
    ASSERT_GT(dapSetString(kChan, DAP_STR_LOG_OPEN, (dir_ / "channel.log").c_str()), 0);
    ASSERT_EQ(dapSetLocalDir(kChan, dir_.c_str()), 0);
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

  std::string log() const { return readFile(dir_ / "channel.log"); }
  // What the log gained since `from` bytes.
  std::string logSince(size_t from) const { return log().substr(from); }

  Settings saved_{};
  fs::path dir_;
  Channel* channel_ = nullptr;
  std::unique_ptr<ScriptServer> server_;
};

struct PwdCase {
  const char* name;
  std::string reply;
  std::string directory;
};

class CommandPwdTest : public CommandTest, public ::testing::WithParamInterface<PwdCase> {};

TEST_P(CommandPwdTest, TakesTheDirectoryFromTheLastReplyLine) {
  ASSERT_NO_FATAL_FAILURE(login({answer("PWD", GetParam().reply)}));
  char buffer[256];
  std::memset(buffer, '#', sizeof buffer);

  EXPECT_EQ(dapGetServerDir(kChan, buffer, sizeof buffer - 1),
            static_cast<int32_t>(GetParam().directory.size()));
  EXPECT_EQ(std::string(buffer), GetParam().directory);
  EXPECT_EQ(commands(), Strings{"PWD\r\n"});
  EXPECT_NE(log().find("\n*** dapGetServerDir\r\n"), std::string::npos);
  EXPECT_NE(log().find("\nServer directory is '" + GetParam().directory + "'\r\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Command, CommandPwdTest,
    ::testing::Values(
        PwdCase{"Quoted", "257 \"/pub/incoming\" is current directory.\r\n", "/pub/incoming"},
        PwdCase{"QuotedWithBlank", "257 \"/my dir\" is current\r\n", "/my"},
        PwdCase{"Unquoted", "257 /pub is current\r\n", "pub"},
        PwdCase{"QuotedAlone", "257 \"/x\"\r\n", "/x"},
        PwdCase{"EndsAtTab", "257 \"/tab\"\tcurrent\r\n", "/tab"},
        PwdCase{"MultiLine", "257-Your directory:\r\n  (no comment)\r\n257 \"/last\" ok\r\n",
                "/last"},
        PwdCase{"Long", "257 \"/" + std::string(200, 'd') + "\"\r\n", "/" + std::string(127, 'd')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, ServerDirIsCutToTheBufferButItsFullLengthReturned) {
  ASSERT_NO_FATAL_FAILURE(login({answer("PWD", "257 \"/abcdefghi\" is current\r\n"),
                                 answer("PWD", "257 \"/abcdefghi\" is current\r\n"),
                                 answer("PWD", "550 Permission denied\r\n")}));
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(dapGetServerDir(kChan, buffer, 4), 10);
  EXPECT_EQ(std::string(buffer, 8), std::string("/abc\0###", 8));

  EXPECT_EQ(dapGetServerDir(kChan, nullptr, 100), 10);

  // A refused PWD neither writes the buffer nor replaces the directory held.
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(dapGetServerDir(kChan, buffer, sizeof buffer - 1), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(std::string(buffer, 8), std::string(8, '#'));
  EXPECT_STREQ(channel_->serverDir, "/abcdefghi");
}

struct ReplyCase {
  const char* name;
  const char* reply;
  int32_t result;
};

class CommandCwdTest : public CommandTest, public ::testing::WithParamInterface<ReplyCase> {};

// Only codes from 500 fail; the requested directory is kept either way.
TEST_P(CommandCwdTest, KeepsTheRequestedDirectory) {
  ASSERT_NO_FATAL_FAILURE(login({answer("CWD /req/dir", GetParam().reply)}));
  const size_t before = log().size();

  EXPECT_EQ(dapSetServerDir(kChan, "/req/dir"), GetParam().result);
  EXPECT_EQ(commands(), Strings{"CWD /req/dir\r\n"});
  EXPECT_STREQ(channel_->serverDir, "/req/dir");
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), std::atoi(GetParam().reply));
  const std::string text = logSince(before);
  EXPECT_EQ(text.rfind("*** dapSetServerDir\r\n", 0), 0u) << text;
  EXPECT_EQ(text.find("\nServer directory is '/req/dir'\r\n") != std::string::npos,
            GetParam().result == 0)
      << text;
}

INSTANTIATE_TEST_SUITE_P(Command, CommandCwdTest,
                         ::testing::Values(ReplyCase{"Accepted", "250 Directory changed\r\n", 0},
                                           ReplyCase{"Refused", "550 No such directory\r\n",
                                                     DAP_ERR_SERVER_REFUSED},
                                           ReplyCase{"ClosingButBelow500", "421 Timeout\r\n", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, ArgumentsAreCutAtTheFirstUnprintableCharacterAnd128Characters) {
  const std::string longName(200, 'n');
  ASSERT_NO_FATAL_FAILURE(login(
      {answer("CWD /tab", "250 ok\r\n"), answer("DELE " + longName.substr(0, 128), "250 ok\r\n")}));
  EXPECT_EQ(dapSetServerDir(kChan, "/tab\there"), 0);
  EXPECT_EQ(dapDelFile(kChan, longName.c_str()), 0);
  EXPECT_EQ(commands(), (Strings{"CWD /tab\r\n", "DELE " + longName.substr(0, 128) + "\r\n"}));
}

TEST_F(CommandTest, SetModeSendsTypeAndRefusesOtherLetters) {
  ASSERT_NO_FATAL_FAILURE(login({answer("TYPE A", "200 Switching to ASCII mode.\r\n"),
                                 answer("TYPE I", "200 Switching to Binary mode.\r\n"),
                                 answer("TYPE I", "200 Switching to Binary mode.\r\n")}));
  EXPECT_EQ(dapSetMode(kChan, 'A'), 0);
  EXPECT_EQ(channel_->binaryMode, 0u);
  EXPECT_EQ(dapSetMode(kChan, 'B'), 0);
  EXPECT_EQ(channel_->binaryMode, 1u);

  // A refused letter leaves an armed TYPE command as it was.
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  EXPECT_EQ(dapSetMode(kChan, 'B' + 256), 0);
  EXPECT_EQ(channel_->nextState, 701);
  const size_t before = log().size();
  for (const int32_t refused : {int32_t{'b'}, int32_t{'a'}, int32_t{'I'}, 0}) {
    EXPECT_EQ(dapSetMode(kChan, refused), DAP_ERR_BAD_MODE) << refused;
  }
  EXPECT_EQ(logSince(before),
            "*** dapSetMode\r\n*** dapSetMode\r\n*** dapSetMode\r\n"
            "*** dapSetMode\r\n");
  EXPECT_EQ(channel_->nextState, 701);
  EXPECT_EQ(channel_->binaryMode, 1u);
  int32_t result;
  for (int calls = 0; (result = dapDriver(kChan)) > 0 && calls < 100000; ++calls) {
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(commands(), (Strings{"TYPE A\r\n", "TYPE I\r\n", "TYPE I\r\n"}));
}

struct NamedCase {
  const char* name;
  int32_t (*operation)(int32_t, const char*);
  const char* entryLine;
  const char* verb;
};

class CommandNamedTest : public CommandTest, public ::testing::WithParamInterface<NamedCase> {};

// The name goes out after one blank exactly as given, without quoting.
TEST_P(CommandNamedTest, SendsTheNameVerbatimAndFailsOnlyFrom500) {
  const std::string verb = GetParam().verb;
  ASSERT_NO_FATAL_FAILURE(login({answer(verb + " my dir/a \"b\"", "250 Done\r\n"),
                                 answer(verb + " x", "550 Not allowed\r\n")}));
  const size_t before = log().size();
  EXPECT_EQ(GetParam().operation(kChan, "my dir/a \"b\""), 0);
  EXPECT_EQ(GetParam().operation(kChan, "x"), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(commands(), (Strings{verb + " my dir/a \"b\"\r\n", verb + " x\r\n"}));
  const std::string text = logSince(before);
  EXPECT_EQ(text.rfind(GetParam().entryLine, 0), 0u) << text;
  EXPECT_NE(text.find("\nS: " + verb + " my dir/a \"b\"\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nFTP server returned error. 550 Not allowed\r\n"), std::string::npos)
      << text;
}

INSTANTIATE_TEST_SUITE_P(
    Command, CommandNamedTest,
    ::testing::Values(NamedCase{"Delete", dapDelFile, "*** dapDelFile\r\n", "DELE"},
                      NamedCase{"MakeDir", dapMakeServerDir, "*** dapMakeServerDir\r\n", "MKD"},
                      NamedCase{"RemoveDir", dapDelServerDir, "*** dapRemoveServerDir\r\n", "RMD"}),
    [](const auto& info) { return std::string(info.param.name); });

struct NullCase {
  const char* name;
  const char* entryLine;
  std::function<int32_t()> call;
};

class CommandNullTest : public CommandTest, public ::testing::WithParamInterface<NullCase> {};

// AUTO_CALL off, so that an operation that armed the engine would show in nextState.
TEST_P(CommandNullTest, NullArgumentIsRefusedAfterTheEntryLine) {
  ASSERT_NO_FATAL_FAILURE(login({}));
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  const std::string fileName = channel_->fileName;
  const std::string serverDir = channel_->serverDir;
  const std::string localDir = channel_->localDir;
  const size_t before = log().size();

  EXPECT_EQ(GetParam().call(), DAP_ERR_CANNOT_COMPLY);
  EXPECT_EQ(logSince(before), GetParam().entryLine);
  EXPECT_EQ(channel_->nextState, 0);
  EXPECT_EQ(channel_->localFile, 0);
  EXPECT_EQ(channel_->fileName, fileName);
  EXPECT_EQ(channel_->serverDir, serverDir);
  EXPECT_EQ(channel_->localDir, localDir);
  EXPECT_EQ(dapDriver(kChan), 0);
  EXPECT_EQ(commands(), Strings{});
}

INSTANTIATE_TEST_SUITE_P(
    Command, CommandNullTest,
    ::testing::Values(
        NullCase{"GetFile", "*** dapGetFile\r\n", [] { return dapGetFile(kChan, nullptr); }},
        NullCase{"PutFile", "*** dapPutFile\r\n", [] { return dapPutFile(kChan, nullptr); }},
        NullCase{"DelFile", "*** dapDelFile\r\n", [] { return dapDelFile(kChan, nullptr); }},
        NullCase{"MakeDir", "*** dapMakeServerDir\r\n",
                 [] { return dapMakeServerDir(kChan, nullptr); }},
        NullCase{"RemoveDir", "*** dapRemoveServerDir\r\n",
                 [] { return dapDelServerDir(kChan, nullptr); }},
        NullCase{"SetServerDir", "*** dapSetServerDir\r\n",
                 [] { return dapSetServerDir(kChan, nullptr); }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Local directory ----

class LocalDirTest : public CommandTest {};

struct LocalDirCase {
  const char* name;
  std::string given;
  std::string stored;
};

class LocalDirFormTest : public CommandTest, public ::testing::WithParamInterface<LocalDirCase> {};

TEST_P(LocalDirFormTest, StoresThePrintablePartEndingInTheSeparator) {
  const size_t before = log().size();
  EXPECT_EQ(dapSetLocalDir(kChan, GetParam().given.c_str()), 0);
  const std::string stored = GetParam().stored;
  EXPECT_EQ(
      logSince(before),
      "*** dapSetLocalDir\r\n" + (stored.empty() ? "" : "Local directory is '" + stored + "'\r\n"));
  char buffer[256];
  EXPECT_EQ(dapGetLocalDir(kChan, buffer, sizeof buffer - 1), static_cast<int32_t>(stored.size()));
  EXPECT_EQ(std::string(buffer), stored);
}

const std::string kLongDirectory = "/" + std::string(199, 'd');
const std::string kFullDirectory = "/" + std::string(125, 'd') + "/";

INSTANTIATE_TEST_SUITE_P(
    LocalDir, LocalDirFormTest,
    ::testing::Values(LocalDirCase{"TrailingSeparatorKept", "/data/in/", "/data/in/"},
                      LocalDirCase{"SeparatorAdded", "/data/in", "/data/in/"},
                      LocalDirCase{"Empty", "", ""},
                      LocalDirCase{"CutAt127", kLongDirectory, kLongDirectory.substr(0, 127) + "/"},
                      LocalDirCase{"Exactly127WithSeparator", kFullDirectory, kFullDirectory},
                      LocalDirCase{"CutAtTab", "/data\tin", "/data/"},
                      LocalDirCase{"CutAtHighByte", "/d\xE4t", "/d/"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LocalDirTest, GetLocalDirCopiesAtMostSizeCharactersAndANul) {
  ASSERT_EQ(dapSetLocalDir(kChan, "/tmp/abcdef"), 0);
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  const size_t before = log().size();
  EXPECT_EQ(dapGetLocalDir(kChan, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 8), std::string("/tm\0####", 8));
  EXPECT_EQ(logSince(before), "*** dapGetLocalDir\r\nLocal directory is '/tmp/abcdef/'\r\n");

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(dapGetLocalDir(kChan, buffer, 0), 0);
  EXPECT_EQ(std::string(buffer, 2), std::string("\0#", 2));
  EXPECT_EQ(dapGetLocalDir(kChan, nullptr, 100), 0);
}

struct JoinCase {
  const char* name;
  std::string localDir;
  std::string file;
  std::string path;
};

class LocalDirJoinTest : public CommandTest, public ::testing::WithParamInterface<JoinCase> {};

// A missing file shows the joined path in the log without touching the server.
TEST_P(LocalDirJoinTest, JoinsTheDirectoryAndTheNameWithOneSeparator) {
  ASSERT_EQ(dapSetLocalDir(kChan, GetParam().localDir.c_str()), 0);
  const size_t before = log().size();
  EXPECT_EQ(dapPutFile(kChan, GetParam().file.c_str()), DAP_ERR_CANNOT_OPEN_FILE);
  EXPECT_EQ(logSince(before), "*** dapPutFile\r\nCannot open '" + GetParam().path + "'\r\n");
  EXPECT_EQ(channel_->nextState, 0);
}

INSTANTIATE_TEST_SUITE_P(
    LocalDir, LocalDirJoinTest,
    ::testing::Values(JoinCase{"WithSeparator", "/nowhere/dir/", "f.txt", "/nowhere/dir/f.txt"},
                      JoinCase{"SeparatorAdded", "/nowhere/dir", "f.txt", "/nowhere/dir/f.txt"},
                      JoinCase{"Root", "/", "0123456789", "/0123456789"},
                      JoinCase{"EmptyDirectory", "", "no-such-file.dap32", "no-such-file.dap32"},
                      JoinCase{"Subdirectory", "/nowhere", "sub/f.txt", "/nowhere/sub/f.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

struct NameCase {
  const char* name;
  std::string given;
  std::string stored;
};

class LocalDirNameTest : public CommandTest, public ::testing::WithParamInterface<NameCase> {};

// The stored name is both the local file and the argument of RETR.
TEST_P(LocalDirNameTest, NameIsCutLikeEveryArgument) {
  const std::string stored = GetParam().stored;
  Exchange retr = answer("RETR " + stored, "150 Opening\r\n");
  retr.data = Data::Send;
  retr.sendBytes = "content";
  retr.finalReply = {"226 done\r\n"};
  ASSERT_NO_FATAL_FAILURE(login(
      {answer("PASV", "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2})\r\n"), retr}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, GetParam().given.c_str()), 0);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "RETR " + stored + "\r\n"}));
  EXPECT_EQ(readFile(dir_ / stored), "content");
  EXPECT_EQ(channel_->fileName, stored);
  EXPECT_NE(log().find("\n'" + (dir_ / stored).string() + "' opened\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(LocalDir, LocalDirNameTest,
                         ::testing::Values(NameCase{"ByteAbove7E",
                                                    "ab\xE9"
                                                    "cd",
                                                    "ab"},
                                           NameCase{"Longer128", std::string(200, 'n'),
                                                    std::string(128, 'n')}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LocalDirTest, NullDirectoryKeepsTheOldOne) {
  ASSERT_EQ(dapSetLocalDir(kChan, "/kept"), 0);
  const size_t before = log().size();
  EXPECT_EQ(dapSetLocalDir(kChan, nullptr), DAP_ERR_CANNOT_COMPLY);
  EXPECT_EQ(logSince(before), "*** dapSetLocalDir\r\n");
  EXPECT_STREQ(channel_->localDir, "/kept/");
}

}  // namespace
