// Server resolution and the control and passive data connects.
#include "dap32.h"
#include "frame/log.h"
#include "net/net.h"

namespace {
// Reads one component of a dotted quad at *text: digits up to a '.' or the end. Returns the
// value, or -1 when the component holds another character or is 256 or more; *dotFollows
// tells whether a '.' ended it. Never reads past the terminating NUL.
int32_t readComponent(const char** text, bool* dotFollows) {
  uint32_t value = 0;
  const char* cursor = *text;
  for (;; ++cursor) {
    char c = *cursor;
    if (c == '.' || c == '\0') break;
    if (c < '0' || c > '9') return -1;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value >= 256) return -1;
  }
  *dotFollows = *cursor == '.';
  *text = *dotFollows ? cursor + 1 : cursor;
  return static_cast<int32_t>(value);
}

// A name ending before its fourth component (10.0.0) is left to the resolver.
bool readQuad(const char* text, uint32_t* address) {
  uint32_t value = 0;
  bool dotFollows = true;
  for (int component = 0; component < 4; ++component) {
    if (!dotFollows) return false;
    int32_t part = readComponent(&text, &dotFollows);
    if (part < 0) return false;
    value = (value << 8) | static_cast<uint32_t>(part);
  }
  *address = value;
  return true;
}
}  // namespace

int32_t netIsDottedQuad(const char* text) {
  uint32_t address;
  return readQuad(text, &address) ? 1 : 0;
}

uint32_t netParseDottedQuad(const char* text) {
  uint32_t address = 0;
  readQuad(text, &address);
  return address;
}

int32_t netResolveServer(Channel* channel) {
  while (platSocketBlocking()) platSleep(settings.pollSleep);
  uint32_t address = 0;
  channel->hostEntry = platResolveHost(channel->serverName, &address);
  if (channel->hostEntry == nullptr) return -platSocketError();
  if (address == 0) return DAP_ERR_CANNOT_COMPLY;
  channel->serverAddr = address;
  return 1;
}

namespace {
// A blocking connect; "would block" is not a failure, the write gate sees the outcome.
int32_t connectTo(PlatSocket socket, const SocketAddress& target) {
  constexpr int32_t kWouldBlock = 10035;
  int32_t error = platSocketConnect(socket, target.address, target.port);
  return error == 0 || error == kWouldBlock ? 1 : -error;
}
}  // namespace

// A command goes out as its text and then its CR LF; without TCP_NODELAY the line end would
// wait for the server's delayed acknowledgement of the text, some 40 ms per command.
int32_t netConnectControl(Channel* channel) {
  platSocketNoDelay(channel->controlSocket);
  channel->serverSockaddr = {channel->serverAddr, channel->serverPort};
  return connectTo(channel->controlSocket, channel->serverSockaddr);
}

// The data connection always goes to the control connection's server, whatever host the
// PASV reply named.
int32_t netConnectData(Channel* channel) {
  channel->dataSocket = netOpenSocket();
  if (channel->dataSocket < 0) return channel->dataSocket;
  channel->dataSockaddr = {channel->serverAddr, channel->dataPort};
  return connectTo(channel->dataSocket, channel->dataSockaddr);
}

int32_t netFormatAddress(uint32_t address, char* buffer, int32_t size) {
  if (size < 17) return 0;
  return platFormat(buffer, "%d.%d.%d.%d", static_cast<int>(address >> 24),
                    static_cast<int>((address >> 16) & 0xFF),
                    static_cast<int>((address >> 8) & 0xFF), static_cast<int>(address & 0xFF));
}
