// dap32_bench: one measurement per run, for bench/run_bench.py.
//
//   dap32_bench dap-get      PORT USER PASS DIR NAME [fast]
//   dap32_bench dap-put      PORT USER PASS DIR NAME BLOCK [fast]   (BLOCK 0 keeps the default)
//   dap32_bench loop-get     PORT USER PASS FILE NAME
//   dap32_bench loop-put     PORT USER PASS FILE NAME [BLOCK [nodelay]]
//   dap32_bench session      PORT USER PASS POLL_SLEEP COUNT [fast]
//   dap32_bench loop-session PORT USER PASS COUNT
//   dap32_bench allocs       PORT USER PASS DIR UPLOAD_NAME DOWNLOAD_NAME [fast]
//   dap32_bench phases       PORT USER PASS DIR NAME {get|put} BLOCK [fast]
//   dap32_bench channels     PORT USER PASS DIR NAME {get|put} COUNT [fast]
//   dap32_bench threads      PORT USER PASS DIR UPLOAD_NAME DOWNLOAD_NAME COUNT ROUNDS [fast]
//
// "fast" applies the settings of the "dap32 fast" rows (fastSettings below) after attach.
// "tls=CAFILE", last or just before "fast", puts every dap32 channel in explicit TLS, trusting
// the server certificate in the PEM file CAFILE (the loop modes have no TLS). The RESULT lines
// of dap-get, dap-put and session then add tls=PROTOCOL/CIPHER of the control connection, and
// the transfers resumed=1 or 0 for their data connection.
// channels: COUNT channels driven from one thread with AUTO_CALL off, each downloading NAME
// into DIR/cN or uploading DIR/NAME into the server directory cN. threads: COUNT threads, each
// with its own channel, ROUNDS times logging in, changing to the server directory tN,
// uploading UPLOAD_NAME from DIR/tN, downloading DOWNLOAD_NAME into DIR/tN, listing, closing.
//
// Results are "RESULT key=value ..." lines on stdout; failures go to stderr with exit 1.
// Every socket wait of the plain loops is bounded by a receive/send time-out.
#include <arpa/inet.h>
#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "dap32.h"

// ---- Counting allocator ----
//
// Interposed for the whole process (the executable's symbols come first), so the library's
// calls through libc and libstdc++ are seen too. Counts only while `counting` is set.

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {
std::atomic<bool> counting{false};
bool inHook = false;  // backtrace() must not record itself
long allocCount = 0;
long freeCount = 0;
long newCount = 0;

constexpr int kSitesKept = 8;
constexpr int kSiteDepth = 10;
void* sites[kSitesKept][kSiteDepth];
int siteDepths[kSitesKept];
int sitesKept = 0;

void noteAllocation(bool viaNew) {
  if (!counting.load(std::memory_order_relaxed) || inHook) return;
  ++allocCount;
  if (viaNew) ++newCount;
  if (sitesKept < kSitesKept) {
    inHook = true;
    siteDepths[sitesKept] = backtrace(sites[sitesKept], kSiteDepth);
    ++sitesKept;
    inHook = false;
  }
}

void noteFree(void* pointer) {
  if (pointer != nullptr && counting.load(std::memory_order_relaxed) && !inHook) ++freeCount;
}

void* allocateForNew(size_t size, size_t alignment) {
  noteAllocation(true);
  if (size == 0) size = 1;
  return alignment > alignof(std::max_align_t) ? __libc_memalign(alignment, size)
                                               : __libc_malloc(size);
}
}  // namespace

extern "C" void* malloc(size_t size) {
  noteAllocation(false);
  return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
  noteAllocation(false);
  return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, size_t size) {
  noteAllocation(false);
  return __libc_realloc(pointer, size);
}

extern "C" void free(void* pointer) {
  noteFree(pointer);
  __libc_free(pointer);
}

