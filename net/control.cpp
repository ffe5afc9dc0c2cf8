// The FTP command sender and reply reader. A reply is complete on a line whose code is
// followed by a blank ("230 Logged in"), or on a bare code; "230-Welcome" and lines that
// begin with a blank belong to a multi-line reply.
#include "dap32.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
constexpr uint32_t kNextPartWait = 500;
constexpr int kMostCodeDigits = 10;

// A control connection that fails reads as closed, as it always has: callers rely on -1 there.
int32_t controlEnd(int32_t received) {
  return received < 0 ? DAP_ERR_SOCKET_CLOSED : received;
}

// As much of text as still fits the reply buffer with its NUL.
void appendToReply(Channel* channel, const char* text, uint32_t count) {
  uint32_t room = channel->commandReplySize - 1 - channel->commandReplyLength;
  if (count > room) count = room;
  char* end = channel->commandReply + channel->commandReplyLength;
  for (uint32_t i = 0; i < count; ++i) end[i] = text[i];
  end[count] = '\0';
  channel->commandReplyLength += count;
}

// dapCommand's buffer takes every line of the reply, without its line end, CR LF between them.
void keepReplyLine(Channel* channel, const char* line, bool first) {
  if (channel->commandReply == nullptr || channel->commandReplySize == 0) return;
  if (first) {
    channel->commandReplyLength = 0;
    channel->commandReply[0] = '\0';
  } else {
    appendToReply(channel, "\r\n", 2);
  }
  uint32_t length = textLength(line);
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
  appendToReply(channel, line, length);
}
}  // namespace

int32_t netSendCommand(PlatSocket socket, const char* command, TlsConnection* tls) {
  int32_t length = 0;
  while (command[length] != '\0') ++length;
  int32_t sent = netSend(socket, command, length, tls);
  if (sent <= 0) return sent;
  int32_t lineEnd = netSend(socket, "\r\n", 2, tls);
  return lineEnd > 0 ? sent + lineEnd : lineEnd;
}

// A line cut short by the end of the connection is no line: the result is then -1. A line
// whose rest has not come by the deadline gives -22, however steadily its parts trickle in;
// only a pause of nextWait that ends before the deadline makes the text read so far the line.
int32_t netReceiveLine(PlatSocket socket, char* buffer, int32_t size, uint32_t firstWait,
                       uint32_t nextWait, uint32_t deadline, TlsConnection* tls) {
  if (netWaitReadable(socket, firstWait, tls) == 0) return 0;
  int32_t length = netReceivePart(socket, buffer, size, tls);
  if (length <= 0) return controlEnd(length);
  while (length < size - 1 && buffer[length - 1] != '\n') {
    int32_t left = static_cast<int32_t>(deadline - platTicks());
    if (left < 0) return DAP_ERR_TIMED_OUT;
    bool deadlineFirst = static_cast<uint32_t>(left) <= nextWait;
    if (netWaitReadable(socket, deadlineFirst ? static_cast<uint32_t>(left) : nextWait, tls) == 0) {
      if (deadlineFirst) return DAP_ERR_TIMED_OUT;
      break;
    }
    // A part of 0 (the poll saw data that a read then did not find) just waits again.
    int32_t part = netReceivePart(socket, buffer + length, size - length, tls);
    if (part < 0) return controlEnd(part);
    length += part;
  }
  buffer[length] = '\0';
  return length;
}

// The code is the number that the leading digits make, however many there are; one too large
// for 32 bits counts as the largest, so that it never passes for a small or negative code.
int32_t netReplyCode(Channel* channel) {
  const char* line = channel->responseBuffer;
  constexpr uint32_t kLargestCode = 0x7FFFFFFF;
  uint32_t code = 0;
  int digits = 0;
  for (; line[digits] >= '0' && line[digits] <= '9'; ++digits) {
    uint32_t digit = static_cast<uint32_t>(line[digits] - '0');
    code = code > (kLargestCode - digit) / 10 ? kLargestCode : code * 10 + digit;
  }
  // Past the separator and one more character: just inside the quote of 257 "/dir". Text
  // starts one character after the tenth digit of a longer number. Never past the end of the
  // line.
  int counted = digits < kMostCodeDigits ? digits : kMostCodeDigits;
  const char* text = line + counted;
  int skip = counted == kMostCodeDigits ? 1 : 2;
  for (; skip > 0 && *text != '\0'; --skip) ++text;
  channel->responseText = text;
  return static_cast<int32_t>(code);
}

// Reads one whole reply; the intermediate lines go to the log, the last stays in
// responseBuffer. The wait is bounded by the channel's deadline, or by replyTimeout when no
// deadline is set.
int32_t netReadReply(Channel* channel) {
  if (channel->controlSocket == 0) return 1;
  uint32_t deadline =
      channel->deadlineTick != 0 ? channel->deadlineTick : platTicks() + settings.replyTimeout;
  char* line = channel->responseBuffer;
  bool firstLine = true;
  for (;;) {
    // Only a reply that has not begun to arrive is waited for; one already waiting is read at
    // once instead of costing a pollSleep per line.
    PlatSocket socket = channel->controlSocket;
    if (netWaitReadable(socket, 0, channel->controlTls) != 1) platSleep(settings.pollSleep);
    int32_t length = netReceiveLine(socket, line, kLineBufferSize, 0, kNextPartWait, deadline,
                                    channel->controlTls);
    if (length < 0) return length;
    if (length > 0 && channel->keepReplyText != 0) {
      keepReplyLine(channel, line, firstLine);
      firstLine = false;
    }
    if (length > 0 && line[0] == ' ') {
      logLine(channel, "c: %s", line);
    } else if (length > 0) {
      channel->serverCode = netReplyCode(channel);
      if (channel->serverCode > 400) {
        logLine(channel, "FtpResponse: [%s] Code=%d\r\n", line,
                static_cast<int>(channel->serverCode));
      }
      if (channel->serverCode >= 500) return DAP_ERR_SERVER_REFUSED;
      if (length == 3 || (length > 3 && line[3] == ' ')) return length;
      logLine(channel, "r: %s", line);
    }
    if (tickBefore(deadline, platTicks())) return DAP_ERR_TIMED_OUT;
  }
}
