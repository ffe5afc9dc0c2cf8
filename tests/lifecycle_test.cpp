// Attach and release, the channel table, the defaults of a new channel's record, and the
// guarded block table that all channel memory comes from.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "dap32.h"
#include "frame/blocks.h"
#include "frame/channel.h"
#include "frame/log.h"
#include "platform/platform.h"
#include "support/library_fixture.h"
#include "support/test_files.h"

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#define DAP32_TEST_ASAN 1
#endif

namespace {

using ftptest::fileBytes;
using ftptest::LibraryFixture;

// platFailAllocation does nothing in the Windows platform layer, which has no test hooks.
#ifdef _WIN32
constexpr bool kAllocationHook = false;
#else
constexpr bool kAllocationHook = true;
#endif
constexpr const char* kNoAllocationHook = "no allocation failure hook in this platform layer";

uint32_t slotOf(uint32_t channel, uint32_t index) {
  return channel * kBlocksPerChannel + index;
}

int occupiedSlots() {
  int count = 0;
  for (const BlockSlot& slot : blockTable) count += slot.handle != nullptr ? 1 : 0;
  return count;
}

// Each test attaches as it needs; release must leave no block behind.
class Lifecycle : public LibraryFixture {
 protected:
  Lifecycle() : LibraryFixture(0) {}
  void TearDown() override {
    LibraryFixture::TearDown();
    EXPECT_EQ(occupiedSlots(), 0) << "release left blocks allocated";
  }
};

// Every channel-bound export, called with harmless arguments: the preamble must answer
// before any of them is looked at.
char scratch[16] = "untouched";
struct BoundExport {
  const char* name;
  int32_t (*call)(int32_t chan);
};
const BoundExport kBoundExports[] = {
    {"dapDriver", [](int32_t c) { return dapDriver(c); }},
    {"dapConnect", [](int32_t c) { return dapConnect(c, "127.0.0.1", "u", "p"); }},
    {"dapClose", [](int32_t c) { return dapClose(c); }},
    {"dapAbort", [](int32_t c) { return dapAbort(c); }},
    {"dapErrorText", [](int32_t c) { return dapErrorText(c, -3, scratch, sizeof scratch); }},
    {"dapDebug", [](int32_t c) { return dapDebug(c, 0, 0, 0); }},
    {"dapGetString", [](int32_t c) { return dapGetString(c, 19, scratch, sizeof scratch); }},
    {"dapGetInteger", [](int32_t c) { return dapGetInteger(c, 20); }},
    {"dapSetInteger", [](int32_t c) { return dapSetInteger(c, 11, 4096); }},
    {"dapSetString", [](int32_t c) { return dapSetString(c, 21, "x"); }},
    {"dapGetFile", [](int32_t c) { return dapGetFile(c, "f"); }},
    {"dapPutFile", [](int32_t c) { return dapPutFile(c, "f"); }},
    {"dapGetList", [](int32_t c) { return dapGetList(c, 0, scratch, sizeof scratch); }},
    {"dapSetMode", [](int32_t c) { return dapSetMode(c, 'A'); }},
    {"dapSetServerDir", [](int32_t c) { return dapSetServerDir(c, "/"); }},
    {"dapGetServerDir", [](int32_t c) { return dapGetServerDir(c, scratch, sizeof scratch); }},
    {"dapGetLocalDir", [](int32_t c) { return dapGetLocalDir(c, scratch, sizeof scratch); }},
    {"dapSetLocalDir", [](int32_t c) { return dapSetLocalDir(c, "/tmp"); }},
    {"dapDelFile", [](int32_t c) { return dapDelFile(c, "f"); }},
    {"dapMakeServerDir", [](int32_t c) { return dapMakeServerDir(c, "d"); }},
    {"dapDelServerDir", [](int32_t c) { return dapDelServerDir(c, "d"); }},
};

TEST_F(Lifecycle, ChannelBoundExportsAnswerMinus15BeforeAttach) {
  const uint32_t blockSize = settings.uploadBlockSize;
  for (const BoundExport& bound : kBoundExports) {
    EXPECT_EQ(bound.call(0), DAP_ERR_NOT_ATTACHED) << bound.name;
    EXPECT_EQ(bound.call(-1), DAP_ERR_NOT_ATTACHED) << bound.name;
  }
  EXPECT_STREQ(scratch, "untouched");
  EXPECT_EQ(settings.uploadBlockSize, blockSize);
}

TEST_F(Lifecycle, ChannelsNotBelowTheCountAnswerMinus8) {
  ASSERT_EQ(dapAttach(2, 0), 1);
  const uint32_t blockSize = settings.uploadBlockSize;
  for (int32_t chan : {2, 3, 31, 32, -1, INT_MIN, INT_MAX}) {
    for (const BoundExport& bound : kBoundExports) {
      EXPECT_EQ(bound.call(chan), DAP_ERR_CHANNEL_RANGE) << bound.name << " on channel " << chan;
    }
  }
  EXPECT_STREQ(scratch, "untouched");
  EXPECT_EQ(settings.uploadBlockSize, blockSize);
  EXPECT_EQ(dapGetInteger(1, DAP_GET_VERSION), 278);
}

TEST_F(Lifecycle, CountsAbove32AreRejectedAndLeaveTheLibraryUnattached) {
  for (uint32_t count : {33u, 64u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(dapAttach(count, 0), DAP_ERR_CHANNEL_RANGE) << count;
    EXPECT_EQ(channelCount, 0u);
    EXPECT_EQ(dapGetInteger(0, DAP_GET_VERSION), DAP_ERR_NOT_ATTACHED);
    EXPECT_EQ(occupiedSlots(), 0);
  }
}

TEST_F(Lifecycle, ThirtyTwoChannelsFillEverySlot) {
  ASSERT_EQ(dapAttach(32, 7), 1);
  EXPECT_EQ(occupiedSlots(), 352);
  EXPECT_EQ(dapGetInteger(31, DAP_GET_STEP_COUNT), 0);
  EXPECT_EQ(dapGetInteger(32, DAP_GET_STEP_COUNT), DAP_ERR_CHANNEL_RANGE);
  EXPECT_EQ(channelTable[31]->channelIndex, 31);
}

TEST_F(Lifecycle, SecondAttachAnswersMinus3AndKeepsTheFirstAttachment) {
  ASSERT_EQ(dapAttach(2, 0), 1);
  Channel* first = channelTable[0];
  ASSERT_EQ(dapSetInteger(1, DAP_SET_SERVER_PORT, 2121), 2121);
  for (uint32_t count : {1u, 2u, 32u, 33u, 0u}) EXPECT_EQ(dapAttach(count, 0), -3) << count;
  EXPECT_EQ(channelCount, 2u);
  EXPECT_EQ(channelTable[0], first);
  EXPECT_EQ(channelTable[1]->serverPort, 2121);
  EXPECT_EQ(occupiedSlots(), 22);
  EXPECT_EQ(dapGetInteger(2, DAP_GET_STEP_COUNT), DAP_ERR_CHANNEL_RANGE);
}

TEST_F(Lifecycle, CountZeroSucceedsButLeavesTheLibraryUnattached) {
  EXPECT_EQ(dapAttach(0, 0), 1);
  EXPECT_EQ(channelCount, 0u);
  EXPECT_EQ(occupiedSlots(), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_VERSION), DAP_ERR_NOT_ATTACHED);
  EXPECT_EQ(dapDebug(0, 0, 0, 0), DAP_ERR_NOT_ATTACHED);
  EXPECT_EQ(dapRelease(), 1);
  // Nothing of the empty attach may stand in the way of a real one.
  EXPECT_EQ(dapAttach(1, 0), 1);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_VERSION), 278);
}

