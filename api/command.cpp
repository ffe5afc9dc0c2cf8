// dapCommand: a command of the caller's on the control connection, its final reply's code as
// the result and its text in the caller's buffer.
#include "api/operation.h"
#include "dap32.h"
#include "engine/engine.h"
#include "frame/text.h"

// The text is refused whole, never cut: a command cut short is another command.
int32_t DAP_CALL dapCommand(int32_t chan, const char* command, char* buffer, int32_t size) {
  int32_t error;
  Channel* channel = beginOperation(chan, "*** dapCommand\r\n", &error);
  if (channel == nullptr) return error;
  if (command == nullptr || (buffer != nullptr && size < 0)) return DAP_ERR_CANNOT_COMPLY;
  int32_t length = commandTextLength(command, kCommandTextLimit, channel->utf8Names != 0);
  if (length <= 0) return DAP_ERR_CANNOT_COMPLY;
  copyText(channel->commandText, command, length);
  channel->commandReply = buffer;
  channel->commandReplySize = buffer != nullptr ? static_cast<uint32_t>(size) : 0;
  channel->commandReplyLength = 0;
  if (channel->commandReplySize > 0) buffer[0] = '\0';
  int32_t result = runOperation(channel, kStateCommand);
  if (result < 0 || channel->autoCall == 0) return result;
  return channel->serverCode;
}
