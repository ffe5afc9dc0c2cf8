// A connected pair of local stream sockets standing in for a connection the library holds:
// a socketpair on POSIX, or loopback TCP, which is all Windows has.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace ftptest {

class LocalPair {
 public:
  enum class Kind { Local, Tcp };
  explicit LocalPair(Kind kind = Kind::Local);
  ~LocalPair();
  LocalPair(const LocalPair&) = delete;
  LocalPair& operator=(const LocalPair&) = delete;

  bool valid() const { return ends_[0] != kPlatInvalidSocket && ends_[1] != kPlatInvalidSocket; }
  // End 0 is the library's side, end 1 the peer's.
  PlatSocket end(int index) const { return ends_[index]; }
  // A handle of end 0 of its own, which the library may close without touching end(0).
  PlatSocket engineEnd() const;

  bool fill() const;  // writes to end 0 until it takes no more; false if that never happens
  // Everything end 1 has received, read until nothing more arrives.
  std::string drain() const;
  int sendFromPeer(std::string_view bytes) const;  // byte count or -1
  // Closes end 1 such that the next write to end 0 fails.
  void closePeer();
  bool sendUrgentFromPeer(char byte) const;
  bool waitUrgent(int timeoutMs) const;  // true once end 0 has urgent data

 private:
  Kind kind_;
  PlatSocket ends_[2] = {kPlatInvalidSocket, kPlatInvalidSocket};
};

// The local host name as the socket layer reports it.
std::string localHostName();

}  // namespace ftptest
