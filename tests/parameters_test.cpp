// The four parameter exports and the error texts of dapErrorText.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "dap32.h"
#include "frame/channel.h"
#include "platform/platform.h"
#include "support/library_fixture.h"
#include "support/local_pair.h"
#include "support/test_files.h"

namespace {

using ftptest::fileBytes;
using ftptest::handlesOpenOn;
using ftptest::LibraryFixture;
using ftptest::LocalPair;

bool sameSettings(const Settings& a, const Settings& b) {
  return a.connectTimeout == b.connectTimeout && a.commandDelay == b.commandDelay &&
         a.replyTimeout == b.replyTimeout && a.blockDelay == b.blockDelay &&
         a.spareSetting == b.spareSetting && a.pollSleep == b.pollSleep &&
         a.dataConnectTimeout == b.dataConnectTimeout && a.finalBlockDelay == b.finalBlockDelay &&
         a.uploadBlockSize == b.uploadBlockSize && a.closePause == b.closePause &&
         a.transferChunk == b.transferChunk && a.versionMarker == b.versionMarker &&
         a.socketVersion == b.socketVersion;
}

class AttachedTwo : public LibraryFixture {
 protected:
  AttachedTwo() : LibraryFixture(2) {}
  Channel& channel(int chan) { return *channelTable[chan]; }
};

class Parameters : public AttachedTwo {};
class ErrorText : public AttachedTwo {};

// ---- dapGetInteger ----

TEST_F(Parameters, GetIntegerReadsEachCounterFromItsOwnField) {
  struct Case {
    uint32_t code;
    int32_t Channel::*field;
  };
  const Case cases[] = {
      {2, &Channel::stepCount},           {3, &Channel::serverCode},
      {4, &Channel::lastSocketCode},      {10, &Channel::bytesReceived},
      {11, &Channel::totalBytesReceived}, {12, &Channel::bytesSent},
      {13, &Channel::totalBytesSent},     {14, &Channel::controlSocket},
  };
  int32_t value = 1000;
  for (const Case& c : cases) channel(1).*c.field = ++value;
  value = 1000;
  for (const Case& c : cases) {
    EXPECT_EQ(dapGetInteger(1, c.code), ++value) << "code " << c.code;
    EXPECT_EQ(dapGetInteger(0, c.code), 0) << "channel 0 must not see channel 1, code " << c.code;
  }
  channel(1).bytesReceived = -5;
  EXPECT_EQ(dapGetInteger(1, 10), -5);
}

TEST_F(Parameters, GetIntegerGivesVersionAndBuildAndMinus1ForUnknownCodes) {
  EXPECT_EQ(dapGetInteger(0, DAP_GET_VERSION), 278);
  EXPECT_EQ(dapGetInteger(1, DAP_GET_BUILD), 12);
  for (uint32_t code : {0u, 1u, 5u, 6u, 7u, 8u, 9u, 18u, 19u, 22u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(dapGetInteger(0, code), -1) << "code " << code;
  }
}

// Digits are read one at a time, either case, anything else counting as 0.
TEST_F(Parameters, VersionNumbersAreHexDigitsOfTheMarker) {
  settings.versionMarker = "$VER a1Fz BLD 0c0G$";
  EXPECT_EQ(dapGetInteger(0, DAP_GET_VERSION), 0xA1F0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_BUILD), 0x0C00);
}

TEST_F(Parameters, ConnectionTestFollowsTheControlSocket) {
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 0) << "no control socket";

  LocalPair pair(LocalPair::Kind::Tcp);
  ASSERT_TRUE(pair.valid());

  channel(0).controlSocket = pair.engineEnd();
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 1);
  EXPECT_EQ(dapGetInteger(1, DAP_GET_CONNECTED), 0);

  // Urgent data is the exception condition of the readiness poll.
  ASSERT_TRUE(pair.sendUrgentFromPeer('!'));
  ASSERT_TRUE(pair.waitUrgent(2000)) << "urgent byte did not arrive";
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 0);
}

// ---- dapSetInteger ----

