#include "support/script_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>
#include <utility>

// ---- Socket compat: the few BSD calls used below, for Winsock2 and POSIX ----

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

namespace {
using NativeSocket = SOCKET;
using AddressLength = int;
constexpr int kSendFlags = 0;

void startSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

void closeNative(NativeSocket s) {
  closesocket(s);
}
void shutdownSending(NativeSocket s) {
  shutdown(s, SD_SEND);
}
bool setNonBlocking(NativeSocket s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}
bool lastCallWouldBlock() {
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEINTR;
}

// 1 ready, 0 nothing yet, -1 error. A failed connect shows up only in the exception set.
int pollOne(NativeSocket s, bool forWrite, int timeoutMs) {
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, forWrite ? &writable : &readable);
  FD_SET(s, &failed);
  timeval wait = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int result = select(0, &readable, &writable, &failed, &wait);
  return result > 0 ? 1 : result;
}
}  // namespace
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {
using NativeSocket = int;
using AddressLength = socklen_t;
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE covers it there
#endif

void startSockets() {}
void closeNative(NativeSocket s) {
  ::close(s);
}
void shutdownSending(NativeSocket s) {
  shutdown(s, SHUT_WR);
}
bool setNonBlocking(NativeSocket s) {
  const int flags = fcntl(s, F_GETFL, 0);
  return flags != -1 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool lastCallWouldBlock() {
  return errno == EWOULDBLOCK || errno == EAGAIN || errno == EINPROGRESS || errno == EINTR;
}

int pollOne(NativeSocket s, bool forWrite, int timeoutMs) {
  pollfd entry{s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  const int result = poll(&entry, 1, timeoutMs);
  if (result < 0 && errno == EINTR) return 0;
  return result;
}
}  // namespace
#endif

namespace ftptest {
namespace {

// Short enough that stop() and cancellation are noticed at once, long enough not to spin.
constexpr int kSliceMs = 10;
constexpr std::intptr_t kNoSocket = -1;

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

NativeSocket nativeOf(std::intptr_t handle) {
  return static_cast<NativeSocket>(handle);
}

bool cancelled(const std::atomic<bool>* cancel) {
  return cancel != nullptr && cancel->load();
}

// Ready also covers errors and hang-ups: the following call then reports them.
enum class Wait { Ready, TimedOut, Cancelled };

Wait waitReady(NativeSocket s, bool forWrite, int64_t deadlineMs, const std::atomic<bool>* cancel) {
  for (;;) {
    if (cancelled(cancel)) return Wait::Cancelled;
    const int64_t leftMs = deadlineMs - nowMs();
    const int sliceMs = static_cast<int>(std::clamp<int64_t>(leftMs, 0, kSliceMs));
    if (pollOne(s, forWrite, sliceMs) != 0) return Wait::Ready;
    if (leftMs <= 0) return Wait::TimedOut;
  }
}

// Non-blocking so that no call can outlast its deadline; no SIGPIPE; no Nagle delay, so reply
// chunks written apart really travel apart.
bool prepare(NativeSocket s) {
#ifdef SO_NOSIGPIPE
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, reinterpret_cast<const char*>(&on), sizeof on);
#endif
  int noDelay = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  return setNonBlocking(s);
}

sockaddr_in socketAddress(TestSocket::Address address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr =
      htonl(static_cast<uint32_t>(address[0]) << 24 | static_cast<uint32_t>(address[1]) << 16 |
            static_cast<uint32_t>(address[2]) << 8 | address[3]);
  return result;
}

NativeSocket openStreamSocket(bool ipv6) {
  startSockets();
  return socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

// 127.0.0.1 or ::1 (or another IPv4 address) at port, with its length.
int loopbackAddress(bool ipv6, TestSocket::Address address, uint16_t port, sockaddr_storage* out) {
  *out = sockaddr_storage{};
  if (!ipv6) {
    *reinterpret_cast<sockaddr_in*>(out) = socketAddress(address, port);
    return sizeof(sockaddr_in);
  }
  sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(out);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  v6->sin6_addr = in6addr_loopback;
  return sizeof(sockaddr_in6);
}

bool isOpen(NativeSocket s) {
  return static_cast<std::intptr_t>(s) != kNoSocket;
}

}  // namespace

void PrintTo(ActiveConnect order, std::ostream* out) {
  *out << (order == ActiveConnect::AfterReply    ? "AfterReply"
           : order == ActiveConnect::BeforeReply ? "BeforeReply"
           : order == ActiveConnect::AtPort      ? "AtPort"
                                                 : "Never");
}

// ---- TestSocket ----

TestSocket::~TestSocket() {
  close();
}

TestSocket::TestSocket(TestSocket&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoSocket)),
      buffered_(std::move(other.buffered_)),
      peerClosed_(other.peerClosed_) {}

TestSocket& TestSocket::operator=(TestSocket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kNoSocket);
    buffered_ = std::move(other.buffered_);
    peerClosed_ = other.peerClosed_;
  }
  return *this;
}

