// Server names to addresses, the control and passive data connects, and the address text.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "dap32.h"
#include "frame/channel.h"
#include "frame/text.h"
#include "net/net.h"
#include "support/child_process.h"
#include "support/library_fixture.h"
#include "support/local_pair.h"
#include "support/scripted_session.h"

namespace {

using namespace ftptest;

// The text as the only bytes of a heap block, so that reading past its NUL is caught.
std::unique_ptr<char[]> exactCopy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

class ResolveConnect : public LibraryFixture {
 protected:
  void setServerName(const char* name) {
    strncpy(channel()->serverName, name, kNameSize - 1);
    channel()->serverName[kNameSize - 1] = '\0';
  }
};

struct QuadCase {
  const char* text;
  int32_t isQuad;
  uint32_t address;
};

TEST_F(ResolveConnect, DottedQuadTestAndConversion) {
  const QuadCase cases[] = {
      {"192.168.1.10", 1, 0xC0A8010Au},
      {"10..0.1", 1, 0x0A000001u},    // an empty component is 0
      {"1.2.3.4.5", 1, 0x01020304u},  // nothing after the fourth dot is examined
      {"1.2.3.4.example", 1, 0x01020304u},
      {"1.2.3.", 1, 0x01020300u},
      {"0.0.0.0", 1, 0u},
      {"255.255.255.255", 1, 0xFFFFFFFFu},
      {"007.08.009.0010", 1, 0x0708090Au},
      {"192.168.1.300", 0, 0},
      {"256.1.1.1", 0, 0},
      {"4294967297.0.0.1", 0, 0},  // must not wrap to 1
      {"1.2.3.4a", 0, 0},
      {"10.0.0", 0, 0},  // too few components: left to the resolver
      {"10", 0, 0},
      {"", 0, 0},
      {"localhost", 0, 0},
      {"ftp.example.com", 0, 0},
      {"1.2.-3.4", 0, 0},
      {" 1.2.3.4", 0, 0},
  };
  for (const QuadCase& c : cases) {
    auto text = exactCopy(c.text);
    EXPECT_EQ(netIsDottedQuad(text.get()), c.isQuad) << '"' << c.text << '"';
    if (c.isQuad == 1) {
      EXPECT_EQ(netParseDottedQuad(text.get()), c.address) << '"' << c.text << '"';
    }
  }
}

TEST_F(ResolveConnect, ResolvesLocalhost) {
  setServerName("localhost");
  EXPECT_EQ(netResolveServer(channel()), 1);
  EXPECT_EQ(channel()->serverAddr, 0x7F000001u);
  EXPECT_NE(channel()->hostEntry, nullptr);
}

TEST_F(ResolveConnect, UnknownNameGivesNegatedLookupError) {
  setServerName("nonexistent.invalid");
  channel()->serverAddr = 0x01020304u;
  channel()->hostEntry = channel();  // must be overwritten with the null result
  int32_t result = netResolveServer(channel());
  EXPECT_LE(result, -11001);
  EXPECT_GE(result, -11004);
  EXPECT_EQ(channel()->hostEntry, nullptr);
  EXPECT_EQ(channel()->serverAddr, 0x01020304u);
}

TEST_F(ResolveConnect, ControlConnectsToServerPort) {
  const int listener = loopbackSocket();
  ASSERT_GT(listener, 0);
  const uint16_t port = localPortOf(listener);
  ASSERT_NE(port, 21);
  channel()->serverAddr = 0x7F000001u;
  channel()->serverPort = port;
  channel()->controlSocket = netOpenSocket();
  ASSERT_GT(channel()->controlSocket, 0);

  EXPECT_EQ(netConnectControl(channel()), 1);
  EXPECT_EQ(channel()->serverSockaddr.address, 0x7F000001u);
  EXPECT_EQ(channel()->serverSockaddr.port, port);
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ASSERT_EQ(getpeername(channel()->controlSocket, reinterpret_cast<sockaddr*>(&peer), &length), 0);
  EXPECT_EQ(ntohs(peer.sin_port), port);
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), 0x7F000001u);
  int accepted = accept(listener, nullptr, nullptr);
  EXPECT_GT(accepted, 0);
  if (accepted > 0) close(accepted);
  close(listener);
}

TEST_F(ResolveConnect, RefusedConnectsGiveNegatedSocketError) {
  const uint16_t port = unusedLoopbackPort();
  ASSERT_NE(port, 0);
  channel()->serverAddr = 0x7F000001u;
  channel()->serverPort = port;
  channel()->dataPort = port;
  channel()->controlSocket = netOpenSocket();
  ASSERT_GT(channel()->controlSocket, 0);

  EXPECT_EQ(netConnectControl(channel()), -10061);
  EXPECT_EQ(netConnectData(channel()), -10061);
  EXPECT_GT(channel()->dataSocket, 0);  // kept for the close after the transfer
}