TEST_F(Lifecycle, ReleaseTwiceReturnsOneAndTheSecondDoesNothing) {
  EXPECT_EQ(dapRelease(), 1);  // before any attach
  ASSERT_EQ(dapAttach(3, 0), 1);
  EXPECT_EQ(dapRelease(), 1);
  EXPECT_EQ(channelCount, 0u);
  EXPECT_EQ(occupiedSlots(), 0);
  EXPECT_EQ(dapRelease(), 1);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_VERSION), DAP_ERR_NOT_ATTACHED);
}

TEST_F(Lifecycle, AttachAfterReleaseGivesFreshChannelsButKeepsSettings) {
  ASSERT_EQ(dapAttach(2, 0), 1);
  ASSERT_EQ(dapSetInteger(1, DAP_SET_UPLOAD_BLOCK_SIZE, 4096), 4096);
  ASSERT_EQ(dapSetInteger(1, DAP_SET_REPLY_TIMEOUT, 1234), 1234);
  ASSERT_EQ(dapSetInteger(1, DAP_SET_CLOSE_PAUSE, 0), 0);
  ASSERT_EQ(dapSetInteger(1, DAP_SET_TRANSFER_CHUNK, 65536), 65536);
  ASSERT_EQ(dapSetInteger(1, DAP_SET_SERVER_PORT, 2121), 2121);
  ASSERT_EQ(dapSetInteger(1, DAP_SET_AUTO_CALL, 0), 0);
  ASSERT_EQ(dapSetInteger(1, DAP_SET_PASSIVE, 1), 1);
  channelTable[1]->serverCode = 550;
  channelTable[1]->totalBytesReceived = 99;
  std::snprintf(channelTable[1]->serverName, kNameSize, "old.example");
  ASSERT_EQ(dapRelease(), 1);

  ASSERT_EQ(dapAttach(2, 0), 1);
  const Channel& fresh = *channelTable[1];
  EXPECT_EQ(fresh.serverPort, 21);
  EXPECT_EQ(fresh.autoCall, 1u);
  EXPECT_EQ(fresh.passiveMode, 0);
  EXPECT_EQ(dapGetInteger(1, DAP_GET_SERVER_CODE), 0);
  EXPECT_EQ(dapGetInteger(1, DAP_GET_TOTAL_BYTES_RECEIVED), 0);
  EXPECT_STREQ(fresh.serverName, "");
  EXPECT_EQ(settings.uploadBlockSize, 4096u);
  EXPECT_EQ(settings.replyTimeout, 1234u);
  EXPECT_EQ(settings.closePause, 0u);
  EXPECT_EQ(settings.transferChunk, 65536u);
}

