// Local stream sockets for tests: a connected pair standing in for a connection the library
// holds (a socketpair on POSIX, or loopback TCP, which is all Windows has), and plain loopback
// listeners and ports.
#pragma once

#include <cstdint>
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
  // Reset: closes end 1 such that the next write to end 0 fails (abortively, for TCP).
  // Orderly: end 0 reads the end of the stream after what was sent.
  enum class PeerClose { Reset, Orderly };
  void closePeer(PeerClose how = PeerClose::Reset);
  bool sendUrgentFromPeer(char byte) const;
  bool waitUrgent(int timeoutMs) const;  // true once end 0 has urgent data

 private:
  Kind kind_;
  PlatSocket ends_[2] = {kPlatInvalidSocket, kPlatInvalidSocket};
};

// The local host name as the socket layer reports it.
std::string localHostName();

// Blocking IPv4 TCP sockets on 127.0.0.1, as handles of the kind the channel records hold.
// Bound to port (0: any free one) and listening unless told otherwise; invalid on failure.
PlatSocket loopbackSocket(uint16_t port = 0, bool listening = true);
PlatSocket connectLoopback(uint16_t port);  // invalid if nothing accepts there
uint16_t localPortOf(PlatSocket socket);    // 0 if it has none
void closeSocket(PlatSocket socket);        // 0 and invalid handles are passed over
uint16_t unusedLoopbackPort();              // bound once and closed: nothing listens there
// What identifies the socket behind a handle while it is open, "" if none is: its kernel
// object on POSIX, its ports on Windows.
std::string socketIdentity(PlatSocket socket);
// Whether any handle of the process still refers to that socket; on Windows, which cannot
// list them, whether handle still does.
bool socketStillOpen(const std::string& identity, PlatSocket handle);
bool noDelayOn(PlatSocket socket);  // TCP_NODELAY is set

// Whether this Windows program runs under wine, whose sockets read a reset connection as an
// orderly close (the reset's error is taken by its server before the program's receive).
bool runningUnderWine();

// Whether the library's listener could bind port now (so a lingering TIME_WAIT does not
// count where the library binds with SO_REUSEADDR).
bool listenerCouldBind(uint16_t port);

}  // namespace ftptest
