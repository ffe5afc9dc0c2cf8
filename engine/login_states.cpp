// What follows the login: the exchanges the channel's settings ask for once the PASS reply is
// in, chained in the order of one table, and the OPTS UTF8 exchange.
#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"

namespace {
// Each follow-up's last state calls stateAfterLogin with its own number, so the states of one
// follow-up lie below the next one's first.
struct LoginFollowUp {
  int32_t state;  // its first state
  bool (*wanted)(const Channel* channel);
};

bool wantsTls(const Channel* channel) {
  return channel->controlTls != nullptr;
}

bool wantsUtf8(const Channel* channel) {
  return channel->utf8Names != 0;
}

constexpr LoginFollowUp kAfterLogin[] = {
    {130, wantsTls},   // PBSZ 0 and PROT
    {150, wantsUtf8},  // OPTS UTF8 ON
};
}  // namespace

int32_t stateAfterLogin(const Channel* channel, int32_t done) {
  for (const LoginFollowUp& followUp : kAfterLogin) {
    if (followUp.state > done && followUp.wanted(channel)) return followUp.state;
  }
  return kStateIdle;
}

int32_t stateSendUtf8On(Channel* channel, uint32_t now) {
  return sendOwnCommand(channel, now, "OPTS UTF8 ON", 151);
}

// "200 Always in UTF8 mode." A server that refuses ("501 Invalid argument") may still take
// UTF-8 names, and the names' own replies tell the caller otherwise: the session goes on.
int32_t stateReadUtf8Reply(Channel* channel, uint32_t) {
  int32_t replied = readWaitingAnswer(channel);
  if (replied <= 0) return replied;
  if (channel->serverCode >= 400) {
    logLine(channel, "UTF8 not accepted (%d)\r\n", static_cast<int>(channel->serverCode));
  }
  channel->nextState = stateAfterLogin(channel, 151);
  return kStepDone;
}