// Holds only while every test puts back the settings it changed.
TEST_F(Parameters, SettingsStartWithTheirDefaults) {
  EXPECT_EQ(settings.connectTimeout, 60000u);
  EXPECT_EQ(settings.commandDelay, 0u);
  EXPECT_EQ(settings.replyTimeout, 20000u);
  EXPECT_EQ(settings.blockDelay, 0u);
  EXPECT_EQ(settings.spareSetting, 2000u);
  EXPECT_EQ(settings.pollSleep, 20u);
  EXPECT_EQ(settings.dataConnectTimeout, 20000u);
  EXPECT_EQ(settings.finalBlockDelay, 50u);
  EXPECT_EQ(settings.uploadBlockSize, 1024u);
  EXPECT_EQ(settings.closePause, 1u);
  EXPECT_EQ(settings.transferChunk, 8192u);
  EXPECT_STREQ(settings.versionMarker, "$VER 0116 BLD 000C$");
  EXPECT_EQ(settings.socketVersion, 0x0101);
}

TEST_F(Parameters, LibraryWideCodesStoreTheValueForEveryChannel) {
  struct Case {
    uint32_t code;
    uint32_t Settings::*field;
  };
  const Case cases[] = {
      {1, &Settings::connectTimeout},   {2, &Settings::commandDelay}, {3, &Settings::replyTimeout},
      {4, &Settings::blockDelay},       {5, &Settings::spareSetting}, {8, &Settings::pollSleep},
      {10, &Settings::finalBlockDelay},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    for (int32_t value : {0, 7, 123456, -5}) {
      Settings expected = settings;
      expected.*c.field = static_cast<uint32_t>(value);
      EXPECT_EQ(dapSetInteger(1, c.code, value), value);
      EXPECT_TRUE(sameSettings(settings, expected)) << "value " << value;
    }
  }
  EXPECT_EQ(settings.dataConnectTimeout, savedSettings().dataConnectTimeout) << "has no code";
}

// Each stores and returns the value as masked or clamped, taken as unsigned, for every channel.
TEST_F(Parameters, CheckedSettingsAreMaskedOrClamped) {
  struct Case {
    uint32_t code;
    int32_t value;
    int32_t stored;
  };
  constexpr int32_t kMax = 16 << 20;
  const Case cases[] = {
      {11, 100, 128},   {11, 0, 128},         {11, 127, 128},   {11, 128, 128},
      {11, 1024, 1024}, {11, 8192, 8192},     {11, 8193, 8192}, {11, 10000, 8192},
      {11, -1, 8192},   {11, INT_MIN, 8192},  {13, 0, 0},       {13, 1, 1},
      {13, 2, 0},       {13, 3, 1},           {13, -1, 1},      {13, -2, 0},
      {14, 0, 8192},    {14, 8191, 8192},     {14, 8192, 8192}, {14, 8193, 8193},
      {14, kMax, kMax}, {14, kMax + 1, kMax}, {14, -1, kMax},   {14, INT_MIN, kMax},
  };
  for (const Case& c : cases) {
    Settings expected = settings;
    expected.*(c.code == 11   ? &Settings::uploadBlockSize
               : c.code == 13 ? &Settings::closePause
                              : &Settings::transferChunk) = static_cast<uint32_t>(c.stored);
    EXPECT_EQ(dapSetInteger(c.value & 1, c.code, c.value), c.stored) << c.code << ": " << c.value;
    EXPECT_TRUE(sameSettings(settings, expected)) << c.code << ": " << c.value;
  }
}

