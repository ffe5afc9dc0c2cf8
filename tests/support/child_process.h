// Work a test must keep out of its own process, run in a forked child (POSIX only).
#pragma once

#include <functional>

#include "frame/channel.h"

namespace ftptest {

// Runs body in a child process and waits for it: body's result as the child's exit code (0 to
// 255), or minus the number of the signal that ended the child.
int runInChild(const std::function<int()>& body);

// In a child: lowers the descriptor limit to 64 and fills it, so no socket can be opened.
void useUpDescriptors();

// Runs open (netOpenListener, netConnectData) in a child whose descriptors are used up, and
// checks that it answers -10, keeps that value in the socket field and leaves the error exit to
// the calling state: the armed state and the last socket code stay as they were.
void expectInvalidSocketWithoutDescriptors(Channel* channel, int32_t (*open)(Channel*),
                                           PlatSocket Channel::*socket);

}  // namespace ftptest
