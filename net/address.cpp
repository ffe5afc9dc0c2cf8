// Data-connection addressing: the control connection's local address, the active-mode
// listener and its port cycle, the PORT text and the port of a PASV reply.
#include "dap32.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

// The local end of an IPv6 control connection has no IPv4 form: localAddr stays 0 and the
// text goes to localAddressText alone.
int32_t netLocalAddress(Channel* channel) {
  PlatAddress& local = channel->localAddress;
  if (platSocketLocalAddress(channel->controlSocket, &local) != 0) return DAP_ERR_CANNOT_COMPLY;
  netFormatAnyAddress(&local, channel->localAddressText, kAnyAddressTextSize, true);
  channel->serverSockaddr.port = local.port;
  if (local.family == kPlatFamilyV6) {
    channel->serverSockaddr.address = 0;
    channel->localAddr = 0;
    channel->localIpText[0] = '\0';
    logLine(channel, "LocalIP=[%s]\r\n", channel->localAddressText);
    return 1;
  }
  channel->serverSockaddr.address = static_cast<uint32_t>(local.bytes[0]) << 24 |
                                    local.bytes[1] << 16 | local.bytes[2] << 8 | local.bytes[3];
  channel->localAddr = channel->serverSockaddr.address;
  uint32_t address = channel->localAddr;
  platFormat(channel->localIpText, "%1ld.%1ld.%1ld.%1ld", static_cast<long>(address >> 24),
             static_cast<long>((address >> 16) & 0xFF), static_cast<long>((address >> 8) & 0xFF),
             static_cast<long>(address & 0xFF));
  logLine(channel, "LocalIP=[%s]\r\n", channel->localIpText);
  return 1;
}

int32_t netLocalHostName(char* buffer, int32_t size) {
  buffer[0] = '\0';
  if (int32_t error = platLocalHostName(buffer, size)) return -error;
  return buffer[0] == '\0' ? DAP_ERR_NO_HOST_NAME : 1;
}

namespace {
int32_t openIpv6Listener(Channel* channel) {
  platLockEnter();
  PlatSocket socket = platSocketOpenFamily(kPlatFamilyV6);
  platLockLeave();
  channel->listenSocket = socket < 0 ? DAP_ERR_INVALID_SOCKET : socket;
  if (socket < 0) return DAP_ERR_INVALID_SOCKET;
  logLine(channel, "Binding %s to port %d\r\n", channel->localAddressText,
          static_cast<int>(channel->dataPort));
  PlatAddress local = channel->localAddress;
  local.port = channel->dataPort;
  int32_t error = platSocketBindAddress(socket, &local);
  if (error == 0) {
    logWrite(channel, "Listening...\r\n");
    error = platSocketListen(socket, 1);
  }
  return error == 0 ? 1 : -error;
}
}  // namespace

// The listener is bound to the control connection's local address, not the wildcard, so the
// server's data connection can only come in on the interface it already talks to.
int32_t netOpenListener(Channel* channel) {
  if (channel->localAddress.family == kPlatFamilyV6) return openIpv6Listener(channel);
  channel->listenSocket = netOpenSocket();
  if (channel->listenSocket < 0) return channel->listenSocket;
  logLine(channel, "Binding %s to port %d\r\n", channel->localIpText,
          static_cast<int>(channel->dataPort));
  channel->listenSockaddr = {channel->localAddr, channel->dataPort};
  int32_t error = platSocketBind(channel->listenSocket, channel->localAddr, channel->dataPort);
  if (error == 0) {
    logWrite(channel, "Listening...\r\n");
    error = platSocketListen(channel->listenSocket, 1);
  }
  return error == 0 ? 1 : -error;
}

// Accepts the server's data connection on the listener: 1, -10 when the new socket's handle
// is unusable, or the negated socket error.
int32_t netAcceptData(Channel* channel) {
  SocketAddress& peer = channel->dataSockaddr;
  PlatSocket socket = platSocketAccept(channel->listenSocket, &peer.address, &peer.port);
  if (socket == kPlatUnusableSocket) return DAP_ERR_INVALID_SOCKET;
  if (socket < 0) return -platSocketError();
  channel->dataSocket = socket;
  return 1;
}

// A passive transfer leaves the server's port in dataPort; the next active port then starts
// the channel's own range again instead of listening inside another channel's block.
void netAdvanceDataPort(Channel* channel) {
  uint16_t port = channel->dataPort;
  bool inRange = port >= channel->dataPortLow && port <= channel->dataPortHigh;
  channel->dataPort = inRange && port < channel->dataPortHigh ? port + 1 : channel->dataPortLow;
}

// "PORT 127,0,0,1,64,1": the dots of the address, at positions 5 to 16, become commas.
void netFormatPortCommand(Channel* channel) {
  char* command = channel->commandBuffer;
  platFormat(command, "PORT %s,%1d,%1d", channel->localIpText,
             static_cast<int>(channel->dataPort / 256), static_cast<int>(channel->dataPort % 256));
  for (int position = 5; position <= 16 && command[position] != '\0'; ++position) {
    if (command[position] == '.') command[position] = ',';
  }
}

namespace {
// Reads the digits at *cursor and steps over one separator; false when there is no digit.
bool readNumber(const char** cursor, uint32_t* value) {
  const char* text = *cursor;
  if (!isDecimalDigit(*text)) return false;
  *value = 0;
  while (isDecimalDigit(*text)) *value = *value * 10 + static_cast<uint32_t>(*text++ - '0');
  if (*text != '\0') ++text;
  *cursor = text;
  return true;
}
}  // namespace

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the numbers start at the first digit after
// the code; the host part is not used.
int32_t netParsePassivePort(Channel* channel, const char* reply) {
  const char* cursor = reply;
  for (int skip = 0; skip < 4 && *cursor != '\0'; ++skip) ++cursor;
  while (*cursor != '\0' && !isDecimalDigit(*cursor)) ++cursor;
  uint32_t numbers[6];
  for (uint32_t& number : numbers) {
    if (!readNumber(&cursor, &number)) return 0;
  }
  channel->dataPort = static_cast<uint16_t>(numbers[4] * 256 + numbers[5] % 256);
  return 1;
}
