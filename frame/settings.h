// The library-wide settings and the version numbers carried in the version marker.
#pragma once

#include <cstdint>

#include "frame/channel.h"

constexpr uint32_t kUploadBlockMin = 128;
constexpr uint32_t kUploadBlockMax = 8192;

uint16_t libraryVersion();  // 0x0116: major in bits 8-15, minor 4-7, patch 0-3
uint16_t libraryBuild();
