// Data-connection addressing: the local address, the active-mode listener and its ports, the
// PORT text and the port of a PASV reply.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "dap32.h"
#include "frame/channel.h"
#include "net/net.h"
#include "support/child_process.h"
#include "support/library_fixture.h"
#include "support/local_pair.h"

namespace {

using namespace ftptest;
using namespace std::chrono_literals;

// A control connection to a loopback listener standing in for the server.
class Addressing : public LibraryFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LibraryFixture::SetUp());
    server = loopbackSocket();
    ASSERT_GT(server, 0);
    control = connectLoopback(localPortOf(server));
    ASSERT_GT(control, 0);
    channel()->controlSocket = control;
    openLog();
  }

  void TearDown() override {
    LibraryFixture::TearDown();
    closeSocket(server);
  }

  int server = -1;
  int control = -1;
};

TEST_F(Addressing, LocalAddressOfControlConnection) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ASSERT_EQ(getsockname(control, reinterpret_cast<sockaddr*>(&local), &length), 0);

  EXPECT_EQ(netLocalAddress(channel()), 1);
  EXPECT_EQ(channel()->localAddr, 0x7F000001u);
  EXPECT_STREQ(channel()->localIpText, "127.0.0.1");
  EXPECT_EQ(channel()->serverSockaddr.address, 0x7F000001u);
  EXPECT_EQ(channel()->serverSockaddr.port, ntohs(local.sin_port));
  EXPECT_EQ(log(), "LocalIP=[127.0.0.1]\r\n");
}

TEST_F(Addressing, LocalAddressFailsWithoutSocket) {
  channel()->controlSocket = 0;
  EXPECT_EQ(netLocalAddress(channel()), -6);
  channel()->controlSocket = channel()->logFile;  // a handle that is no socket
  EXPECT_EQ(netLocalAddress(channel()), -6);
  channel()->controlSocket = control;
  EXPECT_EQ(log(), "");
}

