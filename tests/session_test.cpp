// The session engine against the scripted server: the driver frame behind dapDriver, the
// connect, login and quit states, and dapConnect, dapClose and dapAbort. Each test states the
// script, the result, the exact commands on the wire and the exact debug log, with only the
// time stamps left open.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dap32.h"
#include "engine/engine.h"
#include "frame/channel.h"
#include "net/net.h"
#include "platform/platform.h"
#include "support/case_name.h"
#include "support/library_fixture.h"
#include "support/local_pair.h"
#include "support/script_server.h"
#include "support/timing.h"

namespace {

using namespace ftptest;
using Strings = std::vector<std::string>;
using Results = std::vector<int32_t>;

constexpr int kWaitMs = 5000;
constexpr int32_t kShortTimeoutMs = 300;

Exchange answer(std::string expect, Strings reply, Then then = Then::Continue) {
  Exchange exchange;
  exchange.expect = std::move(expect);
  exchange.reply = std::move(reply);
  exchange.then = then;
  return exchange;
}

Exchange userReply(Strings reply, Then then = Then::Continue) {
  return answer("USER anonymous", std::move(reply), then);
}
Exchange passReply(Strings reply) {
  return answer("PASS s3cret", std::move(reply));
}
Exchange quitReply(Strings reply, Then then = Then::Continue) {
  return answer("QUIT", std::move(reply), then);
}

Script script(std::vector<Exchange> exchanges, Strings greeting = {"220 ready\r\n"}) {
  Script result;
  result.greeting = std::move(greeting);
  result.exchanges = std::move(exchanges);
  return result;
}

Script loginScript(bool withQuit = false) {
  std::vector<Exchange> exchanges = {userReply({"331 password please\r\n"}),
                                     passReply({"230 logged in\r\n"})};
  if (withQuit) exchanges.push_back(quitReply({"221 bye\r\n"}));
  return script(std::move(exchanges));
}

const Strings kLoginCommands = {"USER anonymous\r\n", "PASS s3cret\r\n"};
const Strings kSessionCommands = {"USER anonymous\r\n", "PASS s3cret\r\n", "QUIT\r\n"};

// Time stamps are replaced only where they have the exact "sss.mmm" form, so a malformed
// stamp still shows up as a difference.
std::string normalized(const std::string& log) {
  static const std::regex stateLine("<([ 0-9-]{3,}):[0-9]{3}\\.[0-9]{3}>");
  static const std::regex errorStamp("ERROR\\([0-9]{3}\\.[0-9]{3}\\)");
  static const std::regex timeStop("TimeStop exceeded \\[-?[0-9]+:-?[0-9]+\\]");
  std::string result = std::regex_replace(log, stateLine, "<$1:T>");
  result = std::regex_replace(result, errorStamp, "ERROR(T)");
  return std::regex_replace(result, timeStop, "TimeStop exceeded [N:N]");
}

// The session header of state 101, up to the server name.
std::string sessionHeader(const std::string& server) {
  return "<101:T>\r\nDAP Win32 Version 1.1.6 Build 12\r\nDescription:  '" +
         std::string(platSocketDescription()) + "'\r\nLocalHost: '" + localHostName() +
         "'\r\nServer: '" + server + "'\r\n";
}

// A connect to 127.0.0.1 through state 102; state 101 leaves the host name in the response
// buffer, so its "R: " line has no line end of its own.
std::string connectLog(bool withEntry = true) {
  return (withEntry ? "*** dapConnect\r\n" : "") + sessionHeader("127.0.0.1") +
         "ServerIP = 127.0.0.1\r\nR: " + localHostName() + "<102:T>\r\nLocalIP=[127.0.0.1]\r\n";
}

const std::string kGreetingLog = "<103:T>\r\nR: 220 ready\r\n";
const std::string kUserSentLog = "<104:T>\r\nS: USER anonymous\r\n<105:T>\r\n";
const std::string kPassSentLog = "<106:T>\r\nS: PASS ****\r\n<107:T>\r\n";

std::string loginLog(bool withEntry = true) {
  return connectLog(withEntry) + kGreetingLog + kUserSentLog + "R: 331 password please\r\n" +
         kPassSentLog + "R: 230 logged in\r\n";
}

const std::string kQuitLog = "*** dapClose\r\n<220:T>\r\nS: QUIT\r\n<221:T>\r\nR: 221 bye\r\n";

std::string errorLine(int sock, int rok, int prev, int self, int next) {
  return "ERROR(T): SockCode=" + std::to_string(sock) + " RokCode=" + std::to_string(rok) +
         " PrevState=" + std::to_string(prev) + " ThisState=" + std::to_string(self) +
         " NextState=" + std::to_string(next) + "\r\n";
}

// The states a run went through: held-back calls dropped, repeats of a waiting state merged.
Results course(const Results& results) {
  Results states;
  for (int32_t result : results) {
    if (result == DAP_DRIVER_WAITING) continue;
    if (states.empty() || states.back() != result) states.push_back(result);
  }
  return states;
}

class EngineTest : public LibraryFixture {
 protected:
  EngineTest() : LibraryFixture(2) {}

  std::string rawLog(int32_t chan = 0) const { return LibraryFixture::log(chan); }
  std::string log(int32_t chan = 0) const { return normalized(rawLog(chan)); }

  int32_t connect(const ScriptServer& server, int32_t chan = 0) {
    dapSetInteger(chan, DAP_SET_SERVER_PORT, server.port());
    return dapConnect(chan, "127.0.0.1", "anonymous", "s3cret");
  }

  std::string errorText(int32_t code) const {
    char text[512] = "";
    dapErrorText(0, code, text, sizeof text);
    return text;
  }