// The data connection goes to the server's address and dataPort, whatever host a PASV reply
// named.
TEST_F(ResolveConnect, DataConnectsToServerAddressAndDataPort) {
  const int listener = loopbackSocket();
  ASSERT_GT(listener, 0);
  const uint16_t port = localPortOf(listener);
  channel()->serverAddr = 0x7F000001u;
  channel()->serverPort = 21;
  channel()->dataPort = port;

  EXPECT_EQ(netConnectData(channel()), 1);
  ASSERT_GT(channel()->dataSocket, 0);
  EXPECT_EQ(channel()->dataSockaddr.address, 0x7F000001u);
  EXPECT_EQ(channel()->dataSockaddr.port, port);
  int accepted = accept(listener, nullptr, nullptr);
  EXPECT_GT(accepted, 0);
  if (accepted > 0) {
    EXPECT_EQ(send(channel()->dataSocket, "x", 1, MSG_NOSIGNAL), 1);
    char byte = 0;
    EXPECT_EQ(recv(accepted, &byte, 1, 0), 1);
    close(accepted);
  }
  close(listener);
}

// The calling state reports a socket-creation failure; the connect itself only returns -10.
TEST_F(ResolveConnect, DataConnectWithoutSocketsLeftReturnsInvalidSocket) {
  channel()->serverAddr = 0x7F000001u;
  channel()->dataPort = 1;
  channel()->nextState = 901;
  expectInvalidSocketWithoutDescriptors(channel(), netConnectData, &Channel::dataSocket);
}

// ---- Address families ----

TEST_F(ResolveConnect, FamilySettingRefusesWhatItCannotReach) {
  EXPECT_EQ(dapSetInteger(0, DAP_SET_ADDRESS_FAMILY, 3), DAP_ERR_CANNOT_COMPLY);
  EXPECT_EQ(dapSetInteger(0, DAP_SET_ADDRESS_FAMILY, 2), 2);
  EXPECT_EQ(dapConnect(0, "127.0.0.1", "u", "p"), -11004);  // no IPv6 address in it
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONTROL_SOCKET), 0);
  dapSetInteger(0, DAP_SET_ADDRESS_FAMILY, 0);
  dapSetInteger(0, DAP_SET_SERVER_PORT, unusedLoopbackPort());
  EXPECT_EQ(dapConnect(0, "[::1]", "u", "p"), -10061);  // a literal is taken at family 0
}

// Each address that fails is logged and the next one tried; the session goes on with the first
// that connects. Here ::1, where nothing listens, comes before the server on 127.0.0.1.
TEST_F(ResolveConnect, AddressesAreTriedInTurnUntilOneConnects) {
  Script script;
  script.greeting = {"220 hi\r\n"};
  script.exchanges = {answer("USER u", "331 pw\r\n"), answer("PASS p", "230 ok\r\n")};
  ScriptServer server(script);
  openLog();
  ASSERT_EQ(netParseIpv6("::1", &channel()->candidates[0]), 1);
  channel()->candidates[1] = channel()->candidates[0];
  channel()->candidates[1].family = kPlatFamilyV4;
  memcpy(channel()->candidates[1].bytes, "\x7F\0\0\1", 4);
  for (PlatAddress& candidate : channel()->candidates) candidate.port = server.port();
  channel()->candidateCount = 2;
  copyText(channel()->userName, "u", 1);
  copyText(channel()->password, "p", 1);
  channel()->deadlineTick = platTicks() + 5000;
  ASSERT_EQ(netStartCandidate(channel()), 1);
  channel()->nextState = 110;
  int32_t step = 110;
  for (int calls = 0; step > 0 && calls < 10000; ++calls) step = dapDriver(0);
  EXPECT_EQ(step, 0);
  EXPECT_TRUE(logsInOrder(
      log(), {"ServerIP = ::1\r\n", "Cannot connect: -10061 Connection refused by remote host.\r\n",
              "ServerIP = 127.0.0.1\r\n", "LocalIP=[127.0.0.1]\r\n", "R: 230"}));
  char address[32];
  EXPECT_EQ(dapGetString(0, DAP_STR_SERVER_IP, address, sizeof address), 9);
  EXPECT_STREQ(address, "127.0.0.1");
}

}  // namespace
