// Checks the real-server test support itself, with a raw control connection.
#include "support/real_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/hostile_tls.h"

namespace {

using ftptest::RealServerKind;

class RawControl {
 public:
  explicit RawControl(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RawControl() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawControl(const RawControl&) = delete;
  RawControl& operator=(const RawControl&) = delete;

  bool connected() const { return fd_ >= 0; }

  bool send(const std::string& command) {
    std::string wire = command + "\r\n";
    return fd_ >= 0 &&
           ::send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(wire.size());
  }

  // The code of the next complete reply (multi-line aware), or 0 on EOF or after 5 s.
  int reply() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string first;
    for (;;) {
      std::string line;
      if (!next_line(deadline, line)) return 0;
      if (first.empty()) {
        if (line.size() < 3) return 0;
        first = line;
        if (line.size() < 4 || line[3] != '-') break;
      } else if (line.size() >= 4 && line.compare(0, 3, first, 0, 3) == 0 && line[3] == ' ') {
        break;
      }
    }
    last_ = first;
    return std::stoi(first.substr(0, 3));
  }

  const std::string& last() const { return last_; }

 private:
  bool next_line(std::chrono::steady_clock::time_point deadline, std::string& line) {
    for (;;) {
      auto eol = buffer_.find('\n');
      if (eol != std::string::npos) {
        line = buffer_.substr(0, eol);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        buffer_.erase(0, eol + 1);
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (fd_ < 0 || left.count() <= 0) return false;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
      if (got <= 0) return false;
      buffer_.append(buf, static_cast<size_t>(got));
    }
  }

  int fd_ = -1;
  std::string buffer_;
  std::string last_;
};

void logs_in_and_enters_passive(RealServerKind kind) {
  std::string root;
  {
    ftptest::RealServer server(kind);
    ASSERT_TRUE(server.ok()) << server.error();
    root = server.root();
    EXPECT_TRUE(std::filesystem::is_directory(root));
    EXPECT_NE(0, server.port());
    EXPECT_EQ("", server.certificate());
    EXPECT_EQ("", server.fingerprint());

    RawControl control(server.port());
    ASSERT_TRUE(control.connected());
    EXPECT_EQ(220, control.reply());
    ASSERT_TRUE(control.send("USER " + server.user()));
    EXPECT_EQ(331, control.reply()) << control.last();
    ASSERT_TRUE(control.send("PASS " + server.password()));
    EXPECT_EQ(230, control.reply()) << control.last();
    ASSERT_TRUE(control.send("PWD"));
    EXPECT_EQ(257, control.reply()) << control.last();
    EXPECT_NE(std::string::npos, control.last().find("\"/\"")) << control.last();
    ASSERT_TRUE(control.send("PASV"));
    EXPECT_EQ(227, control.reply()) << control.last();
    EXPECT_NE(std::string::npos, control.last().find("127,0,0,1,")) << control.last();
    ASSERT_TRUE(control.send("QUIT"));
    EXPECT_EQ(221, control.reply()) << control.last();
  }
  EXPECT_FALSE(std::filesystem::exists(root));
}

void rejects_wrong_password(RealServerKind kind) {
  ftptest::RealServer server(kind);
  ASSERT_TRUE(server.ok()) << server.error();
  RawControl control(server.port());
  ASSERT_TRUE(control.connected());
  EXPECT_EQ(220, control.reply());
  ASSERT_TRUE(control.send("USER " + server.user()));
  EXPECT_EQ(331, control.reply()) << control.last();
  ASSERT_TRUE(control.send("PASS not-" + server.password()));
  EXPECT_EQ(530, control.reply()) << control.last();
}

TEST(RealServer, PyftpdlibLogsInAndEntersPassive) {
  logs_in_and_enters_passive(RealServerKind::Pyftpdlib);
}

TEST(RealServer, VsftpdLogsInAndEntersPassive) {
  logs_in_and_enters_passive(RealServerKind::Vsftpd);
}

TEST(RealServer, PyftpdlibRejectsWrongPassword) {
  rejects_wrong_password(RealServerKind::Pyftpdlib);
}

TEST(RealServer, VsftpdRejectsWrongPassword) {
  rejects_wrong_password(RealServerKind::Vsftpd);
}

TEST(RealServer, VsftpdCanChangeHandedOverFiles) {
  ftptest::RealServer server(RealServerKind::Vsftpd);
  ASSERT_TRUE(server.ok()) << server.error();
  std::filesystem::create_directory(server.root() + "/made-by-test");
  ASSERT_TRUE(server.hand_over_tree());

  RawControl control(server.port());
  ASSERT_TRUE(control.connected());
  EXPECT_EQ(220, control.reply());
  ASSERT_TRUE(control.send("USER " + server.user()));
  EXPECT_EQ(331, control.reply());
  ASSERT_TRUE(control.send("PASS " + server.password()));
  EXPECT_EQ(230, control.reply()) << control.last();
  ASSERT_TRUE(control.send("MKD made-by-test/inner"));
  EXPECT_EQ(257, control.reply()) << control.last();
  ASSERT_TRUE(control.send("RMD made-by-test/inner"));
  EXPECT_EQ(250, control.reply()) << control.last();
  ASSERT_TRUE(control.send("RMD made-by-test"));
  EXPECT_EQ(250, control.reply()) << control.last();
  EXPECT_FALSE(std::filesystem::exists(server.root() + "/made-by-test"));
}

// What the openssl tool says, as 64 hex digits without colons.
std::string openssl_fingerprint(const std::string& pem) {
  std::string command = "openssl x509 -noout -fingerprint -sha256 -in '" + pem + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
  ::pclose(pipe);
  auto equals = out.find('=');  // "sha256 Fingerprint=7E:EE:..."
  if (equals == std::string::npos) return out;
  std::string hex;
  for (char c : out.substr(equals + 1)) {
    if (c != ':' && c != '\n') hex += c;
  }
  return hex;
}

class RealServerTls : public ::testing::TestWithParam<RealServerKind> {};

TEST_P(RealServerTls, StartsWithItsCertificate) {
  ftptest::RealServer server(GetParam());
  ASSERT_TRUE(server.ok()) << server.error();
  EXPECT_TRUE(std::filesystem::is_regular_file(server.certificate())) << server.certificate();
  EXPECT_EQ(openssl_fingerprint(server.certificate()), server.fingerprint());
  if (GetParam() == RealServerKind::VsftpdImplicit) return;  // it speaks TLS from the start
  RawControl control(server.port());
  ASSERT_TRUE(control.connected());
  EXPECT_EQ(220, control.reply());
  ASSERT_TRUE(control.send("AUTH TLS"));
  EXPECT_EQ(234, control.reply()) << control.last();
  if (ftptest::real_server_is_vsftpd(GetParam())) {
    EXPECT_NE(std::string::npos, server.server_log().find("AUTH TLS")) << server.server_log();
  }
}

INSTANTIATE_TEST_SUITE_P(RealServerTls, RealServerTls,
                         ::testing::Values(RealServerKind::PyftpdlibTls, RealServerKind::VsftpdTls,
                                           RealServerKind::VsftpdTls12,
                                           RealServerKind::VsftpdImplicit,
                                           RealServerKind::VsftpdTlsNoReuse),
                         [](const auto& info) {
                           return std::string(ftptest::real_server_name(info.param));
                         });

TEST(RealServer, HostileTlsRefusesAuthAndRecordsCommands) {
  ftptest::HostileTlsServer server("refuse-auth");
  ASSERT_TRUE(server.ok()) << server.error();
  EXPECT_EQ(server.fingerprint(), openssl_fingerprint(server.certificate()));
  RawControl control(server.port());
  ASSERT_TRUE(control.connected());
  EXPECT_EQ(220, control.reply());
  ASSERT_TRUE(control.send("AUTH TLS"));
  EXPECT_EQ(504, control.reply()) << control.last();
  ASSERT_TRUE(control.send("USER someone"));
  EXPECT_EQ(331, control.reply()) << control.last();
  EXPECT_EQ((std::vector<std::string>{"AUTH TLS", "USER someone"}), server.received())
      << server.error();
  EXPECT_TRUE(server.events().empty());
}

}  // namespace
