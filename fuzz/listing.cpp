// The listing state on a data connection that delivers the input after a two-byte buffer
// size: the pieces stored in a caller's buffer of exactly that size must stay inside it,
// NUL-terminated, and the count must be the text's length.
#include <cstring>
#include <vector>

#include "dap32.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Channel* channel = fuzz::channel();
  size_t bufferSize = (data[0] | data[1] << 8) % 4096;
  fuzz::ServedBytes served(data + 2, size - 2);
  std::vector<char> buffer(bufferSize, 'X');
  channel->dataSocket = served.end();
  channel->listBuffer = buffer.data();
  channel->listBufferSize = static_cast<uint32_t>(bufferSize);
  channel->listLength = 0;
  channel->nextState = 807;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  // One piece per step, each at least a byte; the end of the data moves on to 808.
  for (size_t steps = 0; steps <= size && channel->nextState == 807; ++steps) dapDriver(0);
  fuzz::require(channel->nextState == 808, "the listing ends with its data");
  if (channel->listLength > 0) {
    fuzz::require(static_cast<size_t>(channel->listLength) < bufferSize,
                  "the text and its NUL fit");
    fuzz::require(strnlen(buffer.data(), bufferSize) == static_cast<size_t>(channel->listLength),
                  "the count is the stored text's length");
  }
  channel->dataSocket = 0;
  channel->nextState = 0;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  fuzz::checkBlocks();
  return 0;
}
