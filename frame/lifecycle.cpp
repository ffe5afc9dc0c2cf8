// Attach and release, the channel table, and the preamble of every channel-bound export.
#include <cstddef>

#include "dap32.h"
#include "frame/blocks.h"
#include "frame/channel.h"

uint32_t channelCount = 0;
Channel* channelTable[kMaxChannels];

namespace {
int32_t attachValue = 0;

// The buffers of a channel, in the order they are allocated.
struct BufferBlock {
  uint32_t index;
  uint32_t size;
  char* Channel::*field;
};
constexpr BufferBlock kBufferBlocks[] = {
    {1, kDataBufferRoom, &Channel::dataBuffer},
    {4, kNameSize, &Channel::serverName},
    {5, kNameSize, &Channel::userName},
    {6, kNameSize, &Channel::password},
    {2, kLineBufferSize, &Channel::commandBuffer},
    {3, kLineBufferSize, &Channel::responseBuffer},
    {7, kNameSize, &Channel::fileName},
    {8, kNameSize, &Channel::serverDir},
    {9, kNameSize, &Channel::localDir},
    {10, kLineBufferSize, &Channel::logText},
};
constexpr uint32_t kLastBufferIndex = 10;

// Each channel cycles its active-mode listening ports in a window of 32 inside its own 512
// ports from 16384; the clock picks the window, so a restarted application does not reuse
// the ports of its previous run at once.
uint16_t dataPortBase(uint32_t channel) {
  uint32_t window = (platTicks() >> 13) & 15;
  return static_cast<uint16_t>(0x4000 | (channel << 9) | (window << 5));
}

bool setUpChannel(uint32_t index) {
  void* recordMemory = blockAllocateForChannel(index, 0, kRecordBlockSize);
  if (recordMemory == nullptr) return false;
  Channel* channel = recordInBlock(recordMemory);
  channelTable[index] = channel;
  channel->serverPort = 21;
  channel->channelIndex = static_cast<int32_t>(index);
  channel->lastLoggedState = -2;
  channel->currentState = -1;
  channel->pendingFlag = 0;
  channel->autoCall = 1;
  channel->tlsVerify = 1;
  channel->tlsProtectData = 1;
  channel->tlsDataResumed = -1;
  for (const BufferBlock& block : kBufferBlocks) {
    void* buffer = blockAllocateForChannel(index, block.index, block.size);
    if (buffer == nullptr) return false;
    channel->*block.field = static_cast<char*>(buffer);
  }
  channel->passiveMode = 0;
  uint16_t base = dataPortBase(index);
  channel->dataPort = base;
  channel->dataPortLow = base;
  channel->dataPortHigh = base | 0x1F;
  platCurrentDirectory(channel->localDir, kNameSize - 1);
  return true;
}

void releaseChannels(uint32_t count) {
  for (uint32_t index = 0; index < count; ++index) {
    blockReleaseForChannel(index, 1, kLastBufferIndex);
    blockReleaseForChannel(index, 0, 0);
  }
}
}  // namespace

Channel* channelFor(int32_t chan, int32_t* error) {
  if (channelCount == 0) {
    *error = DAP_ERR_NOT_ATTACHED;
    return nullptr;
  }
  if (static_cast<uint32_t>(chan) >= channelCount) {
    *error = DAP_ERR_CHANNEL_RANGE;
    return nullptr;
  }
  return channelTable[chan];
}

int32_t DAP_CALL dapAttach(uint32_t count, int32_t value) {
  if (channelCount != 0) return DAP_ERR_ALREADY_ATTACHED;
  if (count > kMaxChannels) return DAP_ERR_CHANNEL_RANGE;
  platLockCreate();
  platLockEnter();
  attachValue = value;
  if (int32_t startError = platSocketStartup(settings.socketVersion)) {
    platLockLeave();
    platLockDelete();
    return -startError;
  }
  blockInitTable();
  for (uint32_t index = 0; index < count; ++index) {
    if (!setUpChannel(index)) {
      // The failing channel's own blocks are freed too.
      releaseChannels(index + 1);
      platSocketCleanup();
      platLockLeave();
      platLockDelete();
      return DAP_ERR_NO_MEMORY;
    }
  }
  channelCount = count;
  platLockLeave();
  // With no channels the library still counts as unattached, and release will not run.
  if (count == 0) platLockDelete();
  return 1;
}

void releaseLibrary() {
  if (channelCount == 0) return;
  platLockEnter();
  platSocketCleanup();
  releaseChannels(channelCount);
  channelCount = 0;
  platLockLeave();
  platLockDelete();
}
