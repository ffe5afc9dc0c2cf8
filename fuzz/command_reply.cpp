// dapCommand's reply state on a connection that delivers the input after a two-byte buffer
// size: every line of a reply goes into a caller's buffer of exactly that size, CR LF between
// them, cut with its NUL inside the buffer and never past it; preliminary replies are read past.
#include <cstring>
#include <vector>

#include "dap32.h"
#include "fuzz/fuzz_support.h"

namespace {
constexpr size_t kGuardBytes = 16;
constexpr char kGuard = 'G';
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Channel* channel = fuzz::channel();
  size_t bufferSize = (data[0] | data[1] << 8) % 1024;
  fuzz::ServedBytes served(data + 2, size - 2);
  std::vector<char> buffer(bufferSize + kGuardBytes, kGuard);
  channel->controlSocket = served.end();
  channel->commandReply = buffer.data();
  channel->commandReplySize = static_cast<uint32_t>(bufferSize);
  channel->commandReplyLength = 0;
  channel->nextState = 562;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  int32_t result = 562;
  // Each step reads one reply of at least a byte; the end of the input ends the state with -1.
  for (size_t steps = 0; steps <= size && result == 562; ++steps) result = dapDriver(0);
  fuzz::require(result <= 0, "the state ends once the input has");
  for (size_t i = bufferSize; i < buffer.size(); ++i) {
    fuzz::require(buffer[i] == kGuard, "nothing is written past the buffer's size");
  }
  if (bufferSize > 0 && channel->commandReplyLength > 0) {
    fuzz::require(channel->commandReplyLength < bufferSize, "the text and its NUL fit");
    fuzz::require(strnlen(buffer.data(), bufferSize) == channel->commandReplyLength,
                  "the count is the stored text's length");
  }
  fuzz::require(result != 0 || (channel->serverCode >= 100 && channel->serverCode <= 599),
                "a reply the command ends with has a code from 100 to 599");
  channel->controlSocket = 0;
  channel->commandReply = nullptr;
  channel->nextState = 0;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  fuzz::checkBlocks();
  return 0;
}
