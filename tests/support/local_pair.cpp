#include "support/local_pair.h"

#include <chrono>

#ifdef _WIN32
#include <winsock2.h>
// After winsock2.h, or it brings the old winsock.h.
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#endif

namespace ftptest {
namespace {

// A peer that has been sent nothing for this long is taken to have nothing more on the way.
constexpr int kQuietMs = 50;
constexpr int kDrainLimitMs = 5000;

#ifdef _WIN32
using Native = SOCKET;
using Length = int;
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
using Length = socklen_t;
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

sockaddr_in loopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

Native openNative() {
  startSockets();
#ifdef _WIN32
  return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#else
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#endif
}

// Connects through a listener on 127.0.0.1 that is closed again at once.
bool connectTcp(PlatSocket ends[2]) {
  const PlatSocket listener = loopbackSocket();
  ends[0] = connectLoopback(localPortOf(listener));
  if (ends[0] != kPlatInvalidSocket) {
    ends[1] = asPlat(accept(static_cast<Native>(listener), nullptr, nullptr));
  }
  closeSocket(listener);
  // 0 would read as "no socket" in the channel record; Windows never hands out 0 either.
  return ends[0] > 0 && ends[1] > 0;
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

void LocalPair::closePeer(PeerClose how) {
  if (kind_ == Kind::Tcp && how == PeerClose::Reset) {
    // Only after a reset, not an orderly close, does the next write to end 0 fail.
    linger abortive{};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(static_cast<Native>(ends_[1]), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&abortive), sizeof abortive);
  }
  closeNative(ends_[1]);
  ends_[1] = kPlatInvalidSocket;
  waitFor(ends_[0], false, kDrainLimitMs);  // the close has arrived
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

PlatSocket loopbackSocket(uint16_t port, bool listening) {
  const Native native = openNative();
  const PlatSocket s = asPlat(native);
  const sockaddr_in address = loopbackAddress(port);
  if (s == kPlatInvalidSocket ||
      bind(native, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      (listening && listen(native, 8) != 0)) {
    closeSocket(s);
    return kPlatInvalidSocket;
  }
  return s;
}

PlatSocket connectLoopback(uint16_t port) {
  const Native native = openNative();
  const PlatSocket s = asPlat(native);
  const sockaddr_in address = loopbackAddress(port);
  if (s == kPlatInvalidSocket ||
      connect(native, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    closeSocket(s);
    return kPlatInvalidSocket;
  }
  return s;
}

uint16_t localPortOf(PlatSocket socket) {
  sockaddr_in address{};
  Length length = sizeof address;
  if (socket == kPlatInvalidSocket ||
      getsockname(static_cast<Native>(socket), reinterpret_cast<sockaddr*>(&address), &length) !=
          0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

void closeSocket(PlatSocket socket) {
  if (socket != kPlatInvalidSocket && socket != 0) closeNative(socket);
}

uint16_t unusedLoopbackPort() {
  const PlatSocket s = loopbackSocket(0, false);
  const uint16_t port = localPortOf(s);
  closeSocket(s);
  return port;
}

bool listenerCouldBind(uint16_t port) {
  const Native native = openNative();
  const PlatSocket s = asPlat(native);
  if (s == kPlatInvalidSocket) return false;
#ifndef _WIN32
  const int reuse = 1;
  setsockopt(native, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
#endif
  const sockaddr_in address = loopbackAddress(port);
  const bool bound = bind(native, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  closeSocket(s);
  return bound;
}

#ifdef _WIN32
std::string socketIdentity(PlatSocket socket) {
  sockaddr_in local{};
  sockaddr_in peer{};
  Length length = sizeof local;
  if (socket <= 0 ||
      getsockname(static_cast<Native>(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return "";
  }
  length = sizeof peer;
  getpeername(static_cast<Native>(socket), reinterpret_cast<sockaddr*>(&peer), &length);
  return std::to_string(ntohs(local.sin_port)) + "-" + std::to_string(ntohs(peer.sin_port));
}

bool socketStillOpen(const std::string& identity, PlatSocket handle) {
  return !identity.empty() && socketIdentity(handle) == identity;
}
#else
std::string socketIdentity(PlatSocket socket) {
  std::error_code error;
  const std::string target =
      std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(socket), error).string();
  return target.rfind("socket:", 0) == 0 ? target : "";
}

bool socketStillOpen(const std::string& identity, PlatSocket) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).string() == identity) return true;
  }
  return false;
}
#endif

bool noDelayOn(PlatSocket socket) {
  int value = 0;
  Length length = sizeof value;
  return getsockopt(static_cast<Native>(socket), IPPROTO_TCP, TCP_NODELAY,
                    reinterpret_cast<char*>(&value), &length) == 0 &&
         value != 0;
}

bool runningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace ftptest