TestSocket TestSocket::listen(bool ipv6) {
  const NativeSocket s = openStreamSocket(ipv6);
  if (!isOpen(s)) return {};
  TestSocket result(static_cast<std::intptr_t>(s));
  sockaddr_storage local;
  const int length = loopbackAddress(ipv6, kLoopback, 0, &local);
  if (!prepare(s) || bind(s, reinterpret_cast<const sockaddr*>(&local), length) != 0 ||
      ::listen(s, 8) != 0) {
    return {};
  }
  return result;
}

TestSocket TestSocket::connect(uint16_t port, int timeoutMs, const std::atomic<bool>* cancel,
                               Address address, bool ipv6) {
  const int64_t deadlineMs = nowMs() + timeoutMs;
  const NativeSocket s = openStreamSocket(ipv6);
  if (!isOpen(s)) return {};
  TestSocket result(static_cast<std::intptr_t>(s));
  if (!prepare(s)) return {};
  sockaddr_storage remote;
  const int remoteLength = loopbackAddress(ipv6, address, port, &remote);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&remote), remoteLength) == 0) return result;
  if (!lastCallWouldBlock() || waitReady(s, true, deadlineMs, cancel) != Wait::Ready) return {};
  int error = 0;
  AddressLength length = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
      error != 0) {
    return {};
  }
  return result;
}

TestSocket TestSocket::accept(int timeoutMs, const std::atomic<bool>* cancel) {
  if (!valid()) return {};
  const int64_t deadlineMs = nowMs() + timeoutMs;
  for (;;) {
    if (waitReady(nativeOf(handle_), false, deadlineMs, cancel) != Wait::Ready) return {};
    const NativeSocket s = ::accept(nativeOf(handle_), nullptr, nullptr);
    if (isOpen(s)) {
      TestSocket result(static_cast<std::intptr_t>(s));
      return prepare(s) ? std::move(result) : TestSocket();
    }
    if (!lastCallWouldBlock()) return {};
  }
}