  // Drives channel 0 by hand until the operation ends and returns every result. With settle,
  // each reply has arrived before the state waiting for it first polls, so which step reads
  // it, and with that the log, does not depend on how fast the server answers.
  Results drive(bool settle = true) {
    Results results;
    const auto start = Clock::now();
    while (msSince(start) < kWaitMs) {
      const int32_t result = dapDriver(0);
      const bool firstWait = std::find(results.begin(), results.end(), result) == results.end();
      results.push_back(result);
      if (result <= 0) return results;
      if (settle && firstWait && (result == 105 || result == 107 || result == 221)) {
        netWaitReadable(channel()->controlSocket, kWaitMs);
      }
      std::this_thread::yield();
    }
    ADD_FAILURE() << "the operation did not end within " << kWaitMs << " ms";
    return results;
  }
};

class Session : public EngineTest {};
class Driver : public EngineTest {};

// ---- Login and quit ----

TEST_F(Session, LoginAndQuitWithAutoCall) {
  ScriptServer server(loginScript(true));
  openLog();
  EXPECT_EQ(connect(server), 0);
  EXPECT_GT(channel()->controlSocket, 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 1);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SERVER_CODE), 230);
  char address[32] = "";
  dapGetString(0, DAP_STR_SERVER_IP, address, sizeof address);
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_GE(dapGetInteger(0, DAP_GET_STEP_COUNT), 7);

  EXPECT_EQ(dapClose(0), 0);
  EXPECT_EQ(channel()->controlSocket, 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 0);
  EXPECT_EQ(channel()->logFile, 0);
  EXPECT_TRUE(server.waitClientClosed(kWaitMs));
  EXPECT_EQ(server.commands(), kSessionCommands);
  EXPECT_EQ(server.failure(), "");

  // The password goes out on the wire only.
  EXPECT_EQ(log(), loginLog() + kQuitLog + "Closing control socket\r\n");
  EXPECT_EQ(rawLog().find("s3cret"), std::string::npos);

  // The log is closed: later lines of the channel go nowhere.
  const std::string closed = rawLog();
  EXPECT_EQ(dapDebug(0, 0, 0, 0), 1);
  EXPECT_EQ(rawLog(), closed);
}

TEST_F(Session, LoginAndQuitDrivenByHand) {
  ScriptServer server(loginScript(true));
  dapSetInteger(0, DAP_SET_AUTO_CALL, 0);
  openLog();
  EXPECT_EQ(connect(server), 0);
  // Armed only: nothing has run yet.
  EXPECT_EQ(channel()->nextState, 101);
  EXPECT_EQ(channel()->controlSocket, 0);

  const Results login = drive();
  EXPECT_EQ(course(login), (Results{102, 103, 104, 105, 106, 107, 0}))
      << ::testing::PrintToString(login);
  // Every call that ran a state counts; held-back calls do not.
  const auto ran = std::count_if(login.begin(), login.end(),
                                 [](int32_t result) { return result != DAP_DRIVER_WAITING; });
  EXPECT_EQ(dapGetInteger(0, DAP_GET_STEP_COUNT), ran);
  EXPECT_EQ(dapDriver(0), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_STEP_COUNT), ran);

  // With AUTO_CALL off dapClose only arms the quit: socket and log stay open, nothing is sent.
  EXPECT_EQ(dapClose(0), 0);
  const PlatSocket control = channel()->controlSocket;
  EXPECT_GT(control, 0);
  EXPECT_NE(channel()->logFile, 0);
  EXPECT_EQ(server.commands(), kLoginCommands);

  const Results quit = drive();
  EXPECT_EQ(course(quit), (Results{221, 0})) << ::testing::PrintToString(quit);
  EXPECT_EQ(channel()->controlSocket, control);
  EXPECT_NE(channel()->logFile, 0);
  EXPECT_EQ(server.commands(), kSessionCommands);
  EXPECT_EQ(server.failure(), "");
  EXPECT_EQ(log(), loginLog() + "<  0:T>\r\n" + kQuitLog);
}

struct LoginCase {
  std::string name;
  Script script;
  int32_t result;
  Strings commands;
  int32_t serverCode;
  std::string logAfterConnect;  // everything after state 102
};

void PrintTo(const LoginCase& c, std::ostream* out) {
  *out << c.name;
}

