// POSIX stand-in for the Windows interfaces: same results, same error numbers.
//
// Divisions: fault injection; handles and error mapping; lock; clock; memory; files;
// formatting; sockets; data path.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

const char kPathSeparator = '/';

// ---- Fault injection ----

// Every OS call that a test may make misbehave goes through a wrapper below, which consults
// one row of this table; a new kind of call needs a row and a wrapper. Test and fuzz builds
// only: a release library calls the OS directly.
namespace {
#if defined(DAP32_FAULT_INJECTION)
// Atomics, because any thread's call may count; unsigned, because a long-lived process makes
// billions of zero-time-out polls.
struct FaultPlan {
  std::atomic<uint32_t> calls{0};        // calls of this kind so far
  std::atomic<uint32_t> firstFaulty{0};  // number of the first call to fail; 0 none
  std::atomic<uint32_t> period{0};
  std::atomic<int32_t> error{0};
};
FaultPlan faultPlans[kPlatCallCount];

constexpr int kShortTransfer = 0;

// Counts the call; true when it is to fail, with the error (or kShortTransfer) in *error.
bool faultDue(PlatCall call, int* error) {
  FaultPlan& plan = faultPlans[call];
  uint32_t number = plan.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  uint32_t first = plan.firstFaulty.load(std::memory_order_relaxed);
  if (first == 0 || number < first) return false;
  uint32_t period = plan.period.load(std::memory_order_relaxed);
  if (number != first && (period == 0 || (number - first) % period != 0)) return false;
  *error = plan.error.load(std::memory_order_relaxed);
  return true;
}

// A failed call that gives no byte count fails; a short transfer does not apply to it.
bool callFails(PlatCall call) {
  int error;
  if (!faultDue(call, &error) || error == kShortTransfer) return false;
  errno = error;
  return true;
}

// For send, recv and write: the fault's error, or the length to move (at most half when short).
bool transferFails(PlatCall call, size_t* length) {
  int error;
  if (!faultDue(call, &error)) return false;
  if (error != kShortTransfer) {
    errno = error;
    return true;
  }
  if (*length > 1) *length /= 2;
  return false;
}

// The resolver reports its own codes instead of errno.
int resolverFault() {
  int error;
  return faultDue(kPlatCallResolve, &error) ? error : 0;
}
#else
constexpr bool callFails(PlatCall) {
  return false;
}
constexpr bool transferFails(PlatCall, size_t*) {
  return false;
}
constexpr int resolverFault() {
  return 0;
}
#endif

int failWith(int error) {
  errno = error;
  return -1;
}

// A send or receive that fails for real leaves its connection gone, so a test's failure does too.
ssize_t failConnection(int socket) {
  int error = errno;
  if (error != EINTR && error != EAGAIN) shutdown(socket, SHUT_RDWR);
  return failWith(error);
}

int sysSocket(int family) {
  if (callFails(kPlatCallSocket)) return -1;
  return socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}
int sysConnect(int socket, const sockaddr_storage* address, socklen_t length) {
  if (callFails(kPlatCallConnect)) return -1;
  return connect(socket, reinterpret_cast<const sockaddr*>(address), length);
}
int sysBind(int socket, const sockaddr_storage* address, socklen_t length) {
  if (callFails(kPlatCallBind)) return -1;
  return bind(socket, reinterpret_cast<const sockaddr*>(address), length);
}
int sysListen(int socket, int backlog) {
  if (callFails(kPlatCallListen)) return -1;
  return listen(socket, backlog);
}
int sysAccept(int socket, sockaddr_storage* peer) {
  if (callFails(kPlatCallAccept)) return -1;
  socklen_t length = sizeof *peer;
  return accept4(socket, reinterpret_cast<sockaddr*>(peer), &length, SOCK_CLOEXEC);
}
int sysLocalName(int socket, sockaddr_storage* local) {
  if (callFails(kPlatCallLocalName)) return -1;
  socklen_t length = sizeof *local;
  return getsockname(socket, reinterpret_cast<sockaddr*>(local), &length);
}
// The outcome of a connect that did not wait: 0, or -1 with its error in errno.
int sysConnectResult(int socket) {
  if (callFails(kPlatCallConnectResult)) return -1;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
  errno = error;
  return error == 0 ? 0 : -1;
}
int sysPoll(pollfd* entry, int timeout) {
  if (callFails(kPlatCallPoll)) return -1;
  return poll(entry, 1, timeout);
}
ssize_t sysSend(int socket, const void* data, size_t length, int flags) {
  if (transferFails(kPlatCallSend, &length)) return failConnection(socket);
  return send(socket, data, length, flags);
}
ssize_t sysRecv(int socket, void* buffer, size_t length, int flags) {
  if (transferFails(kPlatCallReceive, &length)) return failConnection(socket);
  return recv(socket, buffer, length, flags);
}
ssize_t sysWrite(int file, const void* data, size_t length) {
  if (transferFails(kPlatCallFileWrite, &length)) return -1;
  return write(file, data, length);
}
// The data path's kernel moves count as the receive and the file write they stand for.
ssize_t sysSpliceFromSocket(int socket, int pipeEnd, size_t length, unsigned flags) {
  if (transferFails(kPlatCallReceive, &length)) return failConnection(socket);
  return splice(socket, nullptr, pipeEnd, nullptr, length, flags);
}
ssize_t sysSpliceToFile(int pipeEnd, int file, size_t length) {
  if (transferFails(kPlatCallFileWrite, &length)) return -1;
  return splice(pipeEnd, nullptr, file, nullptr, length, SPLICE_F_MOVE);
}
int sysGetAddrInfo(const char* name, const addrinfo* hints, addrinfo** results) {
  if (int error = resolverFault()) return error;
  return getaddrinfo(name, nullptr, hints, results);
}
}  // namespace