// sin_port and sin6_port sit at the same place.
uint16_t TestSocket::localPort() const {
  sockaddr_storage local{};
  AddressLength length = sizeof local;
  if (!valid() || getsockname(nativeOf(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return 0;
  return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
}

void TestSocket::close() {
  if (valid()) closeNative(nativeOf(std::exchange(handle_, kNoSocket)));
}

void TestSocket::reset() {
  if (!valid()) return;
  linger abortive{};
  abortive.l_onoff = 1;
  abortive.l_linger = 0;
  setsockopt(nativeOf(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
             sizeof abortive);
  close();
}

void TestSocket::closeAfterSending() {
  if (valid()) shutdownSending(nativeOf(handle_));
  close();
}

bool TestSocket::sendAll(std::string_view bytes, int timeoutMs, const std::atomic<bool>* cancel) {
  if (!valid()) return false;
  const int64_t deadlineMs = nowMs() + timeoutMs;
  while (!bytes.empty()) {
    if (waitReady(nativeOf(handle_), true, deadlineMs, cancel) != Wait::Ready) return false;
    const int piece = static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX));
    const auto sent = send(nativeOf(handle_), bytes.data(), piece, kSendFlags);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
    } else if (!lastCallWouldBlock()) {
      return false;
    }
  }
  return true;
}

bool TestSocket::fill(int64_t deadlineMs, const std::atomic<bool>* cancel) {
  char chunk[16384];
  while (valid() && !peerClosed_) {
    if (waitReady(nativeOf(handle_), false, deadlineMs, cancel) != Wait::Ready) return false;
    const auto count = recv(nativeOf(handle_), chunk, sizeof chunk, 0);
    if (count > 0) {
      buffered_.append(chunk, static_cast<size_t>(count));
      return true;
    }
    // A reset ends the stream just as a close does; tests only care that it ended.
    if (count == 0 || !lastCallWouldBlock()) peerClosed_ = true;
  }
  return false;
}

std::string TestSocket::receiveLine(int timeoutMs, const std::atomic<bool>* cancel) {
  const int64_t deadlineMs = nowMs() + timeoutMs;
  for (;;) {
    const size_t end = buffered_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffered_.substr(0, end + 1);
      buffered_.erase(0, end + 1);
      return line;
    }
    if (!fill(deadlineMs, cancel)) return "";
  }
}

std::string TestSocket::receiveSome(int timeoutMs, const std::atomic<bool>* cancel) {
  if (buffered_.empty()) fill(nowMs() + timeoutMs, cancel);
  return takeBuffered();
}

std::string TestSocket::receiveUntilClosed(int timeoutMs, const std::atomic<bool>* cancel) {
  const int64_t deadlineMs = nowMs() + timeoutMs;
  while (fill(deadlineMs, cancel)) {
  }
  return takeBuffered();
}

std::string TestSocket::receiveFor(int timeoutMs) {
  return receiveUntilClosed(timeoutMs);
}

std::string TestSocket::takeBuffered() {
  return std::exchange(buffered_, std::string());
}

// ---- ScriptServer ----

namespace {

std::string withoutLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string verbOf(const std::string& line) {
  std::string verb = line.substr(0, line.find(' '));
  for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return verb;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// Plain decimal only: a sign, space or anything else a lenient parser would accept is a client
// bug the test should see.
std::optional<unsigned> decimal(const std::string& text, unsigned max) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

struct Endpoint {
  TestSocket::Address address;
  uint16_t port;
  bool ipv6 = false;  // ::1, the only IPv6 address a test server talks to
};

std::optional<Endpoint> parsePort(const std::string& line) {
  const std::vector<std::string> fields = split(line.substr(line.find(' ') + 1), ',');
  if (fields.size() != 6) return std::nullopt;
  unsigned values[6];
  for (size_t i = 0; i < 6; ++i) {
    const auto value = decimal(fields[i], 255);
    if (!value) return std::nullopt;
    values[i] = *value;
  }
  return Endpoint{{static_cast<uint8_t>(values[0]), static_cast<uint8_t>(values[1]),
                   static_cast<uint8_t>(values[2]), static_cast<uint8_t>(values[3])},
                  static_cast<uint16_t>(values[4] << 8 | values[5])};
}

// EPRT |1|127.0.0.1|50000| or EPRT |2|::1|50000|
std::optional<Endpoint> parseEprt(const std::string& line) {
  const std::string argument = line.substr(line.find(' ') + 1);
  if (argument.empty()) return std::nullopt;
  const std::vector<std::string> fields = split(argument, argument[0]);
  if (fields.size() != 5 || !fields[4].empty()) return std::nullopt;
  const auto port = decimal(fields[3], 65535);
  if (!port || *port == 0) return std::nullopt;
  if (fields[1] == "2" && fields[2] == "::1") {
    return Endpoint{{}, static_cast<uint16_t>(*port), true};
  }
  const std::vector<std::string> octets = split(fields[2], '.');
  if (fields[1] != "1" || octets.size() != 4) return std::nullopt;
  Endpoint endpoint{{}, static_cast<uint16_t>(*port)};
  for (size_t i = 0; i < 4; ++i) {
    const auto octet = decimal(octets[i], 255);
    if (!octet) return std::nullopt;
    endpoint.address[i] = static_cast<uint8_t>(*octet);
  }
  return endpoint;
}

void replaceAll(std::string& text, const std::string& token, const std::string& value) {
  for (size_t at = text.find(token); at != std::string::npos;
       at = text.find(token, at + value.size())) {
    text.replace(at, token.size(), value);
  }
}

std::vector<std::string> withPassivePort(std::vector<std::string> chunks, uint16_t port) {
  for (std::string& chunk : chunks) {
    replaceAll(chunk, "{h1}", "127");
    replaceAll(chunk, "{h2}", "0");
    replaceAll(chunk, "{h3}", "0");
    replaceAll(chunk, "{h4}", "1");
    replaceAll(chunk, "{p1}", std::to_string(port >> 8));
    replaceAll(chunk, "{p2}", std::to_string(port & 0xff));
    replaceAll(chunk, "{port}", std::to_string(port));
  }
  return chunks;
}

}  // namespace

struct ScriptServer::State {
  explicit State(Script playScript)
      : script(std::move(playScript)), received(script.exchanges.size()) {}

