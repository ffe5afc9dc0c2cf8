#include "support/child_process.h"

#include <gtest/gtest.h>
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

void expectInvalidSocketWithoutDescriptors(Channel* channel, int32_t (*open)(Channel*),
                                           PlatSocket Channel::*socket) {
  const int32_t armedState = channel->nextState;
  const int failures = runInChild([&] {
    useUpDescriptors();
    int failures = 0;
    if (open(channel) != -10) failures |= 1;
    if (channel->*socket != -10) failures |= 2;
    if (channel->nextState != armedState || channel->lastSocketCode != 0) failures |= 4;
    return failures;
  });
  ASSERT_GE(failures, 0) << "the child was ended by a signal";
  EXPECT_EQ(failures & 1, 0) << "result is not -10";
  EXPECT_EQ(failures & 2, 0) << "the socket field does not hold the result";
  EXPECT_EQ(failures & 4, 0) << "the call ended the operation itself";
}

}  // namespace ftptest