#if defined(DAP32_FAULT_INJECTION)
void platInjectFault(PlatCall call, uint32_t nth, int32_t error, uint32_t period) {
  FaultPlan& plan = faultPlans[call];
  plan.error.store(error, std::memory_order_relaxed);
  plan.period.store(period, std::memory_order_relaxed);
  plan.firstFaulty.store(plan.calls.load(std::memory_order_relaxed) + nth,
                         std::memory_order_relaxed);
}

uint32_t platCallCount(PlatCall call) {
  return faultPlans[call].calls.load(std::memory_order_relaxed);
}

void platClearFaults() {
  for (FaultPlan& plan : faultPlans) {
    plan.firstFaulty.store(0, std::memory_order_relaxed);
    plan.calls.store(0, std::memory_order_relaxed);
  }
}
#endif

// ---- Handles and error mapping ----

namespace {

thread_local int32_t lastSocketError = 0;

// Windows Sockets numbers for the errno values sockets report, so that callers see the same
// codes and texts on every platform.
struct ErrnoMapping {
  int posix;
  int32_t windows;
};
constexpr ErrnoMapping kErrnoMappings[] = {
    {EINTR, 10004},         {EBADF, 10009},           {EACCES, 10013},
    {EPERM, 10013},         {EFAULT, 10014},          {EINVAL, 10022},
    {EMFILE, 10024},        {ENFILE, 10024},          {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10036},   {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},  {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},   {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},        {ENETUNREACH, 10051},
    {ENETRESET, 10052},     {ECONNABORTED, 10053},    {EPIPE, 10053},
    {ECONNRESET, 10054},    {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},       {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};

int32_t windowsErrorFor(int posixError) {
  for (const ErrnoMapping& mapping : kErrnoMappings) {
    if (mapping.posix == posixError) return mapping.windows;
  }
  return 10022;  // WSAEINVAL: nothing closer for an unexpected errno
}

int32_t recordErrno() {
  lastSocketError = windowsErrorFor(errno);
  return lastSocketError;
}

// 0 means "none" in the channel record, so a descriptor 0 is moved elsewhere.
int nonZeroDescriptor(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  close(fd);
  return moved;
}

uint32_t highestSocket = kPlatHighestSocket;

// A new socket's descriptor as the record keeps it: never 0, and within the handle limit that
// tests may lower to stand in for a handle too wide for 32 bits.
PlatSocket socketDescriptor(int fd) {
  fd = nonZeroDescriptor(fd);
  if (fd < 0 || static_cast<uint32_t>(fd) <= highestSocket) return fd;
  close(fd);
  lastSocketError = 10024;  // WSAEMFILE
  return kPlatUnusableSocket;
}

// Handles the records hold are positive; 0 and negative values never reach the OS, where
// 0 would be standard input.
bool rejectHandle(PlatSocket socket) {
  if (socket > 0) return false;
  lastSocketError = 10038;  // WSAENOTSOCK
  return true;
}

// The OS's form of an address, and back; the IPv4 calls build theirs from a PlatAddress too.
socklen_t socketAddressOf(const PlatAddress& address, sockaddr_storage* sa) {
  *sa = sockaddr_storage{};
  if (address.family == kPlatFamilyV6) {
    sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(sa);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(address.port);
    v6->sin6_scope_id = address.scope;
    memcpy(&v6->sin6_addr, address.bytes, 16);
    return sizeof *v6;
  }
  sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(sa);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(address.port);
  memcpy(&v4->sin_addr, address.bytes, 4);
  return sizeof *v4;
}

PlatAddress platAddressOf(const sockaddr_storage& sa) {
  PlatAddress address{};
  if (sa.ss_family == AF_INET6) {
    const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(&sa);
    address.family = kPlatFamilyV6;
    address.port = ntohs(v6->sin6_port);
    address.scope = v6->sin6_scope_id;
    memcpy(address.bytes, &v6->sin6_addr, 16);
  } else if (sa.ss_family == AF_INET) {
    const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(&sa);
    address.family = kPlatFamilyV4;
    address.port = ntohs(v4->sin_port);
    memcpy(address.bytes, &v4->sin_addr, 4);
  }
  return address;
}

PlatAddress ipv4Address(uint32_t address, uint16_t port) {
  PlatAddress result{};
  result.family = kPlatFamilyV4;
  result.port = port;
  uint32_t network = htonl(address);
  memcpy(result.bytes, &network, 4);
  return result;
}

uint32_t ipv4Of(const PlatAddress& address) {
  uint32_t network;
  memcpy(&network, address.bytes, 4);
  return ntohl(network);
}

int32_t allocationCountdown = 0;
pthread_mutex_t libraryLock;

}  // namespace

// ---- Lock ----

void platLockCreate() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&libraryLock, &attributes);
  pthread_mutexattr_destroy(&attributes);
}
void platLockEnter() {
  pthread_mutex_lock(&libraryLock);
}
void platLockLeave() {
  pthread_mutex_unlock(&libraryLock);
}
void platLockDelete() {
  pthread_mutex_destroy(&libraryLock);
}

