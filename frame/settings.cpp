// The library-wide settings. They are statically initialised and survive release and a
// later attach, so an application sets them once per process.
#include "frame/settings.h"

#include "frame/text.h"

Settings settings = {
    .connectTimeout = 60000,
    .commandDelay = 0,
    .replyTimeout = 20000,
    .blockDelay = 0,
    .spareSetting = 2000,
    .pollSleep = 20,
    .dataConnectTimeout = 20000,
    .finalBlockDelay = 50,
    .uploadBlockSize = 1024,
    .closePause = 1,
    .transferChunk = kTransferChunkMin,
    .versionMarker = "$VER 0116 BLD 000C$",
    .socketVersion = kPlatSocketVersion,
};

namespace {
// The four hexadecimal digits at offset in the version marker; any other character counts 0.
uint16_t markerNumber(int offset) {
  uint16_t value = 0;
  for (int digit = 0; digit < 4; ++digit) {
    int digitValue = hexDigitValue(settings.versionMarker[offset + digit]);
    value = static_cast<uint16_t>(value * 16 + (digitValue < 0 ? 0 : digitValue));
  }
  return value;
}

constexpr int kVersionOffset = 5;  // after "$VER "
constexpr int kBuildOffset = 14;   // after "$VER 0116 BLD "
}  // namespace

uint16_t libraryVersion() {
  return markerNumber(kVersionOffset);
}
uint16_t libraryBuild() {
  return markerNumber(kBuildOffset);
}
