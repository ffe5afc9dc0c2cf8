// Socket primitives. Every readiness test is one poll with a zero time-out under the global
// lock; reads are issued only after a poll has reported data, so no read ever waits.
#include "dap32.h"
#include "frame/log.h"
#include "net/net.h"
#include "tls/tls.h"

int32_t netOpenSocket() {
  platLockEnter();
  PlatSocket socket = platSocketOpen();
  platLockLeave();
  return socket < 0 ? DAP_ERR_INVALID_SOCKET : socket;
}

int32_t rokStatus(PlatSocket socket, int32_t mode) {
  if (mode < kPollReadable || mode > kPollException) return DAP_ERR_BAD_STATUS_FLAG;
  platLockEnter();
  bool ready = platSocketPoll(socket, static_cast<PlatPollMode>(mode));
  platLockLeave();
  return ready ? 1 : 0;
}

namespace {
// The clock starts at the first failed poll; a time-out of 0 is exactly one poll.
int32_t waitFor(PlatSocket socket, int32_t mode, uint32_t timeout) {
  uint32_t deadline = 0;
  bool deadlineSet = false;
  for (;;) {
    if (rokStatus(socket, mode) == 1) return 1;
    uint32_t now = platTicks();
    if (!deadlineSet) {
      deadline = now + timeout;
      deadlineSet = true;
    }
    if (!tickBefore(now, deadline)) return 0;
    platSleep(settings.pollSleep);
  }
}

int32_t failedReceive() {
  int32_t error = platSocketError();
  return error > 0 ? -error : DAP_ERR_SOCKET_READ;
}

int32_t receive(PlatSocket socket, char* buffer, int32_t size, bool peek, TlsConnection* tls) {
  // A socket that cannot be written at this moment is taken as closed.
  if (rokStatus(socket, kPollWritable) != 1) return DAP_ERR_SOCKET_CLOSED;
  if (netWaitReadable(socket, 0, tls) == 0) return 0;
  if (tls != nullptr) return tlsReceive(tls, buffer, size, peek);
  int32_t count = platSocketReceive(socket, buffer, size, peek);
  if (count == kPlatNothingYet) return 0;  // the data the poll saw is gone: nothing now
  if (count == 0) return DAP_ERR_SOCKET_CLOSED;
  // Only an orderly close is the end of the data; a reset is a failure with its own code.
  return count > 0 ? count : failedReceive();
}
}  // namespace

int32_t netWaitReadable(PlatSocket socket, uint32_t timeout, const TlsConnection* tls) {
  if (tlsPending(tls)) return 1;
  return waitFor(socket, kPollReadable, timeout);
}

int32_t netWaitWritable(PlatSocket socket, uint32_t timeout) {
  return waitFor(socket, kPollWritable, timeout);
}

int32_t netAwaitReady(PlatSocket socket, int32_t mode, uint32_t timeout) {
  return platSocketAwait(socket, static_cast<PlatPollMode>(mode), timeout) ? 1 : 0;
}

int32_t netPeek(PlatSocket socket, char* buffer, int32_t size, TlsConnection* tls) {
  return receive(socket, buffer, size, true, tls);
}

int32_t netReceive(PlatSocket socket, char* buffer, int32_t size, TlsConnection* tls) {
  return receive(socket, buffer, size, false, tls);
}

// Takes at most one line and at most size - 1 bytes, leaving the rest in the socket.
int32_t netReceivePart(PlatSocket socket, char* buffer, int32_t size, TlsConnection* tls) {
  int32_t peeked = netPeek(socket, buffer, size - 1, tls);
  if (peeked <= 0) return peeked;
  int32_t take = peeked;
  for (int32_t i = 0; i < peeked && buffer[i] != '\0'; ++i) {
    if (buffer[i] == '\n') {
      take = i + 1;
      break;
    }
  }
  int32_t count = netReceive(socket, buffer, take, tls);
  if (count > 0) buffer[count] = '\0';
  return count;
}

// A partial send is continued: bytes handed to the network are never dropped. Inside TLS a
// control connection's write takes every byte or fails.
int32_t netSend(PlatSocket socket, const char* data, int32_t length, TlsConnection* tls) {
  int32_t sent = 0;
  while (sent < length) {
    if (tls != nullptr) {
      int32_t count = tlsSend(tls, data + sent, length - sent);
      if (count <= 0) return count < 0 ? count : DAP_ERR_SOCKET_CLOSED;
      sent += count;
      continue;
    }
    int32_t count = platSocketSend(socket, data + sent, length - sent);
    if (count == 0) return -platSocketError();
    if (count < 0) return count;
    sent += count;
  }
  return sent;
}

// Sends only what the socket takes at once: 0 when it takes nothing now.
int32_t netSendAvailable(PlatSocket socket, const char* data, int32_t length, TlsConnection* tls) {
  if (tls != nullptr) return tlsSend(tls, data, length);
  return platSocketSendNoWait(socket, data, length);
}

int32_t netCloseSocket(PlatSocket socket, uint32_t pause) {
  while (platSocketBlocking()) platSleep(settings.pollSleep);
  platLockEnter();
  int32_t error = platSocketClose(socket);
  if (settings.closePause != 0) platSleep((pause & 0xFFFF) / 2);
  platLockLeave();
  return error != 0 ? -error : 1;
}

void closeLocalFile(Channel* channel) {
  if (channel->localFile == 0) return;
  platFileClose(channel->localFile);
  channel->localFile = 0;
  channel->truncateOnAccept = 0;
  logWrite(channel, "Closing file\r\n");
}

// A data connection still in TLS here was abandoned: it goes without a word.
void netCloseDataSockets(Channel* channel, uint32_t pause) {
  netCloseDataTls(channel, false);
  if (channel->listenSocket != 0) {
    logWrite(channel, "Closing listener socket\r\n");
    netCloseSocket(channel->listenSocket, pause);
    channel->listenSocket = 0;
  }
  if (channel->dataSocket != 0) {
    logWrite(channel, "Closing data socket\r\n");
    netCloseSocket(channel->dataSocket, pause);
    channel->dataSocket = 0;
  }
}

// A handle left negative by a socket that could not be created has nothing to close. Nothing is
// owed on a connection that is gone.
void netCloseControl(Channel* channel, uint32_t pause) {
  netCloseControlTls(channel, true);
  if (channel->controlSocket > 0) {
    logWrite(channel, "Closing control socket\r\n");
    netCloseSocket(channel->controlSocket, pause);
  }
  channel->controlSocket = 0;
  channel->repliesOwed = 0;
}

void netCloseTransfer(Channel* channel, uint32_t pause) {
  closeLocalFile(channel);
  netCloseDataSockets(channel, pause);
}
