#include "support/script_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace ftptest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPython = "/usr/bin/python3";  // Debian's pyftpdlib is installed for it

std::string errno_text(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::string support_script_path(const char* name) {
#ifdef DAP32_SOURCE_DIR
  return std::string(DAP32_SOURCE_DIR) + "/tests/support/" + name;
#else
  std::string here = __FILE__;
  auto slash = here.find_last_of('/');
  return (slash == std::string::npos ? std::string(".") : here.substr(0, slash)) + "/" + name;
#endif
}

std::string file_tail(const std::string& path, size_t limit) {
  if (path.empty()) return {};
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

bool is_sha256_fingerprint(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

ScriptProcess::~ScriptProcess() {
  stop(std::chrono::seconds(5));
  if (!stderr_path_.empty()) ::unlink(stderr_path_.c_str());
}

bool ScriptProcess::start(const std::string& script, const std::vector<std::string>& args,
                          std::string* error) {
  // Tracebacks and server warnings, for failure messages.
  char log_template[] = "/tmp/dap32-script-log-XXXXXX";
  int log_fd = ::mkostemp(log_template, O_CLOEXEC);
  if (log_fd < 0) {
    *error = errno_text("mkostemp", errno);
    return false;
  }
  stderr_path_ = log_template;

  // Close-on-exec everywhere, so that no other child (or another script) holds a copy of this
  // script's stdin and keeps it from seeing EOF.
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    *error = errno_text("pipe2", errno);
    close_fd(in[0]), close_fd(in[1]), close_fd(out[0]), close_fd(out[1]), close_fd(log_fd);
    return false;
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

  std::vector<std::string> words = {kPython, script};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
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
    *error = errno_text("posix_spawn /usr/bin/python3", rc);
    stop(std::chrono::milliseconds(0));
    return false;
  }
  return true;
}

bool ScriptProcess::read_line(std::chrono::milliseconds timeout, std::string* line) {
  const auto deadline = Clock::now() + timeout;
  while (pending_.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (stdout_fd_ < 0 || left.count() <= 0) return false;
    pollfd pfd{stdout_fd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready <= 0) continue;  // EINTR or the deadline, which the loop checks
    char buf[4096];
    ssize_t got = ::read(stdout_fd_, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      stdout_ended_ = true;
      return false;
    }
    pending_.append(buf, static_cast<size_t>(got));
  }
  size_t eol = pending_.find('\n');
  *line = pending_.substr(0, eol);
  pending_.erase(0, eol + 1);
  return true;
}

void ScriptProcess::close_stdin() {
  close_fd(stdin_fd_);
}

void ScriptProcess::stop(std::chrono::milliseconds timeout) {
  close_stdin();
  if (pid_ > 0) {
    const auto deadline = Clock::now() + timeout;
    bool reaped = false;
    while (!reaped) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        reaped = true;
      } else if (Clock::now() >= deadline) {
        break;
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

}  // namespace ftptest
