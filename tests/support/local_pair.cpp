#include "support/local_pair.h"

#include <chrono>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace ftptest {
namespace {

// A peer that has been sent nothing for this long is taken to have nothing more on the way.
constexpr int kQuietMs = 50;
constexpr int kDrainLimitMs = 5000;

#ifdef _WIN32
using Native = SOCKET;
constexpr int kNoSignal = 0;

void startSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
void closeNative(PlatSocket s) {
  closesocket(static_cast<Native>(s));
}
void setNonBlocking(PlatSocket s, bool on) {
  u_long value = on ? 1 : 0;
  ioctlsocket(static_cast<Native>(s), FIONBIO, &value);
}
bool wouldBlock() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}
// readable, or with urgent, has out-of-band data
bool waitFor(PlatSocket s, bool urgent, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<Native>(s), &set);
  timeval wait = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, urgent ? nullptr : &set, nullptr, urgent ? &set : nullptr, &wait) > 0;
}
#else
using Native = int;
constexpr int kNoSignal = MSG_NOSIGNAL;

void startSockets() {}
void closeNative(PlatSocket s) {
  ::close(s);
}
void setNonBlocking(PlatSocket s, bool on) {
  const int flags = fcntl(s, F_GETFL, 0);
  fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}
bool wouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}
bool waitFor(PlatSocket s, bool urgent, int timeoutMs) {
  pollfd entry{s, static_cast<short>(urgent ? POLLPRI : POLLIN), 0};
  return poll(&entry, 1, timeoutMs) == 1;
}
#endif

PlatSocket asPlat(Native s) {
  return static_cast<PlatSocket>(s);
}

// Connects through a listener on 127.0.0.1 that is closed again at once.
bool connectTcp(PlatSocket ends[2]) {
  const Native listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
#ifdef _WIN32
  int length = sizeof address;
  if (listener == INVALID_SOCKET) return false;
#else
  socklen_t length = sizeof address;
  if (listener < 0) return false;
#endif
  bool ok = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (ok) {
    const Native client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ends[0] = asPlat(client);
    ok = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  if (ok) ends[1] = asPlat(accept(listener, nullptr, nullptr));
  closeNative(asPlat(listener));
  // 0 would read as "no socket" in the channel record; Windows never hands out 0 either.
  return ok && ends[0] > 0 && ends[1] > 0;
}

}  // namespace

LocalPair::LocalPair(Kind kind) : kind_(kind) {
  startSockets();
#ifdef _WIN32
  kind_ = Kind::Tcp;
#else
  if (kind_ == Kind::Local) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      ends_[0] = fds[0];
      ends_[1] = fds[1];
    }
    return;
  }
#endif
  if (!connectTcp(ends_)) {
    for (PlatSocket& end : ends_) {
      if (end != kPlatInvalidSocket) closeNative(end);
      end = kPlatInvalidSocket;
    }
  }
}

LocalPair::~LocalPair() {
  for (PlatSocket end : ends_) {
    if (end != kPlatInvalidSocket) closeNative(end);
  }
}

PlatSocket LocalPair::engineEnd() const {
#ifdef _WIN32
  WSAPROTOCOL_INFOA info;
  if (WSADuplicateSocketA(static_cast<Native>(ends_[0]), GetCurrentProcessId(), &info) != 0) {
    return kPlatInvalidSocket;
  }
  const Native copy =
      WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, 0);
  return copy == INVALID_SOCKET ? kPlatInvalidSocket : asPlat(copy);
#else
  return fcntl(ends_[0], F_DUPFD_CLOEXEC, 1);
#endif
}

bool LocalPair::fill() const {
  static char chunk[65536] = {};
  setNonBlocking(ends_[0], true);
  while (send(static_cast<Native>(ends_[0]), chunk, sizeof chunk, kNoSignal) > 0) {
  }
  const bool full = wouldBlock();
  setNonBlocking(ends_[0], false);
  return full;
}

std::string LocalPair::drain() const {
  std::string bytes;
  static char chunk[65536];
  setNonBlocking(ends_[1], true);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int count;
    while ((count = recv(static_cast<Native>(ends_[1]), chunk, sizeof chunk, 0)) > 0) {
      bytes.append(chunk, count);
    }
    // A socketpair moves everything at once; TCP sends the rest as the window opens.
    if (kind_ == Kind::Local || !waitFor(ends_[1], false, kQuietMs)) break;
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(kDrainLimitMs)) break;
  }
  setNonBlocking(ends_[1], false);
  return bytes;
}

int LocalPair::sendFromPeer(std::string_view bytes) const {
  return send(static_cast<Native>(ends_[1]), bytes.data(), static_cast<int>(bytes.size()),
              kNoSignal);
}

void LocalPair::closePeer() {
  if (kind_ == Kind::Tcp) {
    // A reset, not an orderly close: only then does the next write to end 0 fail.
    linger abortive{};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(static_cast<Native>(ends_[1]), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&abortive), sizeof abortive);
  }
  closeNative(ends_[1]);
  ends_[1] = kPlatInvalidSocket;
  waitFor(ends_[0], false, kDrainLimitMs);  // the reset has arrived
}

bool LocalPair::sendUrgentFromPeer(char byte) const {
  return send(static_cast<Native>(ends_[1]), &byte, 1, MSG_OOB | kNoSignal) == 1;
}

bool LocalPair::waitUrgent(int timeoutMs) const {
  return waitFor(ends_[0], true, timeoutMs);
}

std::string localHostName() {
  startSockets();
  char name[2048] = "";
  gethostname(name, sizeof name - 1);
  return name;
}

}  // namespace ftptest