std::vector<LoginCase> loginCases() {
  const std::string userOk = "R: 331 password please\r\n";
  const std::string passOk = "R: 230 logged in\r\n";
  const std::string closedInUserReply =
      kGreetingLog + kUserSentLog + errorLine(0, -1, 104, 105, 105) + "Socket has been closed.";

  Script splitGreeting = loginScript();
  splitGreeting.greeting = {"220 rea", "dy\r\n"};
  splitGreeting.greetingPauseMs = 100;
  Script multiLineUser = loginScript();
  multiLineUser.exchanges[0].reply = {"331-Hello\r\n", "331 password please\r\n"};
  multiLineUser.exchanges[0].chunkPauseMs = 50;

  return {
      {"greeting421GoesOn",
       script({userReply({"331 password please\r\n"}), passReply({"230 logged in\r\n"})},
              {"421 busy\r\n"}),
       0, kLoginCommands, 230,
       "<103:T>\r\nFtpResponse: [421 busy\r\n] Code=421\r\nR: 421 busy\r\n" + kUserSentLog +
           userOk + kPassSentLog + passOk},
      {"greeting554Fails",
       script({}, {"554 no service\r\n"}),
       -18,
       {},
       554,
       "<103:T>\r\nFtpResponse: [554 no service\r\n] Code=554\r\n" +
           errorLine(0, -18, 102, 103, 103) + "FTP server returned error. 554 no service\r\n"},
      {"multiLineGreeting",
       script({userReply({"331 password please\r\n"}), passReply({"230 logged in\r\n"})},
              {"220-Welcome\r\n to the test\r\n220-second\r\n220 ready\r\n"}),
       0, kLoginCommands, 230,
       "<103:T>\r\nr: 220-Welcome\r\nc:  to the test\r\nr: 220-second\r\nR: 220 ready\r\n" +
           kUserSentLog + userOk + kPassSentLog + passOk},
      {"greetingSplitAcrossWrites", splitGreeting, 0, kLoginCommands, 230,
       kGreetingLog + kUserSentLog + userOk + kPassSentLog + passOk},
      {"multiLineUserReply", multiLineUser, 0, kLoginCommands, 230,
       kGreetingLog + kUserSentLog + "r: 331-Hello\r\n" + userOk + kPassSentLog + passOk},
      {"user230StillSendsPass",
       script({userReply({"230 no password needed\r\n"}), passReply({"202 superfluous\r\n"})}), 0,
       kLoginCommands, 202,
       kGreetingLog + kUserSentLog + "R: 230 no password needed\r\n" + kPassSentLog +
           "R: 202 superfluous\r\n"},
      {"user421GoesOn", script({userReply({"421 later\r\n"}), passReply({"230 logged in\r\n"})}), 0,
       kLoginCommands, 230,
       kGreetingLog + kUserSentLog + "FtpResponse: [421 later\r\n] Code=421\r\nR: 421 later\r\n" +
           kPassSentLog + passOk},
      {"user530Fails",
       script({userReply({"530 not allowed\r\n"})}),
       -18,
       {"USER anonymous\r\n"},
       530,
       kGreetingLog + kUserSentLog + "FtpResponse: [530 not allowed\r\n] Code=530\r\n" +
           errorLine(0, -18, 104, 105, 105) + "FTP server returned error. 530 not allowed\r\n"},
      {"pass530Fails",
       script({userReply({"331 password please\r\n"}), passReply({"530 Login incorrect.\r\n"})}),
       -18, kLoginCommands, 530,
       kGreetingLog + kUserSentLog + userOk + kPassSentLog +
           "FtpResponse: [530 Login incorrect.\r\n] Code=530\r\n" +
           errorLine(0, -18, 106, 107, 107) +
           "FTP server returned error. 530 Login incorrect.\r\n"},
      {"closedAfterUser",
       script({userReply({}, Then::Close)}),
       -1,
       {"USER anonymous\r\n"},
       220,
       closedInUserReply},
      {"userReplyCutShort",
       script({userReply({"331 pass"}, Then::Close)}),
       -1,
       {"USER anonymous\r\n"},
       220,
       closedInUserReply},
  };
}

class Login : public EngineTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(Login, RepliesDecideTheOutcome) {
  const LoginCase& login = GetParam();
  ScriptServer server(login.script);
  dapSetInteger(0, DAP_SET_AUTO_CALL, 0);
  openLog();
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(drive().back(), login.result);
  EXPECT_TRUE(server.waitFinished(kWaitMs));
  EXPECT_EQ(server.commands(), login.commands);
  EXPECT_EQ(server.failure(), "");
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SERVER_CODE), login.serverCode);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SOCKET_CODE), 0);
  EXPECT_EQ(log(), connectLog() + login.logAfterConnect);
  if (login.result == DAP_ERR_SERVER_REFUSED) {
    // The refusal carries the server's reply until the next driver call empties the buffer.
    const std::string refused = "FTP server returned error. ";
    const std::string& logged = login.logAfterConnect;
    EXPECT_EQ(errorText(-18), logged.substr(logged.rfind(refused)));
    EXPECT_EQ(dapDriver(0), 0);
    EXPECT_EQ(errorText(-18), "FTP server returned error. ");
  }
}

INSTANTIATE_TEST_SUITE_P(Session, Login, ::testing::ValuesIn(loginCases()), caseName);

// The reply reader waits no longer than the deadline state 102 set for the greeting.
TEST_F(Session, GreetingThatNeverCompletesTimesOut) {
  dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, kShortTimeoutMs);
  for (const Strings& greeting : {Strings{}, Strings{"220-Hello\r\n"}}) {
    SCOPED_TRACE(::testing::PrintToString(greeting));
    ScriptServer server(script({}, greeting));
    closeQuietly(channel());
    openLog();
    const auto start = Clock::now();
    EXPECT_EQ(connect(server), DAP_ERR_TIMED_OUT);
    EXPECT_TRUE(elapsedBetween(msSince(start), kShortTimeoutMs - 1, kWaitMs));
    EXPECT_EQ(log(), connectLog() + "<103:T>\r\n" + (greeting.empty() ? "" : "r: 220-Hello\r\n") +
                         errorLine(0, -22, 102, 103, 103) + "Socket timed out.");
  }
}

// A peer played by hand: it closes at once, or in the middle of its greeting line.
TEST_F(Session, PeerClosingDuringGreetingFailsWithClosedSocket) {
  TestSocket listener = TestSocket::listen();
  ASSERT_TRUE(listener.valid());
  dapSetInteger(0, DAP_SET_AUTO_CALL, 0);
  dapSetInteger(0, DAP_SET_SERVER_PORT, listener.localPort());
  for (const std::string sent : {"", "220 rea"}) {
    SCOPED_TRACE("greeting '" + sent + "'");
    closeQuietly(channel());
    openLog();
    ASSERT_EQ(dapConnect(0, "127.0.0.1", "anonymous", "s3cret"), 0);
    EXPECT_EQ(dapDriver(0), 102);
    TestSocket peer = listener.accept(kWaitMs);
    ASSERT_TRUE(peer.valid());
    if (!sent.empty()) {
      ASSERT_TRUE(peer.sendAll(sent, kWaitMs));
    }
    peer.close();
    EXPECT_EQ(drive(false).back(), DAP_ERR_SOCKET_CLOSED);
    EXPECT_EQ(log(), connectLog() + "<103:T>\r\n" + errorLine(0, -1, 102, 103, 103) +
                         "Socket has been closed.");
  }
}

