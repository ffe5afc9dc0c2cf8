// Channel 0 logged in to the scripted server, for the protocol tests of single operations:
// the server greets, takes USER u and PASS p, then plays the exchanges a test gives it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/library_fixture.h"
#include "support/script_server.h"

namespace ftptest {

using Strings = std::vector<std::string>;

constexpr int32_t kChan = 0;  // the channel ScriptedSession logs in

Exchange answer(std::string expect, std::string reply);  // an empty reply sends nothing
Exchange pasv(std::string reply = "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2})\r\n");
Exchange port();                                            // any PORT to 127.0.0.1, accepted
Exchange retr(const std::string& name, std::string bytes);  // 150, the bytes, 226
Exchange stor(const std::string& name);                     // 150, collects the bytes, 226
Exchange listing(std::string command, std::string bytes);   // 150, the bytes, 226
std::string portCommand(uint16_t port);                     // with its line end

// Each line must start a line of the log, and they must come in this order.
::testing::AssertionResult logsInOrder(const std::string& log, const Strings& lines);

// Also gives the channel a window of listening ports of its own (see useOwnPortWindow), so
// active-mode tests of parallel test processes do not collide.
class ScriptedSession : public LibraryFixture {
 protected:
  void SetUp() override;  // a log on the channel, the local directory dir(), patient replies
  void TearDown() override;

  // Wrap in ASSERT_NO_FATAL_FAILURE. With ipv6 the server listens on ::1 and the channel
  // connects to "::1".
  void login(std::vector<Exchange> exchanges, bool ipv6 = false);
  Strings commands() const;  // after the login, with their line ends
  ScriptServer& server() const { return *server_; }
  // The port the first active-mode transfer listens on and announces.
  uint16_t firstActivePort() const { return firstActivePort_; }

 private:
  std::unique_ptr<ScriptServer> server_;
  uint16_t firstActivePort_ = 0;
};

// A channel's listening ports are a 32-port window chosen from the channel number and the
// clock at attach, so two test processes running side by side would share it. This picks a
// free window below the library's (16384 up) and the kernel's ephemeral ports at random and
// claims it from other test processes. Returns the first port an active transfer will use,
// or 0.
uint16_t useOwnPortWindow(Channel* channel);

}  // namespace ftptest
