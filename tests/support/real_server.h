// A real FTP server (pyftpdlib or vsftpd) on 127.0.0.1 for tests, run through serve_ftp.py.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace ftptest {

enum class RealServerKind { Pyftpdlib, Vsftpd };

// "pyftpdlib" or "vsftpd": usable in test names.
const char* real_server_name(RealServerKind kind);
void PrintTo(RealServerKind kind, std::ostream* out);  // in test names and failure messages

// Serves a fresh, empty temporary root; the server and the root are gone after destruction.
class RealServer {
 public:
  explicit RealServer(RealServerKind kind);
  ~RealServer();
  RealServer(const RealServer&) = delete;
  RealServer& operator=(const RealServer&) = delete;

  bool ok() const { return ok_; }
  std::string error() const { return error_; }

  RealServerKind kind() const { return kind_; }
  uint16_t port() const { return port_; }
  const std::string& root() const { return root_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }

  // vsftpd acts as a system user, so files and directories a test (running as root) made under
  // root() are read-only to it until handed over by this; a no-op for pyftpdlib.
  bool hand_over_tree() const;

 private:
  void start();
  void stop();

  RealServerKind kind_;
  bool ok_ = false;
  std::string error_;
  uint16_t port_ = 0;
  std::string root_;
  std::string user_;
  std::string password_;
  std::string log_path_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
};

}  // namespace ftptest
