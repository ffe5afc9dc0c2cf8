// The single commands (CWD, PWD, DELE, MKD, RMD, TYPE) and the caller's own (dapCommand) with
// their exact texts and replies, the checks the operations make before arming, UTF-8 names,
// and the channel's local directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "dap32.h"
#include "frame/channel.h"
#include "platform/platform.h"
#include "support/case_name.h"
#include "support/scripted_session.h"
#include "support/test_files.h"

namespace {

using namespace ftptest;

// Cases are written with '/'; the library completes and joins paths with the local separator.
std::string native(std::string path) {
  std::replace(path.begin(), path.end(), '/', kPathSeparator);
  return path;
}

class CommandTest : public ScriptedSession {
 protected:
  // What the log gained since `from` bytes.
  std::string logSince(size_t from) const { return log().substr(from); }
};

struct PwdCase {
  const char* name;
  std::string reply;
  std::string directory;
};

void PrintTo(const PwdCase& c, std::ostream* out) {
  *out << c.name;
}

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
    caseName);

// A reply line whose end has not come by the deadline is no reply, though its text looks like
// one.
TEST_F(CommandTest, ReplyLineCutShortAtTheDeadlineTimesOut) {
  ASSERT_NO_FATAL_FAILURE(login({answer("PWD", "257 \"/pa")}));
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 300);
  char buffer[32] = "untouched";
  EXPECT_EQ(dapGetServerDir(kChan, buffer, sizeof buffer - 1), DAP_ERR_TIMED_OUT);
  EXPECT_STREQ(buffer, "untouched");
}

// A code too large for 32 bits, or one with leading zeros past the tenth digit, is a refusal
// when its number is 500 or more; it never wraps to a small or negative code.
TEST_F(CommandTest, ReplyCodesOf500OrMoreAreRefusalsHoweverLong) {
  const Strings replies = {"2147483648 x\r\n", "4294967295 x\r\n", "4294967546 x\r\n",
                           "0000000000550 x\r\n"};
  std::vector<Exchange> script;
  for (const std::string& reply : replies) script.push_back(answer("CWD d", reply));
  ASSERT_NO_FATAL_FAILURE(login(script));
  for (const std::string& reply : replies) {
    EXPECT_EQ(dapSetServerDir(kChan, "d"), DAP_ERR_SERVER_REFUSED) << reply;
    EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), reply[0] == '0' ? 550 : 0x7FFFFFFF);
  }
}

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
  EXPECT_STREQ(channel()->serverDir, "/abcdefghi");
}

struct ReplyCase {
  const char* name;
  const char* reply;
  int32_t result;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
  *out << c.name;
}

class CommandCwdTest : public CommandTest, public ::testing::WithParamInterface<ReplyCase> {};

// Only codes from 500 fail; the requested directory is kept either way.
TEST_P(CommandCwdTest, KeepsTheRequestedDirectory) {
  ASSERT_NO_FATAL_FAILURE(login({answer("CWD /req/dir", GetParam().reply)}));
  const size_t before = log().size();

  EXPECT_EQ(dapSetServerDir(kChan, "/req/dir"), GetParam().result);
  EXPECT_EQ(commands(), Strings{"CWD /req/dir\r\n"});
  EXPECT_STREQ(channel()->serverDir, "/req/dir");
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
                         caseName);

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
  EXPECT_EQ(channel()->binaryMode, 0u);
  EXPECT_EQ(dapSetMode(kChan, 'B'), 0);
  EXPECT_EQ(channel()->binaryMode, 1u);

  // A refused letter leaves an armed TYPE command as it was.
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  EXPECT_EQ(dapSetMode(kChan, 'B' + 256), 0);
  EXPECT_EQ(channel()->nextState, 701);
  const size_t before = log().size();
  for (const int32_t refused : {int32_t{'b'}, int32_t{'a'}, int32_t{'I'}, 0}) {
    EXPECT_EQ(dapSetMode(kChan, refused), DAP_ERR_BAD_MODE) << refused;
  }
  EXPECT_EQ(logSince(before),
            "*** dapSetMode\r\n*** dapSetMode\r\n*** dapSetMode\r\n"
            "*** dapSetMode\r\n");
  EXPECT_EQ(channel()->nextState, 701);
  EXPECT_EQ(channel()->binaryMode, 1u);
  int32_t result;
  for (int calls = 0; (result = dapDriver(kChan)) > 0 && calls < 100000; ++calls) {
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(commands(), (Strings{"TYPE A\r\n", "TYPE I\r\n", "TYPE I\r\n"}));
}

