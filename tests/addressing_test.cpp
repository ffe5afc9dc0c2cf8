// Data-connection addressing: the local address, the active-mode listener and its ports, the
// PORT text and the port of a PASV reply.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "dap32.h"
#include "frame/channel.h"
#include "net/net.h"

namespace {

using namespace std::chrono_literals;

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A loopback socket on a free port (no SO_REUSEADDR), listening unless told otherwise.
int boundSocket(uint16_t* port, bool listening = true) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (listening && listen(fd, 1) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

uint16_t freePort() {
  uint16_t port = 0;
  int fd = boundSocket(&port, false);
  if (fd >= 0) close(fd);
  return port;
}

int connectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class Addressing : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(dapAttach(1, 0), 1);
    channel = channelTable[0];
    uint16_t port = 0;
    server = boundSocket(&port);
    ASSERT_GT(server, 0);
    control = connectTo(port);
    ASSERT_GT(control, 0);
    channel->controlSocket = control;
    logPath = testing::TempDir() + "addressing_test_" + std::to_string(getpid()) + ".log";
    channel->logFile = platFileCreate(logPath.c_str());
    ASSERT_GT(channel->logFile, 0);
  }

  void TearDown() override {
    if (channel->logFile != 0) platFileClose(channel->logFile);
    channel->logFile = 0;
    unlink(logPath.c_str());
    if (channel->listenSocket > 0) close(channel->listenSocket);
    channel->listenSocket = 0;
    channel->controlSocket = 0;
    dapRelease();
    close(control);
    close(server);
  }

