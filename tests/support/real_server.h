// A real FTP server (pyftpdlib or vsftpd, plain or with TLS) on 127.0.0.1 for tests, run
// through serve_ftp.py.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "support/script_process.h"

namespace ftptest {

// The TLS kinds present a self-signed certificate for 127.0.0.1 and localhost and require TLS
// for the login and every transfer. VsftpdTls, VsftpdTls12 and VsftpdImplicit also require
// each data connection to resume the control connection's TLS session ("522" otherwise);
// PyftpdlibTls and VsftpdTlsNoReuse do not. VsftpdTls12 stops at TLS 1.2, the others offer
// 1.3. VsftpdImplicit starts TLS at connect, before the 220; the others wait for AUTH TLS.
enum class RealServerKind {
  Pyftpdlib,
  Vsftpd,
  PyftpdlibTls,
  VsftpdTls,
  VsftpdTls12,
  VsftpdImplicit,
  VsftpdTlsNoReuse,
};

// "pyftpdlib", "vsftpd", "pyftpdlib_tls", "vsftpd_tls", "vsftpd_tls12", "vsftpd_implicit",
// "vsftpd_tls_noreuse": usable in test names.
const char* real_server_name(RealServerKind kind);
void PrintTo(RealServerKind kind, std::ostream* out);  // in test names and failure messages
bool real_server_is_vsftpd(RealServerKind kind);
bool real_server_has_tls(RealServerKind kind);

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
  // TLS kinds: the server's certificate (a PEM file, usable as a CA file while the server
  // runs) and the SHA-256 of its DER form as 64 uppercase hex digits. Empty for plain kinds.
  const std::string& certificate() const { return certificate_; }
  const std::string& fingerprint() const { return fingerprint_; }
  // The vsftpd TLS kinds' log so far (commands, replies, TLS diagnostics such as "reused" per
  // data connection), at most its last `limit` bytes, for failure messages; empty otherwise.
  std::string server_log(size_t limit = 8000) const;

  // vsftpd acts as a system user, so files and directories a test (running as root) made under
  // root() are read-only to it until handed over by this; a no-op for the pyftpdlib kinds.
  bool hand_over_tree() const;

 private:
  void start();

  RealServerKind kind_;
  bool ok_ = false;
  std::string error_;
  uint16_t port_ = 0;
  std::string root_;
  std::string user_;
  std::string password_;
  std::string certificate_;
  std::string fingerprint_;
  ScriptProcess script_;
};

}  // namespace ftptest
