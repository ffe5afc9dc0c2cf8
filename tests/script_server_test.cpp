// The scripted server is the ground truth of every protocol test, so it is tested on its own
// against a client played by hand.
#include "support/script_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/scripted_session.h"
#include "support/timing.h"

namespace {

using namespace ftptest;

constexpr int kWaitMs = 5000;

Exchange transfer(std::string expect, Data data, std::string sendBytes = "") {
  Exchange exchange = answer(std::move(expect), "150 opening\r\n");
  exchange.data = data;
  exchange.sendBytes = std::move(sendBytes);
  exchange.finalReply = {"226 done\r\n"};
  return exchange;
}

Script script(std::vector<Exchange> exchanges, int ioTimeoutMs = 10000) {
  Script result;
  result.greeting = {"220 ready\r\n"};
  result.exchanges = std::move(exchanges);
  result.ioTimeoutMs = ioTimeoutMs;
  return result;
}

struct Client {
  explicit Client(const ScriptServer& server)
      : control(TestSocket::connect(server.port(), kWaitMs)) {}
  std::string line() { return control.receiveLine(kWaitMs); }
  std::string command(const std::string& text) {
    control.sendAll(text + "\r\n", kWaitMs);
    return line();
  }
  TestSocket control;
};

// The port of "227 ... (h1,h2,h3,h4,p1,p2)".
uint16_t passivePort(const std::string& reply) {
  const size_t open = reply.find('(');
  unsigned h1, h2, h3, h4, p1, p2;
  if (open == std::string::npos ||
      std::sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
    return 0;
  return static_cast<uint16_t>(p1 << 8 | p2);
}

std::string portCommandText(uint16_t port) {
  return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
}

TEST(ScriptServer, PlaysSplitGreetingAndRepliesAndRecordsExactLines) {
  Script played = script({answer("USER anonymous", "331 password\r\n"),
                          answer("PASS .+@.+", "230 in\r\n"), answer("QUIT", "221 ")});
  played.greeting = {"220 hel", "lo\r\n"};
  played.greetingPauseMs = 50;
  played.exchanges[1].pattern = true;
  played.exchanges[2].reply.push_back("bye\r\n");
  played.exchanges[2].chunkPauseMs = 30;
  ScriptServer server(played);
  Client client(server);

  EXPECT_EQ(client.line(), "220 hello\r\n");
  EXPECT_EQ(client.command("USER anonymous"), "331 password\r\n");
  client.control.sendAll("PASS me@example\n", kWaitMs);  // a bare LF is kept as it came
  EXPECT_EQ(client.line(), "230 in\r\n");
  EXPECT_EQ(client.command("QUIT"), "221 bye\r\n");
  EXPECT_TRUE(server.waitFinished(kWaitMs));
  EXPECT_EQ(server.failure(), "");
  EXPECT_EQ(server.commands(), (Strings{"USER anonymous\r\n", "PASS me@example\n", "QUIT\r\n"}));
}

TEST(ScriptServer, AnswersUnscriptedCommandsWith599AndReportsTheFirst) {
  Script played = script({answer("USER a", "331 ok\r\n"), answer("PASS [0-9]+", "230 in\r\n")});
  played.exchanges[1].pattern = true;
  ScriptServer server(played);
  Client client(server);
  ASSERT_EQ(client.line(), "220 ready\r\n");

  EXPECT_EQ(client.command("NOOP"), "599 unscripted\r\n");
  EXPECT_NE(server.failure().find("NOOP"), std::string::npos) << server.failure();
  EXPECT_EQ(client.command("USER a"), "331 ok\r\n");
  EXPECT_EQ(client.command("PASS 12x"), "599 unscripted\r\n");  // the regex must cover it all
  EXPECT_EQ(client.command("PASS 12"), "230 in\r\n");
  EXPECT_TRUE(server.waitFinished(kWaitMs));
  EXPECT_EQ(client.command("QUIT"), "599 unscripted\r\n");
  EXPECT_NE(server.failure().find("NOOP"), std::string::npos) << server.failure();
  EXPECT_EQ(server.commands().size(), 5u);
}

TEST(ScriptServer, CloseEndsAndSilenceHoldsTheControlConnection) {
  Script closing = script({answer("QUIT", "221 bye\r\n")});
  closing.exchanges[0].then = Then::Close;
  ScriptServer server(closing);
  Client client(server);
  ASSERT_EQ(client.line(), "220 ready\r\n");
  EXPECT_EQ(client.command("QUIT"), "221 bye\r\n");
  EXPECT_EQ(client.control.receiveUntilClosed(kWaitMs), "");
  EXPECT_TRUE(client.control.peerClosed());
  EXPECT_TRUE(server.waitFinished(kWaitMs));

  Script silence = script({answer("SYST", "215 UNIX\r\n"), answer("NOOP", "200 ok\r\n")});
  silence.exchanges[0].then = Then::Silence;
  ScriptServer silent(silence);
  Client patient(silent);
  ASSERT_EQ(patient.line(), "220 ready\r\n");
  EXPECT_EQ(patient.command("SYST"), "215 UNIX\r\n");
  patient.control.sendAll("NOOP\r\n", kWaitMs);
  EXPECT_EQ(patient.control.receiveFor(300), "");
  EXPECT_FALSE(patient.control.peerClosed());
  EXPECT_TRUE(silent.waitFinished(kWaitMs));
  EXPECT_EQ(silent.commands(), Strings{"SYST\r\n"});
  silent.stop();
  patient.control.receiveUntilClosed(kWaitMs);
  EXPECT_TRUE(patient.control.peerClosed());
  EXPECT_EQ(silent.failure(), "");
}

TEST(ScriptServer, NoticesAClientThatHangsUp) {
  ScriptServer server(script({answer("USER a", "331 ok\r\n")}));
  {
    Client client(server);
    ASSERT_EQ(client.line(), "220 ready\r\n");
    client.control.sendAll("USER", kWaitMs);
  }
  EXPECT_TRUE(server.waitClientClosed(kWaitMs));
  EXPECT_FALSE(server.waitFinished(kWaitMs));
  EXPECT_EQ(server.commands(), Strings{"USER"});
  EXPECT_NE(server.failure().find("unterminated"), std::string::npos) << server.failure();
}

TEST(ScriptServer, PassiveRetrSubstitutesTheAddressAndServesBytesInEitherOrder) {
  std::string payload(10000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  Exchange replyFirst = transfer("RETR a.bin", Data::Send, payload);
  replyFirst.sendChunk = 3000;
  replyFirst.sendPauseMs = 5;
  Exchange acceptFirst = transfer("RETR b.bin", Data::Send, "tiny");
  acceptFirst.passiveOrder = PassiveOrder::AcceptFirst;
  const std::string pasvReply =
      "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2}) {port}\r\n";
  ScriptServer server(
      script({answer("PASV", pasvReply), replyFirst, answer("PASV", pasvReply), acceptFirst}));
  Client client(server);
  ASSERT_EQ(client.line(), "220 ready\r\n");

  std::string reply = client.command("PASV");
  uint16_t port = passivePort(reply);
  EXPECT_EQ(reply.rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u) << reply;
  EXPECT_EQ(reply, "227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," +
                       std::to_string(port & 0xff) + ") " + std::to_string(port) + "\r\n");
  TestSocket data = TestSocket::connect(port, kWaitMs);
  ASSERT_TRUE(data.valid());
  EXPECT_EQ(client.command("RETR a.bin"), "150 opening\r\n");
  EXPECT_EQ(data.receiveUntilClosed(kWaitMs), payload);
  EXPECT_TRUE(data.peerClosed());
  EXPECT_EQ(client.line(), "226 done\r\n");

  port = passivePort(client.command("PASV"));
  client.control.sendAll("RETR b.bin\r\n", kWaitMs);
  EXPECT_EQ(client.control.receiveFor(200), "");  // held back until the data connection exists
  data = TestSocket::connect(port, kWaitMs);
  EXPECT_EQ(client.line(), "150 opening\r\n");
  EXPECT_EQ(data.receiveUntilClosed(kWaitMs), "tiny");
  EXPECT_EQ(client.line(), "226 done\r\n");
  EXPECT_TRUE(server.waitFinished(kWaitMs));
  EXPECT_EQ(server.failure(), "");
}

TEST(ScriptServer, PassiveStorCollectsUntilTheClientCloses) {
  ScriptServer server(script({answer("EPSV", "229 Extended Passive Mode (|||{port}|)\r\n"),
                              transfer("STOR up.txt", Data::Receive)}));
  Client client(server);
  ASSERT_EQ(client.line(), "220 ready\r\n");
  const std::string reply = client.command("EPSV");
  const uint16_t port = static_cast<uint16_t>(std::stoi(reply.substr(reply.find("|||") + 3)));
  TestSocket data = TestSocket::connect(port, kWaitMs);
  EXPECT_EQ(client.command("STOR up.txt"), "150 opening\r\n");
  data.sendAll("first ", kWaitMs);
  data.sendAll("second", kWaitMs);
  EXPECT_EQ(client.control.receiveFor(100), "");  // not complete while the data stays open
  data.closeAfterSending();
  EXPECT_EQ(client.line(), "226 done\r\n");
  EXPECT_EQ(server.received(1), "first second");
  EXPECT_EQ(server.failure(), "");
}

TEST(ScriptServer, ActiveModeConnectsAfterOrBeforeTheReplyOrNever) {
  TestSocket listener = TestSocket::listen();
  ASSERT_TRUE(listener.valid());
  const std::string port = portCommandText(listener.localPort());
  Exchange afterReply = transfer("RETR a", Data::Send, "after");
  Exchange beforeReply = transfer("LIST", Data::Send, "before");
  beforeReply.activeConnect = ActiveConnect::BeforeReply;
  Exchange never = answer("RETR c", "425 no data\r\n");
  never.data = Data::Send;
  never.activeConnect = ActiveConnect::Never;
  ScriptServer server(
      script({answer(port, "200 ok\r\n"), afterReply, answer(port, "200 ok\r\n"), beforeReply,
              answer(port, "200 ok\r\n"), never, answer("PORT 1,2,3", "200 ok\r\n")}));
  Client client(server);
  ASSERT_EQ(client.line(), "220 ready\r\n");

  EXPECT_EQ(client.command(port), "200 ok\r\n");
  EXPECT_EQ(client.command("RETR a"), "150 opening\r\n");
  TestSocket data = listener.accept(kWaitMs);
  EXPECT_EQ(data.receiveUntilClosed(kWaitMs), "after");
  EXPECT_EQ(client.line(), "226 done\r\n");

  EXPECT_EQ(client.command(port), "200 ok\r\n");
  EXPECT_EQ(client.command("LIST"), "150 opening\r\n");
  data = listener.accept(0);  // already connected when the reply went out
  ASSERT_TRUE(data.valid());
  EXPECT_EQ(data.receiveUntilClosed(kWaitMs), "before");
  EXPECT_EQ(client.line(), "226 done\r\n");

  EXPECT_EQ(client.command(port), "200 ok\r\n");
  EXPECT_EQ(client.command("RETR c"), "425 no data\r\n");
  EXPECT_FALSE(listener.accept(200).valid());
  EXPECT_EQ(server.failure(), "");

  EXPECT_EQ(client.command("PORT 1,2,3"), "200 ok\r\n");
  EXPECT_NE(server.failure().find("unparsable PORT"), std::string::npos) << server.failure();
}

TEST(ScriptServer, StallKeepsTheDataConnectionOpenUntilStop) {
  Exchange stall = transfer("RETR slow", Data::Stall);
  stall.finalReply.clear();
  ScriptServer server(script({answer("PASV", "227 ({h1},{h2},{h3},{h4},{p1},{p2})\r\n"), stall,
                              answer("ABOR", "426 aborted\r\n")}));
  Client client(server);
  ASSERT_EQ(client.line(), "220 ready\r\n");
  TestSocket data = TestSocket::connect(passivePort(client.command("PASV")), kWaitMs);
  EXPECT_EQ(client.command("RETR slow"), "150 opening\r\n");
  EXPECT_EQ(data.receiveFor(300), "");
  EXPECT_FALSE(data.peerClosed());
  EXPECT_EQ(client.command("ABOR"), "426 aborted\r\n");
  EXPECT_EQ(data.receiveFor(100), "");
  EXPECT_FALSE(data.peerClosed());
  server.stop();
  data.receiveUntilClosed(kWaitMs);
  EXPECT_TRUE(data.peerClosed());
  EXPECT_EQ(server.failure(), "");
}

TEST(ScriptServer, StopIsPromptAndEveryWaitIsBounded) {
  {
    ScriptServer unconnected(script({answer("USER a", "331 ok\r\n")}));
    ScriptServer waiting(script({answer("USER a", "331 ok\r\n")}));
    Client client(waiting);
    ASSERT_EQ(client.line(), "220 ready\r\n");
    const auto start = Clock::now();
    unconnected.stop();
    waiting.stop();
    waiting.stop();
    EXPECT_LT(msSince(start), 1000);
    client.control.receiveUntilClosed(kWaitMs);
    EXPECT_TRUE(client.control.peerClosed());
    EXPECT_EQ(waiting.failure(), "");
  }
  ScriptServer idle(script({answer("USER a", "331 ok\r\n")}, 200));
  Client client(idle);
  ASSERT_EQ(client.line(), "220 ready\r\n");
  EXPECT_FALSE(idle.waitFinished(kWaitMs));
  EXPECT_NE(idle.failure().find("no command within 200 ms"), std::string::npos) << idle.failure();

  ScriptServer noSetup(script({transfer("RETR x", Data::Send, "x")}, 200));
  Client eager(noSetup);
  ASSERT_EQ(eager.line(), "220 ready\r\n");
  EXPECT_EQ(eager.command("RETR x"), "150 opening\r\n");
  EXPECT_NE(noSetup.failure().find("no PASV"), std::string::npos) << noSetup.failure();

  ScriptServer noConnect(script({answer("PASV", "227 ({h1},{h2},{h3},{h4},{p1},{p2})\r\n"),
                                 transfer("RETR x", Data::Send, "x")},
                                200));
  Client lazy(noConnect);
  ASSERT_EQ(lazy.line(), "220 ready\r\n");
  lazy.command("PASV");
  EXPECT_EQ(lazy.command("RETR x"), "150 opening\r\n");
  EXPECT_TRUE(noConnect.waitFinished(kWaitMs));
  EXPECT_NE(noConnect.failure().find("no passive data connection"), std::string::npos)
      << noConnect.failure();
}

}  // namespace
