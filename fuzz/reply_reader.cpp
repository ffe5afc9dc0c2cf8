// The reply reader on a connection that delivers the input and then ends: lines cut anywhere,
// CR without LF, NUL bytes, lines of 2047 bytes and more, multi-line replies. Every reply read
// must leave a NUL-terminated line in the response buffer and responseText inside it.
#include <cstring>

#include "dap32.h"
#include "fuzz/fuzz_support.h"
#include "net/net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Channel* channel = fuzz::channel();
  fuzz::ServedBytes served(data, size);
  channel->controlSocket = served.end();
  channel->deadlineTick = 0;
  // Each reply takes at least one byte; the end of the input ends the loop with -1.
  for (size_t replies = 0; replies <= size; ++replies) {
    int32_t result = netReadReply(channel);
    if (result < 0 && result != DAP_ERR_SERVER_REFUSED) break;
    size_t length = strnlen(channel->responseBuffer, kLineBufferSize);
    fuzz::require(length < kLineBufferSize, "the reply line has its NUL inside the buffer");
    fuzz::require(channel->responseText >= channel->responseBuffer &&
                      channel->responseText <= channel->responseBuffer + length,
                  "responseText points into the line");
    fuzz::require(channel->serverCode >= 0, "a reply code is never negative");
    fuzz::require(result == DAP_ERR_SERVER_REFUSED || channel->serverCode < 500,
                  "a code of 500 or more is a refusal");
  }
  channel->controlSocket = 0;
  fuzz::checkBlocks();
  return 0;
}