TEST_F(Lifecycle, NewChannelsCarryTheirDefaults) {
  ASSERT_EQ(dapAttach(3, 0), 1);
  for (uint32_t chan = 0; chan < 3; ++chan) {
    SCOPED_TRACE(chan);
    const Channel& c = *channelTable[chan];
    EXPECT_EQ(c.serverPort, 21);
    EXPECT_EQ(c.channelIndex, static_cast<int32_t>(chan));
    EXPECT_EQ(c.autoCall, 1u);
    EXPECT_EQ(c.passiveMode, 0);
    EXPECT_EQ(c.currentState, -1);
    EXPECT_EQ(c.lastLoggedState, -2);
    EXPECT_EQ(c.nextState, 0);
    EXPECT_EQ(c.returnState, 0);
    EXPECT_EQ(c.pendingFlag, 0);
    EXPECT_EQ(c.resumeTick, 0u);
    EXPECT_EQ(c.deadlineTick, 0u);
    EXPECT_EQ(c.logFile, 0);
    EXPECT_EQ(c.localFile, 0);
    EXPECT_EQ(c.controlSocket, 0);
    EXPECT_EQ(c.listenSocket, 0);
    EXPECT_EQ(c.dataSocket, 0);
    EXPECT_EQ(c.serverAddr, 0u);
    EXPECT_EQ(c.binaryMode, 0u);
    EXPECT_EQ(c.listBuffer, nullptr);
    for (uint32_t code : {2u, 3u, 4u, 10u, 11u, 12u, 13u, 14u, 15u}) {
      EXPECT_EQ(dapGetInteger(static_cast<int32_t>(chan), code), 0) << "code " << code;
    }
  }
}

