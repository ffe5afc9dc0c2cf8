// The parameter exports: counters and codes out, time-outs, delays and options in, the
// server's address as text, and the debug log's file and the application's own lines.
#include "dap32.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
// Channel values read directly by dapGetInteger.
struct ChannelCounter {
  uint32_t code;
  int32_t Channel::*field;
};
constexpr ChannelCounter kChannelCounters[] = {
    {DAP_GET_STEP_COUNT, &Channel::stepCount},
    {DAP_GET_SERVER_CODE, &Channel::serverCode},
    {DAP_GET_SOCKET_CODE, &Channel::lastSocketCode},
    {DAP_GET_BYTES_RECEIVED, &Channel::bytesReceived},
    {DAP_GET_TOTAL_BYTES_RECEIVED, &Channel::totalBytesReceived},
    {DAP_GET_BYTES_SENT, &Channel::bytesSent},
    {DAP_GET_TOTAL_BYTES_SENT, &Channel::totalBytesSent},
    {DAP_GET_CONTROL_SOCKET, &Channel::controlSocket},
    {DAP_GET_TLS_DATA_RESUMED, &Channel::tlsDataResumed},
};

// Library-wide settings stored as given by dapSetInteger; they apply to every channel.
struct LibrarySetting {
  uint32_t code;
  uint32_t Settings::*field;
};
constexpr LibrarySetting kLibrarySettings[] = {
    {DAP_SET_CONNECT_TIMEOUT, &Settings::connectTimeout},
    {DAP_SET_COMMAND_DELAY, &Settings::commandDelay},
    {DAP_SET_REPLY_TIMEOUT, &Settings::replyTimeout},
    {DAP_SET_BLOCK_DELAY, &Settings::blockDelay},
    {DAP_SET_SPARE, &Settings::spareSetting},
    {DAP_SET_POLL_SLEEP, &Settings::pollSleep},
    {DAP_SET_FINAL_BLOCK_DELAY, &Settings::finalBlockDelay},
};

constexpr int32_t kUnknownCode = -1;

// 0 when the control connection reports an exception, else whether it can be written.
int32_t connectionTest(const Channel* channel) {
  if (rokStatus(channel->controlSocket, kPollException) == 1) return 0;
  return rokStatus(channel->controlSocket, kPollWritable);
}

uint32_t clamped(uint32_t value, uint32_t low, uint32_t high) {
  if (value < low) return low;
  return value > high ? high : value;
}

int32_t setChannelOption(Channel* channel, uint32_t code, int32_t value) {
  switch (code) {
    case DAP_SET_AUTO_CALL:
      channel->autoCall = static_cast<uint32_t>(value) & 1;
      logLine(channel, "AUTO_CALL = %d\r\n", static_cast<int>(channel->autoCall));
      channel->resumeTick = 0;
      channel->deadlineTick = 0;
      return static_cast<int32_t>(channel->autoCall);
    case DAP_SET_SERVER_PORT:
      channel->serverPort = static_cast<uint16_t>(value);
      return value;
    case DAP_SET_PASSIVE:
      channel->passiveMode = value;
      return value;
    case DAP_SET_TLS:
      if (value < kTlsOff || value > kTlsImplicit) return DAP_ERR_CANNOT_COMPLY;
      channel->tlsMode = value;
      return value;
    case DAP_SET_TLS_VERIFY:
      channel->tlsVerify = value & 1;
      return channel->tlsVerify;
    case DAP_SET_TLS_DATA:
      channel->tlsProtectData = value & 1;
      return channel->tlsProtectData;
    case DAP_SET_RESUME:
      channel->resumeTransfers = static_cast<uint32_t>(value) & 1;
      return static_cast<int32_t>(channel->resumeTransfers);
    case DAP_SET_UTF8:
      channel->utf8Names = static_cast<uint32_t>(value) & 1;
      return static_cast<int32_t>(channel->utf8Names);
    case DAP_SET_EXTENDED:
      channel->extendedMode = value & 1;
      return channel->extendedMode;
    case DAP_SET_ADDRESS_FAMILY:
      if (value < kFamilyIpv4 || value > kFamilyIpv6) return DAP_ERR_CANNOT_COMPLY;
      channel->addressFamily = value;
      return value;
    // The library-wide settings whose value is masked or clamped before it is stored.
    case DAP_SET_UPLOAD_BLOCK_SIZE:
      settings.uploadBlockSize =
          clamped(static_cast<uint32_t>(value), kUploadBlockMin, kUploadBlockMax);
      return static_cast<int32_t>(settings.uploadBlockSize);
    case DAP_SET_CLOSE_PAUSE:
      settings.closePause = static_cast<uint32_t>(value) & 1;
      return static_cast<int32_t>(settings.closePause);
    case DAP_SET_TRANSFER_CHUNK:
      settings.transferChunk =
          clamped(static_cast<uint32_t>(value), kTransferChunkMin, kTransferChunkMax);
      return static_cast<int32_t>(settings.transferChunk);
    default:
      return kUnknownCode;
  }
}

// A text handed out whole or not at all: a cut fingerprint or path would mislead.
int32_t copyWhole(char* buffer, const char* text, int32_t size) {
  int32_t length = static_cast<int32_t>(textLength(text));
  if (size <= length) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  return copyText(buffer, text, length);
}

// The texts of the secure session that dapGetString reads as they stand.
const char* sessionText(const Channel* channel, int32_t code) {
  switch (code) {
    case DAP_STR_TLS_CA_FILE:
      return channel->tlsCaFile;
    case DAP_STR_TLS_PEER_FINGERPRINT:
      return channel->tlsPeerFingerprint;
    case DAP_STR_TLS_SESSION:
      return channel->tlsSessionText;
    default:
      return nullptr;
  }
}

