// The PWD state on a connection that delivers the input: the reply read, the directory taken
// from it ("257 "/pub" is current directory.") into the 128-character server directory.
#include "dap32.h"
#include "frame/text.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Channel* channel = fuzz::channel();
  fuzz::ServedBytes served(data, size);
  channel->controlSocket = served.end();
  channel->serverDir[0] = '\0';
  channel->nextState = 522;
  channel->resumeTick = 0;
  channel->deadlineTick = 0;
  int32_t result = 522;
  // One reply per step at most; the end of the input ends the state with -1.
  for (size_t steps = 0; steps <= size + 1 && result == 522; ++steps) result = dapDriver(0);
  fuzz::require(result <= 0, "the PWD state ends once the input has");
  fuzz::require(textLength(channel->serverDir) <= kNameSize, "the directory fits its block");
  channel->controlSocket = 0;
  channel->nextState = 0;
  fuzz::checkBlocks();
  return 0;
}
