#include "support/real_server.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace ftptest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReadyTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr const char* kPython = "/usr/bin/python3";  // Debian's pyftpdlib is installed for it

std::string script_path() {
#ifdef DAP32_SOURCE_DIR
  return std::string(DAP32_SOURCE_DIR) + "/tests/support/serve_ftp.py";
#else
  std::string here = __FILE__;
  auto slash = here.find_last_of('/');
  return (slash == std::string::npos ? std::string(".") : here.substr(0, slash)) + "/serve_ftp.py";
#endif
}

std::string errno_text(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

std::string file_tail(const std::string& path, size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    off_t size = st.st_size;
    off_t from = size > static_cast<off_t>(limit) ? size - static_cast<off_t>(limit) : 0;
    text.resize(static_cast<size_t>(size - from));
    ssize_t got = ::pread(fd, text.data(), text.size(), from);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  }
  ::close(fd);
  return text;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

const char* real_server_name(RealServerKind kind) {
  return kind == RealServerKind::Vsftpd ? "vsftpd" : "pyftpdlib";
}

void PrintTo(RealServerKind kind, std::ostream* out) {
  *out << real_server_name(kind);
}

RealServer::RealServer(RealServerKind kind) : kind_(kind) {
  start();
}

RealServer::~RealServer() {
  stop();
  std::error_code ec;
  if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  if (!log_path_.empty()) ::unlink(log_path_.c_str());
}

void RealServer::start() {
  char root_template[] = "/tmp/dap32-ftp-XXXXXX";
  if (::mkdtemp(root_template) == nullptr) {
    error_ = errno_text("mkdtemp", errno);
    return;
  }
  root_ = root_template;

  // The script's stderr (tracebacks, server warnings) goes to a file, quoted in error().
  char log_template[] = "/tmp/dap32-ftp-log-XXXXXX";
  int log_fd = ::mkostemp(log_template, O_CLOEXEC);
  if (log_fd < 0) {
    error_ = errno_text("mkostemp", errno);
    return;
  }
  log_path_ = log_template;

  // Close-on-exec everywhere, so that no other child (or another RealServer's script) holds
  // a copy of this script's stdin and keeps it from seeing EOF.
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    error_ = errno_text("pipe2", errno);
    close_fd(in[0]), close_fd(in[1]), close_fd(out[0]), close_fd(out[1]), close_fd(log_fd);
    return;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, log_fd, 2);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t mask;
  sigemptyset(&mask);
  posix_spawnattr_setsigmask(&attr, &mask);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::string script = script_path();
  const char* kind_name = real_server_name(kind_);
  std::vector<char*> argv = {const_cast<char*>(kPython), script.data(),
                             const_cast<char*>(kind_name), root_.data(), nullptr};
  int rc = ::posix_spawn(&pid_, kPython, &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close_fd(in[0]);
  close_fd(out[1]);
  close_fd(log_fd);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  if (rc != 0) {
    pid_ = -1;
    error_ = errno_text("posix_spawn /usr/bin/python3", rc);
    stop();
    return;
  }

  std::string line;
  const auto deadline = Clock::now() + kReadyTimeout;
  bool timed_out = false;
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd pfd{stdout_fd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline check ends the loop
    char buf[256];
    ssize_t got = ::read(stdout_fd_, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    line.append(buf, static_cast<size_t>(got));
  }
  line = line.substr(0, line.find('\n'));

  std::istringstream words(line);
  std::string word;
  unsigned long port = 0;
  if (words >> word && word == "READY" && words >> port >> user_ >> password_ && port > 0 &&
      port < 65536) {
    port_ = static_cast<uint16_t>(port);
    ok_ = true;
    return;
  }
  user_.clear();
  password_.clear();
  if (line.rfind("FAILED ", 0) == 0) {
    error_ = real_server_name(kind_) + std::string(": ") + line.substr(7);
  } else if (timed_out) {
    error_ = std::string(real_server_name(kind_)) + ": no READY line within 15 s";
  } else {
    error_ = std::string(real_server_name(kind_)) + ": serve_ftp.py ended without READY (" +
             script + ")";
  }
  stop();
  std::string log = file_tail(log_path_, 2000);
  if (!log.empty()) error_ += "\n" + log;
}

void RealServer::stop() {
  // EOF on its stdin is the script's cue to stop the server and clean up.
  close_fd(stdin_fd_);
  if (pid_ > 0) {
    const auto deadline = Clock::now() + kStopTimeout;
    bool reaped = false;
    while (!reaped && Clock::now() < deadline) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        reaped = true;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
  }
  close_fd(stdout_fd_);
}

bool RealServer::hand_over_tree() const {
  if (kind_ != RealServerKind::Vsftpd) return true;
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
