// Directory listings into the caller's buffer: the command each type sends, how the buffer
// fills when the listing does not fit, and the argument taken from the buffer itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "dap32.h"
#include "support/scripted_session.h"
#include "support/timing.h"

namespace {

using namespace ftptest;

class ListingTest : public ScriptedSession {
 protected:
  // Logs in, then plays PASV and the listing exchange.
  void loginForListing(std::string command, std::string bytes) {
    login({pasv(), listing(std::move(command), std::move(bytes))});
    dapSetInteger(kChan, DAP_SET_PASSIVE, 1);
  }
};

struct TypeCase {
  const char* name;
  int32_t type;
  const char* command;
};

void PrintTo(const TypeCase& c, std::ostream* out) {
  *out << c.name;
}

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

INSTANTIATE_TEST_SUITE_P(
    Listing, ListingTypeTest,
    ::testing::Values(TypeCase{"Full", DAP_LIST_FULL, "LIST"},
                      TypeCase{"Names", DAP_LIST_NAMES, "NLST"},
                      TypeCase{"NegativeTypeIsFull", -2, "LIST"},
                      TypeCase{"FullPattern", DAP_LIST_FULL_PATTERN, "LIST *.txt"},
                      TypeCase{"NamesPattern", DAP_LIST_NAMES_PATTERN, "NLST *.txt"},
                      TypeCase{"Machine", DAP_LIST_MACHINE, "MLSD"},
                      TypeCase{"MachinePath", DAP_LIST_MACHINE_PATH, "MLSD *.txt"},
                      TypeCase{"AboveFiveIsFullPattern", 6, "LIST *.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

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
  const char* name;
  const char* line;
  int32_t result;
};

void PrintTo(const FitCase& c, std::ostream* out) {
  *out << c.name;
}

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
                         ::testing::Values(FitCase{"Fits", "abcdefg\r\n", 9},
                                           FitCase{"OneByteShort", "abcdefgh\r\n", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

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
  EXPECT_TRUE(elapsedBetween(msSince(start), 450, 2500));
  EXPECT_EQ(std::string(buffer).rfind("line 10\r\nline 11\r\n", 0), 0u) << buffer;
  EXPECT_LT(std::strlen(buffer), text.size());
  EXPECT_NE(log().find("\nTimeStop exceeded ["), std::string::npos);
}

}  // namespace
