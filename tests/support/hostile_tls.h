// A scripted FTP server with TLS on 127.0.0.1 for exact TLS failure cases: hostile_tls.py,
// whose docstring lists the scenarios ("good", "refuse-auth", "wrong-name", "expired",
// "garbage-hello", ...) and the events it reports. It serves one control connection.
// Linux only: not part of the Windows test build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/script_process.h"

namespace ftptest {

// What RETR sends in every scenario.
inline constexpr const char kHostileTlsDownload[] = "hostile_tls download\r\n";

class HostileTlsServer {
 public:
  explicit HostileTlsServer(const std::string& scenario);
  ~HostileTlsServer();
  HostileTlsServer(const HostileTlsServer&) = delete;
  HostileTlsServer& operator=(const HostileTlsServer&) = delete;

  bool ok() const { return ok_; }
  std::string error() const { return error_; }

  uint16_t port() const { return port_; }
  // The certificate it presents (a PEM file, there until the session ends, usable as a CA
  // file) and the SHA-256 of its DER form as 64 uppercase hex digits.
  const std::string& certificate() const { return certificate_; }
  const std::string& fingerprint() const { return fingerprint_; }

  // Ends the session (a client still connected sees its control connection end), then the
  // command lines the server read, in order, without CR LF; bytes outside printable ASCII
  // appear as \xNN. Later calls return the same.
  const std::vector<std::string>& received();
  // Ends the session too; then its TLS events, e.g. "control tls=TLSv1.3 cipher=...",
  // "control handshake_failed=SSLV3_ALERT_BAD_CERTIFICATE",
  // "RETR prot=P tls=TLSv1.3 resumed=yes bytes=22",
  // "STOR prot=P tls=TLSv1.3 resumed=no bytes=3 close_notify=yes content=616263".
  const std::vector<std::string>& events();

 private:
  void finish();

  ScriptProcess script_;
  bool ok_ = false;
  bool finished_ = false;
  std::string error_;
  uint16_t port_ = 0;
  std::string certificate_;
  std::string fingerprint_;
  std::vector<std::string> received_;
  std::vector<std::string> events_;
};

}  // namespace ftptest
