#include "support/scripted_session.h"

#include <algorithm>
#include <deque>
#include <random>
#include <utility>

#include "dap32.h"
#include "support/local_pair.h"

namespace ftptest {

Exchange answer(std::string expect, std::string reply) {
  Exchange exchange;
  exchange.expect = std::move(expect);
  if (!reply.empty()) exchange.reply = {std::move(reply)};
  return exchange;
}

Exchange pasv(std::string reply) {
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

Exchange listing(std::string command, std::string bytes) {
  Exchange exchange = answer(std::move(command), "150 Here comes the directory listing\r\n");
  exchange.data = Data::Send;
  exchange.sendBytes = std::move(bytes);
  exchange.finalReply = {"226 Directory send OK\r\n"};
  return exchange;
}

std::string portCommand(uint16_t port) {
  return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF) + "\r\n";
}

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

void ScriptedSession::SetUp() {
  ASSERT_NO_FATAL_FAILURE(LibraryFixture::SetUp());
  openLog(kChan);
  ASSERT_EQ(dapSetLocalDir(kChan, dir().path().c_str()), 0);
  dapSetInteger(kChan, DAP_SET_REPLY_TIMEOUT, 5000);
  firstActivePort_ = useOwnPortWindow(channel(kChan));
}

void ScriptedSession::TearDown() {
  if (server_) {
    server_->stop();
    EXPECT_EQ(server_->failure(), "");
  }
  LibraryFixture::TearDown();
}

void ScriptedSession::login(std::vector<Exchange> exchanges, bool ipv6) {
  Script script;
  script.ipv6 = ipv6;
  script.greeting = {"220 hi\r\n"};
  script.exchanges = {answer("USER u", "331 pw\r\n"), answer("PASS p", "230 ok\r\n")};
  script.exchanges.insert(script.exchanges.end(), exchanges.begin(), exchanges.end());
  server_ = std::make_unique<ScriptServer>(std::move(script));
  dapSetInteger(kChan, DAP_SET_SERVER_PORT, server_->port());
  ASSERT_EQ(dapConnect(kChan, ipv6 ? "::1" : "127.0.0.1", "u", "p"), 0);
}

Strings ScriptedSession::commands() const {
  Strings all = server_->commands();
  all.erase(all.begin(), all.begin() + std::min<size_t>(2, all.size()));
  return all;
}

namespace {
constexpr int kWindowCount = 199;
constexpr uint16_t kFirstWindowPort = 10016;
// Window k is claimed across processes by binding port kFirstTokenPort + k (no listener, no
// SO_REUSEADDR): a second process's bind fails. The latest 32 claims are held, enough for
// every channel of a test; in one process running many tests, older ones are given back.
constexpr uint16_t kFirstTokenPort = 9800;
constexpr size_t kClaimsHeld = 32;

bool claimWindow(int window) {
  static std::deque<PlatSocket> claims;
  const PlatSocket token = loopbackSocket(static_cast<uint16_t>(kFirstTokenPort + window), false);
  if (token == kPlatInvalidSocket) return false;
  claims.push_back(token);
  if (claims.size() > kClaimsHeld) {
    closeSocket(claims.front());
    claims.pop_front();
  }
  return true;
}
}  // namespace

uint16_t useOwnPortWindow(Channel* channel) {
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int window = static_cast<int>(random() % kWindowCount);
    const auto low = static_cast<uint16_t>(kFirstWindowPort + 32 * window);
    bool free = true;
    for (uint16_t port = low; free && port < low + 32; ++port) free = listenerCouldBind(port);
    if (!free || !claimWindow(window)) continue;
    channel->dataPortLow = low;
    channel->dataPortHigh = static_cast<uint16_t>(low + 31);
    channel->dataPort = low;
    return static_cast<uint16_t>(low + 1);
  }
  ADD_FAILURE() << "no free window of listening ports";
  return 0;
}

}  // namespace ftptest