  void run();
  void play();
  bool playExchange(size_t index, const std::string& command);
  bool playData(size_t index, const std::vector<std::string>& reply);
  bool collect(size_t index, TestSocket& data);
  bool writeChunks(const std::vector<std::string>& chunks, int pauseMs);
  bool pause(int milliseconds) const;
  bool matches(const Exchange& exchange, const std::string& command);
  void fail(const std::string& problem);
  void setAndNotify(bool State::*flag);

  const Script script;
  uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::mutex stopMutex;
  std::thread thread;

  // Touched only by the server thread while it runs, and by stop() after it ended.
  TestSocket listener;
  TestSocket control;
  TestSocket passiveListener;
  enum class DataSetup { None, Passive, Active } dataSetup = DataSetup::None;
  Endpoint activeEndpoint{};
  TestSocket connectedAtPort;
  std::vector<TestSocket> stalled;

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> commands;
  std::vector<std::string> received;
  std::string failure;
  bool finished = false;
  bool clientClosed = false;
  bool ended = false;
};

void ScriptServer::State::fail(const std::string& problem) {
  std::lock_guard lock(mutex);
  if (failure.empty()) failure = problem;
}

void ScriptServer::State::setAndNotify(bool State::*flag) {
  {
    std::lock_guard lock(mutex);
    this->*flag = true;
  }
  changed.notify_all();
}

bool ScriptServer::State::pause(int milliseconds) const {
  const int64_t deadlineMs = nowMs() + milliseconds;
  for (int64_t leftMs = milliseconds; leftMs > 0 && !stopping; leftMs = deadlineMs - nowMs()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(leftMs, kSliceMs)));
  }
  return !stopping;
}

bool ScriptServer::State::writeChunks(const std::vector<std::string>& chunks, int pauseMs) {
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0 && !pause(pauseMs)) return false;
    if (!control.sendAll(chunks[i], script.ioTimeoutMs, &stopping)) {
      // The client hung up first, which is its right; the test judges that from its side.
      if (!stopping) setAndNotify(&State::clientClosed);
      return false;
    }
  }
  return true;
}

bool ScriptServer::State::matches(const Exchange& exchange, const std::string& command) {
  if (!exchange.pattern) return command == exchange.expect;
  try {
    return std::regex_match(command, std::regex(exchange.expect, std::regex::ECMAScript));
  } catch (const std::regex_error&) {
    fail("invalid pattern '" + exchange.expect + "'");
    return false;
  }
}

void ScriptServer::State::run() {
  try {
    play();
  } catch (const std::exception& error) {
    fail(std::string("script server error: ") + error.what());
  }
  setAndNotify(&State::ended);
}

