#include "fuzz/fuzz_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "dap32.h"
#include "frame/blocks.h"

namespace fuzz {

Channel* channel() {
  static Channel* attached = [] {
    require(dapAttach(1, 0) == 1, "dapAttach");
    require(dapSetString(0, DAP_STR_LOG_OPEN, "/dev/null") > 0, "log on /dev/null");
    settings.pollSleep = 0;
    settings.replyTimeout = 60000;
    return channelTable[0];
  }();
  return attached;
}

ServedBytes::ServedBytes(const uint8_t* data, size_t size) {
  require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends_) == 0, "socketpair");
  // Handle 0 means "none" in a record.
  require(ends_[0] != 0 && ends_[1] != 0, "a socket pair without descriptor 0");
  size_t sent = 0;
  while (sent < size) {
    ssize_t count = send(ends_[1], data + sent, size - sent, MSG_NOSIGNAL);
    require(count > 0, "the socket pair takes the whole input");
    sent += static_cast<size_t>(count);
  }
  shutdown(ends_[1], SHUT_WR);
}

ServedBytes::~ServedBytes() {
  close(ends_[0]);
  close(ends_[1]);
}

void checkBlocks() {
  for (uint32_t slot = 0; slot < kBlocksPerChannel; ++slot) {
    require(blockCheck(slot) == kBlockIntact, "a block's guard bytes were overwritten");
  }
}

void require(bool condition, const char* message) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", message);
  std::abort();
}

}  // namespace fuzz