TEST_F(Session, TimeStopWhileAwaitingUserReply) {
  ScriptServer server(script({userReply({}, Then::Silence)}));
  dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, kShortTimeoutMs);
  openLog();
  // A flag left over from an active-mode accept must not turn the time-out into a success.
  channel()->dataAccepted = 1;
  const uint32_t startTick = platTicks();
  const auto start = Clock::now();
  EXPECT_EQ(connect(server), DAP_ERR_TIMED_OUT);
  const int64_t elapsed = msSince(start);
  EXPECT_TRUE(elapsedBetween(elapsed, kShortTimeoutMs - 1, kWaitMs));
  EXPECT_EQ(server.commands(), Strings{"USER anonymous\r\n"});
  EXPECT_EQ(channel()->dataAccepted, 0);
  EXPECT_EQ(channel()->resumeTick, 0u);
  EXPECT_EQ(channel()->deadlineTick, 0u);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SOCKET_CODE), 0);
  EXPECT_EQ(dapDriver(0), 0);

  EXPECT_EQ(log(), connectLog() + kGreetingLog + kUserSentLog + "TimeStop exceeded [N:N]\r\n" +
                       errorLine(0, -22, 105, -1, 105) + "Socket timed out.<  0:T>\r\n");
  // The line shows the tick of the call and the deadline the USER step set.
  std::smatch numbers;
  const std::string raw = rawLog();
  // Both are written with %ld as a 32-bit value, so a tick past 2^31 shows as negative.
  ASSERT_TRUE(
      std::regex_search(raw, numbers, std::regex("TimeStop exceeded \\[(-?\\d+):(-?\\d+)\\]")));
  const uint32_t now = static_cast<uint32_t>(std::stoll(numbers[1]));
  const uint32_t deadline = static_cast<uint32_t>(std::stoll(numbers[2]));
  EXPECT_GT(static_cast<int32_t>(now - deadline), 0);
  EXPECT_GE(static_cast<int32_t>(deadline - startTick), kShortTimeoutMs);
  EXPECT_LE(static_cast<int32_t>(deadline - startTick), kShortTimeoutMs + elapsed + 1);
}

// The gate holds every call back until commandDelay has passed after a command (four times
// that after QUIT); such a call runs nothing but still empties both buffers.
TEST_F(Session, CommandDelayHoldsRepliesBack) {
  ScriptServer server(loginScript(true));
  dapSetInteger(0, DAP_SET_COMMAND_DELAY, 100);
  dapSetInteger(0, DAP_SET_AUTO_CALL, 0);
  openLog();
  struct Call {
    int32_t result;
    Clock::time_point before, after;
  };
  std::vector<Call> calls;
  int held = 0;
  const auto runOperation = [&] {
    const auto start = Clock::now();
    while (msSince(start) < kWaitMs) {
      std::strcpy(channel()->commandBuffer, "stale");
      std::strcpy(channel()->responseBuffer, "stale");
      const int32_t steps = dapGetInteger(0, DAP_GET_STEP_COUNT);
      const int32_t next = channel()->nextState;
      const size_t logSize = rawLog().size();
      const auto before = Clock::now();
      const int32_t result = dapDriver(0);
      calls.push_back({result, before, Clock::now()});
      if (result == DAP_DRIVER_WAITING) {
        ++held;
        EXPECT_STREQ(channel()->commandBuffer, "");
        EXPECT_STREQ(channel()->responseBuffer, "");
        EXPECT_EQ(dapGetInteger(0, DAP_GET_STEP_COUNT), steps);
        EXPECT_EQ(channel()->nextState, next);
        EXPECT_EQ(rawLog().size(), logSize);
      }
      if (result <= 0) return;
    }
    ADD_FAILURE() << "the operation did not end";
  };
  // From the call that sent the command to the end of the call that read its reply.
  const auto heldFor = [&](int32_t sentReturns, int32_t readReturns) {
    const auto sent = std::find_if(calls.begin(), calls.end(),
                                   [&](const Call& call) { return call.result == sentReturns; });
    const auto read = std::find_if(sent, calls.end(),
                                   [&](const Call& call) { return call.result == readReturns; });
    if (sent == calls.end() || read == calls.end()) return int64_t{-1};
    return std::chrono::duration_cast<std::chrono::milliseconds>(read->after - sent->before)
        .count();
  };

  ASSERT_EQ(connect(server), 0);
  runOperation();
  EXPECT_EQ(calls.back().result, 0);
  EXPECT_GE(heldFor(105, 106), 99);
  EXPECT_GE(heldFor(107, 0), 99);
  EXPECT_GT(held, 0);

  calls.clear();
  ASSERT_EQ(dapClose(0), 0);
  runOperation();
  EXPECT_EQ(calls.back().result, 0);
  EXPECT_GE(heldFor(221, 0), 399);
  EXPECT_EQ(server.commands(), kSessionCommands);
  // Held-back calls leave no trace in the log.
  EXPECT_EQ(log(), loginLog() + kQuitLog);
}