  std::string logText() const {
    std::ifstream file(logPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  void truncateLog() {
    platFileClose(channel->logFile);
    channel->logFile = platFileCreate(logPath.c_str());
  }

  Channel* channel = nullptr;
  int server = -1;
  int control = -1;
  std::string logPath;
};

TEST_F(Addressing, LocalAddressOfControlConnection) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ASSERT_EQ(getsockname(control, reinterpret_cast<sockaddr*>(&local), &length), 0);

  EXPECT_EQ(netLocalAddress(channel), 1);
  EXPECT_EQ(channel->localAddr, 0x7F000001u);
  EXPECT_STREQ(channel->localIpText, "127.0.0.1");
  EXPECT_EQ(channel->serverSockaddr.address, 0x7F000001u);
  EXPECT_EQ(channel->serverSockaddr.port, ntohs(local.sin_port));
  EXPECT_EQ(logText(), "LocalIP=[127.0.0.1]\r\n");
}

TEST_F(Addressing, LocalAddressFailsWithoutSocket) {
  channel->controlSocket = 0;
  EXPECT_EQ(netLocalAddress(channel), -6);
  channel->controlSocket = channel->logFile;  // a handle that is no socket
  EXPECT_EQ(netLocalAddress(channel), -6);
  EXPECT_EQ(logText(), "");
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
  ASSERT_EQ(netLocalAddress(channel), 1);
  truncateLog();
  channel->dataPort = freePort();
  ASSERT_NE(channel->dataPort, 0);

  EXPECT_EQ(netOpenListener(channel), 1);
  ASSERT_GT(channel->listenSocket, 0);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ASSERT_EQ(getsockname(channel->listenSocket, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  EXPECT_EQ(ntohl(bound.sin_addr.s_addr), 0x7F000001u);
  EXPECT_EQ(ntohs(bound.sin_port), channel->dataPort);
  EXPECT_EQ(channel->listenSockaddr.address, 0x7F000001u);
  EXPECT_EQ(channel->listenSockaddr.port, channel->dataPort);
  EXPECT_EQ(logText(), "Binding 127.0.0.1 to port " + std::to_string(channel->dataPort) +
                           "\r\nListening...\r\n");

  int client = connectTo(channel->dataPort);
  EXPECT_GT(client, 0);
  uint32_t peer = 0;
  uint16_t peerPort = 0;
  PlatSocket accepted = platSocketAccept(channel->listenSocket, &peer, &peerPort);
  EXPECT_GT(accepted, 0);
  EXPECT_EQ(peer, 0x7F000001u);
  if (accepted > 0) close(accepted);
  if (client > 0) close(client);
}

TEST_F(Addressing, ListenerPortInUse) {
  ASSERT_EQ(netLocalAddress(channel), 1);
  truncateLog();
  uint16_t port = 0;
  int holder = boundSocket(&port);
  ASSERT_GT(holder, 0);
  channel->dataPort = port;

  EXPECT_EQ(netOpenListener(channel), -10048);
  EXPECT_GT(channel->listenSocket, 0);  // stays for the close after the transfer
  EXPECT_EQ(logText(), "Binding 127.0.0.1 to port " + std::to_string(port) + "\r\n");
  close(holder);
}

// A port whose last data connection lingers in TIME_WAIT can be listened on again at once.
TEST_F(Addressing, ListenerReusesPortInTimeWait) {
  ASSERT_EQ(netLocalAddress(channel), 1);
  channel->dataPort = freePort();
  ASSERT_EQ(netOpenListener(channel), 1);
  int client = connectTo(channel->dataPort);
  ASSERT_GT(client, 0);
  uint32_t peer = 0;
  uint16_t peerPort = 0;
  PlatSocket accepted = platSocketAccept(channel->listenSocket, &peer, &peerPort);
  ASSERT_GT(accepted, 0);
  close(accepted);  // the listening side closes first and keeps the TIME_WAIT
  std::this_thread::sleep_for(100ms);
  close(client);
  close(channel->listenSocket);
  channel->listenSocket = 0;
  std::this_thread::sleep_for(50ms);

  EXPECT_EQ(netOpenListener(channel), 1);
  int reuse = 0;
  socklen_t length = sizeof reuse;
  ASSERT_EQ(getsockopt(channel->listenSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, &length), 0);
  EXPECT_NE(reuse, 0);
}

// The calling state reports a socket-creation failure; the listener itself only returns -10.
TEST_F(Addressing, ListenerWithoutSocketsLeftReturnsInvalidSocket) {
  ASSERT_EQ(netLocalAddress(channel), 1);
  truncateLog();
  channel->nextState = 303;
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    rlimit few{64, 64};
    setrlimit(RLIMIT_NOFILE, &few);
    while (dup(1) >= 0) {
    }
    int failures = 0;
    if (netOpenListener(channel) != -10) failures |= 1;
    if (channel->listenSocket != -10) failures |= 2;
    if (channel->nextState != 303 || channel->lastSocketCode != 0) failures |= 4;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "result is not -10";
  EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "listenSocket does not hold the result";
  EXPECT_EQ(WEXITSTATUS(status) & 4, 0) << "the listener ended the operation itself";
  EXPECT_EQ(logText().find("ERROR"), std::string::npos) << logText();
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
    strcpy(channel->localIpText, c.localIp);
    channel->dataPort = c.port;
    memset(channel->commandBuffer, '.', 64);
    netFormatPortCommand(channel);
    EXPECT_STREQ(channel->commandBuffer, c.command);
  }

  ASSERT_EQ(netLocalAddress(channel), 1);
  channel->dataPort = 16385;
  netFormatPortCommand(channel);
  EXPECT_STREQ(channel->commandBuffer, "PORT 127,0,0,1,64,1");
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
    channel->dataPortLow = c.low;
    channel->dataPortHigh = static_cast<uint16_t>(c.low + 31);
    channel->dataPort = c.before;
    netAdvanceDataPort(channel);
    EXPECT_EQ(channel->dataPort, c.after) << c.low << " " << c.before;
  }

  // A whole cycle from the set-up value: low + 1 .. high, then low, then low + 1 again.
  channel->dataPortLow = 16384;
  channel->dataPortHigh = 16415;
  channel->dataPort = 16384;
  for (int transfer = 1; transfer <= 31; ++transfer) {
    netAdvanceDataPort(channel);
    ASSERT_EQ(channel->dataPort, 16384 + transfer);
  }
  netAdvanceDataPort(channel);
  EXPECT_EQ(channel->dataPort, 16384);
  netAdvanceDataPort(channel);
  EXPECT_EQ(channel->dataPort, 16385);
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
    channel->dataPort = 7;
    EXPECT_EQ(netParsePassivePort(channel, line.get()), c.found) << '"' << c.line << '"';
    if (c.found == 1) {
      EXPECT_EQ(channel->dataPort, c.port) << '"' << c.line << '"';
    }
  }
}

}  // namespace