// GetCurrentDirectoryA gets a buffer of 127 bytes: 126 characters fit, 127 leave it empty.
TEST_F(Lifecycle, LocalDirIsTheCurrentDirectoryWhenItFits) {
  const std::string root = std::filesystem::canonical(dir().path()).string();
  const std::filesystem::path previous = std::filesystem::current_path();

  struct Case {
    size_t length;
    bool fits;
  };
  for (Case c : {Case{126, true}, Case{127, false}}) {
    SCOPED_TRACE(c.length);
    const std::string dir = root + kPathSeparator + std::string(c.length - root.size() - 1, 'd');
    ASSERT_EQ(dir.size(), c.length);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    std::error_code error;
    std::filesystem::current_path(dir, error);
    ASSERT_FALSE(error) << error.message();
    const int32_t attached = dapAttach(1, 0);
    const std::string localDir = attached == 1 ? channelTable[0]->localDir : "<attach failed>";
    std::filesystem::current_path(previous, error);
    ASSERT_FALSE(error) << error.message();
    ASSERT_EQ(attached, 1);
    EXPECT_EQ(localDir, c.fits ? dir : "");
    for (uint32_t chan = 0; chan < channelCount; ++chan) logClose(channelTable[chan]);
    ASSERT_EQ(dapRelease(), 1);
  }

  ASSERT_EQ(dapAttach(2, 0), 1);
  const std::string here = previous.string();
  EXPECT_EQ(std::string(channelTable[1]->localDir), here.size() <= 126 ? here : "");
}

TEST_F(Lifecycle, DataPortRangesAre512ApartInATickWindow) {
  const uint32_t before = (platTicks() >> 13) & 15;
  ASSERT_EQ(dapAttach(32, 0), 1);
  const uint32_t after = (platTicks() >> 13) & 15;
  for (uint32_t chan = 0; chan < 32; ++chan) {
    SCOPED_TRACE(chan);
    const Channel& c = *channelTable[chan];
    const uint32_t low = c.dataPortLow;
    EXPECT_EQ(low >> 9, 32 + chan) << "512-port block of the channel";
    EXPECT_EQ(low & 0x1F, 0u);
    EXPECT_EQ(c.dataPortHigh, low | 31);
    EXPECT_EQ(c.dataPort, low);
    if (before == after) {
      EXPECT_EQ((low >> 5) & 15, before) << "window from ticks >> 13";
    }
  }
  EXPECT_GE(channelTable[0]->dataPortLow, 16384);
  EXPECT_LE(channelTable[0]->dataPortHigh, 16895);
  EXPECT_LE(channelTable[31]->dataPortHigh, 32767);
}

// The record's alignment is its own: 8 on 64-bit builds, 4 in the 32-bit DLL.
TEST_F(Lifecycle, RecordSitsAtTheFirstAlignedAddressOfBlockZero) {
  constexpr uintptr_t kAlign = alignof(Channel);
  ASSERT_EQ(dapAttach(4, 0), 1);
  for (uint32_t chan = 0; chan < 4; ++chan) {
    SCOPED_TRACE(chan);
    const uint32_t slot = slotOf(chan, 0);
    const unsigned char* block = blockAddress(slot);
    ASSERT_NE(block, nullptr);
    const auto* record = reinterpret_cast<const unsigned char*>(channelTable[chan]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(record) % kAlign, 0u);
    EXPECT_GE(record, block);
    EXPECT_LT(static_cast<uintptr_t>(record - block), kAlign);
    EXPECT_LE(record + sizeof(Channel), block + (blockTable[slot].sizeWord - 2))
        << "record runs past the usable bytes of its block";
  }
}

struct BufferSlot {
  const char* name;
  char* Channel::*field;
  uint32_t index;
  uint32_t size;
};
constexpr BufferSlot kBufferSlots[] = {
    {"dataBuffer", &Channel::dataBuffer, 1, 262144},  // a block of 8192 per default step
    {"commandBuffer", &Channel::commandBuffer, 2, 2048},
    {"responseBuffer", &Channel::responseBuffer, 3, 2048},
    {"serverName", &Channel::serverName, 4, 128},
    {"userName", &Channel::userName, 5, 128},
    {"password", &Channel::password, 6, 128},
    {"fileName", &Channel::fileName, 7, 128},
    {"serverDir", &Channel::serverDir, 8, 128},
    {"localDir", &Channel::localDir, 9, 128},
    {"logText", &Channel::logText, 10, 2048},
};