// ---- Clock ----

uint32_t platTicks() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t milliseconds = static_cast<uint64_t>(now.tv_sec) * 1000u + now.tv_nsec / 1000000;
  return static_cast<uint32_t>(milliseconds);
}

void platSleep(uint32_t milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec pause{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// ---- Memory ----

PlatMemory platAllocZeroed(size_t size) {
  if (allocationCountdown > 0 && --allocationCountdown == 0) return nullptr;
  return calloc(1, size);
}
unsigned char* platMemoryLock(PlatMemory memory) {
  return static_cast<unsigned char*>(memory);
}
void platMemoryUnlock(PlatMemory) {}
void platMemoryFree(PlatMemory memory) {
  free(memory);
}
void platFailAllocation(int32_t countdown) {
  allocationCountdown = countdown;
}
void platLimitSocketHandles(uint32_t highest) {
  highestSocket = highest;
}

// ---- Files ----

PlatFile platFileCreate(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return fd < 0 ? kPlatFileError : nonZeroDescriptor(fd);
}

PlatFile platFileOpenWrite(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  return fd < 0 ? kPlatFileError : nonZeroDescriptor(fd);
}

int32_t platFileTruncate(PlatFile file) {
  if (ftruncate(file, 0) != 0 || lseek(file, 0, SEEK_SET) != 0) return -1;
  return 0;
}

PlatFile platFileOpenRead(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  return fd < 0 ? kPlatFileError : nonZeroDescriptor(fd);
}

PlatFile platFileOpenUtf8(const char* path, bool create) {
  return create ? platFileOpenWrite(path) : platFileOpenRead(path);
}

int64_t platFileSize(PlatFile file) {
  struct stat status;
  return fstat(file, &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
}

int32_t platFileSeek(PlatFile file, uint64_t offset) {
  off_t position = static_cast<off_t>(offset);
  return lseek(file, position, SEEK_SET) == position ? 0 : -1;
}

int32_t platFileRead(PlatFile file, void* buffer, uint32_t size) {
  ssize_t count;
  do {
    count = read(file, buffer, size);
  } while (count < 0 && errno == EINTR);
  return count < 0 ? -1 : static_cast<int32_t>(count);
}

// Like _lwrite, either everything is written or the call fails.
int32_t platFileWrite(PlatFile file, const void* data, uint32_t size) {
  const char* bytes = static_cast<const char*>(data);
  uint32_t written = 0;
  while (written < size) {
    ssize_t count = sysWrite(file, bytes + written, size - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return -1;
    written += static_cast<uint32_t>(count);
  }
  return static_cast<int32_t>(written);
}

void platFileClose(PlatFile file) {
  close(file);
}

uint32_t platCurrentDirectory(char* buffer, uint32_t size) {
  char path[4096];
  if (getcwd(path, sizeof path) == nullptr) return 0;
  size_t length = strlen(path);
  if (length + 1 > size) return 0;
  memcpy(buffer, path, length + 1);
  return static_cast<uint32_t>(length);
}

// ---- Formatting ----

int platFormatV(char* buffer, const char* format, va_list args) {
  int length = vsnprintf(buffer, kPlatFormatLimit + 1, format, args);
  if (length < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return length > kPlatFormatLimit ? kPlatFormatLimit : length;
}

int platFormat(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = platFormatV(buffer, format, args);
  va_end(args);
  return length;
}

// ---- Sockets ----

int32_t platSocketStartup(uint16_t) {
  return 0;
}
void platSocketCleanup() {}
const char* platSocketDescription() {
  return "POSIX sockets standing in for Windows Sockets 1.1";
}
int32_t platSocketError() {
  return lastSocketError;
}
bool platSocketBlocking() {
  return false;
}

PlatSocket platSocketOpen() {
  return platSocketOpenFamily(kPlatFamilyV4);
}

PlatSocket platSocketOpenFamily(uint16_t family) {
  int fd = sysSocket(family == kPlatFamilyV6 ? AF_INET6 : AF_INET);
  if (fd < 0) {
    recordErrno();
    return kPlatInvalidSocket;
  }
  return socketDescriptor(fd);
}

void platSocketNoDelay(PlatSocket socket) {
  int noDelay = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
}

// poll() instead of select(): no limit on descriptor numbers. Readable and writable also
// report a closed or failed connection, as select() does.
bool platSocketPoll(PlatSocket socket, PlatPollMode mode) {
  return platSocketAwait(socket, mode, 0);
}

// A signal that interrupts the wait does not lengthen it.
bool platSocketAwait(PlatSocket socket, PlatPollMode mode, uint32_t milliseconds) {
  if (socket <= 0) return false;
  constexpr short kEventsFor[] = {0, POLLIN, POLLOUT, POLLPRI};
  constexpr short kAlsoReady[] = {0, POLLHUP | POLLERR, POLLERR, 0};
  pollfd entry{socket, kEventsFor[mode], 0};
  const uint32_t start = platTicks();
  int ready;
  do {
    uint32_t spent = platTicks() - start;
    ready = sysPoll(&entry, spent < milliseconds ? static_cast<int>(milliseconds - spent) : 0);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  return (entry.revents & (kEventsFor[mode] | kAlsoReady[mode])) != 0;
}

// A blocking connect that a signal interrupts goes on in the background; it is waited for, as
// the caller expects a connect that has ended.
int32_t platSocketConnect(PlatSocket socket, uint32_t address, uint16_t port) {
  PlatAddress target = ipv4Address(address, port);
  return platSocketConnectAddress(socket, &target);
}

int32_t platSocketConnectAddress(PlatSocket socket, const PlatAddress* address) {
  if (rejectHandle(socket)) return lastSocketError;
  sockaddr_storage sa;
  socklen_t length = socketAddressOf(*address, &sa);
  int result = sysConnect(socket, &sa, length);
  while (result != 0 && (errno == EINTR || errno == EALREADY)) {
    pollfd entry{socket, POLLOUT, 0};
    if (errno == EALREADY && sysPoll(&entry, -1) < 0 && errno != EINTR) break;
    result = sysConnect(socket, &sa, length);
    if (result != 0 && errno == EISCONN) return 0;
  }
  return result == 0 ? 0 : recordErrno();
}

// A connect interrupted by a signal goes on in the background, as one under way does.
int32_t platSocketConnectStart(PlatSocket socket, const PlatAddress* address) {
  if (rejectHandle(socket)) return lastSocketError;
  int flags = fcntl(socket, F_GETFL);
  if (flags == -1 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) return recordErrno();
  sockaddr_storage sa;
  socklen_t length = socketAddressOf(*address, &sa);
  if (sysConnect(socket, &sa, length) == 0 || errno == EINPROGRESS || errno == EINTR) return 0;
  return recordErrno();
}

int32_t platSocketConnectResult(PlatSocket socket) {
  if (rejectHandle(socket)) return lastSocketError;
  int outcome = sysConnectResult(socket);
  int32_t error = outcome == 0 ? 0 : recordErrno();
  int flags = fcntl(socket, F_GETFL);
  if (flags != -1) fcntl(socket, F_SETFL, flags & ~O_NONBLOCK);
  return error;
}

// The listener may reuse a port whose earlier data connection lingers in TIME_WAIT, which
// Windows allows without asking; Linux would fail with address-in-use.
int32_t platSocketBind(PlatSocket socket, uint32_t address, uint16_t port) {
  PlatAddress local = ipv4Address(address, port);
  return platSocketBindAddress(socket, &local);
}

int32_t platSocketBindAddress(PlatSocket socket, const PlatAddress* address) {
  if (rejectHandle(socket)) return lastSocketError;
  int reuse = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_storage sa;
  socklen_t length = socketAddressOf(*address, &sa);
  return sysBind(socket, &sa, length) == 0 ? 0 : recordErrno();
}

int32_t platSocketListen(PlatSocket socket, int backlog) {
  if (rejectHandle(socket)) return lastSocketError;
  return sysListen(socket, backlog) == 0 ? 0 : recordErrno();
}

PlatSocket platSocketAccept(PlatSocket socket, uint32_t* address, uint16_t* port) {
  PlatAddress peer{};
  PlatSocket accepted = platSocketAcceptAddress(socket, &peer);
  if (accepted < 0) return accepted;
  *address = peer.family == kPlatFamilyV4 ? ipv4Of(peer) : 0;
  *port = peer.port;
  return accepted;
}

PlatSocket platSocketAcceptAddress(PlatSocket socket, PlatAddress* peerAddress) {
  if (rejectHandle(socket)) return kPlatInvalidSocket;
  sockaddr_storage peer{};
  int fd;
  do {
    fd = sysAccept(socket, &peer);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    recordErrno();
    return kPlatInvalidSocket;
  }
  PlatSocket socketHandle = socketDescriptor(fd);
  if (socketHandle < 0) return socketHandle;
  *peerAddress = platAddressOf(peer);
  return socketHandle;
}

int32_t platSocketLocalName(PlatSocket socket, uint32_t* address, uint16_t* port) {
  PlatAddress local{};
  if (int32_t error = platSocketLocalAddress(socket, &local)) return error;
  *address = local.family == kPlatFamilyV4 ? ipv4Of(local) : 0;
  *port = local.port;
  return 0;
}

int32_t platSocketLocalAddress(PlatSocket socket, PlatAddress* local) {
  if (rejectHandle(socket)) return lastSocketError;
  sockaddr_storage name{};
  if (sysLocalName(socket, &name) != 0) return recordErrno();
  *local = platAddressOf(name);
  return 0;
}

namespace {
int32_t receiveWithFlags(PlatSocket socket, void* buffer, int32_t size, int flags) {
  if (rejectHandle(socket)) return -1;
  ssize_t count;
  do {
    count = sysRecv(socket, buffer, static_cast<size_t>(size), flags);
  } while (count < 0 && errno == EINTR);
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kPlatNothingYet;
  if (count < 0) {
    recordErrno();
    return -1;
  }
  return static_cast<int32_t>(count);
}
}  // namespace

int32_t platSocketReceive(PlatSocket socket, void* buffer, int32_t size, bool peek) {
  return receiveWithFlags(socket, buffer, size, peek ? MSG_PEEK : 0);
}

int32_t platSocketReceiveNoWait(PlatSocket socket, void* buffer, int32_t size) {
  return receiveWithFlags(socket, buffer, size, MSG_DONTWAIT);
}

namespace {
int32_t sendWithFlags(PlatSocket socket, const void* data, int32_t length, int flags) {
  if (rejectHandle(socket)) return -1;
  ssize_t count;
  do {
    count = sysSend(socket, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    if ((flags & MSG_DONTWAIT) && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    recordErrno();
    return -1;
  }
  return static_cast<int32_t>(count);
}
}  // namespace

int32_t platSocketSend(PlatSocket socket, const void* data, int32_t length) {
  return sendWithFlags(socket, data, length, 0);
}

int32_t platSocketSendNoWait(PlatSocket socket, const void* data, int32_t length) {
  return sendWithFlags(socket, data, length, MSG_DONTWAIT);
}

int32_t platSocketShutdownSend(PlatSocket socket) {
  if (rejectHandle(socket)) return lastSocketError;
  return shutdown(socket, SHUT_WR) == 0 ? 0 : recordErrno();
}

int32_t platSocketClose(PlatSocket socket) {
  if (rejectHandle(socket)) return lastSocketError;
  return close(socket) == 0 ? 0 : recordErrno();
}

namespace {
// The resolver's answers, as the Windows Sockets host-lookup numbers.
int32_t windowsErrorForResolver(int code) {
  switch (code) {
    case EAI_NONAME:
      return 11001;  // WSAHOST_NOT_FOUND
    case EAI_AGAIN:
      return 11002;  // WSATRY_AGAIN
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return 11004;  // WSANO_DATA
    case EAI_SYSTEM:
      return windowsErrorFor(errno);
    default:
      return 11003;  // WSANO_RECOVERY
  }
}
thread_local uint32_t resolvedHostEntry;
}  // namespace

const void* platResolveHost(const char* name, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  int code = sysGetAddrInfo(name, &hints, &results);
  if (code != 0) {
    lastSocketError = windowsErrorForResolver(code);
    return nullptr;
  }
  resolvedHostEntry = ntohl(reinterpret_cast<sockaddr_in*>(results->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(results);
  *address = resolvedHostEntry;
  return &resolvedHostEntry;
}

int32_t platResolveAddresses(const char* name, uint16_t family, PlatAddress* addresses,
                             int32_t room) {
  addrinfo hints{};
  hints.ai_family = family == kPlatFamilyV4   ? AF_INET
                    : family == kPlatFamilyV6 ? AF_INET6
                                              : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  int code = sysGetAddrInfo(name, &hints, &results);
  if (code != 0) {
    lastSocketError = windowsErrorForResolver(code);
    return -lastSocketError;
  }
  int32_t count = 0;
  for (const addrinfo* entry = results; entry != nullptr && count < room; entry = entry->ai_next) {
    sockaddr_storage sa{};
    if (entry->ai_addrlen > sizeof sa) continue;
    memcpy(&sa, entry->ai_addr, entry->ai_addrlen);
    addresses[count] = platAddressOf(sa);
    if (addresses[count].family != kPlatFamilyNone) ++count;
  }
  freeaddrinfo(results);
  return count;
}

int32_t platLocalHostName(char* buffer, int32_t size) {
  if (gethostname(buffer, static_cast<size_t>(size)) != 0) return recordErrno();
  buffer[size - 1] = '\0';
  return 0;
}

// ---- Data path ----

namespace {
int32_t refuseDataMoves = 0;

// The pipe between socket and file; a smaller one, where the system allows no more, only
// means more rounds.
constexpr int kPipeBytes = 1 << 20;

// Errors that say the kernel will not move bytes between these descriptors this way (or a
// sandbox forbids the call); copying through a buffer still works.
bool kernelRefuses(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM ||
         error == EXDEV;
}

// splice waits or not by the socket's own mode, not only by a flag of the call.
void neverWait(int socket) {
  int flags = fcntl(socket, F_GETFL);
  if (flags != -1 && (flags & O_NONBLOCK) == 0) fcntl(socket, F_SETFL, flags | O_NONBLOCK);
}

// Bytes already in the pipe that the file would not take by splice are copied instead.
bool copyPipeToFile(int pipeEnd, int file, size_t bytes, uint32_t* moved) {
  char block[8192];
  while (bytes > 0) {
    ssize_t got = read(pipeEnd, block, bytes < sizeof block ? bytes : sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (platFileWrite(file, block, static_cast<uint32_t>(got)) < 0) return false;
    bytes -= static_cast<size_t>(got);
    *moved += static_cast<uint32_t>(got);
  }
  return true;
}

// Empties the pipe into the file: kMoveNotReady once all of it is there.
PlatMoveStop drainPipe(int pipeEnd, int file, size_t bytes, uint32_t* moved) {
  while (bytes > 0) {
    ssize_t out = sysSpliceToFile(pipeEnd, file, bytes);
    if (out < 0 && errno == EINTR) continue;
    if (out < 0 && kernelRefuses(errno)) {
      return copyPipeToFile(pipeEnd, file, bytes, moved) ? kMoveRefused : kMoveFileFailed;
    }
    if (out <= 0) return kMoveFileFailed;
    bytes -= static_cast<size_t>(out);
    *moved += static_cast<uint32_t>(out);
  }
  return kMoveNotReady;
}

PlatMoveStop socketStop(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return kMoveNotReady;
  if (kernelRefuses(error)) return kMoveRefused;
  lastSocketError = windowsErrorFor(error);
  return kMoveSocketFailed;
}
}  // namespace

// Socket to pipe to file: the socket's pages reach the file without a copy through user
// memory. The pipe lives for this call only, so no descriptor outlasts it, whichever way the
// transfer ends.
PlatMoveStop platSocketReceiveToFile(PlatSocket socket, PlatFile file, uint32_t limit,
                                     uint32_t* moved) {
  *moved = 0;
  if (rejectHandle(socket)) return kMoveSocketFailed;
  int ends[2];
  if (refuseDataMoves != 0 || pipe2(ends, O_CLOEXEC) != 0) return kMoveRefused;
  fcntl(ends[1], F_SETPIPE_SZ, kPipeBytes);
  neverWait(socket);
  PlatMoveStop stop = kMoveNotReady;
  while (*moved < limit && stop == kMoveNotReady) {
    ssize_t in =
        sysSpliceFromSocket(socket, ends[1], limit - *moved, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (in < 0 && errno == EINTR) continue;
    if (in < 0) {
      stop = socketStop(errno);
      break;
    }
    if (in == 0) {
      stop = kMoveEnd;
      break;
    }
    stop = drainPipe(ends[0], file, static_cast<size_t>(in), moved);
  }
  close(ends[0]);
  close(ends[1]);
  return stop;
}

void platRefuseDataMoves(int32_t refuse) {
  refuseDataMoves = refuse;
}