// The per-channel options of secure sessions, files and networks: flags keep bit 0, a mode or
// family out of range is refused and changes nothing. The other channel keeps its own.
TEST_F(Parameters, ChannelOptionsKeepBit0OrRefuseWhatIsOutOfRange) {
  struct Case {
    uint32_t code;
    int32_t value;
    int32_t returned;
    int32_t (*stored)(const Channel&);
  };
  const auto tls = [](const Channel& c) { return c.tlsMode; };
  const auto verify = [](const Channel& c) { return c.tlsVerify; };
  const auto data = [](const Channel& c) { return c.tlsProtectData; };
  const auto resume = [](const Channel& c) { return static_cast<int32_t>(c.resumeTransfers); };
  const auto utf8 = [](const Channel& c) { return static_cast<int32_t>(c.utf8Names); };
  const auto extended = [](const Channel& c) { return c.extendedMode; };
  const auto family = [](const Channel& c) { return c.addressFamily; };
  const Case cases[] = {
      {DAP_SET_TLS, 2, 2, tls},
      {DAP_SET_TLS, 3, -6, tls},
      {DAP_SET_TLS, -1, -6, tls},
      {DAP_SET_TLS_VERIFY, 2, 0, verify},
      {DAP_SET_TLS_VERIFY, -1, 1, verify},
      {DAP_SET_TLS_DATA, 4, 0, data},
      {DAP_SET_TLS_DATA, 3, 1, data},
      {DAP_SET_RESUME, 3, 1, resume},
      {DAP_SET_UTF8, 2, 0, utf8},
      {DAP_SET_UTF8, INT_MIN + 1, 1, utf8},
      {DAP_SET_EXTENDED, -1, 1, extended},
      {DAP_SET_ADDRESS_FAMILY, 2, 2, family},
      {DAP_SET_ADDRESS_FAMILY, 3, -6, family},
      {DAP_SET_ADDRESS_FAMILY, -1, -6, family},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + ": " + std::to_string(c.value));
    const int32_t before = c.stored(channel(1));
    const int32_t other = c.stored(channel(0));
    EXPECT_EQ(dapSetInteger(1, c.code, c.value), c.returned);
    EXPECT_EQ(c.stored(channel(1)), c.returned < 0 ? before : c.returned);
    EXPECT_EQ(c.stored(channel(0)), other);
  }
}

// A pin is 64 hexadecimal digits in any case, colons and blanks anywhere between them; it reads
// back as 64 uppercase digits, whole or not at all. Anything else is refused and keeps the pin.
TEST_F(Parameters, PinTakesItsDigitsAndRefusesAnythingElse) {
  const std::string digits = "00112233445566778899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0";
  std::string upper = digits;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string spaced;
  for (size_t i = 0; i < digits.size(); i += 2) spaced += digits.substr(i, 2) + (i % 8 ? ":" : " ");
  const auto pin = [](int32_t size) {
    std::string text(static_cast<size_t>(size), 'x');
    int32_t result = dapGetString(1, DAP_STR_TLS_PIN, text.data(), size);
    return std::to_string(result) + " " + text.c_str();
  };
  ASSERT_EQ(dapSetString(1, DAP_STR_TLS_PIN, spaced.c_str()), 0);
  EXPECT_EQ(pin(65), "64 " + upper);
  EXPECT_EQ(pin(64), "0 ");
  for (const std::string& refused : {digits.substr(1), digits + "0", "g" + digits.substr(1),
                                     digits.substr(0, 63) + "-", std::string("0x") + digits}) {
    EXPECT_EQ(dapSetString(1, DAP_STR_TLS_PIN, refused.c_str()), DAP_ERR_CANNOT_COMPLY) << refused;
    EXPECT_EQ(pin(65), "64 " + upper) << refused;
  }
  EXPECT_EQ(dapSetString(1, DAP_STR_TLS_PIN, " : "), 0);
  EXPECT_EQ(pin(65), "0 ");
  ASSERT_EQ(dapSetString(1, DAP_STR_TLS_PIN, upper.c_str()), 0);
  EXPECT_EQ(dapSetString(1, DAP_STR_TLS_PIN, nullptr), 0);
  EXPECT_EQ(pin(65), "0 ");
}

TEST_F(Parameters, AutoCallKeepsOnlyBit0AndClearsTheChannelTimers) {
  struct Case {
    int32_t value;
    int32_t stored;
  };
  for (Case c : {Case{0, 0}, Case{1, 1}, Case{2, 0}, Case{3, 1}, Case{-1, 1}, Case{-2, 0}}) {
    channel(1).resumeTick = 111;
    channel(1).deadlineTick = 222;
    EXPECT_EQ(dapSetInteger(1, DAP_SET_AUTO_CALL, c.value), c.stored) << c.value;
    EXPECT_EQ(channel(1).autoCall, static_cast<uint32_t>(c.stored));
    EXPECT_EQ(channel(1).resumeTick, 0u);
    EXPECT_EQ(channel(1).deadlineTick, 0u);
  }
  EXPECT_EQ(channel(0).autoCall, 1u) << "the option belongs to one channel";
}