TEST_F(Lifecycle, BuffersComeFromTheirOwnSlotsWithTheirSizesAndGuards) {
  ASSERT_EQ(dapAttach(3, 0), 1);
  EXPECT_EQ(occupiedSlots(), 33);
  for (uint32_t chan = 0; chan < 3; ++chan) {
    const Channel& c = *channelTable[chan];
    for (const BufferSlot& buffer : kBufferSlots) {
      SCOPED_TRACE(std::string(buffer.name) + " of channel " + std::to_string(chan));
      const uint32_t slot = slotOf(chan, buffer.index);
      const BlockSlot& entry = blockTable[slot];
      ASSERT_NE(entry.handle, nullptr);
      EXPECT_EQ(reinterpret_cast<unsigned char*>(c.*buffer.field), entry.base + 1);
      EXPECT_EQ(entry.sizeWord, buffer.size + 2);
      EXPECT_EQ(blockCheck(slot), 1);
      const unsigned char* base = entry.base;
      EXPECT_EQ(base[0], 0x55);
      EXPECT_EQ(base[buffer.size + 3], 0xAA);
      EXPECT_EQ(base[buffer.size + 1], 0);
      EXPECT_EQ(base[buffer.size + 2], 0);
      EXPECT_EQ(base[buffer.size + 4], 0);
      if (buffer.index == 9) continue;  // holds the current directory
      size_t nonZero = 0;
      for (uint32_t i = 1; i <= buffer.size; ++i) nonZero += base[i] != 0 ? 1 : 0;
      EXPECT_EQ(nonZero, 0u) << "buffer not zero-filled";
    }
    EXPECT_EQ(blockTable[slotOf(chan, 0)].sizeWord, kRecordBlockSize + 2);
  }
}

TEST_F(Lifecycle, FailedAllocationAnswersMinus5AndLeavesNothingAllocated) {
  if (!kAllocationHook) GTEST_SKIP() << kNoAllocationHook;
  // Allocations run 11 per channel: the record, then its ten buffers.
  for (int32_t failing : {1, 2, 6, 11, 12, 17, 22, 23, 33}) {
    SCOPED_TRACE(failing);
    platFailAllocation(failing);
    EXPECT_EQ(dapAttach(3, 0), DAP_ERR_NO_MEMORY);
    platFailAllocation(0);
    EXPECT_EQ(channelCount, 0u);
    EXPECT_EQ(occupiedSlots(), 0);
    EXPECT_EQ(dapGetInteger(0, DAP_GET_VERSION), DAP_ERR_NOT_ATTACHED);
    EXPECT_EQ(dapRelease(), 1);
  }
  // A countdown beyond the attach's 33 allocations does not fire.
  platFailAllocation(34);
  EXPECT_EQ(dapAttach(3, 0), 1);
  platFailAllocation(0);
  EXPECT_EQ(occupiedSlots(), 33);
}

// ---- The block table, reached directly while the library is unattached. ----

class BlockTable : public LibraryFixture {
 protected:
  BlockTable() : LibraryFixture(0) {}
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LibraryFixture::SetUp());
    ASSERT_EQ(occupiedSlots(), 0);
    blockInitTable();
  }
  // Blocks that release leaves behind on purpose are mended and freed here.
  void TearDown() override {
    LibraryFixture::TearDown();
    for (uint32_t slot = 0; slot < kBlockSlots; ++slot) {
      blockTable[slot].slotNumber = slot;
      if (blockTable[slot].handle != nullptr) blockFree(slot);
    }
  }
};

TEST_F(BlockTable, SlotsRunChannelMajor) {
  struct Case {
    uint32_t channel, index, slot;
  };
  for (Case c :
       {Case{0, 0, 0}, Case{0, 10, 10}, Case{1, 0, 11}, Case{2, 3, 25}, Case{31, 10, 351}}) {
    SCOPED_TRACE(c.slot);
    void* block = blockAllocateForChannel(c.channel, c.index, 16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block, blockAddress(c.slot));
    EXPECT_EQ(blockTable[c.slot].sizeWord, 18u);
  }
  EXPECT_EQ(occupiedSlots(), 5);
  blockReleaseForChannel(2, 3, 3);
  EXPECT_EQ(blockTable[25].handle, nullptr);
  blockReleaseForChannel(31, 0, 10);  // empty slots among them are passed over
  EXPECT_EQ(blockTable[351].handle, nullptr);
  EXPECT_EQ(occupiedSlots(), 3);
}