// A command that cannot be sent ends the operation with the send result (-1) and -21, which
// has no text of its own; the PASS step's failure writes no command line at all.
TEST_F(Session, CommandThatCannotBeSentFails) {
  std::strcpy(channel()->userName, "anonymous");
  std::strcpy(channel()->password, "s3cret");
  struct Case {
    int32_t state;
    int32_t prev;
  };
  for (const Case& c : {Case{104, -2}, Case{106, 104}}) {
    SCOPED_TRACE(c.state);
    LocalPair pair;
    pair.closePeer();
    closeQuietly(channel());
    channel()->controlSocket = pair.engineEnd();
    channel()->nextState = c.state;
    openLog();
    EXPECT_EQ(dapDriver(0), DAP_ERR_SOCKET_CLOSED);
    EXPECT_EQ(dapGetInteger(0, DAP_GET_SOCKET_CODE), DAP_ERR_SOCKET_CLOSED);
    EXPECT_EQ(channel()->nextState, 0);
    const std::string state = std::to_string(c.state);
    EXPECT_EQ(log(), "<" + state + ":T>\r\n" + errorLine(-1, -21, c.prev, c.state, c.state) +
                         "Socket has been closed.");
  }

  // QUIT: dapClose still closes the socket afterwards.
  LocalPair pair;
  pair.closePeer();
  closeQuietly(channel());
  channel()->controlSocket = pair.engineEnd();
  openLog();
  EXPECT_EQ(dapClose(0), DAP_ERR_SOCKET_CLOSED);
  EXPECT_EQ(channel()->controlSocket, 0);
  EXPECT_EQ(log(), "*** dapClose\r\n<220:T>\r\n" + errorLine(-1, -21, 106, 220, 220) +
                       "Socket has been closed.Closing control socket\r\n");
}

// Channels share nothing: two logins driven in turn by one thread.
TEST_F(Session, TwoChannelsLogInSideBySide) {
  ScriptServer first(loginScript());
  ScriptServer second(loginScript());
  for (int32_t chan : {0, 1}) {
    dapSetInteger(chan, DAP_SET_AUTO_CALL, 0);
    openLog(chan);
    ASSERT_EQ(connect(chan == 0 ? first : second, chan), 0);
  }
  int32_t results[2] = {1, 1};
  const auto start = Clock::now();
  while ((results[0] > 0 || results[1] > 0) && msSince(start) < kWaitMs) {
    for (int32_t chan : {0, 1}) {
      if (results[chan] > 0) results[chan] = dapDriver(chan);
    }
  }
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_NE(channelTable[0]->controlSocket, channelTable[1]->controlSocket);
  EXPECT_EQ(first.commands(), kLoginCommands);
  EXPECT_EQ(second.commands(), kLoginCommands);
  EXPECT_EQ(log(0), loginLog());
  EXPECT_EQ(log(1), loginLog());
}

// A timer that keeps driving an idle channel gets 0 however long after the login it fires:
// the deadline of the last reply does not outlive the operation.
TEST_F(Session, IdleChannelStaysIdleLongAfterLogin) {
  ScriptServer server(loginScript());
  dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, kShortTimeoutMs);
  openLog();
  ASSERT_EQ(connect(server), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(kShortTimeoutMs + 100));
  EXPECT_EQ(dapDriver(0), 0);
  EXPECT_EQ(log(), loginLog() + "<  0:T>\r\n");
}

// ---- Connect failures and arguments ----

TEST_F(Session, ConnectionRefused) {
  const uint16_t port = unusedLoopbackPort();
  openLog();
  dapSetInteger(0, DAP_SET_SERVER_PORT, port);
  EXPECT_EQ(dapConnect(0, "127.0.0.1", "anonymous", "s3cret"), -10061);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SOCKET_CODE), -10061);
  EXPECT_EQ(dapDriver(0), 0);
  EXPECT_EQ(log(), "*** dapConnect\r\n" + sessionHeader("127.0.0.1") + "ServerIP = 127.0.0.1\r\n" +
                       errorLine(-10061, 0, -2, 101, 101) +
                       "Connection refused by remote host.<  0:T>\r\n");
  // The socket code is kept until the next dapClose or dapConnect.
  EXPECT_EQ(dapClose(0), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SOCKET_CODE), 0);
  EXPECT_EQ(dapConnect(0, "127.0.0.1", "anonymous", "s3cret"), -10061);
  dapSetInteger(0, DAP_SET_AUTO_CALL, 0);
  EXPECT_EQ(dapConnect(0, "127.0.0.1", "anonymous", "s3cret"), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SOCKET_CODE), 0);
}

// A handle too wide for the record, as a pointer-sized one could be on 64-bit Windows, is
// closed and reported as a socket that could not be created; the next connect starts afresh.
TEST_F(Session, SocketHandleTooWideIsASocketNotCreated) {
  openLog();
  platLimitSocketHandles(1);
  EXPECT_EQ(dapConnect(0, "127.0.0.1", "anonymous", "s3cret"), -10);
  platLimitSocketHandles(kPlatHighestSocket);
  EXPECT_EQ(log(), "*** dapConnect\r\n" + sessionHeader("127.0.0.1") +
                       errorLine(-10, -7, -2, 101, 101) + "Cannot create socket.Invalid socket.");
  dapSetInteger(0, DAP_SET_SERVER_PORT, unusedLoopbackPort());
  EXPECT_EQ(dapConnect(0, "127.0.0.1", "anonymous", "s3cret"), -10061);
}

TEST_F(Session, UnresolvableHost) {
  openLog();
  const int32_t result = dapConnect(0, "nonexistent.invalid", "anonymous", "s3cret");
  EXPECT_LE(result, -11001);
  EXPECT_GE(result, -11004);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SOCKET_CODE), result);
  EXPECT_EQ(log(), "*** dapConnect\r\n" + sessionHeader("nonexistent.invalid") +
                       errorLine(result, 0, -2, 101, 101) + errorText(result));
}