TEST_F(Addressing, LocalHostName) {
  char expected[256] = {};
  ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
  char buffer[256];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(netLocalHostName(buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, expected);
}

// Bound to the control connection's local address, not the wildcard, on dataPort.
TEST_F(Addressing, ListenerOnLocalAddressAndDataPort) {
  ASSERT_EQ(netLocalAddress(channel()), 1);
  openLog();
  channel()->dataPort = unusedLoopbackPort();
  ASSERT_NE(channel()->dataPort, 0);

  EXPECT_EQ(netOpenListener(channel()), 1);
  ASSERT_GT(channel()->listenSocket, 0);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ASSERT_EQ(getsockname(channel()->listenSocket, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  EXPECT_EQ(ntohl(bound.sin_addr.s_addr), 0x7F000001u);
  EXPECT_EQ(ntohs(bound.sin_port), channel()->dataPort);
  EXPECT_EQ(channel()->listenSockaddr.address, 0x7F000001u);
  EXPECT_EQ(channel()->listenSockaddr.port, channel()->dataPort);
  EXPECT_EQ(log(), "Binding 127.0.0.1 to port " + std::to_string(channel()->dataPort) +
                       "\r\nListening...\r\n");

  int client = connectLoopback(channel()->dataPort);
  EXPECT_GT(client, 0);
  EXPECT_EQ(netAcceptData(channel()), 1);
  EXPECT_EQ(channel()->dataSockaddr.address, 0x7F000001u);
  if (client > 0) close(client);
}

TEST_F(Addressing, ListenerPortInUse) {
  ASSERT_EQ(netLocalAddress(channel()), 1);
  openLog();
  const int holder = loopbackSocket();
  ASSERT_GT(holder, 0);
  const uint16_t port = localPortOf(holder);
  channel()->dataPort = port;

  EXPECT_EQ(netOpenListener(channel()), -10048);
  EXPECT_GT(channel()->listenSocket, 0);  // stays for the close after the transfer
  EXPECT_EQ(log(), "Binding 127.0.0.1 to port " + std::to_string(port) + "\r\n");
  close(holder);
}

// A port whose last data connection lingers in TIME_WAIT can be listened on again at once.
TEST_F(Addressing, ListenerReusesPortInTimeWait) {
  ASSERT_EQ(netLocalAddress(channel()), 1);
  channel()->dataPort = unusedLoopbackPort();
  ASSERT_EQ(netOpenListener(channel()), 1);
  int client = connectLoopback(channel()->dataPort);
  ASSERT_GT(client, 0);
  ASSERT_EQ(netAcceptData(channel()), 1);
  close(channel()->dataSocket);  // the listening side closes first and keeps the TIME_WAIT
  channel()->dataSocket = 0;
  std::this_thread::sleep_for(100ms);
  close(client);
  close(channel()->listenSocket);
  channel()->listenSocket = 0;
  std::this_thread::sleep_for(50ms);

  EXPECT_EQ(netOpenListener(channel()), 1);
  int reuse = 0;
  socklen_t length = sizeof reuse;
  ASSERT_EQ(getsockopt(channel()->listenSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, &length), 0);
  EXPECT_NE(reuse, 0);
}

// The calling state reports a socket-creation failure; the listener itself only returns -10.
TEST_F(Addressing, ListenerWithoutSocketsLeftReturnsInvalidSocket) {
  ASSERT_EQ(netLocalAddress(channel()), 1);
  openLog();
  channel()->nextState = 303;
  expectInvalidSocketWithoutDescriptors(channel(), netOpenListener, &Channel::listenSocket);
  EXPECT_EQ(log().find("ERROR"), std::string::npos) << log();
}

struct PortCommandCase {
  const char* localIp;
  uint16_t port;
  const char* command;
};

TEST_F(Addressing, PortCommandText) {
  const PortCommandCase cases[] = {
      {"127.0.0.1", 16385, "PORT 127,0,0,1,64,1"},
      {"192.168.100.200", 16385, "PORT 192,168,100,200,64,1"},
      {"1.2.3.4", 65535, "PORT 1,2,3,4,255,255"},
      {"10.0.0.1", 256, "PORT 10,0,0,1,1,0"},
      {"10.0.0.1", 0, "PORT 10,0,0,1,0,0"},
  };
  for (const PortCommandCase& c : cases) {
    strcpy(channel()->localIpText, c.localIp);
    channel()->dataPort = c.port;
    memset(channel()->commandBuffer, '.', 64);
    netFormatPortCommand(channel());
    EXPECT_STREQ(channel()->commandBuffer, c.command);
  }

  ASSERT_EQ(netLocalAddress(channel()), 1);
  channel()->dataPort = 16385;
  netFormatPortCommand(channel());
  EXPECT_STREQ(channel()->commandBuffer, "PORT 127,0,0,1,64,1");
}

struct CycleCase {
  uint16_t low;
  uint16_t before;
  uint16_t after;
};

TEST_F(Addressing, PortCycleStaysInChannelRange) {
  const CycleCase cases[] = {
      {16384, 16384, 16385},  // first active transfer: low + 1
      {16384, 16414, 16415},  // up to high
      {16384, 16415, 16384},  // after high comes low
      {16384, 16383, 16384},  // outside the range, below or above: low
      {16384, 16416, 16384},  // just above
      {16384, 50000, 16384},  // a PASV port
      {16384, 65535, 16384},  // the top of the port space
      {16384, 0, 16384},      // zero
      {65504, 65534, 65535},  // a range at the top of the port space
      {65504, 65535, 65504},  // never wraps to 0
      {32736, 32767, 32736},  // the last channel's last window
  };
  for (const CycleCase& c : cases) {
    channel()->dataPortLow = c.low;
    channel()->dataPortHigh = static_cast<uint16_t>(c.low + 31);
    channel()->dataPort = c.before;
    netAdvanceDataPort(channel());
    EXPECT_EQ(channel()->dataPort, c.after) << c.low << " " << c.before;
  }

  // A whole cycle from the set-up value: low + 1 .. high, then low, then low + 1 again.
  channel()->dataPortLow = 16384;
  channel()->dataPortHigh = 16415;
  channel()->dataPort = 16384;
  for (int transfer = 1; transfer <= 31; ++transfer) {
    netAdvanceDataPort(channel());
    ASSERT_EQ(channel()->dataPort, 16384 + transfer);
  }
  netAdvanceDataPort(channel());
  EXPECT_EQ(channel()->dataPort, 16384);
  netAdvanceDataPort(channel());
  EXPECT_EQ(channel()->dataPort, 16385);
}

struct PassiveCase {
  const char* line;
  int32_t found;
  uint16_t port;
};

// Each line ends its heap block, so any read past its NUL is caught.
TEST_F(Addressing, PassivePortExtraction) {
  const PassiveCase cases[] = {
      {"227 Entering Passive Mode (10,0,0,5,195,80)\r\n", 1, 50000},
      {"227 Entering Passive Mode 10,0,0,5,195,80\r\n", 1, 50000},
      {"227 =127,0,0,1,4,1", 1, 1025},
      {"227 (1,2,3,4,255,255)", 1, 65535},
      {"227 (10,0,0,5,300,400)", 1, 11408},  // (300 * 256 + 400 mod 256) mod 65536
      {"227 (10,0,0,5,0,21)", 1, 21},
      {"500 (1,2,3,4,5,6)", 1, 1286},  // the reply code is not examined
      {"227 Entering Passive Mode\r\n", 0, 0},
      {"227 (10,0,0,5,195)\r\n", 0, 0},
      {"227 (10,0,0,5,195", 0, 0},
      {"227 (10,0,0,5,195,", 0, 0},
      {"227 1", 0, 0},
      {"227 ", 0, 0},
      {"227", 0, 0},
      {"2", 0, 0},
      {"", 0, 0},
  };
  for (const PassiveCase& c : cases) {
    const size_t size = strlen(c.line) + 1;
    std::unique_ptr<char[]> line(new char[size]);
    memcpy(line.get(), c.line, size);
    channel()->dataPort = 7;
    EXPECT_EQ(netParsePassivePort(channel(), line.get()), c.found) << '"' << c.line << '"';
    if (c.found == 1) {
      EXPECT_EQ(channel()->dataPort, c.port) << '"' << c.line << '"';
    }
  }
}

}  // namespace
