// Elapsed time, for the bounds tests put on waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace ftptest {

using Clock = std::chrono::steady_clock;

inline int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Whether a wait took from lowMs to highMs, both included.
inline ::testing::AssertionResult elapsedBetween(int64_t elapsedMs, int64_t lowMs, int64_t highMs) {
  if (elapsedMs >= lowMs && elapsedMs <= highMs) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "took " << elapsedMs << " ms, not " << lowMs << " to " << highMs << " ms";
}

}  // namespace ftptest