TEST_F(Session, MissingArgumentsAreRejectedAfterTheEntryLine) {
  struct Case {
    const char* server;
    const char* user;
    const char* password;
    int32_t result;
  };
  const Case cases[] = {{nullptr, nullptr, nullptr, -19},
                        {nullptr, "anonymous", "s3cret", -19},
                        {"127.0.0.1", nullptr, "s3cret", -23},
                        {"127.0.0.1", nullptr, nullptr, -23},
                        {"127.0.0.1", "anonymous", nullptr, -17}};
  openLog();
  std::string expected;
  for (const Case& c : cases) {
    EXPECT_EQ(dapConnect(0, c.server, c.user, c.password), c.result);
    expected += "*** dapConnect\r\n";
  }
  EXPECT_EQ(log(), expected);
  EXPECT_STREQ(channel()->serverName, "");
  EXPECT_STREQ(channel()->userName, "");
  EXPECT_EQ(channel()->nextState, 0);
}

// Names are cut at 128 characters or at the first byte outside 0x20 to 0x7E.
TEST_F(Session, ArgumentsAreCutBeforeTheyGoOut) {
  const std::string user(200, 'u');
  const std::string kept(128, 'u');
  ScriptServer server(script({answer("USER " + kept, {"331 password please\r\n"}),
                              answer("PASS pa", {"230 logged in\r\n"})}));
  dapSetInteger(0, DAP_SET_SERVER_PORT, server.port());
  EXPECT_EQ(dapConnect(0, "127.0.0.1\x80junk", user.c_str(), "pa\tss"), 0);
  EXPECT_STREQ(channel()->serverName, "127.0.0.1");
  EXPECT_EQ(server.commands(), (Strings{"USER " + kept + "\r\n", "PASS pa\r\n"}));
  EXPECT_EQ(server.failure(), "");
}

// The old connection is closed before the new one is made, and not by a refused call.
TEST_F(Session, ReconnectClosesTheOldControlSocket) {
  ScriptServer first(loginScript());
  ScriptServer second(loginScript());
  openLog();
  ASSERT_EQ(connect(first), 0);
  const PlatSocket old = channel()->controlSocket;
  EXPECT_EQ(dapConnect(0, nullptr, "anonymous", "s3cret"), DAP_ERR_NO_SERVER_NAME);
  EXPECT_EQ(channel()->controlSocket, old);
  EXPECT_FALSE(first.waitClientClosed(100));

  EXPECT_EQ(connect(second), 0);
  EXPECT_TRUE(first.waitClientClosed(kWaitMs));
  EXPECT_EQ(first.commands(), kLoginCommands);
  EXPECT_EQ(second.commands(), kLoginCommands);
  EXPECT_EQ(first.failure(), "");
  EXPECT_EQ(second.failure(), "");
  EXPECT_EQ(log(), loginLog() + "*** dapConnect\r\n*** dapConnect\r\nClosing control socket\r\n" +
                       loginLog(false));
}

// ---- Abort and close ----

TEST_F(Session, AbortStopsWithoutTouchingTheSession) {
  openLog();
  channel()->resumeTick = 5;
  channel()->deadlineTick = 7;
  EXPECT_EQ(dapAbort(0), 1);
  EXPECT_EQ(channel()->resumeTick, 0u);
  EXPECT_EQ(channel()->deadlineTick, 0u);
  EXPECT_EQ(channel()->nextState, 0);
  EXPECT_EQ(log(), "*** dapAbort\r\n");

  // What a transfer left open is closed: the local file, the listener, the data socket.
  LocalPair pair;
  channel()->localFile = platFileCreate(dir().file("download").c_str());
  channel()->listenSocket = pair.engineEnd();
  channel()->dataSocket = pair.engineEnd();
  EXPECT_EQ(dapAbort(0), 1);
  EXPECT_EQ(channel()->localFile, 0);
  EXPECT_EQ(channel()->listenSocket, 0);
  EXPECT_EQ(channel()->dataSocket, 0);
  EXPECT_EQ(log(),
            "*** dapAbort\r\n*** dapAbort\r\nClosing file\r\nClosing listener socket\r\n"
            "Closing data socket\r\n");

  // Logged in and in the middle of a reply: the control connection stays open and usable.
  ScriptServer server(loginScript(true));
  ASSERT_EQ(connect(server), 0);
  channel()->nextState = 105;
  EXPECT_EQ(dapAbort(0), 1);
  EXPECT_EQ(channel()->nextState, 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 1);
  EXPECT_EQ(server.commands(), kLoginCommands);
  EXPECT_EQ(dapClose(0), 0);
  EXPECT_EQ(server.commands(), kSessionCommands);
}

TEST_F(Session, CloseClosesTheSocketAfterAFailedQuit) {
  dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, kShortTimeoutMs);
  const std::string quitSent = "*** dapClose\r\n<220:T>\r\nS: QUIT\r\n<221:T>\r\n";
  const std::string closing = "Closing control socket\r\n";
  for (const Exchange& quit : {quitReply({"500 no quitting\r\n"}), quitReply({}, Then::Silence)}) {
    SCOPED_TRACE(::testing::PrintToString(quit.reply));
    const bool refused = !quit.reply.empty();
    ScriptServer server(
        script({userReply({"331 password please\r\n"}), passReply({"230 logged in\r\n"}), quit}));
    closeQuietly(channel());
    ASSERT_EQ(connect(server), 0);
    openLog();
    EXPECT_EQ(dapClose(0), refused ? DAP_ERR_SERVER_REFUSED : DAP_ERR_TIMED_OUT);
    EXPECT_EQ(channel()->controlSocket, 0);
    EXPECT_EQ(channel()->logFile, 0);
    // A silent server no longer reads, so it cannot see the close.
    if (refused) {
      EXPECT_TRUE(server.waitClientClosed(kWaitMs));
    }
    EXPECT_EQ(server.commands(), kSessionCommands);
    const std::string actual = log();
    if (refused) {
      // Whether the reply was there at the first poll decides the previous state.
      const auto expected = [&](int prev) {
        return quitSent + "FtpResponse: [500 no quitting\r\n] Code=500\r\n" +
               errorLine(0, -18, prev, 221, 221) +
               "FTP server returned error. 500 no quitting\r\n" + closing;
      };
      EXPECT_TRUE(actual == expected(220) || actual == expected(221)) << actual;
    } else {
      EXPECT_EQ(actual, quitSent + "TimeStop exceeded [N:N]\r\n" + errorLine(0, -22, 221, -1, 221) +
                            "Socket timed out." + closing);
    }
  }
}