struct TextCase {
  const char* name;
  Strings reply;  // chunks
  int32_t size;   // of the caller's buffer
  int32_t result;
  std::string text;
};

void PrintTo(const TextCase& c, std::ostream* out) {
  *out << c.name;
}

class CommandTextTest : public CommandTest, public ::testing::WithParamInterface<TextCase> {};

// The final reply's lines reach the caller's buffer, cut to its size: the guard byte after it
// stays. A preliminary reply is read past, a refusal is an answer like any other.
TEST_P(CommandTextTest, FinalReplyGoesToTheBufferCutToItsSize) {
  const TextCase& c = GetParam();
  Exchange command = answer("STAT x", "");
  command.reply = c.reply;
  ASSERT_NO_FATAL_FAILURE(login({command}));
  char buffer[96];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(dapCommand(kChan, "STAT x", buffer, c.size), c.result);
  EXPECT_EQ(std::string(buffer, c.text.size() + 1) + buffer[c.size], c.text + '\0' + '#');
  EXPECT_TRUE(logsInOrder(log(), {"*** dapCommand\r\n", "S: STAT x\r\n"}));
}

const Strings kFeatures = {"211-Features:\r\n MDTM\r\n", " SIZE\r\n211 End\r\n"};

INSTANTIATE_TEST_SUITE_P(
    Command, CommandTextTest,
    ::testing::Values(
        TextCase{"OneLine", {"200 Fine\r\n"}, 64, 200, "200 Fine"},
        TextCase{"MultiLine", kFeatures, 63, 211, "211-Features:\r\n MDTM\r\n SIZE\r\n211 End"},
        TextCase{"MultiLineCut", kFeatures, 20, 211, "211-Features:\r\n MDT"},
        TextCase{"PreliminaryReadPast", {"150 Wait\r\n", "226 Done\r\n"}, 64, 226, "226 Done"},
        TextCase{"Refusal", {"550 No such file\r\n"}, 64, 550, "550 No such file"},
        TextCase{"NoCode", {"abc def\r\n"}, 64, DAP_ERR_SERVER_REFUSED, "abc def"}),
    caseName);