void* operator new(size_t size) {
  void* pointer = allocateForNew(size, 0);
  if (pointer == nullptr) std::abort();
  return pointer;
}
void* operator new[](size_t size) {
  return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return allocateForNew(size, 0);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return allocateForNew(size, 0);
}
void* operator new(size_t size, std::align_val_t alignment) {
  void* pointer = allocateForNew(size, static_cast<size_t>(alignment));
  if (pointer == nullptr) std::abort();
  return pointer;
}
void* operator new[](size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}
void operator delete(void* pointer) noexcept {
  free(pointer);
}
void operator delete[](void* pointer) noexcept {
  free(pointer);
}
void operator delete(void* pointer, size_t) noexcept {
  free(pointer);
}
void operator delete[](void* pointer, size_t) noexcept {
  free(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept {
  free(pointer);
}
void operator delete[](void* pointer, std::align_val_t) noexcept {
  free(pointer);
}
void operator delete(void* pointer, size_t, std::align_val_t) noexcept {
  free(pointer);
}
void operator delete[](void* pointer, size_t, std::align_val_t) noexcept {
  free(pointer);
}

// ---- Common helpers ----

namespace {
constexpr int kChannel = 0;
constexpr int32_t kDataBlock = 8192;
constexpr int kSocketTimeoutSeconds = 60;
constexpr double kPhaseLimitSeconds = 300.0;

// The PEM file of the server's certificate when the dap32 channels speak TLS, else nullptr.
const char* tlsCaFile = nullptr;

double nowSeconds() {
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

[[noreturn]] void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("dap32_bench: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  exit(1);
}

void checkDap(const char* what, int32_t result) {
  if (result >= 0) return;
  char text[512];
  dapErrorText(kChannel, result, text, sizeof text);
  text[strcspn(text, "\r\n")] = '\0';
  fail("%s failed (%d): %s", what, static_cast<int>(result), text);
}

struct Server {
  int port;
  const char* user;
  const char* password;
};

// The "dap32 fast" settings: no pause after a close, a transfer chunk of 4 MiB, 8 KiB upload
// blocks, and the shortest waits. They are library-wide, so they need an attached channel.
void fastSettings() {
  dapSetInteger(kChannel, DAP_SET_POLL_SLEEP, 1);
  dapSetInteger(kChannel, DAP_SET_COMMAND_DELAY, 0);
  dapSetInteger(kChannel, DAP_SET_FINAL_BLOCK_DELAY, 0);
  dapSetInteger(kChannel, DAP_SET_UPLOAD_BLOCK_SIZE, kDataBlock);
  dapSetInteger(kChannel, DAP_SET_CLOSE_PAUSE, 0);
  dapSetInteger(kChannel, DAP_SET_TRANSFER_CHUNK, 4 << 20);
}

// Explicit TLS, verified against the CA file, when the run asked for it.
void tlsSettings(int32_t ch) {
  if (tlsCaFile == nullptr) return;
  checkDap("tls", dapSetInteger(ch, DAP_SET_TLS, 1));
  checkDap("tls ca file", dapSetString(ch, DAP_STR_TLS_CA_FILE, tlsCaFile));
}

// " tls=PROTOCOL/CIPHER" of the control connection for a RESULT line; "" in clear.
std::string tlsField(int32_t ch) {
  char text[128] = "";
  if (tlsCaFile == nullptr || dapGetString(ch, DAP_STR_TLS_SESSION, text, sizeof text) < 0) {
    return "";
  }
  for (char* c = text; *c != '\0'; ++c) {
    if (*c == ' ') *c = '/';
  }
  return std::string(" tls=") + text;
}

// Attach, passive mode, log in and switch to binary; the channel is ready for transfers.
void dapLogin(const Server& server, const char* localDir, bool fast) {
  checkDap("attach", dapAttach(1, 0));
  if (fast) fastSettings();
  tlsSettings(kChannel);
  dapSetInteger(kChannel, DAP_SET_SERVER_PORT, server.port);
  dapSetInteger(kChannel, DAP_SET_PASSIVE, 1);
  checkDap("connect", dapConnect(kChannel, "127.0.0.1", server.user, server.password));
  checkDap("type", dapSetMode(kChannel, 'B'));
  if (localDir != nullptr) checkDap("local dir", dapSetLocalDir(kChannel, localDir));
}

void dapLogout() {
  checkDap("close", dapClose(kChannel));
  dapRelease();
}

// ---- dap32 transfers ----

int dapTransfer(const Server& server, const char* dir, const char* name, bool download,
                int32_t block, bool fast) {
  dapLogin(server, dir, fast);
  if (block > 0) dapSetInteger(kChannel, DAP_SET_UPLOAD_BLOCK_SIZE, block);
  int32_t stepsBefore = dapGetInteger(kChannel, DAP_GET_STEP_COUNT);
  double start = nowSeconds();
  int32_t result = download ? dapGetFile(kChannel, name) : dapPutFile(kChannel, name);
  double seconds = nowSeconds() - start;
  checkDap(download ? "get" : "put", result);
  int32_t steps = dapGetInteger(kChannel, DAP_GET_STEP_COUNT) - stepsBefore;
  int32_t bytes = dapGetInteger(kChannel, download ? DAP_GET_BYTES_RECEIVED : DAP_GET_BYTES_SENT);
  std::string tls = tlsField(kChannel);
  if (!tls.empty()) {
    tls += " resumed=" + std::to_string(dapGetInteger(kChannel, DAP_GET_TLS_DATA_RESUMED));
  }
  dapLogout();
  printf("RESULT op=%s client=dap bytes=%ld seconds=%.6f steps=%ld%s\n", download ? "get" : "put",
         static_cast<long>(bytes), seconds, static_cast<long>(steps), tls.c_str());
  return 0;
}

// ---- Plain loop: blocking sockets, one 8 KiB buffer ----

void boundWaits(int fd) {
  timeval limit{kSocketTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket: %s", strerror(errno));
  boundWaits(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    fail("connect to port %d: %s", port, strerror(errno));
  }
  return fd;
}

bool sendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

class Control {
 public:
  explicit Control(int port) : fd_(connectLoopback(port)) {}
  ~Control() { close(fd_); }

  // The code of the next whole reply; a multi-line reply ends on "ddd ".
  int reply() {
    char line[1024];
    if (!readLine(line, sizeof line)) fail("control connection: no reply");
    int code = atoi(line);
    if (strlen(line) >= 4 && line[3] == '-') {
      for (;;) {
        if (!readLine(line, sizeof line)) fail("control connection: reply cut short");
        if (atoi(line) == code && strlen(line) >= 4 && line[3] == ' ') break;
      }
    }
    memcpy(last_, line, sizeof last_);
    return code;
  }

  int command(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text - 2, format, args);
    va_end(args);
    memcpy(text + length, "\r\n", 2);
    if (!sendAll(fd_, text, static_cast<size_t>(length) + 2)) fail("send: %s", strerror(errno));
    return reply();
  }

  void expect(int code, int wanted) const {
    if (code / 100 != wanted) fail("unexpected reply: %s", last_);
  }

  void login(const Server& server) {
    expect(reply(), 2);
    int code = command("USER %s", server.user);
    if (code / 100 == 3) code = command("PASS %s", server.password);
    expect(code, 2);
  }

  // PASV, then a connected data socket.
  int openData() {
    int code = command("PASV");
    expect(code, 2);
    const char* open = strchr(last_, '(');
    int h1, h2, h3, h4, p1, p2;
    if (open == nullptr || sscanf(open, "(%d,%d,%d,%d,%d,%d)", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
      fail("no port in: %s", last_);
    }
    return connectLoopback(p1 * 256 + p2);
  }

 private:
  bool readLine(char* line, size_t size) {
    for (;;) {
      char* end = static_cast<char*>(memchr(buffer_, '\n', have_));
      if (end != nullptr) {
        size_t length = static_cast<size_t>(end - buffer_) + 1;
        size_t kept = length < size ? length : size - 1;
        memcpy(line, buffer_, kept);
        line[kept] = '\0';
        memmove(buffer_, buffer_ + length, have_ - length);
        have_ -= length;
        return true;
      }
      if (have_ == sizeof buffer_) have_ = 0;  // an absurd line: drop it
      ssize_t got = recv(fd_, buffer_ + have_, sizeof buffer_ - have_, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      have_ += static_cast<size_t>(got);
    }
  }

  int fd_;
  char buffer_[4096];
  size_t have_ = 0;
  char last_[1024] = "";
};

int loopTransfer(const Server& server, const char* path, const char* name, bool download,
                 int32_t block, bool noDelay) {
  static char buffer[kDataBlock];
  if (block <= 0 || block > kDataBlock) block = kDataBlock;
  Control control(server.port);
  control.login(server);
  control.expect(control.command("TYPE I"), 2);
  long long bytes = 0;
  double start = nowSeconds();
  int file = download ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                      : open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) fail("open %s: %s", path, strerror(errno));
  int data = control.openData();
  if (noDelay) {
    int on = 1;
    setsockopt(data, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  control.expect(control.command("%s %s", download ? "RETR" : "STOR", name), 1);
  for (;;) {
    ssize_t count = download ? recv(data, buffer, kDataBlock, 0)
                             : read(file, buffer, static_cast<size_t>(block));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) fail("%s: %s", download ? "recv" : "read", strerror(errno));
    if (count == 0) break;
    bool moved = download ? write(file, buffer, static_cast<size_t>(count)) == count
                          : sendAll(data, buffer, static_cast<size_t>(count));
    if (!moved) fail("%s: %s", download ? "write" : "send", strerror(errno));
    bytes += count;
  }
  close(data);
  close(file);
  control.expect(control.reply(), 2);
  double seconds = nowSeconds() - start;
  control.command("QUIT");
  printf("RESULT op=%s client=loop bytes=%lld seconds=%.6f\n", download ? "get" : "put", bytes,
         seconds);
  return 0;
}

// ---- Sessions: log in, PWD, QUIT ----

int dapSessions(const Server& server, int32_t pollSleep, int count, bool fast) {
  checkDap("attach", dapAttach(1, 0));
  if (fast) fastSettings();
  dapSetInteger(kChannel, DAP_SET_SERVER_PORT, server.port);
  dapSetInteger(kChannel, DAP_SET_PASSIVE, 1);
  dapSetInteger(kChannel, DAP_SET_POLL_SLEEP, pollSleep);
  tlsSettings(kChannel);
  for (int i = 0; i < count; ++i) {
    char directory[256];
    double start = nowSeconds();
    checkDap("connect", dapConnect(kChannel, "127.0.0.1", server.user, server.password));
    double connected = nowSeconds();
    checkDap("pwd", dapGetServerDir(kChannel, directory, sizeof directory - 1));
    double printed = nowSeconds();
    std::string tls = tlsField(kChannel);
    checkDap("close", dapClose(kChannel));
    double closed = nowSeconds();
    printf(
        "RESULT op=session client=dap poll=%d fast=%d connect_ms=%.3f pwd_ms=%.3f "
        "close_ms=%.3f total_ms=%.3f%s\n",
        static_cast<int>(pollSleep), fast ? 1 : 0, (connected - start) * 1e3,
        (printed - connected) * 1e3, (closed - printed) * 1e3, (closed - start) * 1e3, tls.c_str());
  }
  dapRelease();
  return 0;
}

int loopSessions(const Server& server, int count) {
  for (int i = 0; i < count; ++i) {
    double start = nowSeconds();
    double connected, printed;
    {
      Control control(server.port);
      control.login(server);
      connected = nowSeconds();
      control.expect(control.command("PWD"), 2);
      printed = nowSeconds();
      control.command("QUIT");
    }
    double closed = nowSeconds();
    printf(
        "RESULT op=session client=loop poll=0 connect_ms=%.3f pwd_ms=%.3f close_ms=%.3f "
        "total_ms=%.3f\n",
        (connected - start) * 1e3, (printed - connected) * 1e3, (closed - printed) * 1e3,
        (closed - start) * 1e3);
  }
  return 0;
}

// ---- Allocations after attach ----

char listing[1 << 16];

int countAllocations(const Server& server, const char* dir, const char* uploadName,
                     const char* downloadName, bool fast) {
  // The interposer must see allocations made inside other shared objects, or a zero proves
  // nothing: strdup allocates inside libc.
  void* warm[1];
  backtrace(warm, 1);  // loads the unwinder now, not while counting
  counting = true;
  char* probe = strdup("probe");
  counting = false;
  long probeCount = allocCount;
  free(probe);
  if (probeCount != 1) fail("the allocation counter missed an allocation inside libc");
  allocCount = freeCount = newCount = 0;
  sitesKept = 0;

  counting = true;
  int32_t attached = dapAttach(1, 0);
  counting = false;
  checkDap("attach", attached);
  long attachAllocs = allocCount;
  allocCount = freeCount = newCount = 0;
  sitesKept = 0;

  counting = true;
  if (fast) fastSettings();
  tlsSettings(kChannel);
  dapSetInteger(kChannel, DAP_SET_SERVER_PORT, server.port);
  dapSetInteger(kChannel, DAP_SET_PASSIVE, 1);
  int32_t steps[7];
  char directory[256];
  steps[0] = dapConnect(kChannel, "127.0.0.1", server.user, server.password);
  steps[1] = dapSetMode(kChannel, 'B');
  steps[2] = dapSetLocalDir(kChannel, dir);
  steps[3] = dapGetServerDir(kChannel, directory, sizeof directory - 1);
  steps[4] = dapPutFile(kChannel, uploadName);
  steps[5] = dapGetFile(kChannel, downloadName);
  steps[6] = dapGetList(kChannel, DAP_LIST_FULL, listing, sizeof listing);
  int32_t closed = dapClose(kChannel);
  counting = false;
  long sessionAllocs = allocCount, sessionFrees = freeCount, sessionNews = newCount;
  int kept = sitesKept;
  allocCount = freeCount = newCount = 0;

  counting = true;
  dapRelease();
  counting = false;
  long releaseFrees = freeCount;

  const char* names[] = {"connect", "type", "local dir", "pwd", "put", "get", "list"};
  for (int i = 0; i < 7; ++i) checkDap(names[i], steps[i]);
  checkDap("close", closed);
  printf(
      "RESULT op=allocs attach_allocs=%ld session_allocs=%ld session_news=%ld "
      "session_frees=%ld release_frees=%ld listing_bytes=%ld\n",
      attachAllocs, sessionAllocs, sessionNews, sessionFrees, releaseFrees,
      static_cast<long>(steps[6]));
  for (int i = 0; i < kept; ++i) {
    fprintf(stderr, "allocation %d after attach, from:\n", i + 1);
    backtrace_symbols_fd(sites[i], siteDepths[i], STDERR_FILENO);
  }
  return 0;
}

// ---- Phases: where the time of one transfer goes, step by step ----

constexpr int kStateSlots = 1000;
struct StateTime {
  long calls;
  double seconds;
  double longest;
  long held;  // calls that ran nothing (a gate, the pollSleep pause)
  double heldSeconds;
};
StateTime stateTimes[kStateSlots];

// Drives the transfer as AUTO_CALL does (dapDriver, then a yield) and charges each call to
// the state it was about to run.
int phases(const Server& server, const char* dir, const char* name, bool download, int32_t block,
           bool fast) {
  dapLogin(server, dir, fast);
  if (block > 0) dapSetInteger(kChannel, DAP_SET_UPLOAD_BLOCK_SIZE, block);
  dapSetInteger(kChannel, DAP_SET_AUTO_CALL, 0);
  uint32_t counter = download ? DAP_GET_BYTES_RECEIVED : DAP_GET_BYTES_SENT;
  double start = nowSeconds();
  checkDap("arm", download ? dapGetFile(kChannel, name) : dapPutFile(kChannel, name));
  int32_t state = download ? 301 : 401;
  int32_t bytes = 0;
  double firstByte = 0, lastByte = 0;
  double yielding = 0;  // what AUTO_CALL's yield between steps costs
  long yields = 0;
  int32_t result;
  for (;;) {
    double before = nowSeconds();
    if (before - start > kPhaseLimitSeconds) fail("transfer did not end in time");
    result = dapDriver(kChannel);
    double after = nowSeconds();
    double spent = after - before;
    StateTime& slot = stateTimes[state >= 0 && state < kStateSlots ? state : 0];
    if (result == DAP_DRIVER_WAITING) {
      ++slot.held;
      slot.heldSeconds += spent;
    } else {
      ++slot.calls;
      slot.seconds += spent;
      if (spent > slot.longest) slot.longest = spent;
    }
    int32_t now = dapGetInteger(kChannel, counter);
    if (now != bytes) {
      if (bytes == 0) firstByte = after;
      lastByte = after;
      bytes = now;
    }
    if (result <= 0) break;
    if (result != DAP_DRIVER_WAITING) state = result;
    double yieldStart = nowSeconds();
    sched_yield();
    yielding += nowSeconds() - yieldStart;
    ++yields;
  }
  double end = nowSeconds();
  checkDap("transfer", result);
  dapSetInteger(kChannel, DAP_SET_AUTO_CALL, 1);
  dapLogout();
  printf(
      "RESULT op=phases dir=%s bytes=%ld total_ms=%.3f before_data_ms=%.3f data_ms=%.3f "
      "after_data_ms=%.3f yields=%ld yield_ms=%.3f\n",
      download ? "get" : "put", static_cast<long>(bytes), (end - start) * 1e3,
      (firstByte - start) * 1e3, (lastByte - firstByte) * 1e3, (end - lastByte) * 1e3, yields,
      yielding * 1e3);
  for (int i = 0; i < kStateSlots; ++i) {
    const StateTime& slot = stateTimes[i];
    if (slot.calls == 0 && slot.held == 0) continue;
    printf(
        "RESULT op=phase-state state=%d calls=%ld ms=%.3f longest_ms=%.3f held=%ld "
        "held_ms=%.3f\n",
        i, slot.calls, slot.seconds * 1e3, slot.longest * 1e3, slot.held, slot.heldSeconds * 1e3);
  }
  return 0;
}

// ---- Many channels at once ----

// This process's open descriptors, to show that a run leaves none behind.
int openDescriptors() {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(listing);
  return count - 1;  // the listing's own descriptor
}

std::string pathIn(const char* dir, const char* prefix, int index, const char* name = nullptr) {
  std::string path = std::string(dir) + "/" + prefix + std::to_string(index);
  return name != nullptr ? path + "/" + name : path;
}

// Attaches count channels, each in passive mode, logged in and in binary mode.
void loginChannels(const Server& server, int count, bool fast) {
  checkDap("attach", dapAttach(static_cast<uint32_t>(count), 0));
  if (fast) fastSettings();
  for (int ch = 0; ch < count; ++ch) {
    tlsSettings(ch);
    dapSetInteger(ch, DAP_SET_SERVER_PORT, server.port);
    dapSetInteger(ch, DAP_SET_PASSIVE, 1);
    checkDap("connect", dapConnect(ch, "127.0.0.1", server.user, server.password));
    checkDap("type", dapSetMode(ch, 'B'));
  }
}

// One thread drives every channel's transfer a step at a time, as a caller with AUTO_CALL off
// does from its idle loop; the time runs from arming the first transfer to the last one's end.
int manyChannels(const Server& server, const char* dir, const char* name, bool download, int count,
                 bool fast) {
  int descriptors = openDescriptors();
  loginChannels(server, count, fast);
  for (int ch = 0; ch < count; ++ch) {
    if (download) {
      checkDap("local dir", dapSetLocalDir(ch, pathIn(dir, "c", ch).c_str()));
    } else {
      checkDap("local dir", dapSetLocalDir(ch, dir));
      checkDap("cd", dapSetServerDir(ch, ("c" + std::to_string(ch)).c_str()));
    }
    dapSetInteger(ch, DAP_SET_AUTO_CALL, 0);
  }
  std::vector<int32_t> results(static_cast<size_t>(count), 1);
  int32_t steps = 0;
  for (int ch = 0; ch < count; ++ch) steps -= dapGetInteger(ch, DAP_GET_STEP_COUNT);
  double start = nowSeconds();
  for (int ch = 0; ch < count; ++ch) {
    checkDap("arm", download ? dapGetFile(ch, name) : dapPutFile(ch, name));
  }
  for (bool running = true; running;) {
    if (nowSeconds() - start > kPhaseLimitSeconds) fail("transfers did not end in time");
    running = false;
    for (int ch = 0; ch < count; ++ch) {
      if (results[ch] <= 0) continue;
      results[ch] = dapDriver(ch);
      running = running || results[ch] > 0;
    }
  }
  double seconds = nowSeconds() - start;
  long long bytes = 0;
  for (int ch = 0; ch < count; ++ch) {
    checkDap(download ? "get" : "put", results[ch]);
    steps += dapGetInteger(ch, DAP_GET_STEP_COUNT);
    bytes += dapGetInteger(ch, download ? DAP_GET_BYTES_RECEIVED : DAP_GET_BYTES_SENT);
    dapSetInteger(ch, DAP_SET_AUTO_CALL, 1);
    checkDap("close", dapClose(ch));
  }
  dapRelease();
  printf("RESULT op=channels dir=%s channels=%d bytes=%lld seconds=%.6f steps=%ld fds_left=%d\n",
         download ? "get" : "put", count, bytes, seconds, static_cast<long>(steps),
         openDescriptors() - descriptors);
  return 0;
}

struct ThreadRun {
  long long bytes = 0;
  int sessions = 0;
  int failures = 0;
  char listing[4096];
};

// Whole sessions on every channel at once, each channel on a thread of its own.
void threadSessions(int ch, const Server& server, const char* dir, const char* upName,
                    const char* downName, int rounds, ThreadRun* run) {
  const std::string local = pathIn(dir, "t", ch);
  const std::string remote = "t" + std::to_string(ch);
  for (int round = 0; round < rounds; ++round) {
    int32_t results[] = {
        dapConnect(ch, "127.0.0.1", server.user, server.password),
        dapSetMode(ch, 'B'),
        dapSetServerDir(ch, remote.c_str()),
        dapSetLocalDir(ch, local.c_str()),
        dapPutFile(ch, upName),
        dapGetFile(ch, downName),
        dapGetList(ch, DAP_LIST_FULL, run->listing, sizeof run->listing),
        dapClose(ch),
    };
    bool failed = false;
    for (int32_t result : results) failed = failed || result < 0;
    run->failures += failed ? 1 : 0;
    run->sessions += 1;
    run->bytes += dapGetInteger(ch, DAP_GET_BYTES_SENT);
    run->bytes += dapGetInteger(ch, DAP_GET_BYTES_RECEIVED);
  }
}

int manyThreads(const Server& server, const char* dir, const char* upName, const char* downName,
                int count, int rounds, bool fast) {
  int descriptors = openDescriptors();
  checkDap("attach", dapAttach(static_cast<uint32_t>(count), 0));
  if (fast) fastSettings();
  for (int ch = 0; ch < count; ++ch) {
    tlsSettings(ch);
    dapSetInteger(ch, DAP_SET_SERVER_PORT, server.port);
    dapSetInteger(ch, DAP_SET_PASSIVE, 1);
  }
  std::vector<ThreadRun> runs(static_cast<size_t>(count));
  std::vector<std::thread> threads;
  double start = nowSeconds();
  for (int ch = 0; ch < count; ++ch) {
    threads.emplace_back(threadSessions, ch, server, dir, upName, downName, rounds, &runs[ch]);
  }
  // Joining is bounded: every operation ends by the library's own deadlines.
  for (std::thread& thread : threads) thread.join();
  double seconds = nowSeconds() - start;
  dapRelease();
  long long bytes = 0;
  int sessions = 0, failures = 0;
  for (const ThreadRun& run : runs) {
    bytes += run.bytes;
    sessions += run.sessions;
    failures += run.failures;
  }
  printf(
      "RESULT op=threads threads=%d sessions=%d failures=%d bytes=%lld seconds=%.6f "
      "fds_left=%d\n",
      count, sessions, failures, bytes, seconds, openDescriptors() - descriptors);
  return 0;
}

[[noreturn]] void usage() {
  fputs(
      "usage: dap32_bench {dap-get|dap-put|loop-get|loop-put|session|loop-session|allocs|"
      "phases|channels|threads} PORT USER PASS ... [fast] [tls=CAFILE]\n",
      stderr);
  exit(2);
}

int32_t number(const char* text) {
  return static_cast<int32_t>(strtol(text, nullptr, 10));
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) usage();
  const char* mode = argv[1];
  Server server{number(argv[2]), argv[3], argv[4]};
  char** rest = argv + 5;
  int extra = argc - 5;
  bool fast = false;
  while (extra > 0) {
    const char* last = rest[extra - 1];
    if (strcmp(last, "fast") == 0 && !fast) {
      fast = true;
    } else if (strncmp(last, "tls=", 4) == 0 && tlsCaFile == nullptr && last[4] != '\0') {
      tlsCaFile = last + 4;
    } else {
      break;
    }
    --extra;
  }
  auto is = [mode](const char* name) { return strcmp(mode, name) == 0; };
  if (is("dap-get") && extra == 2) return dapTransfer(server, rest[0], rest[1], true, 0, fast);
  if (is("dap-put") && extra == 3) {
    return dapTransfer(server, rest[0], rest[1], false, number(rest[2]), fast);
  }
  bool plain = !fast && tlsCaFile == nullptr;
  if ((is("loop-get") || is("loop-put")) && extra >= 2 && extra <= 4 && plain) {
    int32_t block = extra >= 3 ? number(rest[2]) : kDataBlock;
    bool noDelay = extra == 4 && strcmp(rest[3], "nodelay") == 0;
    return loopTransfer(server, rest[0], rest[1], is("loop-get"), block, noDelay);
  }
  if (is("session") && extra == 2) {
    return dapSessions(server, number(rest[0]), number(rest[1]), fast);
  }
  if (is("loop-session") && extra == 1 && plain) return loopSessions(server, number(rest[0]));
  if (is("allocs") && extra == 3) return countAllocations(server, rest[0], rest[1], rest[2], fast);
  if (is("phases") && extra == 4) {
    return phases(server, rest[0], rest[1], strcmp(rest[2], "get") == 0, number(rest[3]), fast);
  }
  int32_t count = extra >= 4 ? number(rest[3]) : 0;
  if (count < 1 || count > 32) usage();
  if (is("channels") && extra == 4) {
    return manyChannels(server, rest[0], rest[1], strcmp(rest[2], "get") == 0, count, fast);
  }
  if (is("threads") && extra == 5) {
    return manyThreads(server, rest[0], rest[1], rest[2], count, number(rest[4]), fast);
  }
  usage();
}
