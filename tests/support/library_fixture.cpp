#include "support/library_fixture.h"

#include "dap32.h"
#include "frame/log.h"
#include "platform/platform.h"

namespace ftptest {

void LibraryFixture::SetUp() {
  ASSERT_EQ(channelCount, 0u) << "an earlier test left the library attached";
  ASSERT_FALSE(dir_.path().empty()) << "no scratch directory";
  saved_ = settings;
  if (channels_ > 0) {
    ASSERT_EQ(dapAttach(channels_, 0), 1);
  }
}

void LibraryFixture::TearDown() {
  platFailAllocation(0);
  platLimitSocketHandles(kPlatHighestSocket);
  for (uint32_t chan = 0; chan < channelCount; ++chan) closeQuietly(channelTable[chan]);
  EXPECT_EQ(dapRelease(), 1);
  settings = saved_;
}

void LibraryFixture::closeQuietly(Channel* channel) {
  logClose(channel);
  if (channel->localFile > 0) platFileClose(channel->localFile);
  channel->localFile = 0;
  for (PlatSocket* socket :
       {&channel->controlSocket, &channel->listenSocket, &channel->dataSocket}) {
    if (*socket > 0) platSocketClose(*socket);
    *socket = 0;
  }
}

std::string LibraryFixture::openLog(int32_t chan) {
  logPath_[chan] = dir_.file("log" + std::to_string(++logCount_) + ".txt");
  EXPECT_GT(dapSetString(chan, DAP_STR_LOG_OPEN, logPath_[chan].c_str()), 0) << logPath_[chan];
  return logPath_[chan];
}

std::string LibraryFixture::log(int32_t chan) const {
  return logPath_[chan].empty() ? "" : fileBytes(logPath_[chan]);
}

}  // namespace ftptest
