// A scripted FTP server for protocol tests. It listens on 127.0.0.1 (or ::1), accepts one control
// connection and plays a fixed script, recording every command byte for byte, so a test can
// both provoke an exact server behaviour and assert the exact exchange the client produced.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace ftptest {

// What happens after an exchange: go on reading commands; stop reading but keep the control
// connection open until stop(); close the control connection.
enum class Then { Continue, Silence, Close };

// The data connection of an exchange: none; serve sendBytes then close; collect bytes until
// the client closes; open it and then neither write nor close it until stop().
enum class Data { None, Send, Receive, Stall };

// Active mode (after PORT or EPRT): when the server connects to the client, relative to `reply`,
// or at once when PORT arrives, before PORT's own reply (as pyftpdlib does).
enum class ActiveConnect { AfterReply, BeforeReply, Never, AtPort };
void PrintTo(ActiveConnect order, std::ostream* out);  // in test names and failure messages

// Passive mode: send `reply` before accepting the data connection (as pyftpdlib does) or only
// once the client has connected (as vsftpd does).
enum class PassiveOrder { ReplyFirst, AcceptFirst };

struct Exchange {
  std::string expect;              // the command line without CR LF
  bool pattern = false;            // expect is an ECMAScript regex over the whole line
  std::vector<std::string> reply;  // raw chunks, CR LF included; empty sends nothing
  int chunkPauseMs = 0;            // between chunks, so a reply can be split across TCP writes
  Then then = Then::Continue;
  Data data = Data::None;
  std::string sendBytes;   // Data::Send
  size_t sendChunk = 0;    // write sendBytes in pieces of this size; 0 writes it at once
  int sendPauseMs = 0;     // between pieces
  bool resetData = false;  // Data::Send: end with a reset instead of a close
  ActiveConnect activeConnect = ActiveConnect::AfterReply;
  PassiveOrder passiveOrder = PassiveOrder::ReplyFirst;
  // Written once the data part is over: after the server closed a Send, after the client closed
  // a Receive, right after the connection is up for a Stall. Empty sends nothing.
  std::vector<std::string> finalReply;
};

struct Script {
  std::vector<std::string> greeting;  // chunks, greetingPauseMs apart
  int greetingPauseMs = 0;
  std::vector<Exchange> exchanges;
  int ioTimeoutMs = 10000;  // bounds every single wait inside the server
  bool ipv6 = false;        // listen on ::1, passive data too; EPRT then names ::1
};

// Replies of a PASV or EPSV exchange may use {h1}..{h4} (127,0,0,1), {p1} {p2} (high and low
// byte of the data port) and {port} (decimal); the data listener exists before the reply.
class ScriptServer {
 public:
  explicit ScriptServer(Script script);  // binds 127.0.0.1:0 and starts playing
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  uint16_t port() const;
  void stop();  // idempotent; ends the thread and closes every connection
  // True once every exchange has been played, or a Close or Silence ended the script.
  bool waitFinished(int timeoutMs);
  // True once the client closed the control connection.
  bool waitClientClosed(int timeoutMs);

  std::vector<std::string> commands() const;         // each with its line end, in order
  std::string received(size_t exchangeIndex) const;  // what a Data::Receive exchange collected
  std::string failure() const;                       // "" or the first thing that went wrong

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A non-blocking IPv4 TCP socket with bounded waits, for tests that play the client by hand
// and for the server itself. Every wait gives up early once *cancel becomes true.
class TestSocket {
 public:
  using Address = std::array<uint8_t, 4>;
  static constexpr Address kLoopback = {127, 0, 0, 1};

  TestSocket() = default;
  ~TestSocket();
  TestSocket(TestSocket&& other) noexcept;
  TestSocket& operator=(TestSocket&& other) noexcept;
  TestSocket(const TestSocket&) = delete;
  TestSocket& operator=(const TestSocket&) = delete;

  static TestSocket listen(bool ipv6 = false);  // on 127.0.0.1 or ::1, free port; else invalid
  // To address, or to ::1 when ipv6 is set.
  static TestSocket connect(uint16_t port, int timeoutMs, const std::atomic<bool>* cancel = nullptr,
                            Address address = kLoopback, bool ipv6 = false);
  TestSocket accept(int timeoutMs, const std::atomic<bool>* cancel = nullptr);

  bool valid() const { return handle_ != -1; }
  uint16_t localPort() const;
  void close();
  void closeAfterSending();  // sends FIN first, so the peer reads everything before the end
  void reset();              // closes abortively: the peer reads a reset, not an end

  bool sendAll(std::string_view bytes, int timeoutMs, const std::atomic<bool>* cancel = nullptr);
  // Through the next LF; "" if no whole line came within timeoutMs or before the peer closed.
  std::string receiveLine(int timeoutMs, const std::atomic<bool>* cancel = nullptr);
  // Whatever is buffered or next arrives; "" on time-out or close.
  std::string receiveSome(int timeoutMs, const std::atomic<bool>* cancel = nullptr);
  // Everything until the peer closes or timeoutMs passes (peerClosed() tells which).
  std::string receiveUntilClosed(int timeoutMs, const std::atomic<bool>* cancel = nullptr);
  // Everything that arrives within timeoutMs (less if the peer closes).
  std::string receiveFor(int timeoutMs);
  bool peerClosed() const { return peerClosed_; }
  std::string takeBuffered();  // bytes read but not yet handed out, e.g. an unfinished line

 private:
  explicit TestSocket(std::intptr_t handle) : handle_(handle) {}
  bool fill(int64_t deadlineMs, const std::atomic<bool>* cancel);

  std::intptr_t handle_ = -1;
  std::string buffered_;
  bool peerClosed_ = false;
};

}  // namespace ftptest
