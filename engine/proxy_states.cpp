// The proxy handshakes, one message or one wait per step: SOCKS5 (RFC 1928, RFC 1929) and HTTP
// CONNECT. States 140-147 run them on the control connection, 950-957 on a passive data
// connection, through the same functions; either kind ends where a direct connection would
// go on (102, 902), and TLS then starts over the proxied connection as over a direct one.
// Every wait is bounded by the connect time-out armed when the connection to the proxy began.
#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
constexpr int32_t kDataProxyOffset = kStateDataProxy - kStateControlProxy;
constexpr unsigned char kMethodNone = 0;
constexpr unsigned char kMethodPassword = 2;

// SOCKS5 states, as numbered on the control connection; HTTP has two of its own.
enum ProxyStep : int32_t {
  kSendSocksGreeting = kStateControlProxy,  // 140
  kReadSocksMethod,
  kSendSocksCredentials,
  kReadSocksAuthentication,
  kSendSocksConnect,
  kReadSocksConnect,
  kSendHttpConnect,
  kReadHttpReply,
};

bool onData(const Channel* channel) {
  return channel->currentState >= kStateDataProxy;
}

PlatSocket proxySocket(const Channel* channel) {
  return onData(channel) ? channel->dataSocket : channel->controlSocket;
}

void goTo(Channel* channel, int32_t step) {
  channel->nextState = step + (onData(channel) ? kDataProxyOffset : 0);
}

// The server as the proxy is asked for it: the name given to dapConnect, so that the proxy
// resolves it, with the control port or the passive reply's.
uint16_t targetPort(const Channel* channel) {
  return onData(channel) ? channel->dataPort : channel->serverPort;
}

// A proxy's refusal ends the connection it was asked for; a data connection's failure leaves
// the control connection as it is.
int32_t failProxy(Channel* channel, int32_t sockCode, int32_t rokCode, const char* reason) {
  if (reason != nullptr) logLine(channel, "Proxy refused: %s\r\n", reason);
  bool data = onData(channel);
  int32_t result = errorExit(channel, sockCode, rokCode);
  if (data) {
    netCloseDataSockets(channel, 0);
  } else {
    netCloseControl(channel, 0);
  }
  return result;
}

int32_t refuse(Channel* channel, const char* reason) {
  return failProxy(channel, 0, DAP_ERR_PROXY_REFUSED, reason);
}

// A proxy that hangs up during its handshake has refused; a reset is the socket's failure.
int32_t failReceive(Channel* channel, int32_t received) {
  if (received == DAP_ERR_SOCKET_CLOSED) return refuse(channel, "it closed the connection");
  return failProxy(channel, received, 0, nullptr);
}

int32_t sendMessage(Channel* channel, uint32_t length, uint32_t wanted, int32_t next) {
  int32_t sent = netSend(proxySocket(channel), channel->proxyBuffer, static_cast<int32_t>(length));
  if (sent < 0) return failProxy(channel, sent, DAP_ERR_SEND_FAILED, nullptr);
  channel->proxyHave = 0;
  channel->proxyWanted = wanted;
  goTo(channel, next);
  return kStepDone;
}

// Takes exactly the bytes wanted, never the server's first bytes behind them: 1 once they are
// all in, 0 while some are missing, or the error exit's result.
int32_t receiveWanted(Channel* channel) {
  uint32_t missing = channel->proxyWanted - channel->proxyHave;
  int32_t received = netReceive(proxySocket(channel), channel->proxyBuffer + channel->proxyHave,
                                static_cast<int32_t>(missing));
  if (received < 0) return failReceive(channel, received);
  channel->proxyHave += static_cast<uint32_t>(received);
  return channel->proxyHave == channel->proxyWanted ? 1 : 0;
}

const unsigned char* reply(const Channel* channel) {
  return reinterpret_cast<const unsigned char*>(channel->proxyBuffer);
}

// The handshake is over: the connection now leads to the server.
int32_t finishProxy(Channel* channel, uint32_t now) {
  logWrite(channel, "Proxy connected\r\n");
  if (onData(channel)) {
    channel->deadlineTick = tickAfter(now, settings.replyTimeout);
    channel->nextState = 902;
    return kStepDone;
  }
  channel->repliesOwed = 1;  // the greeting
  channel->nextState = 102;
  return kStepDone;
}

int32_t startHandshake(Channel* channel) {
  channel->nextState = channel->proxy.kind == kProxyHttp ? kSendHttpConnect : kSendSocksGreeting;
  return kStepDone;
}
}  // namespace

int32_t startProxyHandshake(Channel* channel, uint32_t) {
  return startHandshake(channel);
}

int32_t startDataProxyHandshake(Channel* channel, uint32_t now) {
  channel->deadlineTick = tickAfter(now, settings.connectTimeout);
  int32_t step = channel->proxy.kind == kProxyHttp ? kSendHttpConnect : kSendSocksGreeting;
  channel->nextState = step + kDataProxyOffset;
  return kStepDone;
}

// ---- SOCKS5 ----

int32_t stateSendSocksGreeting(Channel* channel, uint32_t) {
  copyText(channel->commandBuffer, "SOCKS5 greeting", kLineBufferSize - 1);
  auto* message = reinterpret_cast<unsigned char*>(channel->proxyBuffer);
  return sendMessage(channel, netSocksGreeting(&channel->proxy, message), 2, kReadSocksMethod);
}

