// Connections to a peer of either family: the addresses a name resolves to, tried in the
// resolver's order with connects that do not wait, and the passive data connection to the same
// peer. Channels that ask for neither IPv6 nor a proxy keep the IPv4 connects of connect.cpp.
#include "dap32.h"
#include "frame/log.h"
#include "net/net.h"

namespace {
constexpr int32_t kNoAddressOfFamily = -11004;  // WSANO_DATA

const char* peerName(const Channel* channel) {
  return channel->proxy.kind != kProxyNone ? channel->proxy.host : channel->serverName;
}

uint16_t peerPort(const Channel* channel) {
  return channel->proxy.kind != kProxyNone ? channel->proxy.port : channel->serverPort;
}

PlatAddress ipv4Address(uint32_t address) {
  PlatAddress result{};
  result.family = kPlatFamilyV4;
  for (int i = 0; i < 4; ++i) result.bytes[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  return result;
}

uint32_t ipv4Of(const PlatAddress& address) {
  return static_cast<uint32_t>(address.bytes[0]) << 24 | address.bytes[1] << 16 |
         address.bytes[2] << 8 | address.bytes[3];
}

// A literal needs no resolver; an IPv4 one cannot serve a channel that wants IPv6 only.
int32_t takeLiteral(Channel* channel, const char* name, PlatAddress* literal) {
  if (netIsDottedQuad(name)) {
    if (channel->addressFamily == kFamilyIpv6) return kNoAddressOfFamily;
    *literal = ipv4Address(netParseDottedQuad(name));
    return 1;
  }
  return netParseIpv6(name, literal);
}

uint16_t familyToResolve(const Channel* channel) {
  if (channel->addressFamily == kFamilyAny) return kPlatFamilyNone;
  return channel->addressFamily == kFamilyIpv6 ? kPlatFamilyV6 : kPlatFamilyV4;
}
}  // namespace

bool netUsesCandidates(const Channel* channel) {
  PlatAddress literal;
  return channel->proxy.kind != kProxyNone || channel->addressFamily != kFamilyIpv4 ||
         netParseIpv6(channel->serverName, &literal) == 1;
}

// The peer's addresses, a literal's one or a name's in the resolver's order: their count, or
// the resolver's negated error.
int32_t netFindCandidates(Channel* channel) {
  channel->candidateCount = 0;
  channel->candidateNext = 0;
  const char* name = peerName(channel);
  PlatAddress literal{};
  int32_t found = takeLiteral(channel, name, &literal);
  if (found < 0) return found;
  if (found == 1) {
    channel->candidates[0] = literal;
    found = 1;
  } else {
    while (platSocketBlocking()) platSleep(settings.pollSleep);
    found = platResolveAddresses(name, familyToResolve(channel), channel->candidates,
                                 static_cast<int32_t>(kMostCandidates));
    if (found == 0) found = kNoAddressOfFamily;
    if (found < 0) return found;
  }
  for (int32_t i = 0; i < found; ++i) channel->candidates[i].port = peerPort(channel);
  channel->candidateCount = found;
  return found;
}

// Opens the control socket for the next address and starts its connect: 1 while it is under
// way, or the negated error (the socket then closed), with candidateNext moved on either way.
int32_t netStartCandidate(Channel* channel) {
  const PlatAddress& target = channel->candidates[channel->candidateNext++];
  char text[kAnyAddressTextSize];
  netFormatAnyAddress(&target, text, sizeof text, true);
  logLine(channel, "ServerIP = %s\r\n", text);
  platLockEnter();
  PlatSocket socket = platSocketOpenFamily(target.family);
  platLockLeave();
  if (socket < 0) return DAP_ERR_INVALID_SOCKET;
  channel->controlSocket = socket;
  platSocketNoDelay(socket);
  int32_t error = platSocketConnectStart(socket, &target);
  if (error == 0) return 1;
  netCloseSocket(socket, 0);
  channel->controlSocket = 0;
  return -error;
}

// 1 once the connect is made (the peer's address kept), 0 while it is under way, or the
// negated error with the socket closed.
int32_t netFinishCandidate(Channel* channel) {
  PlatSocket socket = channel->controlSocket;
  if (rokStatus(socket, kPollWritable) != 1 && rokStatus(socket, kPollException) != 1) return 0;
  int32_t error = platSocketConnectResult(socket);
  if (error != 0) {
    netCloseSocket(socket, 0);
    channel->controlSocket = 0;
    return -error;
  }
  const PlatAddress& peer = channel->candidates[channel->candidateNext - 1];
  channel->peerAddress = peer;
  channel->serverAddr = peer.family == kPlatFamilyV4 ? ipv4Of(peer) : 0;
  return 1;
}

// A passive data connection goes where the control connection goes: to the server, or to the
// proxy, which is then asked for the server.
int32_t netConnectDataAny(Channel* channel) {
  platLockEnter();
  PlatSocket socket = platSocketOpenFamily(channel->peerAddress.family);
  platLockLeave();
  channel->dataSocket = socket < 0 ? DAP_ERR_INVALID_SOCKET : socket;
  if (socket < 0) return DAP_ERR_INVALID_SOCKET;
  PlatAddress target = channel->peerAddress;
  if (channel->proxy.kind == kProxyNone) target.port = channel->dataPort;
  int32_t error = platSocketConnectAddress(socket, &target);
  constexpr int32_t kWouldBlock = 10035;
  return error == 0 || error == kWouldBlock ? 1 : -error;
}

bool netUsesExtended(const Channel* channel) {
  return channel->extendedRequired != 0 ||
         (channel->extendedMode != 0 && channel->extendedRefused == 0);
}
