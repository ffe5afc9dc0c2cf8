// The library-wide settings and the version numbers carried in the version marker.
#pragma once

#include <cstdint>

#include "frame/channel.h"

constexpr uint32_t kUploadBlockMin = 128;
constexpr uint32_t kUploadBlockMax = 8192;
// A chunk of one data buffer is one block per step; the largest keeps a step's work bounded.
constexpr uint32_t kTransferChunkMin = kDataBufferSize;
constexpr uint32_t kTransferChunkMax = 16u << 20;

uint16_t libraryVersion();  // 0x0116: major in bits 8-15, minor 4-7, patch 0-3
uint16_t libraryBuild();
