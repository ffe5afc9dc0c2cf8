#include "support/real_server.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <vector>

namespace ftptest {
namespace {

constexpr auto kReadyTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(5);

struct KindInfo {
  RealServerKind kind;
  const char* name;        // for test names
  const char* scriptKind;  // serve_ftp.py's first argument
  bool vsftpd;
  bool tls;
};

constexpr KindInfo kKinds[] = {
    {RealServerKind::Pyftpdlib, "pyftpdlib", "pyftpdlib", false, false},
    {RealServerKind::Vsftpd, "vsftpd", "vsftpd", true, false},
    {RealServerKind::PyftpdlibTls, "pyftpdlib_tls", "pyftpdlib-tls", false, true},
    {RealServerKind::VsftpdTls, "vsftpd_tls", "vsftpd-tls", true, true},
    {RealServerKind::VsftpdTls12, "vsftpd_tls12", "vsftpd-tls12", true, true},
    {RealServerKind::VsftpdImplicit, "vsftpd_implicit", "vsftpd-implicit", true, true},
    {RealServerKind::VsftpdTlsNoReuse, "vsftpd_tls_noreuse", "vsftpd-tls-noreuse", true, true},
};

constexpr bool kinds_in_order() {
  for (size_t i = 0; i < std::size(kKinds); ++i) {
    if (static_cast<size_t>(kKinds[i].kind) != i) return false;
  }
  return true;
}
static_assert(kinds_in_order(), "kKinds is indexed by RealServerKind");
static_assert(std::size(kKinds) == static_cast<size_t>(RealServerKind::VsftpdTlsNoReuse) + 1,
              "every RealServerKind is in kKinds");

const KindInfo& info(RealServerKind kind) {
  return kKinds[static_cast<size_t>(kind)];
}

}  // namespace

const char* real_server_name(RealServerKind kind) {
  return info(kind).name;
}

bool real_server_is_vsftpd(RealServerKind kind) {
  return info(kind).vsftpd;
}

bool real_server_has_tls(RealServerKind kind) {
  return info(kind).tls;
}

void PrintTo(RealServerKind kind, std::ostream* out) {
  *out << real_server_name(kind);
}

RealServer::RealServer(RealServerKind kind) : kind_(kind) {
  start();
}

RealServer::~RealServer() {
  // EOF on its stdin is the script's cue to stop the server and clean up.
  script_.stop(kStopTimeout);
  std::error_code ec;
  if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

void RealServer::start() {
  char root_template[] = "/tmp/dap32-ftp-XXXXXX";
  if (::mkdtemp(root_template) == nullptr) {
    error_ = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  root_ = root_template;

  std::string script = support_script_path("serve_ftp.py");
  if (!script_.start(script, {info(kind_).scriptKind, root_}, &error_)) return;

  std::string line;
  bool got_line = script_.read_line(kReadyTimeout, &line);
  std::istringstream words(line);
  std::string word;
  unsigned long port = 0;
  bool ready = words >> word && word == "READY" && words >> port >> user_ >> password_ &&
               port > 0 && port < 65536;
  // TLS kinds: "READY <port> <user> <password> <cert-pem-path> <fingerprint>".
  bool tls_ready = !info(kind_).tls ||
                   (words >> certificate_ >> fingerprint_ && is_sha256_fingerprint(fingerprint_));
  if (ready && tls_ready) {
    port_ = static_cast<uint16_t>(port);
    ok_ = true;
    return;
  }
  user_.clear();
  password_.clear();
  certificate_.clear();
  fingerprint_.clear();
  std::string name = real_server_name(kind_);
  if (ready) {
    error_ = name + ": no certificate on the READY line: " + line;
  } else if (line.rfind("FAILED ", 0) == 0) {
    error_ = name + ": " + line.substr(7);
  } else if (!got_line && !script_.stdout_ended()) {
    error_ = name + ": no READY line within 15 s";
  } else {
    error_ = name + ": serve_ftp.py ended without READY (" + script + ")";
  }
  script_.stop(kStopTimeout);
  std::string log = script_.stderr_tail(2000);
  if (!log.empty()) error_ += "\n" + log;
}

std::string RealServer::server_log(size_t limit) const {
  if (!info(kind_).vsftpd || certificate_.empty()) return {};
  // serve_ftp.py keeps it beside the certificate.
  return file_tail(certificate_.substr(0, certificate_.find_last_of('/')) + "/server.log", limit);
}

bool RealServer::hand_over_tree() const {
  if (!info(kind_).vsftpd) return true;
  if (!ok_) return false;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwnam_r(user_.c_str(), &entry, buf.data(), buf.size(), &found) != 0 || !found) {
    return false;
  }
  bool all = ::lchown(root_.c_str(), found->pw_uid, found->pw_gid) == 0;
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(root_, ec), end;
  if (ec) return false;
  for (; it != end; it.increment(ec)) {
    if (ec) return false;
    all = ::lchown(it->path().c_str(), found->pw_uid, found->pw_gid) == 0 && all;
  }
  return all && !ec;
}

}  // namespace ftptest