TEST_F(Parameters, AutoCallChangeIsLogged) {
  const std::string log = dir().file("auto.log");
  ASSERT_GT(dapSetString(0, DAP_STR_LOG_OPEN, log.c_str()), 0);
  EXPECT_EQ(dapSetInteger(0, DAP_SET_AUTO_CALL, 2), 0);
  EXPECT_EQ(dapSetInteger(0, DAP_SET_AUTO_CALL, 3), 1);
  EXPECT_EQ(dapSetInteger(1, DAP_SET_AUTO_CALL, 0), 0);  // channel 1 has no log
  EXPECT_EQ(fileBytes(log), "AUTO_CALL = 0\r\nAUTO_CALL = 1\r\n");
}

TEST_F(Parameters, ServerPortKeepsTheLow16BitsAndReturnsTheValue) {
  struct Case {
    int32_t value;
    uint16_t port;
  };
  for (Case c : {Case{2121, 2121}, Case{70000, 4464}, Case{65536, 0}, Case{-1, 65535}}) {
    EXPECT_EQ(dapSetInteger(1, DAP_SET_SERVER_PORT, c.value), c.value);
    EXPECT_EQ(channel(1).serverPort, c.port) << c.value;
  }
  EXPECT_EQ(channel(0).serverPort, 21);
}

TEST_F(Parameters, PassiveModeStoresAnyValue) {
  EXPECT_EQ(dapSetInteger(1, DAP_SET_PASSIVE, -1), -1);
  EXPECT_EQ(channel(1).passiveMode, -1);
  EXPECT_EQ(dapSetInteger(1, DAP_SET_PASSIVE, 0), 0);
  EXPECT_EQ(channel(1).passiveMode, 0);
  EXPECT_EQ(dapSetInteger(0, DAP_SET_PASSIVE, 5), 5);
  EXPECT_EQ(channel(0).passiveMode, 5);
  EXPECT_EQ(channel(1).passiveMode, 0);
}