// Driven by the caller, the code is then dapGetInteger 3's; a password typed here stays out of
// the log, as the login's does.
TEST_F(CommandTest, CommandDrivenByTheCallerHidesAPassword) {
  ASSERT_NO_FATAL_FAILURE(login({answer("pass secret", "230 Logged in\r\n")}));
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  char buffer[32] = "";
  ASSERT_EQ(dapCommand(kChan, "pass secret", buffer, sizeof buffer), 0);
  int32_t result;
  for (int calls = 0; (result = dapDriver(kChan)) > 0 && calls < 100000; ++calls) {
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(dapGetInteger(kChan, DAP_GET_SERVER_CODE), 230);
  EXPECT_STREQ(buffer, "230 Logged in");
  EXPECT_TRUE(logsInOrder(log(), {"S: PASS ****\r\n", "R: 230 Logged in\r\n"}));
  EXPECT_EQ(log().find("secret"), std::string::npos);
}

// OPTS UTF8 ON follows the login; a refusal is logged and the names go out as given. A command's
// text is refused whole, never cut, and so is an invalid UTF-8 name: nothing is armed or sent.
TEST_F(CommandTest, Utf8NamesAndRefusedTexts) {
  EXPECT_EQ(dapSetInteger(kChan, DAP_SET_UTF8, 3), 1);
  const std::string name = "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC";
  ASSERT_NO_FATAL_FAILURE(login(
      {answer("OPTS UTF8 ON", "501 Invalid argument\r\n"), answer("CWD " + name, "250 Ok\r\n")}));
  EXPECT_EQ(dapSetServerDir(kChan, name.c_str()), 0);
  EXPECT_TRUE(logsInOrder(log(), {"UTF8 not accepted (501)\r\n", "S: CWD " + name + "\r\n"}));
  const std::string tooLong(2001, 'x');
  char pattern[16] = "\xF5\x80\x80\x80";  // above U+10FFFF
  for (const int32_t result :
       {dapCommand(kChan, "CWD caf\xC3", nullptr, 0), dapGetFile(kChan, "\xE6\x97"),
        dapSetServerDir(kChan, "\xC0\xAF"), dapSetLocalDir(kChan, "/\xED\xA0\x80"),
        dapGetList(kChan, DAP_LIST_MACHINE_PATH, pattern, sizeof pattern),
        dapCommand(kChan, nullptr, nullptr, 0), dapCommand(kChan, "", nullptr, 0),
        dapCommand(kChan, tooLong.c_str(), nullptr, 0), dapCommand(kChan, "NOOP", pattern, -1)}) {
    EXPECT_EQ(result, DAP_ERR_CANNOT_COMPLY);
  }
  dapSetInteger(kChan, DAP_SET_UTF8, 0);
  for (const char* text : {"NOOP\rDELE x", "NOOP\n", "SITE\tX", "NOOP \x7F", "CWD caf\xC3\xA9"}) {
    EXPECT_EQ(dapCommand(kChan, text, nullptr, 0), DAP_ERR_CANNOT_COMPLY) << text;
  }
  EXPECT_EQ(channel()->localDir, dir().path() + kPathSeparator);
  EXPECT_EQ(dapDriver(kChan), 0);
  EXPECT_EQ(commands(), (Strings{"OPTS UTF8 ON\r\n", "CWD " + name + "\r\n"}));
}

struct NamedCase {
  const char* name;
  int32_t(DAP_CALL* operation)(int32_t, const char*);
  const char* entryLine;
  const char* verb;
};

void PrintTo(const NamedCase& c, std::ostream* out) {
  *out << c.name;
}

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
    caseName);

struct NullCase {
  const char* name;
  const char* entryLine;
  std::function<int32_t()> call;
};

void PrintTo(const NullCase& c, std::ostream* out) {
  *out << c.name;
}

class CommandNullTest : public CommandTest, public ::testing::WithParamInterface<NullCase> {};

// AUTO_CALL off, so that an operation that armed the engine would show in nextState.
TEST_P(CommandNullTest, UnusableArgumentIsRefusedAfterTheEntryLine) {
  ASSERT_NO_FATAL_FAILURE(login({}));
  dapSetInteger(kChan, DAP_SET_AUTO_CALL, 0);
  const std::string fileName = channel()->fileName;
  const std::string serverDir = channel()->serverDir;
  const std::string localDir = channel()->localDir;
  const size_t before = log().size();

  EXPECT_EQ(GetParam().call(), DAP_ERR_CANNOT_COMPLY);
  EXPECT_EQ(logSince(before), GetParam().entryLine);
  EXPECT_EQ(channel()->nextState, 0);
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(channel()->fileName, fileName);
  EXPECT_EQ(channel()->serverDir, serverDir);
  EXPECT_EQ(channel()->localDir, localDir);
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
                 [] { return dapSetServerDir(kChan, nullptr); }},
        NullCase{"GetListNullBuffer", "*** dapGetList\r\n",
                 [] { return dapGetList(kChan, DAP_LIST_FULL, nullptr, 100); }},
        NullCase{"GetListNegativeSize", "*** dapGetList\r\n",
                 [] {
                   char buffer[8] = "keep";
                   const int32_t result = dapGetList(kChan, DAP_LIST_FULL_PATTERN, buffer, -1);
                   EXPECT_STREQ(buffer, "keep");
                   return result;
                 }}),
    caseName);

// ---- Local directory ----

class LocalDirTest : public CommandTest {};

struct LocalDirCase {
  const char* name;
  std::string given;
  std::string stored;
};

void PrintTo(const LocalDirCase& c, std::ostream* out) {
  *out << c.name;
}

class LocalDirFormTest : public CommandTest, public ::testing::WithParamInterface<LocalDirCase> {};

TEST_P(LocalDirFormTest, StoresThePrintablePartEndingInTheSeparator) {
  const size_t before = log().size();
  EXPECT_EQ(dapSetLocalDir(kChan, native(GetParam().given).c_str()), 0);
  const std::string stored = native(GetParam().stored);
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
    caseName);