// A server that hangs up on QUIT, at once or in the middle of its reply, has ended the session.
TEST_F(Session, CloseCompletesWhenTheServerHangsUpOnQuit) {
  for (const Strings& reply : {Strings{}, Strings{"221 by"}}) {
    SCOPED_TRACE(::testing::PrintToString(reply));
    ScriptServer server(script({userReply({"331 password please\r\n"}),
                                passReply({"230 logged in\r\n"}), quitReply(reply, Then::Close)}));
    ASSERT_EQ(connect(server), 0);
    openLog();
    EXPECT_EQ(dapClose(0), 0);
    EXPECT_EQ(channel()->controlSocket, 0);
    EXPECT_EQ(server.commands(), kSessionCommands);
    const std::string actual = log();
    EXPECT_EQ(actual.rfind("*** dapClose\r\n<220:T>\r\nS: QUIT\r\n<221:T>\r\n", 0), 0u) << actual;
    if (reply.empty()) {
      EXPECT_EQ(actual,
                "*** dapClose\r\n<220:T>\r\nS: QUIT\r\n<221:T>\r\nClosing control socket\r\n");
    }
  }
}

TEST_F(Session, CloseWithoutConnectionCompletesAtOnce) {
  openLog();
  const auto start = Clock::now();
  EXPECT_EQ(dapClose(0), 0);
  EXPECT_LT(msSince(start), 1000);
  EXPECT_EQ(channel()->nextState, 0);
  EXPECT_EQ(channel()->logFile, 0);
  EXPECT_EQ(log(), "*** dapClose\r\n");

  // With AUTO_CALL off nothing is left armed that the caller's driving would wait on.
  dapSetInteger(0, DAP_SET_AUTO_CALL, 0);
  openLog();
  EXPECT_EQ(dapClose(0), 0);
  EXPECT_NE(channel()->logFile, 0);
  EXPECT_EQ(dapDriver(0), 0);
  EXPECT_EQ(log(), "*** dapClose\r\n<  0:T>\r\n");
}

// With AUTO_CALL off the caller drives the quit at its own pace; the bound on the wait for
// a writable connection must not run out before that wait has begun.
TEST_F(Session, CloseArmedByHandSendsQuitWhenDrivenLate) {
  ScriptServer server(loginScript(true));
  dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, kShortTimeoutMs);
  ASSERT_EQ(connect(server), 0);
  dapSetInteger(0, DAP_SET_AUTO_CALL, 0);
  ASSERT_EQ(dapClose(0), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(kShortTimeoutMs + 100));
  EXPECT_EQ(drive().back(), 0);
  EXPECT_EQ(server.commands(), kSessionCommands);
}

TEST_F(Session, CloseGivesUpWhenTheControlConnectionNeverBecomesWritable) {
  LocalPair pair;
  ASSERT_TRUE(pair.fill());
  dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, kShortTimeoutMs);
  channel()->controlSocket = pair.engineEnd();
  openLog();
  const auto start = Clock::now();
  EXPECT_EQ(dapClose(0), DAP_ERR_TIMED_OUT);
  EXPECT_TRUE(elapsedBetween(msSince(start), kShortTimeoutMs - 1, kWaitMs));
  EXPECT_EQ(channel()->controlSocket, 0);
  EXPECT_EQ(channel()->logFile, 0);
  EXPECT_EQ(log(), "*** dapClose\r\nTimeStop exceeded [N:N]\r\n" + errorLine(0, -22, -2, -1, 220) +
                       "Socket timed out.Closing control socket\r\n");
}

// A reply state armed without a deadline still waits no longer than replyTimeout for the
// rest of a multi-line reply.
TEST_F(Session, ReplyReaderWithoutDeadlineWaitsReplyTimeout) {
  LocalPair pair;
  ASSERT_EQ(pair.sendFromPeer("331-Hello\r\n"), 11);
  dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, kShortTimeoutMs);
  channel()->controlSocket = pair.engineEnd();
  channel()->nextState = 105;
  openLog();
  const auto start = Clock::now();
  EXPECT_EQ(dapDriver(0), DAP_ERR_TIMED_OUT);
  EXPECT_TRUE(elapsedBetween(msSince(start), kShortTimeoutMs - 1, kWaitMs));
  EXPECT_EQ(log(),
            "<105:T>\r\nr: 331-Hello\r\n" + errorLine(0, -22, -2, 105, 105) + "Socket timed out.");
}

// ---- The driver frame ----

