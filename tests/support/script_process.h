// A helper script of tests/support (serve_ftp.py, hostile_tls.py) run by /usr/bin/python3 as a
// child process, with pipes on its stdin and stdout (POSIX only).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace ftptest {

// tests/support/NAME in the source tree.
std::string support_script_path(const char* name);

// The last `limit` bytes of a file, or "" if it cannot be read.
std::string file_tail(const std::string& path, size_t limit);

// 64 uppercase hex digits, as the scripts print a certificate's SHA-256.
bool is_sha256_fingerprint(const std::string& text);

class ScriptProcess {
 public:
  ScriptProcess() = default;
  ~ScriptProcess();
  ScriptProcess(const ScriptProcess&) = delete;
  ScriptProcess& operator=(const ScriptProcess&) = delete;

  // Runs /usr/bin/python3 SCRIPT ARGS...; its stderr goes to a temporary file (stderr_tail).
  // False with *error set if it could not be started.
  bool start(const std::string& script, const std::vector<std::string>& args, std::string* error);

  // The next line of its stdout without the newline; false at EOF or once `timeout` has passed.
  bool read_line(std::chrono::milliseconds timeout, std::string* line);
  bool stdout_ended() const { return stdout_ended_; }  // read_line met EOF

  // EOF on its stdin, which the scripts take as the cue to finish.
  void close_stdin();

  // Closes its stdin, waits up to `timeout` for it to exit, then kills it.
  void stop(std::chrono::milliseconds timeout);

  std::string stderr_tail(size_t limit) const { return file_tail(stderr_path_, limit); }

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::string pending_;  // read from stdout, not yet returned by read_line
  bool stdout_ended_ = false;
  std::string stderr_path_;
};

}  // namespace ftptest
