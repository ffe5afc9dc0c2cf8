// The single-command states: CWD, PWD, DELE, RMD, MKD and TYPE, each a command and its
// reply. No reply code below 500 is examined; the caller can read it with dapGetInteger.
// dapCommand's command, whose final reply the caller judges, whatever its code.
#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
int32_t sendWithArgument(Channel* channel, uint32_t now, const char* verb, const char* argument,
                         int32_t replyState) {
  channel->responseBuffer[0] = '\0';
  platFormat(channel->commandBuffer, "%s %s", verb, argument);
  return sendCommandAwaitReply(channel, now, replyState);
}

// The first blank, tab, CR or NUL.
char* endOfToken(char* text) {
  while (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\0') ++text;
  return text;
}

constexpr int32_t kLowestReplyCode = 100;
constexpr int32_t kHighestReplyCode = 599;

// Commands are case-insensitive: "pass secret" is a password too.
bool isPassword(const char* command) {
  const char* verb = "PASS";
  for (int i = 0; i < 4; ++i) {
    char c = command[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != verb[i]) return false;
  }
  return command[4] == ' ' || command[4] == '\0';
}
}  // namespace

int32_t stateSendCwd(Channel* channel, uint32_t now) {
  return sendWithArgument(channel, now, "CWD", channel->serverDir, 502);
}

int32_t stateSendPwd(Channel* channel, uint32_t now) {
  return sendOwnCommand(channel, now, "PWD", 522);
}

int32_t stateSendDele(Channel* channel, uint32_t now) {
  return sendWithArgument(channel, now, "DELE", channel->fileName, 542);
}

int32_t stateSendRmd(Channel* channel, uint32_t now) {
  return sendWithArgument(channel, now, "RMD", channel->fileName, 602);
}

int32_t stateSendMkd(Channel* channel, uint32_t now) {
  return sendWithArgument(channel, now, "MKD", channel->fileName, 611);
}

int32_t stateSendType(Channel* channel, uint32_t now) {
  channel->responseBuffer[0] = '\0';
  copyText(channel->commandBuffer, channel->binaryMode != 0 ? "TYPE I" : "TYPE A",
           kLineBufferSize - 1);
  return sendCommandAwaitReply(channel, now, 702);
}

int32_t readWaitingAnswer(Channel* channel) {
  if (netWaitReadable(channel->controlSocket, 0, channel->controlTls) == 0) return kStepDone;
  int32_t reply = readReply(channel);
  if (reply < 0 && reply != DAP_ERR_SERVER_REFUSED) return errorExit(channel, 0, reply);
  return 1;
}

int32_t stateReadCommandReply(Channel* channel, uint32_t) {
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  channel->nextState = kStateIdle;
  return kStepDone;
}

int32_t stateReadCwdReply(Channel* channel, uint32_t) {
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  logLine(channel, "Server directory is '%s'\r\n", channel->serverDir);
  channel->nextState = kStateIdle;
  return kStepDone;
}

// "257 "/pub/incoming" is current directory.": responseText starts just inside the quote;
// the directory ends at the first blank, and its closing quote is dropped. A multi-line
// reply is parsed from its last line.
int32_t stateReadPwdReply(Channel* channel, uint32_t) {
  int32_t replied = readWaitingReply(channel);
  if (replied <= 0) return replied;
  char* directory = channel->serverDir;
  copyText(directory, channel->responseText, kNameSize);
  char* end = endOfToken(directory);
  *end = '\0';
  if (end != directory && end[-1] == '"') end[-1] = '\0';
  logLine(channel, "Server directory is '%s'\r\n", directory);
  channel->nextState = kStateIdle;
  return kStepDone;
}

// The command waits in the record, since every driver call empties commandBuffer. A password
// typed here stays out of the log, as the login's does.
int32_t stateSendCommand(Channel* channel, uint32_t now) {
  channel->responseBuffer[0] = '\0';
  copyText(channel->commandBuffer, channel->commandText, kLineBufferSize - 1);
  int32_t result = sendCommandAwaitReply(channel, now, 562);
  if (isPassword(channel->commandText)) {
    copyText(channel->commandBuffer, "PASS ****", kLineBufferSize - 1);
  }
  return result;
}

// Each reply is read whole, its lines into the caller's buffer; a preliminary one ("150 Here it
// comes") is logged and read past, and the next reply fills the buffer afresh. A refusal is an
// answer like any other here: only a reply without a code of 100 to 599 fails.
int32_t stateReadFinalReply(Channel* channel, uint32_t now) {
  channel->keepReplyText = 1;
  int32_t replied = readWaitingAnswer(channel);
  channel->keepReplyText = 0;
  if (replied <= 0) return replied;
  int32_t code = channel->serverCode;
  if (isPreliminary(code)) {
    channel->deadlineTick = tickAfter(now, settings.replyTimeout);
    return kStepDone;
  }
  if (code < kLowestReplyCode || code > kHighestReplyCode) {
    return errorExit(channel, 0, DAP_ERR_SERVER_REFUSED);
  }
  channel->nextState = kStateIdle;
  return kStepDone;
}
