// The guarded block table. Layout of a block of n usable bytes (n + 5 in all):
// [0] 0x55 | [1..n] usable | [n+1, n+2] spare zero bytes | [n+3] 0xAA | [n+4] zero.
// The spare bytes terminate a text that fills all n bytes.
#include "frame/blocks.h"

#include "frame/channel.h"
#include "frame/log.h"
#include "frame/text.h"

BlockSlot blockTable[kBlockSlots];

namespace {
// Shared first checks of every slot operation.
int32_t slotProblem(uint32_t slot) {
  if (slot >= kBlockSlots) return kBlockSlotRange;
  if (blockTable[slot].slotNumber != slot) return kBlockTableDamaged;
  return 0;
}

uint32_t slotOf(uint32_t channel, uint32_t index) {
  return channel * kBlocksPerChannel + index;
}

constexpr uint32_t kRecordIndex = 0;

// Only a record that is in place can take the line: the table may still point at a record of
// an earlier attach. The line is built on the stack, since release frees the record's log
// buffer before it checks the record itself.
void logBlockError(uint32_t channel, uint32_t index, const char* what, int32_t code) {
  Channel* record = channelTable[channel];
  unsigned char* recordBlock = blockAddress(slotOf(channel, kRecordIndex));
  if (recordBlock == nullptr || recordInBlock(recordBlock) != record) return;
  if (!isLogging(record)) return;
  char line[kPlatFormatLimit + 1];
  platFormat(line, "%s: Chan=%d, Index=%d, Code=%d\r\n", what, static_cast<int>(channel),
             static_cast<int>(index), static_cast<int>(code));
  platFileWrite(record->logFile, line, textLength(line));
}
}  // namespace

void blockInitTable() {
  for (uint32_t slot = 0; slot < kBlockSlots; ++slot) {
    blockTable[slot].handle = nullptr;
    blockTable[slot].slotNumber = slot;
  }
}

int32_t blockAllocate(uint32_t slot, uint32_t size) {
  if (int32_t problem = slotProblem(slot)) return problem;
  BlockSlot& entry = blockTable[slot];
  if (entry.handle != nullptr) return kBlockOccupied;
  uint32_t sizeWord = size + 2;
  PlatMemory memory = platAllocZeroed(sizeWord + 3);
  if (memory == nullptr) return kBlockAllocFailed;
  entry.handle = memory;
  entry.base = platMemoryLock(memory);
  entry.sizeWord = sizeWord;
  entry.base[0] = kLeadingGuard;
  entry.base[sizeWord + 1] = kTrailingGuard;
  return static_cast<int32_t>(slot);
}

unsigned char* blockAddress(uint32_t slot) {
  if (slotProblem(slot) != 0 || blockTable[slot].handle == nullptr) return nullptr;
  return blockTable[slot].base + 1;
}

int32_t blockCheck(uint32_t slot) {
  if (int32_t problem = slotProblem(slot)) return problem;
  const BlockSlot& entry = blockTable[slot];
  if (entry.handle == nullptr) return kBlockEmpty;
  if (entry.base[0] != kLeadingGuard) return kBlockGuardBroken;
  if (entry.base[entry.sizeWord + 1] != kTrailingGuard) return kBlockGuardBroken;
  return kBlockIntact;
}

int32_t blockFree(uint32_t slot) {
  if (int32_t problem = slotProblem(slot)) return problem;
  BlockSlot& entry = blockTable[slot];
  if (entry.handle == nullptr) return kBlockEmpty;
  PlatMemory memory = entry.handle;
  entry.handle = nullptr;
  platMemoryUnlock(memory);
  platMemoryFree(memory);
  return kBlockIntact;
}

void* blockAllocateForChannel(uint32_t channel, uint32_t index, uint32_t size) {
  uint32_t slot = slotOf(channel, index);
  int32_t result = blockAllocate(slot, size);
  if (result < 0) {
    logBlockError(channel, index, "AllocateMemory Error", result);
    return nullptr;
  }
  return blockAddress(slot);
}

void blockReleaseForChannel(uint32_t channel, uint32_t first, uint32_t last) {
  for (uint32_t index = first; index <= last; ++index) {
    uint32_t slot = slotOf(channel, index);
    int32_t check = blockCheck(slot);
    if (check == kBlockTableDamaged || check == kBlockGuardBroken) {
      logBlockError(channel, index, "FreeMemory Error", check);
      continue;
    }
    blockFree(slot);
  }
}