// The idle path leaves the last logged state alone, so every idle call logs its state line;
// the stamp is the call's tick, low 19 bits, as seconds and milliseconds.
TEST_F(Driver, IdleCallsLogStateZeroEveryTime) {
  openLog();
  channel()->resumeTick = platTicks() - 5;
  channel()->deadlineTick = platTicks() + 60000;
  const uint32_t before = platTicks();
  for (int call = 0; call < 3; ++call) EXPECT_EQ(dapDriver(0), 0);
  const uint32_t after = platTicks();
  EXPECT_EQ(channel()->resumeTick, 0u);
  EXPECT_EQ(channel()->deadlineTick, 0u);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_STEP_COUNT), 0);
  EXPECT_EQ(log(), "<  0:T>\r\n<  0:T>\r\n<  0:T>\r\n");

  const std::string raw = rawLog();
  std::smatch stamp;
  ASSERT_TRUE(std::regex_search(raw, stamp, std::regex("<  0:(\\d{3})\\.(\\d{3})>")));
  const uint32_t logged = std::stoul(stamp[1]) * 1000 + std::stoul(stamp[2]);
  const uint32_t low = before & 0x7FFFF;
  const uint32_t high = after & 0x7FFFF;
  if (low <= high) {  // otherwise the 19 bits wrapped during the calls
    EXPECT_GE(logged, low);
    EXPECT_LE(logged, high);
  }
}

TEST_F(Driver, UnknownStateIsLoggedAndReturnedOnEveryCall) {
  openLog();
  channel()->nextState = 305;
  for (int call = 0; call < 3; ++call) EXPECT_EQ(dapDriver(0), 305);
  EXPECT_EQ(channel()->nextState, 305);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_STEP_COUNT), 3);
  EXPECT_EQ(log(),
            "<305:T>\r\nERROR! Unknown state 305\r\nERROR! Unknown state 305\r\n"
            "ERROR! Unknown state 305\r\n");
}

// Ticks are compared by signed difference, so a tick more than half the counter away counts
// as the other side of now, as after the counter wraps.
TEST_F(Driver, TicksCompareBySignedDifference) {
  openLog();
  Channel* c = channel();
  c->resumeTick = platTicks() + 60000;
  std::strcpy(c->commandBuffer, "stale");
  std::strcpy(c->responseBuffer, "stale");
  EXPECT_EQ(dapDriver(0), DAP_DRIVER_WAITING);
  EXPECT_STREQ(c->commandBuffer, "");
  EXPECT_STREQ(c->responseBuffer, "");
  EXPECT_EQ(log(), "");

  c->resumeTick = platTicks() + 0x80010000u;
  EXPECT_EQ(dapDriver(0), 0);
  c->deadlineTick = platTicks() + 60000;
  EXPECT_EQ(dapDriver(0), 0);
  EXPECT_EQ(log(), "<  0:T>\r\n<  0:T>\r\n");

  c->nextState = 305;
  c->deadlineTick = platTicks() + 0x80010000u;
  EXPECT_EQ(dapDriver(0), DAP_ERR_TIMED_OUT);
  c->nextState = 305;
  c->deadlineTick = platTicks() - 1000;
  EXPECT_EQ(dapDriver(0), DAP_ERR_TIMED_OUT);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_STEP_COUNT), 0);
  EXPECT_EQ(log(), "<  0:T>\r\n<  0:T>\r\nTimeStop exceeded [N:N]\r\n" +
                       errorLine(0, -22, -2, -1, 305) +
                       "Socket timed out.TimeStop exceeded [N:N]\r\n" +
                       errorLine(0, -22, -1, -1, 305) + "Socket timed out.");

  // A deadline equal to the call's tick has not passed; only calls within one tick count.
  bool measured = false;
  for (int attempt = 0; attempt < 50 && !measured; ++attempt) {
    c->nextState = 305;
    const uint32_t now = platTicks();
    c->deadlineTick = now;
    const int32_t result = dapDriver(0);
    if (platTicks() != now) continue;
    measured = true;
    EXPECT_EQ(result, 305);
  }
  EXPECT_TRUE(measured);
}

TEST_F(Driver, WriteGateHoldsUntilTheControlConnectionIsWritable) {
  LocalPair pair;
  ASSERT_TRUE(pair.fill());
  channel()->controlSocket = pair.engineEnd();
  channel()->pendingFlag = 1;
  channel()->nextState = 305;
  openLog();
  for (int call = 0; call < 3; ++call) EXPECT_EQ(dapDriver(0), DAP_DRIVER_WAITING);
  EXPECT_EQ(channel()->pendingFlag, 1);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_STEP_COUNT), 0);
  EXPECT_EQ(log(), "");

  pair.drain();
  EXPECT_EQ(dapDriver(0), 305);
  EXPECT_EQ(channel()->pendingFlag, 0);
  EXPECT_EQ(log(), "<305:T>\r\nERROR! Unknown state 305\r\n");
}

// now + delay may come out as 0, which would mean "no tick"; it is stored as 1 instead. The
// delays are chosen so that the USER step's sum wraps to exactly 0.
TEST_F(Driver, ComputedTickOfZeroIsStoredAsOne) {
  LocalPair pair;
  Channel* c = channel();
  c->controlSocket = pair.engineEnd();
  bool measured = false;
  for (int attempt = 0; attempt < 50 && !measured; ++attempt) {
    c->nextState = 104;
    c->resumeTick = 0;
    c->deadlineTick = 0;
    const uint32_t now = platTicks();
    dapSetInteger(0, DAP_SET_COMMAND_DELAY, static_cast<int32_t>(0u - now));
    dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, static_cast<int32_t>(0u - now));
    const int32_t result = dapDriver(0);
    if (platTicks() != now) continue;
    measured = true;
    EXPECT_EQ(result, 105);
    EXPECT_EQ(c->resumeTick, 1u);
    EXPECT_EQ(c->deadlineTick, 1u);
  }
  EXPECT_TRUE(measured);
  EXPECT_EQ(pair.drain().rfind("USER \r\n", 0), 0u);
}

}  // namespace