TEST_F(LocalDirTest, GetLocalDirCopiesAtMostSizeCharactersAndANul) {
  ASSERT_EQ(dapSetLocalDir(kChan, native("/tmp/abcdef").c_str()), 0);
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  const size_t before = log().size();
  EXPECT_EQ(dapGetLocalDir(kChan, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 8), native(std::string("/tm\0####", 8)));
  EXPECT_EQ(logSince(before),
            "*** dapGetLocalDir\r\nLocal directory is '" + native("/tmp/abcdef/") + "'\r\n");

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

void PrintTo(const JoinCase& c, std::ostream* out) {
  *out << c.name;
}

class LocalDirJoinTest : public CommandTest, public ::testing::WithParamInterface<JoinCase> {};

// A missing file fails before anything is armed or sent, and the log shows the joined path.
TEST_P(LocalDirJoinTest, JoinsTheDirectoryAndTheNameWithOneSeparator) {
  ASSERT_NO_FATAL_FAILURE(login({}));
  ASSERT_EQ(dapSetLocalDir(kChan, native(GetParam().localDir).c_str()), 0);
  const size_t before = log().size();
  EXPECT_EQ(dapPutFile(kChan, native(GetParam().file).c_str()), DAP_ERR_CANNOT_OPEN_FILE);
  EXPECT_EQ(logSince(before),
            "*** dapPutFile\r\nCannot open '" + native(GetParam().path) + "'\r\n");
  EXPECT_EQ(channel()->nextState, 0);
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(dapDriver(kChan), 0);
  EXPECT_EQ(commands(), Strings{});
}

INSTANTIATE_TEST_SUITE_P(
    LocalDir, LocalDirJoinTest,
    ::testing::Values(JoinCase{"WithSeparator", "/nowhere/dir/", "f.txt", "/nowhere/dir/f.txt"},
                      JoinCase{"SeparatorAdded", "/nowhere/dir", "f.txt", "/nowhere/dir/f.txt"},
                      JoinCase{"Root", "/", "0123456789", "/0123456789"},
                      JoinCase{"EmptyDirectory", "", "no-such-file.dap32", "no-such-file.dap32"},
                      JoinCase{"Subdirectory", "/nowhere", "sub/f.txt", "/nowhere/sub/f.txt"}),
    caseName);

struct NameCase {
  const char* name;
  std::string given;
  std::string stored;
};

void PrintTo(const NameCase& c, std::ostream* out) {
  *out << c.name;
}

class LocalDirNameTest : public CommandTest, public ::testing::WithParamInterface<NameCase> {};

// The stored name is both the local file and the argument of RETR.
TEST_P(LocalDirNameTest, NameIsCutLikeEveryArgument) {
  const std::string stored = GetParam().stored;
  ASSERT_NO_FATAL_FAILURE(login({pasv(), retr(stored, "content")}));
  dapSetInteger(kChan, DAP_SET_PASSIVE, 1);

  EXPECT_EQ(dapGetFile(kChan, GetParam().given.c_str()), 0);
  EXPECT_EQ(commands(), (Strings{"PASV\r\n", "RETR " + stored + "\r\n"}));
  EXPECT_EQ(fileBytes(dir().file(stored)), "content");
  EXPECT_EQ(channel()->fileName, stored);
  EXPECT_NE(log().find("\n'" + dir().file(stored) + "' opened\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(LocalDir, LocalDirNameTest,
                         ::testing::Values(NameCase{"ByteAbove7E",
                                                    "ab\xE9"
                                                    "cd",
                                                    "ab"},
                                           NameCase{"Longer128", std::string(200, 'n'),
                                                    std::string(128, 'n')}),
                         caseName);

TEST_F(LocalDirTest, NullDirectoryKeepsTheOldOne) {
  ASSERT_EQ(dapSetLocalDir(kChan, native("/kept").c_str()), 0);
  const size_t before = log().size();
  EXPECT_EQ(dapSetLocalDir(kChan, nullptr), DAP_ERR_CANNOT_COMPLY);
  EXPECT_EQ(logSince(before), "*** dapSetLocalDir\r\n");
  EXPECT_EQ(channel()->localDir, native("/kept/"));
}

}  // namespace
