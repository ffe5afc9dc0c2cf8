// The operation entry pattern and the session operations dapConnect, dapClose, dapAbort.
#include "api/operation.h"

#include "dap32.h"
#include "engine/engine.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
// Drives the engine until it ends; between steps the processor is yielded, since a waiting
// state polls once and returns at once.
int32_t driveToEnd(Channel* channel) {
  int32_t result;
  while ((result = dapDriver(channel->channelIndex)) > 0) platSleep(0);
  return result;
}
}  // namespace

Channel* beginOperation(int32_t chan, const char* entryLine, int32_t* error) {
  Channel* channel = channelFor(chan, error);
  if (channel != nullptr) logWrite(channel, entryLine);
  return channel;
}

int32_t runOperation(Channel* channel, int32_t entryState) {
  armEngine(channel, entryState);
  return channel->autoCall != 0 ? driveToEnd(channel) : 0;
}

int32_t DAP_CALL dapConnect(int32_t chan, const char* server, const char* user,
                            const char* password) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapConnect\r\n", &error);
  if (channel == nullptr) return error;
  if (server == nullptr) return DAP_ERR_NO_SERVER_NAME;
  if (user == nullptr) return DAP_ERR_NO_USER;
  if (password == nullptr) return DAP_ERR_NO_PASSWORD;
  copyPrintable(channel->serverName, server, kNameSize);
  copyPrintable(channel->userName, user, kNameSize);
  copyPrintable(channel->password, password, kNameSize);
  // A reconnect must not leak the previous control connection.
  netCloseControl(channel, 0);
  channel->pendingFlag = 0;
  channel->lastSocketCode = 0;
  return runOperation(channel, kStateConnect);
}

// The control socket is closed whatever the quit exchange's result. A channel without a
// control connection has nothing to quit.
int32_t DAP_CALL dapClose(int32_t chan) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapClose\r\n", &error);
  if (channel == nullptr) return error;
  bool connected = channel->controlSocket > 0;
  channel->lastSocketCode = 0;
  channel->pendingFlag = connected ? 1 : 0;
  armEngine(channel, connected ? kStateQuit : kStateIdle);
  if (channel->autoCall == 0) return 0;
  int32_t result = connected ? driveToEnd(channel) : 0;
  // What a failed transfer left open ends with the session.
  netCloseTransfer(channel, 0);
  netCloseControl(channel, kPauseAfterUpload);
  logClose(channel);
  return result;
}

// Sockets, files and logs stay as they are, as they always have; the TLS connections' memory is
// freed, the sockets under them untouched.
int32_t DAP_CALL dapRelease(void) {
  for (uint32_t index = 0; index < channelCount; ++index) {
    netCloseControlTls(channelTable[index], false);
  }
  releaseLibrary();
  return 1;
}

int32_t DAP_CALL dapAbort(int32_t chan) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapAbort\r\n", &error);
  if (channel == nullptr) return error;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  channel->nextState = kStateIdle;
  netCloseTransfer(channel, kPauseAfterUpload);
  return 1;
}