// 64 hexadecimal digits, with colons and blanks anywhere between them; empty clears the pin.
int32_t storePin(Channel* channel, const char* text) {
  unsigned char pin[kPinSize];
  uint32_t digits = 0;
  for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
    if (*c == ':' || *c == ' ') continue;
    int value = hexDigitValue(*c);
    if (value < 0 || digits == 2 * kPinSize) return DAP_ERR_CANNOT_COMPLY;
    pin[digits / 2] =
        static_cast<unsigned char>(digits % 2 == 0 ? value << 4 : pin[digits / 2] | value);
    ++digits;
  }
  if (digits != 0 && digits != 2 * kPinSize) return DAP_ERR_CANNOT_COMPLY;
  channel->tlsPinned = digits != 0 ? 1 : 0;
  for (uint32_t i = 0; i < kPinSize; ++i) channel->tlsPin[i] = digits != 0 ? pin[i] : 0;
  return 0;
}

// The pin as the caller reads it back: 64 uppercase digits, or nothing.
int32_t copyPin(const Channel* channel, char* buffer, int32_t size) {
  char text[kFingerprintSize] = "";
  if (channel->tlsPinned != 0) formatDigest(channel->tlsPin, text);
  return copyWhole(buffer, text, size);
}

int32_t storeCaFile(Channel* channel, const char* path) {
  if (path == nullptr) path = "";
  if (textLength(path) >= kCaFileSize) return DAP_ERR_CANNOT_COMPLY;
  copyText(channel->tlsCaFile, path, kCaFileSize - 1);
  return 0;
}

// An IPv6 peer in its own notation; an IPv4 one as it always was.
int32_t serverAddressText(const Channel* channel, char* buffer, int32_t size) {
  if (channel->peerAddress.family != kPlatFamilyV6) {
    return netFormatAddress(channel->serverAddr, buffer, size);
  }
  char text[kAnyAddressTextSize];
  netFormatAnyAddress(&channel->peerAddress, text, sizeof text, true);
  return copyWhole(buffer, text, size);
}

// With UTF-8 names the log's path is UTF-8 too, opened as the transfers' files are, and emptied.
// One that cannot be opened so (in the system's code page, as bindings that marshal ANSI pass
// it) is created as before.
PlatFile createLogFile(const char* path, bool utf8) {
  PlatFile file = utf8 ? platFileOpenUtf8(path, true) : kPlatFileError;
  if (file > 0 && platFileTruncate(file) == 0) return file;
  if (file > 0) platFileClose(file);
  return platFileCreate(path);
}

// A log that is replaced is closed, not leaked.
int32_t openLog(Channel* channel, const char* path) {
  logClose(channel);
  PlatFile file = path != nullptr ? createLogFile(path, channel->utf8Names != 0) : kPlatFileError;
  if (file <= 0) return kPlatFileError;
  channel->logFile = file;
  return file;
}
}  // namespace

int32_t DAP_CALL dapGetInteger(int32_t chan, uint32_t code) {
  int32_t error;
  Channel* channel = channelFor(chan, &error);
  if (channel == nullptr) return error;
  for (const ChannelCounter& counter : kChannelCounters) {
    if (counter.code == code) return channel->*counter.field;
  }
  if (code == DAP_GET_CONNECTED) return connectionTest(channel);
  if (code == DAP_GET_TLS_ACTIVE) return netHandshakeDone(channel->controlTls) ? 1 : 0;
  if (code == DAP_GET_VERSION) return libraryVersion();
  if (code == DAP_GET_BUILD) return libraryBuild();
  return kUnknownCode;
}

int32_t DAP_CALL dapSetInteger(int32_t chan, uint32_t code, int32_t value) {
  int32_t error;
  Channel* channel = channelFor(chan, &error);
  if (channel == nullptr) return error;
  for (const LibrarySetting& setting : kLibrarySettings) {
    if (setting.code == code) {
      settings.*setting.field = static_cast<uint32_t>(value);
      return value;
    }
  }
  return setChannelOption(channel, code, value);
}

int32_t DAP_CALL dapGetString(int32_t chan, int32_t code, char* buffer, int32_t size) {
  int32_t error;
  Channel* channel = channelFor(chan, &error);
  if (channel == nullptr) return error;
  if (buffer == nullptr) return 0;
  if (code == DAP_STR_SERVER_IP) return serverAddressText(channel, buffer, size);
  if (code == DAP_STR_PROXY) {
    char text[kProxyBufferSize];
    netFormatProxy(&channel->proxy, text);
    return copyWhole(buffer, text, size);
  }
  if (code == DAP_STR_TLS_PIN) return copyPin(channel, buffer, size);
  if (const char* text = sessionText(channel, code)) return copyWhole(buffer, text, size);
  // An unknown code answers "?" where the buffer has room for it and its NUL.
  if (size >= 2) {
    buffer[0] = '?';
    buffer[1] = '\0';
  } else if (size == 1) {
    buffer[0] = '\0';
  }
  return 0;
}

int32_t DAP_CALL dapSetString(int32_t chan, int32_t code, const char* text) {
  int32_t error;
  Channel* channel = channelFor(chan, &error);
  if (channel == nullptr) return error;
  if (code == DAP_STR_LOG_OPEN) return openLog(channel, text);
  if (code == DAP_STR_TLS_PIN) return storePin(channel, text);
  if (code == DAP_STR_TLS_CA_FILE) return storeCaFile(channel, text);
  if (code == DAP_STR_PROXY) return netParseProxy(text, &channel->proxy);
  if (code != DAP_STR_LOG_WRITE) return kUnknownCode;
  if (text != nullptr) logLine(channel, "%s\r\n", text);
  return channel->logFile;
}
