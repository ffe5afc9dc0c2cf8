// The single-command states: CWD, PWD, DELE, RMD, MKD and TYPE, each a command and its
// reply. No reply code below 500 is examined; the caller can read it with dapGetInteger.
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
}  // namespace

int32_t stateSendCwd(Channel* channel, uint32_t now) {
  return sendWithArgument(channel, now, "CWD", channel->serverDir, 502);
}

int32_t stateSendPwd(Channel* channel, uint32_t now) {
  channel->responseBuffer[0] = '\0';
  copyText(channel->commandBuffer, "PWD", kLineBufferSize - 1);
  return sendCommandAwaitReply(channel, now, 522);
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
