// The guarded block table from which all channel memory comes: 32 channels times 11 blocks,
// each block framed by guard bytes that are checked when it is freed.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t kBlocksPerChannel = 11;
constexpr uint32_t kBlockSlots = 352;

constexpr unsigned char kLeadingGuard = 0x55;
constexpr unsigned char kTrailingGuard = 0xAA;

// Results of the slot operations; they only ever appear in log lines.
enum BlockResult : int32_t {
  kBlockIntact = 1,
  kBlockSlotRange = -100,
  kBlockAllocFailed = -102,
  kBlockOccupied = -103,
  kBlockEmpty = -104,
  kBlockTableDamaged = -105,
  kBlockGuardBroken = -106,
};

struct BlockSlot {
  PlatMemory handle;    // nullptr = empty
  unsigned char* base;  // the leading guard; the block's bytes start at base + 1
  uint32_t sizeWord;    // usable size + 2
  uint32_t slotNumber;  // the slot's own position, to detect a damaged table
};

extern BlockSlot blockTable[kBlockSlots];

void blockInitTable();
int32_t blockAllocate(uint32_t slot, uint32_t size);
unsigned char* blockAddress(uint32_t slot);
int32_t blockCheck(uint32_t slot);
int32_t blockFree(uint32_t slot);

// Channel level: the block's address, or nullptr after logging "AllocateMemory Error".
void* blockAllocateForChannel(uint32_t channel, uint32_t index, uint32_t size);
// Frees blocks first..last; a block with a broken guard is logged and left allocated.
void blockReleaseForChannel(uint32_t channel, uint32_t first, uint32_t last);
