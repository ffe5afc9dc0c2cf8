// The states of connections beyond IPv4 and PASV and PORT: a control connection to a name's
// addresses tried in turn (IPv6, either family, or a proxy), and the extended data-connection
// commands EPSV and EPRT (RFC 2428) with their fallback to PASV and PORT.
#include "dap32.h"
#include "engine/engine.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
constexpr int32_t kTimedOutConnecting = -10060;  // WSAETIMEDOUT
constexpr int32_t kExtendedPassiveReply = 229;

void logConnectFailure(Channel* channel, int32_t code) {
  if (!isLogging(channel)) return;
  char text[128];
  errorTextInto(channel, code, text, sizeof text);
  logLine(channel, "Cannot connect: %d %s\r\n", static_cast<int>(code), text);
}

// Starts a connect to the next address that takes one: kStepDone, with state 110 waiting for
// it; or, when none is left, the error exit's result with the last failure's code. Each try
// gets an equal share of the time left and the last one all of it, so a silent address cannot
// use up the connect time-out of those after it.
int32_t tryNextCandidate(Channel* channel, uint32_t now, int32_t lastError) {
  while (channel->candidateNext < channel->candidateCount) {
    int32_t started = netStartCandidate(channel);
    if (started == DAP_ERR_INVALID_SOCKET) {
      return errorExit(channel, started, DAP_ERR_CANNOT_CREATE_SOCKET);
    }
    if (started > 0) {
      uint32_t left = channel->deadlineTick - now;
      uint32_t tries = static_cast<uint32_t>(channel->candidateCount - channel->candidateNext) + 1;
      channel->attemptDeadline =
          tickAfter(now, tickBefore(now, channel->deadlineTick) ? left / tries : 0);
      channel->nextState = kStateAwaitCandidate;
      return kStepDone;
    }
    logConnectFailure(channel, started);
    lastError = started;
  }
  return errorExit(channel, lastError, 0);
}

bool refusesCommand(int32_t code) {
  return code == 500 || code == 501 || code == 502;
}

// A refusal of EPSV or EPRT by a server that may take PASV and PORT instead: true once the
// channel has been switched to them (logged once: later transfers never send EPSV or EPRT).
bool fallBack(Channel* channel, int32_t reply, const char* verb, const char* instead) {
  if (reply != DAP_ERR_SERVER_REFUSED || !refusesCommand(channel->serverCode)) return false;
  if (channel->extendedRequired != 0) return false;
  channel->extendedRefused = 1;
  logLine(channel, "%s refused (%d): %s from now on\r\n", verb,
          static_cast<int>(channel->serverCode), instead);
  return true;
}
}  // namespace

// What the last session knew of its peer and of the server's extended commands goes with it.
void forgetNetworkSession(Channel* channel) {
  channel->extendedRefused = 0;
  channel->extendedRequired = 0;
  channel->peerAddress = PlatAddress{};
  channel->localAddress = PlatAddress{};
  channel->localAddressText[0] = '\0';
  channel->candidateCount = 0;
  channel->candidateNext = 0;
}

int32_t startCandidateConnect(Channel* channel, uint32_t now) {
  if (channel->proxy.kind != kProxyNone && isLogging(channel)) {
    netFormatProxy(&channel->proxy, channel->proxyBuffer);
    logLine(channel, "Proxy: %s\r\n", channel->proxyBuffer);
  }
  int32_t found = netFindCandidates(channel);
  if (found < 0) return errorExit(channel, found, 0);
  channel->resumeTick = 0;
  channel->deadlineTick = tickAfter(now, settings.connectTimeout);
  return tryNextCandidate(channel, now, DAP_ERR_CANNOT_COMPLY);
}

// A connect that is not ready gives the thread back for a poll's sleep rather than spin.
int32_t stateAwaitCandidate(Channel* channel, uint32_t now) {
  int32_t finished = netFinishCandidate(channel);
  if (finished == 0) {
    bool lastTry = channel->candidateNext >= channel->candidateCount;
    if (lastTry || tickBefore(now, channel->attemptDeadline)) {
      netAwaitReady(channel->controlSocket, kPollWritable, settings.pollSleep);
      return kStepDone;
    }
    netCloseSocket(channel->controlSocket, 0);
    channel->controlSocket = 0;
    finished = kTimedOutConnecting;
  }
  if (finished < 0) {
    logConnectFailure(channel, finished);
    return tryNextCandidate(channel, now, finished);
  }
  PlatAddress literal;
  bool proxied = channel->proxy.kind != kProxyNone;
  bool ipv6Server = proxied ? netParseIpv6(channel->serverName, &literal) == 1
                            : channel->peerAddress.family == kPlatFamilyV6;
  channel->extendedRequired = ipv6Server ? 1 : 0;
  if (proxied) return startProxyHandshake(channel, now);
  channel->repliesOwed = 1;  // the greeting
  channel->nextState = 102;
  return kStepDone;
}

// "229 Entering Extended Passive Mode (|||6446|)". A server that does not know EPSV gets PASV,
// now and for the rest of the session.
int32_t stateReadEpsvReply(Channel* channel, uint32_t now) {
  if (netWaitReadable(channel->controlSocket, 0, channel->controlTls) == 0) return kStepDone;
  int32_t reply = readReply(channel);
  if (fallBack(channel, reply, "EPSV", "PASV")) {
    channel->nextState = 900;
    return kStepDone;
  }
  if (reply < 0) return errorExit(channel, 0, reply);
  uint16_t port = 0;
  if (channel->serverCode != kExtendedPassiveReply ||
      !netParseExtendedPassivePort(channel->responseBuffer, &port)) {
    logLine(channel, "Response=[%s]\r\n", channel->responseBuffer);
    return errorExit(channel, 0, DAP_ERR_NO_PASV_PORT);
  }
  channel->dataPort = port;
  logLine(channel, "DataPort = %d\r\n", static_cast<int>(channel->dataPort));
  return connectPassiveData(channel, now);
}

// A server that does not know EPRT gets PORT: the listener EPRT announced is closed first, and
// the next port of the cycle announced with PORT.
int32_t stateReadEprtReply(Channel* channel, uint32_t now) {
  if (netWaitReadable(channel->controlSocket, 0, channel->controlTls) == 0) return kStepDone;
  int32_t reply = readReply(channel);
  if (fallBack(channel, reply, "EPRT", "PORT")) {
    netCloseDataSockets(channel, 0);
    channel->nextState = 910;
    return kStepDone;
  }
  if (reply < 0) return errorExit(channel, 0, reply);
  channel->resumeTick = 0;
  channel->deadlineTick = tickAfter(now, settings.replyTimeout);
  returnToSavedState(channel);
  return kStepDone;
}
