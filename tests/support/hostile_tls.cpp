#include "support/hostile_tls.h"

#include <chrono>
#include <sstream>

namespace ftptest {
namespace {

using Clock = std::chrono::steady_clock;

// Making three certificates takes about a second, more on a busy machine.
constexpr auto kReadyTimeout = std::chrono::seconds(15);
// The script gives its session 3 s to notice the end, then prints what it has.
constexpr auto kReportTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(5);

}  // namespace

HostileTlsServer::HostileTlsServer(const std::string& scenario) {
  std::string script = support_script_path("hostile_tls.py");
  finished_ = true;  // until the script runs, there is nothing to finish
  if (!script_.start(script, {scenario}, &error_)) return;
  finished_ = false;

  std::string line;
  bool got_line = script_.read_line(kReadyTimeout, &line);
  std::istringstream words(line);
  std::string word;
  unsigned long port = 0;
  if (words >> word && word == "READY" && words >> port >> certificate_ >> fingerprint_ &&
      port > 0 && port < 65536 && is_sha256_fingerprint(fingerprint_)) {
    port_ = static_cast<uint16_t>(port);
    ok_ = true;
    return;
  }
  certificate_.clear();
  fingerprint_.clear();
  if (!got_line && !script_.stdout_ended()) {
    error_ = "hostile_tls.py " + scenario + ": no READY line within 15 s";
  } else {
    error_ = "hostile_tls.py " + scenario + ": no READY line but \"" + line + "\"";
  }
  script_.stop(kStopTimeout);
  finished_ = true;
  std::string log = script_.stderr_tail(2000);
  if (!log.empty()) error_ += "\n" + log;
}

HostileTlsServer::~HostileTlsServer() {
  // Reading its report lets it exit instead of waiting on a full pipe.
  finish();
}

void HostileTlsServer::finish() {
  if (finished_) return;
  finished_ = true;
  script_.close_stdin();
  const auto deadline = Clock::now() + kReportTimeout;
  bool done = false;
  std::string line;
  while (!done) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !script_.read_line(left, &line)) break;
    if (line.rfind("RECEIVED ", 0) == 0) {
      received_.push_back(line.substr(9));
    } else if (line.rfind("EVENT ", 0) == 0) {
      events_.push_back(line.substr(6));
    } else if (line == "DONE") {
      done = true;
    }
  }
  script_.stop(kStopTimeout);
  if (!done) {
    error_ += std::string(error_.empty() ? "" : "\n") + "hostile_tls.py ended without DONE";
    std::string log = script_.stderr_tail(2000);
    if (!log.empty()) error_ += "\n" + log;
  }
}

const std::vector<std::string>& HostileTlsServer::received() {
  finish();
  return received_;
}

const std::vector<std::string>& HostileTlsServer::events() {
  finish();
  return events_;
}

}  // namespace ftptest
