// What every harness shares: channel 0 of an attached library, logging to /dev/null so that
// hostile text also goes through the log formatting, and bytes served on a socket pair.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/channel.h"

namespace fuzz {

// Channel 0, attached on first use; no waits (pollSleep 0), deadlines far away.
Channel* channel();

// One end of a socket pair (for the library) whose other end has sent bytes and then ended
// the stream, so a reader sees them all and then the end; closed by the destructor.
class ServedBytes {
 public:
  ServedBytes(const uint8_t* data, size_t size);
  ~ServedBytes();
  ServedBytes(const ServedBytes&) = delete;
  ServedBytes& operator=(const ServedBytes&) = delete;
  PlatSocket end() const { return ends_[0]; }

 private:
  int ends_[2] = {-1, -1};
};

// Aborts (a crash for libFuzzer) unless every guard byte of channel 0's blocks is intact.
void checkBlocks();
// Aborts with the message unless the condition holds.
void require(bool condition, const char* message);

}  // namespace fuzz