void ScriptServer::State::play() {
  control = listener.accept(script.ioTimeoutMs, &stopping);
  listener.close();
  if (!control.valid()) {
    if (!stopping)
      fail("no control connection within " + std::to_string(script.ioTimeoutMs) + " ms");
    return;
  }
  if (!writeChunks(script.greeting, script.greetingPauseMs)) return;

  size_t next = 0;
  if (script.exchanges.empty()) setAndNotify(&State::finished);
  for (;;) {
    const std::string line = control.receiveLine(script.ioTimeoutMs, &stopping);
    if (line.empty()) {
      if (stopping) return;
      if (control.peerClosed()) {
        const std::string unfinished = control.takeBuffered();
        if (!unfinished.empty()) {
          {
            std::lock_guard lock(mutex);
            commands.push_back(unfinished);
          }
          fail("client closed after an unterminated command '" + unfinished + "'");
        }
        setAndNotify(&State::clientClosed);
      } else if (next < script.exchanges.size()) {
        fail("no command within " + std::to_string(script.ioTimeoutMs) + " ms; expected '" +
             script.exchanges[next].expect + "'");
      }
      return;
    }
    {
      std::lock_guard lock(mutex);
      commands.push_back(line);
    }
    const std::string command = withoutLineEnd(line);
    if (next >= script.exchanges.size() || !matches(script.exchanges[next], command)) {
      fail(next >= script.exchanges.size() ? "command '" + command + "' after the end of the script"
                                           : "unexpected command '" + command + "'; expected '" +
                                                 script.exchanges[next].expect + "'");
      if (!writeChunks({"599 unscripted\r\n"}, 0)) return;
      continue;
    }
    const size_t index = next++;
    if (!playExchange(index, command)) return;
    const Then then = script.exchanges[index].then;
    if (then == Then::Close) control.close();
    if (then != Then::Continue || next == script.exchanges.size()) setAndNotify(&State::finished);
    if (then != Then::Continue) return;
  }
}

bool ScriptServer::State::playExchange(size_t index, const std::string& command) {
  const Exchange& exchange = script.exchanges[index];
  std::vector<std::string> reply = exchange.reply;
  const std::string verb = verbOf(command);
  if (verb == "PASV" || verb == "EPSV") {
    // Listening before the reply is sent, so a client that connects at once finds the port.
    passiveListener = TestSocket::listen(script.ipv6);
    if (!passiveListener.valid()) fail("cannot open a passive data listener");
    dataSetup = DataSetup::Passive;
    reply = withPassivePort(std::move(reply), passiveListener.localPort());
  } else if (verb == "PORT" || verb == "EPRT") {
    const auto endpoint = verb == "PORT" ? parsePort(command) : parseEprt(command);
    passiveListener.close();
    dataSetup = endpoint ? DataSetup::Active : DataSetup::None;
    if (endpoint) {
      activeEndpoint = *endpoint;
    } else {
      fail("unparsable " + verb + " '" + command + "'");
    }
    const bool connectNow = endpoint && index + 1 < script.exchanges.size() &&
                            script.exchanges[index + 1].activeConnect == ActiveConnect::AtPort;
    if (connectNow) {
      connectedAtPort = TestSocket::connect(activeEndpoint.port, script.ioTimeoutMs, &stopping,
                                            activeEndpoint.address, activeEndpoint.ipv6);
    }
  }
  if (exchange.data == Data::None) return writeChunks(reply, exchange.chunkPauseMs);
  return playData(index, reply);
}