TEST_F(BlockTable, BlockOf128BytesHas133BytesWithItsGuardsAt0And131) {
  ASSERT_EQ(blockAllocate(40, 128), 40);
  const BlockSlot& entry = blockTable[40];
  ASSERT_NE(entry.handle, nullptr);
  const unsigned char* base = entry.base;
  EXPECT_EQ(entry.sizeWord, 130u);
  EXPECT_EQ(blockAddress(40), base + 1);
  EXPECT_EQ(base[0], 0x55);
  EXPECT_EQ(base[131], 0xAA);
  for (int i = 1; i <= 130; ++i) ASSERT_EQ(base[i], 0) << "byte " << i;
  EXPECT_EQ(base[132], 0);
#ifdef DAP32_TEST_ASAN
  EXPECT_EQ(__asan_region_is_poisoned(const_cast<unsigned char*>(base), 133), nullptr);
  EXPECT_TRUE(__asan_address_is_poisoned(base + 133)) << "block is larger than 133 bytes";
#endif
  EXPECT_EQ(blockCheck(40), 1);
}

TEST_F(BlockTable, OccupiedSlotAnswersMinus103AndKeepsItsBlock) {
  ASSERT_EQ(blockAllocate(7, 128), 7);
  unsigned char* first = blockAddress(7);
  std::memcpy(first, "kept", 5);
  EXPECT_EQ(blockAllocate(7, 2048), -103);
  EXPECT_EQ(blockAddress(7), first);
  EXPECT_EQ(blockTable[7].sizeWord, 130u);
  EXPECT_STREQ(reinterpret_cast<char*>(first), "kept");
  EXPECT_EQ(blockAllocateForChannel(0, 7, 128), nullptr);
  EXPECT_EQ(blockAddress(7), first);
}

TEST_F(BlockTable, EmptySlotAnswersMinus104AndChangesNothing) {
  EXPECT_EQ(blockCheck(12), -104);
  EXPECT_EQ(blockFree(12), -104);
  EXPECT_EQ(blockAddress(12), nullptr);
  // A freed slot is empty again, but keeps its base and size word.
  ASSERT_EQ(blockAllocate(12, 64), 12);
  unsigned char* base = blockTable[12].base;
  EXPECT_EQ(blockFree(12), 1);
  EXPECT_EQ(blockTable[12].handle, nullptr);
  EXPECT_EQ(blockTable[12].base, base);
  EXPECT_EQ(blockTable[12].sizeWord, 66u);
  EXPECT_EQ(blockFree(12), -104);
  EXPECT_EQ(blockCheck(12), -104);
  EXPECT_EQ(blockAddress(12), nullptr);
  EXPECT_EQ(blockTable[12].slotNumber, 12u);
}

