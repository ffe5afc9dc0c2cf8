// The library attached for a test, and everything the test left behind undone afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "frame/channel.h"
#include "support/test_files.h"

namespace ftptest {

// Settings are library-wide and survive release, so each test gets them back as it found
// them. Whatever a test left open in a channel record is closed quietly before release: the
// log first, so no line is written, and without the pause dapClose makes after each socket.
// A test that lends the library a socket it closes itself must take it back (set the field
// to 0) or lend a handle of its own (LocalPair::engineEnd).
class LibraryFixture : public ::testing::Test {
 protected:
  explicit LibraryFixture(uint32_t channels = 1) : channels_(channels) {}
  void SetUp() override;     // 0 channels: the library stays unattached
  void TearDown() override;  // a test may have released the library itself

  static Channel* channel(int32_t chan = 0) { return channelTable[chan]; }
  static void closeQuietly(Channel* channel);

  // A fresh log file on chan, which replaces (and so closes) the one before; returns its path.
  std::string openLog(int32_t chan = 0);
  std::string log(int32_t chan = 0) const;  // the last log opened on chan
  const TempDir& dir() const { return dir_; }
  const Settings& savedSettings() const { return saved_; }

 private:
  uint32_t channels_;
  Settings saved_{};
  TempDir dir_;
  std::string logPath_[kMaxChannels];
  int logCount_ = 0;
};

}  // namespace ftptest
