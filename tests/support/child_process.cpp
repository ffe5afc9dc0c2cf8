#include "support/child_process.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ftptest {

int runInChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child == -1 || waitpid(child, &status, 0) != child) return -256;
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

void useUpDescriptors() {
  const rlimit few{64, 64};
  setrlimit(RLIMIT_NOFILE, &few);
  while (dup(1) >= 0) {
  }
}

}  // namespace ftptest
