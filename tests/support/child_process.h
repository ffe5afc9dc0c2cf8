// Work a test must keep out of its own process, run in a forked child (POSIX only).
#pragma once

#include <functional>

namespace ftptest {

// Runs body in a child process and waits for it: body's result as the child's exit code (0 to
// 255), or minus the number of the signal that ended the child.
int runInChild(const std::function<int()>& body);

// In a child: lowers the descriptor limit to 64 and fills it, so no socket can be opened.
void useUpDescriptors();

}  // namespace ftptest