TEST_F(BlockTable, SlotsFrom352OnAnswerMinus100) {
  for (uint32_t slot : {352u, 353u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(blockAllocate(slot, 16), -100);
    EXPECT_EQ(blockCheck(slot), -100);
    EXPECT_EQ(blockFree(slot), -100);
    EXPECT_EQ(blockAddress(slot), nullptr);
  }
  EXPECT_EQ(occupiedSlots(), 0);
}

// The slot number is checked before whether the slot is occupied or empty.
TEST_F(BlockTable, DamagedSlotNumberAnswersMinus105BeforeOtherChecks) {
  blockTable[30].slotNumber = 31;
  EXPECT_EQ(blockAllocate(30, 16), -105);
  EXPECT_EQ(blockTable[30].handle, nullptr);
  EXPECT_EQ(blockCheck(30), -105);
  EXPECT_EQ(blockFree(30), -105);

  blockTable[30].slotNumber = 30;
  ASSERT_EQ(blockAllocate(30, 16), 30);
  blockTable[30].slotNumber = 0;
  EXPECT_EQ(blockAllocate(30, 16), -105);
  EXPECT_EQ(blockAddress(30), nullptr);
  EXPECT_EQ(blockCheck(30), -105);
  EXPECT_EQ(blockFree(30), -105);
  EXPECT_NE(blockTable[30].handle, nullptr) << "a damaged slot must not be freed";
  blockTable[30].slotNumber = 30;
  EXPECT_EQ(blockFree(30), 1);
}

TEST_F(BlockTable, CheckFindsBrokenGuardsOnEitherSide) {
  ASSERT_EQ(blockAllocate(50, 128), 50);
  unsigned char* base = blockTable[50].base;
  EXPECT_EQ(blockCheck(50), 1);
  base[129] = base[130] = 'x';  // the spare bytes are not guards
  base[132] = 'x';
  EXPECT_EQ(blockCheck(50), 1);
  base[0] = 0x54;
  EXPECT_EQ(blockCheck(50), -106);
  base[0] = 0x55;
  base[131] = 0;
  EXPECT_EQ(blockCheck(50), -106);
  base[131] = 0xAA;
  EXPECT_EQ(blockCheck(50), 1);
}

TEST_F(BlockTable, FailedAllocationAnswersMinus102AndLeavesTheSlotEmpty) {
  if (!kAllocationHook) GTEST_SKIP() << kNoAllocationHook;
  platFailAllocation(1);
  EXPECT_EQ(blockAllocate(5, 128), -102);
  EXPECT_EQ(blockTable[5].handle, nullptr);
  EXPECT_EQ(blockAddress(5), nullptr);
  platFailAllocation(1);
  EXPECT_EQ(blockAllocateForChannel(0, 5, 128), nullptr);
  EXPECT_EQ(blockAllocate(5, 128), 5);
}

TEST_F(BlockTable, ChannelAllocationFailureIsLogged) {
  const std::string log = dir().file("alloc.log");
  ASSERT_EQ(dapAttach(2, 0), 1);
  ASSERT_GT(dapSetString(1, DAP_STR_LOG_OPEN, log.c_str()), 0);
  EXPECT_EQ(blockAllocateForChannel(1, 3, 128), nullptr);
  EXPECT_EQ(blockAllocateForChannel(0, 3, 128), nullptr);  // channel 0 has no log
  EXPECT_EQ(fileBytes(log), "AllocateMemory Error: Chan=1, Index=3, Code=-103\r\n");
}

// Release reports a damaged block in the channel's log and leaves it allocated.
TEST_F(BlockTable, ReleaseLogsAndKeepsABlockWithABrokenGuard) {
  enum Damage { kTrailing, kLeading, kSlotNumber };
  struct Case {
    uint32_t channel;
    uint32_t index;
    Damage damage;
    const char* line;
  };
  const Case cases[] = {
      {0, 3, kTrailing, "FreeMemory Error: Chan=0, Index=3, Code=-106\r\n"},
      {0, 3, kLeading, "FreeMemory Error: Chan=0, Index=3, Code=-106\r\n"},
      {0, 3, kSlotNumber, "FreeMemory Error: Chan=0, Index=3, Code=-105\r\n"},
      {1, 5, kTrailing, "FreeMemory Error: Chan=1, Index=5, Code=-106\r\n"},
      {0, 10, kTrailing, "FreeMemory Error: Chan=0, Index=10, Code=-106\r\n"},
      // The record itself is checked after its log buffer has been freed.
      {1, 0, kTrailing, "FreeMemory Error: Chan=1, Index=0, Code=-106\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string log = dir().file("release.log");
    ASSERT_EQ(dapAttach(2, 0), 1);
    const int32_t chan = static_cast<int32_t>(c.channel);
    const PlatFile file = dapSetString(chan, DAP_STR_LOG_OPEN, log.c_str());
    ASSERT_GT(file, 0);
    const uint32_t slot = slotOf(c.channel, c.index);
    BlockSlot& entry = blockTable[slot];
    if (c.damage == kTrailing) entry.base[entry.sizeWord + 1] = 0;
    if (c.damage == kLeading) entry.base[0] = 0;
    if (c.damage == kSlotNumber) entry.slotNumber = slot + 1;

    EXPECT_EQ(dapRelease(), 1);
    platFileClose(file);  // release leaves logs open
    EXPECT_EQ(fileBytes(log), c.line);
    EXPECT_NE(entry.handle, nullptr) << "damaged block was freed";
    EXPECT_EQ(occupiedSlots(), 1);
    entry.slotNumber = slot;
    EXPECT_EQ(blockFree(slot), 1);
  }
}

}  // namespace