// VER 5 and the method the proxy chose among those offered.
int32_t stateReadSocksMethod(Channel* channel, uint32_t) {
  int32_t complete = receiveWanted(channel);
  if (complete <= 0) return complete;
  if (reply(channel)[0] != 5) return refuse(channel, "not a SOCKS5 proxy");
  unsigned char method = reply(channel)[1];
  bool credentials = channel->proxy.user[0] != '\0';
  if (method == kMethodNone)
    goTo(channel, kSendSocksConnect);
  else if (method == kMethodPassword && credentials)
    goTo(channel, kSendSocksCredentials);
  else
    return refuse(channel, "no acceptable authentication method");
  return kStepDone;
}

int32_t stateSendSocksLogin(Channel* channel, uint32_t) {
  platFormat(channel->commandBuffer, "SOCKS5 user %s", channel->proxy.user);
  auto* message = reinterpret_cast<unsigned char*>(channel->proxyBuffer);
  uint32_t length = netSocksCredentials(&channel->proxy, message);
  int32_t result = sendMessage(channel, length, 2, kReadSocksAuthentication);
  // The password leaves no trace in the record once it has gone.
  for (uint32_t i = 0; i < length; ++i) channel->proxyBuffer[i] = '\0';
  return result;
}

int32_t stateReadSocksLogin(Channel* channel, uint32_t) {
  int32_t complete = receiveWanted(channel);
  if (complete <= 0) return complete;
  if (reply(channel)[1] != 0) return refuse(channel, "user name or password rejected");
  goTo(channel, kSendSocksConnect);
  return kStepDone;
}

int32_t stateSendSocksConnect(Channel* channel, uint32_t) {
  platFormat(channel->commandBuffer, "SOCKS5 CONNECT %s port %d", channel->serverName,
             static_cast<int>(targetPort(channel)));
  auto* message = reinterpret_cast<unsigned char*>(channel->proxyBuffer);
  uint32_t length = netSocksConnect(channel->serverName, targetPort(channel), message);
  return sendMessage(channel, length, 5, kReadSocksConnect);
}

// VER REP RSV ATYP BND.ADDR BND.PORT: the first five bytes tell the reply's length.
int32_t stateReadSocksConnect(Channel* channel, uint32_t now) {
  int32_t complete = receiveWanted(channel);
  if (complete <= 0) return complete;
  if (channel->proxyWanted == 5) {
    uint32_t length = netSocksReplyLength(reply(channel));
    if (length == 0) return refuse(channel, "not a SOCKS5 reply");
    uint32_t code = reply(channel)[1];
    if (code != 0) {
      char reason[96];
      platFormat(reason, "SOCKS5 reply %d, %s", static_cast<int>(code), netSocksReplyText(code));
      return refuse(channel, reason);
    }
    channel->proxyWanted = length;
    return kStepDone;
  }
  return finishProxy(channel, now);
}

// ---- HTTP CONNECT ----

int32_t stateSendHttpConnect(Channel* channel, uint32_t) {
  uint32_t length = netHttpConnect(&channel->proxy, channel->serverName, targetPort(channel),
                                   channel->proxyBuffer);
  // The log shows the request line, never the credentials after it.
  uint32_t lineEnd = 0;
  while (channel->proxyBuffer[lineEnd] != '\r') ++lineEnd;
  copyText(channel->commandBuffer, channel->proxyBuffer, static_cast<int32_t>(lineEnd));
  channel->proxyStatus = 0;
  channel->proxyLineCut = 0;
  int32_t result = sendMessage(channel, length, 0, kReadHttpReply);
  for (uint32_t i = 0; i < length; ++i) channel->proxyBuffer[i] = '\0';
  return result;
}

// One line of the reply per step, up to the blank line that ends its header: what follows
// belongs to the server. A status other than 2xx ends the handshake at once.
int32_t stateReadHttpReply(Channel* channel, uint32_t now) {
  char* line = channel->proxyBuffer;
  int32_t received = netReceivePart(proxySocket(channel), line + channel->proxyHave,
                                    static_cast<int32_t>(kProxyBufferSize - channel->proxyHave));
  if (received < 0) return failReceive(channel, received);
  if (received == 0) return kStepDone;
  channel->proxyHave += static_cast<uint32_t>(received);
  if (line[channel->proxyHave - 1] != '\n') {
    // A header line longer than the buffer is skipped; only its start could be the status.
    if (channel->proxyHave >= kProxyBufferSize - 1) {
      channel->proxyHave = 0;
      channel->proxyLineCut = 1;
    }
    return kStepDone;
  }
  bool lineStart = channel->proxyLineCut == 0;
  uint32_t length = channel->proxyHave;
  channel->proxyHave = 0;
  channel->proxyLineCut = 0;
  if (lineStart && channel->proxyStatus == 0) {
    copyText(channel->responseBuffer, line, static_cast<int32_t>(length));
    channel->proxyStatus = netHttpStatus(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
    line[length] = '\0';
    if (channel->proxyStatus < 200 || channel->proxyStatus > 299) return refuse(channel, line);
    return kStepDone;
  }
  bool blank = lineStart && (length == 1 || (length == 2 && line[0] == '\r'));
  return blank ? finishProxy(channel, now) : kStepDone;
}