TEST_F(Parameters, UnknownSetCodesAnswerMinus1AndChangeNothing) {
  channel(0).resumeTick = 5;
  for (uint32_t code : {0u, 7u, 30u, 99u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(dapSetInteger(0, code, 4000), -1) << "code " << code;
  }
  EXPECT_TRUE(sameSettings(settings, savedSettings()));
  EXPECT_EQ(channel(0).autoCall, 1u);
  EXPECT_EQ(channel(0).serverPort, 21);
  EXPECT_EQ(channel(0).passiveMode, 0);
  EXPECT_EQ(channel(0).resumeTick, 5u);
}

// ---- dapGetString ----

TEST_F(Parameters, ServerAddressNeedsAtLeast17Bytes) {
  channel(1).serverAddr = 0x0A0000C8;  // 10.0.0.200
  char buffer[32];

  for (int32_t size : {16, 1, 0, -1}) {
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(dapGetString(1, DAP_STR_SERVER_IP, buffer, size), 0) << size;
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x')) << size;
  }
  for (int32_t size : {17, 18}) {
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(dapGetString(1, DAP_STR_SERVER_IP, buffer, size), 10);
    EXPECT_EQ(std::string(buffer, 12), std::string("10.0.0.200\0x", 12)) << size;
  }
  EXPECT_EQ(dapGetString(1, DAP_STR_SERVER_IP, nullptr, 18), 0);
}

TEST_F(Parameters, ServerAddressIsDottedHighByteFirstUnsigned) {
  struct Case {
    uint32_t address;
    const char* text;
  };
  for (Case c : {Case{0, "0.0.0.0"}, Case{0xC0A80001, "192.168.0.1"},
                 Case{0xFFFFFFFF, "255.255.255.255"}, Case{0x7F000001, "127.0.0.1"}}) {
    channel(0).serverAddr = c.address;
    char buffer[17];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(dapGetString(0, DAP_STR_SERVER_IP, buffer, sizeof buffer),
              static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_STREQ(buffer, c.text);
  }
}

TEST_F(Parameters, UnknownStringCodeWritesOnlyWhatFits) {
  struct Case {
    int32_t size;
    const char* expected;  // the four bytes afterwards
  };
  for (Case c : {Case{100, "?\0xx"}, Case{2, "?\0xx"}, Case{1, "\0xxx"}, Case{0, "xxxx"},
                 Case{-1, "xxxx"}, Case{INT_MIN, "xxxx"}}) {
    for (int32_t code : {0, 18, 20, 21, -1}) {
      char buffer[4];
      std::memset(buffer, 'x', sizeof buffer);
      EXPECT_EQ(dapGetString(0, code, buffer, c.size), 0);
      EXPECT_EQ(std::string(buffer, 4), std::string(c.expected, 4))
          << "size " << c.size << ", code " << code;
    }
  }
  EXPECT_EQ(dapGetString(0, 0, nullptr, 100), 0);
}

// ---- dapSetString ----

TEST_F(Parameters, LogOpenReturnsTheHandleAndLogWriteReturnsIt) {
  const std::string log = dir().file("open.log");
  EXPECT_EQ(dapSetString(1, DAP_STR_LOG_WRITE, "before"), 0) << "no log open yet";
  const int32_t handle = dapSetString(1, DAP_STR_LOG_OPEN, log.c_str());
  ASSERT_GT(handle, 0);
  EXPECT_EQ(channel(1).logFile, handle);
  EXPECT_EQ(channel(0).logFile, 0);
  EXPECT_EQ(dapSetString(1, DAP_STR_LOG_WRITE, "line"), handle);
  EXPECT_EQ(dapSetString(1, DAP_STR_LOG_WRITE, nullptr), handle);
  EXPECT_EQ(dapSetString(0, DAP_STR_LOG_WRITE, "other"), 0);
  for (int32_t code : {0, 19, 30, -1}) {
    EXPECT_EQ(dapSetString(1, code, "x"), -1) << "code " << code;
  }
  EXPECT_EQ(fileBytes(log), "line\r\n");
}

TEST_F(Parameters, LogOpenEmptiesAnExistingFile) {
  const std::string log = dir().file("old.log");
  std::ofstream(log, std::ios::binary) << "stale contents";
  ASSERT_GT(dapSetString(0, DAP_STR_LOG_OPEN, log.c_str()), 0);
  EXPECT_EQ(fileBytes(log), "");
}

TEST_F(Parameters, LogOpenInAMissingDirectoryFailsAndLaterWritesAreSkipped) {
  const std::string missing = dir().file("no/such/dir/x.log");
  for (const char* path : {missing.c_str(), static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(dapSetString(0, DAP_STR_LOG_OPEN, path), -1);
    EXPECT_EQ(channel(0).logFile, 0);
    EXPECT_EQ(dapSetString(0, DAP_STR_LOG_WRITE, "abc"), 0);
    EXPECT_EQ(dapDebug(0, 0, 0, 0), 1);
    EXPECT_STREQ(channel(0).logText, "") << "a line was formatted with no log open";
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(Parameters, OpeningANewLogClosesThePreviousOne) {
  const std::string first = dir().file("first.log");
  const std::string second = dir().file("second.log");
  ASSERT_GT(dapSetString(0, DAP_STR_LOG_OPEN, first.c_str()), 0);
  ASSERT_EQ(handlesOpenOn(first), 1);
  dapSetString(0, DAP_STR_LOG_WRITE, "one");
  ASSERT_GT(dapSetString(0, DAP_STR_LOG_OPEN, second.c_str()), 0);
  EXPECT_EQ(handlesOpenOn(first), 0) << "previous log left open";
  dapSetString(0, DAP_STR_LOG_WRITE, "two");
  EXPECT_EQ(fileBytes(first), "one\r\n");
  EXPECT_EQ(fileBytes(second), "two\r\n");

  // A failed open still closes the log it replaces.
  EXPECT_EQ(dapSetString(0, DAP_STR_LOG_OPEN, dir().file("missing/x.log").c_str()), -1);
  EXPECT_EQ(handlesOpenOn(second), 0);
  dapSetString(0, DAP_STR_LOG_WRITE, "three");
  EXPECT_EQ(fileBytes(second), "two\r\n");
}

// ---- dapErrorText ----

// A sample of the table: its first and last codes, the library's last, the three messages
// without a full stop, Windows Sockets codes, one with quotes; and codes that have no text.
struct Message {
  int32_t code;
  const char* text;
};
constexpr Message kMessages[] = {
    {-1, "Socket has been closed."},
    {-6, "Cannot comply"},
    {-24, "Must specify 'A' or 'B' for mode."},
    {-31, "LIST/GET/PUT not completed."},
    {-35, "TLS is not available."},
    {-10004, "Interrupted system call."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-11004, "No data is available."},
    {-21, ""},
    {-29, ""},
    {0, ""},
    {999, ""},
    {-2, ""},
    {-40, ""},
    {-100, ""},
    {-106, ""},
    {-10000, ""},
    {-10001, ""},
    {-10046, ""},
    {1, ""},
    {INT_MIN, ""},
    {INT_MAX, ""},
};

TEST_F(ErrorText, CodesGiveTheirMessageExactly) {
  // The reply must not leak into codes other than -9, -18 and -34.
  std::strcpy(channel(0).responseBuffer, "550 refused\r\n");
  for (const Message& m : kMessages) {
    char buffer[100];
    std::memset(buffer, 'x', sizeof buffer);
    const int32_t length = static_cast<int32_t>(std::strlen(m.text));
    EXPECT_EQ(dapErrorText(0, m.code, buffer, sizeof buffer), length) << m.code;
    EXPECT_EQ(std::string(buffer, length + 2), std::string(m.text) + '\0' + 'x') << m.code;
  }
}

TEST_F(ErrorText, MessageIsCutToTheBufferSize) {
  struct Case {
    int32_t size;
    const char* text;
  };
  for (Case c : {Case{6, "Alrea"}, Case{2, "A"}, Case{17, "Already attached"},
                 Case{18, "Already attached."}, Case{1, ""}}) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    const int32_t length = static_cast<int32_t>(std::strlen(c.text));
    EXPECT_EQ(dapErrorText(0, -3, buffer, c.size), length) << c.size;
    EXPECT_EQ(std::string(buffer, length + 2), std::string(c.text) + '\0' + 'x') << c.size;
  }
}

TEST_F(ErrorText, ServerRefusalsCarryTheChannelsLastReply) {
  std::strcpy(channel(1).responseBuffer, "550 No such file\r\n");
  std::strcpy(channel(0).responseBuffer, "421 other channel\r\n");
  struct Case {
    int32_t code;
    int32_t size;
    const char* text;
  };
  const std::string refused = "FTP server returned error.";
  const Case cases[] = {
      {-18, 100, "FTP server returned error. 550 No such file\r\n"},
      {-9, 100, "Error attempting to connect. 550 No such file\r\n"},
      {-34, 100, "Server refused TLS. 550 No such file\r\n"},
      {-18, 27, "FTP server returned error."},
      {-18, 28, "FTP server returned error. "},
      {-18, 29, "FTP server returned error. 5"},
      {-18, 44, "FTP server returned error. 550 No such file"},
      {-18, 45, "FTP server returned error. 550 No such file\r"},
      {-18, 6, "FTP s"},
      {-18, 1, ""},
  };
  for (const Case& c : cases) {
    char buffer[100];
    std::memset(buffer, 'x', sizeof buffer);
    const int32_t length = static_cast<int32_t>(std::strlen(c.text));
    EXPECT_EQ(dapErrorText(1, c.code, buffer, c.size), length) << c.code << " size " << c.size;
    EXPECT_EQ(std::string(buffer, length + 2), std::string(c.text) + '\0' + 'x')
        << c.code << " size " << c.size;
  }
  // With no reply read yet the blank still follows the message.
  channel(1).responseBuffer[0] = '\0';
  char buffer[100];
  EXPECT_EQ(dapErrorText(1, -18, buffer, sizeof buffer), 27);
  EXPECT_EQ(std::string(buffer), refused + " ");
}

TEST_F(ErrorText, SizeBelow1OrNoBufferWritesNothing) {
  for (int32_t code : {-3, -18, -21, 0}) {
    for (int32_t size : {0, -1, INT_MIN}) {
      char buffer[4] = {'x', 'x', 'x', 'x'};
      EXPECT_EQ(dapErrorText(0, code, buffer, size), 0) << code << " size " << size;
      EXPECT_EQ(std::string(buffer, 4), "xxxx") << code << " size " << size;
    }
    EXPECT_EQ(dapErrorText(0, code, nullptr, 100), 0) << code;
  }
}

}  // namespace