bool ScriptServer::State::playData(size_t index, const std::vector<std::string>& reply) {
  const Exchange& exchange = script.exchanges[index];
  const DataSetup setup = std::exchange(dataSetup, DataSetup::None);
  bool replied = false;
  const auto sendReply = [&] {
    replied = true;
    return writeChunks(reply, exchange.chunkPauseMs);
  };
  const auto dataFailed = [&](const std::string& problem) {
    if (stopping) return false;
    fail(problem + " for '" + exchange.expect + "'");
    return replied || sendReply();
  };

  if (setup == DataSetup::None) {
    return dataFailed("no PASV, EPSV, PORT or EPRT before a data exchange");
  }
  TestSocket data;
  if (setup == DataSetup::Passive) {
    if (exchange.passiveOrder == PassiveOrder::ReplyFirst && !sendReply()) return false;
    data = passiveListener.accept(script.ioTimeoutMs, &stopping);
    passiveListener.close();
    if (!data.valid()) return dataFailed("no passive data connection");
  } else if (exchange.activeConnect == ActiveConnect::AtPort) {
    data = std::move(connectedAtPort);
    if (!data.valid()) return dataFailed("active data connection at PORT failed");
  } else {
    if (exchange.activeConnect == ActiveConnect::Never) return sendReply();
    if (exchange.activeConnect == ActiveConnect::AfterReply && !sendReply()) return false;
    data = TestSocket::connect(activeEndpoint.port, script.ioTimeoutMs, &stopping,
                               activeEndpoint.address, activeEndpoint.ipv6);
    if (!data.valid()) return dataFailed("active data connection failed");
  }
  if (!replied && !sendReply()) return false;

  if (exchange.data == Data::Send) {
    // A client that drops the data connection early (an abort test) is not a script failure,
    // so the outcome of the writes is left for the test to judge from the client's side.
    const std::string_view bytes = exchange.sendBytes;
    const size_t piece = exchange.sendChunk == 0 ? bytes.size() : exchange.sendChunk;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      if (at > 0 && !pause(exchange.sendPauseMs)) return false;
      if (!data.sendAll(bytes.substr(at, piece), script.ioTimeoutMs, &stopping)) break;
    }
    if (stopping) return false;
    exchange.resetData ? data.reset() : data.closeAfterSending();
  } else if (exchange.data == Data::Receive) {
    if (!collect(index, data)) return !stopping;
  } else {
    stalled.push_back(std::move(data));
  }
  return writeChunks(exchange.finalReply, exchange.chunkPauseMs);
}

bool ScriptServer::State::collect(size_t index, TestSocket& data) {
  for (;;) {
    const std::string bytes = data.receiveSome(script.ioTimeoutMs, &stopping);
    if (!bytes.empty()) {
      std::lock_guard lock(mutex);
      received[index] += bytes;
    } else if (data.peerClosed()) {
      return true;
    } else {
      if (!stopping) {
        fail("data connection idle for " + std::to_string(script.ioTimeoutMs) + " ms for '" +
             script.exchanges[index].expect + "'");
      }
      return false;
    }
  }
}

ScriptServer::ScriptServer(Script script) : state_(std::make_unique<State>(std::move(script))) {
  State& state = *state_;
  state.listener = TestSocket::listen(state.script.ipv6);
  state.port = state.listener.localPort();
  if (!state.listener.valid()) state.fail("cannot listen on the loopback address");
  state.thread = std::thread([&state] { state.run(); });
}

ScriptServer::~ScriptServer() {
  stop();
}

uint16_t ScriptServer::port() const {
  return state_->port;
}

void ScriptServer::stop() {
  State& state = *state_;
  std::lock_guard lock(state.stopMutex);
  state.stopping = true;
  if (state.thread.joinable()) state.thread.join();
  state.listener.close();
  state.control.close();
  state.passiveListener.close();
  state.connectedAtPort.close();
  state.stalled.clear();
}

bool ScriptServer::waitFinished(int timeoutMs) {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  state.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return state.finished || state.ended; });
  return state.finished;
}

bool ScriptServer::waitClientClosed(int timeoutMs) {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  state.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return state.clientClosed || state.ended; });
  return state.clientClosed;
}

std::vector<std::string> ScriptServer::commands() const {
  std::lock_guard lock(state_->mutex);
  return state_->commands;
}

std::string ScriptServer::received(size_t exchangeIndex) const {
  std::lock_guard lock(state_->mutex);
  return exchangeIndex < state_->received.size() ? state_->received[exchangeIndex] : "";
}

std::string ScriptServer::failure() const {
  std::lock_guard lock(state_->mutex);
  return state_->failure;
}

}  // namespace ftptest
