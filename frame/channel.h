// The channel record, the channel table and the library-wide settings.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t kMaxChannels = 32;
// The longest command dapCommand sends; with its CR LF it fits the command buffer.
constexpr int32_t kCommandTextLimit = 2000;

// Sizes of the text and buffer blocks of a channel.
constexpr uint32_t kNameSize = 128;
constexpr uint32_t kLineBufferSize = 2048;
constexpr uint32_t kDataBufferSize = 8192;
// The data buffer's whole room. A default step moves one block of kDataBufferSize; a chunked
// step (transferChunk above it) copies through all of it, far fewer system calls per byte.
constexpr uint32_t kDataBufferRoom = 256 * 1024;

// Secure sessions: the texts a channel keeps of them.
constexpr uint32_t kCaFileSize = 260;          // a path, its NUL included
constexpr uint32_t kPinSize = 32;              // a SHA-256 digest
constexpr uint32_t kFingerprintSize = 64 + 1;  // its hexadecimal digits and a NUL
constexpr uint32_t kTlsSessionTextSize = 96;   // "TLSv1.3 TLS_AES_256_GCM_SHA384"
enum TlsMode : int32_t { kTlsOff = 0, kTlsExplicit = 1, kTlsImplicit = 2 };
struct TlsContext;
struct TlsConnection;

// An IPv4 socket address, host byte order, as the records keep it.
struct SocketAddress {
  uint32_t address;
  uint16_t port;
};

// The whole state of one FTP client connection.
struct Channel {
  uint32_t localAddr;   // local end of the control connection
  uint32_t serverAddr;  // server, resolved by the connect state
  char* listBuffer;     // caller's listing buffer: where the next piece goes
  uint32_t listBufferSize;
  int32_t listLength;
  char* serverName;
  char* userName;
  char* password;
  char* fileName;
  char* commandBuffer;
  char* responseBuffer;
  const char* responseText;  // two characters past the reply code
  char* dataBuffer;
  char* serverDir;
  char* localDir;
  char* logText;
  int32_t bytesReceived;
  int32_t totalBytesReceived;
  int32_t bytesSent;
  int32_t totalBytesSent;
  uint32_t resumeTick;    // 0 = no gate
  uint32_t deadlineTick;  // 0 = no deadline
  int32_t stepCount;
  int32_t channelIndex;
  int32_t serverCode;
  PlatFile localFile;
  int32_t lastLoggedState;
  int32_t currentState;
  int32_t nextState;
  int32_t returnState;
  int32_t lastSocketCode;
  PlatFile logFile;
  uint32_t autoCall;
  int32_t pendingFlag;
  PlatSocket controlSocket;
  PlatSocket listenSocket;
  PlatSocket dataSocket;
  SocketAddress serverSockaddr;
  SocketAddress listenSockaddr;
  SocketAddress dataSockaddr;
  uint16_t dataPort;
  uint16_t dataPortLow;
  uint16_t dataPortHigh;
  const void* hostEntry;
  char localIpText[18];
  uint32_t binaryMode;
  int32_t dataAccepted;
  int32_t listType;
  uint16_t serverPort;
  int32_t passiveMode;
  // Per-channel options: transfers resume from what the other side holds (DAP_SET_RESUME), and
  // names may be UTF-8 (DAP_SET_UTF8); each 0 or 1.
  uint32_t resumeTransfers;
  uint32_t utf8Names;
  // Where the armed transfer starts in both files, sent with REST; 0 for the whole file.
  uint64_t transferOffset;
  // dapCommand's reply goes to the caller's buffer, line by line as netReadReply reads it, while
  // keepReplyText is set; the command itself outlives the driver's emptying of commandBuffer.
  char* commandReply;
  uint32_t commandReplySize;
  uint32_t commandReplyLength;
  int32_t keepReplyText;
  char commandText[kCommandTextLimit + 1];
  // Bytes of the current upload block read from the file but not yet taken by the data
  // socket; they go out before the next block is read.
  uint32_t uploadPending;
  uint32_t uploadPendingOffset;
  // A download's local file was opened as it stood; it is emptied once the server has accepted
  // the transfer, so a refusal leaves the caller's old file intact.
  int32_t truncateOnAccept;
  // The reply to the transfer command was already read while the accept was awaited.
  int32_t transferReplyRead;
  // Final replies still owed for commands sent on the control connection (its greeting counts
  // as one), and the operation that waits until an interrupted one's have been read.
  int32_t repliesOwed;
  int32_t stateAfterOwedReplies;
  // Secure sessions: what the caller asked for, set before dapConnect...
  int32_t tlsMode;
  int32_t tlsVerify;       // 1: the certificate must chain to a trusted root and name the server
  int32_t tlsProtectData;  // 1: PROT P, 0: PROT C
  int32_t tlsPinned;
  unsigned char tlsPin[kPinSize];
  char tlsCaFile[kCaFileSize];
  // ...and what the session has: the context its data connections resume, the connections and
  // what their handshakes wait for (0: nothing yet, so the next step calls at once).
  TlsContext* tlsContext;
  TlsConnection* controlTls;
  TlsConnection* dataTls;
  int32_t controlTlsWants;
  int32_t dataTlsWants;
  int32_t dataProtected;   // PROT P was accepted
  int32_t tlsDataResumed;  // the last data connection: 1 resumed, 0 not, -1 none
  char tlsPeerFingerprint[kFingerprintSize];
  char tlsSessionText[kTlsSessionTextSize];
};

// Library-wide settings; statically initialised, never reset by attach or release.
struct Settings {
  uint32_t connectTimeout;
  uint32_t commandDelay;
  uint32_t replyTimeout;
  uint32_t blockDelay;
  uint32_t spareSetting;
  uint32_t pollSleep;
  uint32_t dataConnectTimeout;
  uint32_t finalBlockDelay;
  uint32_t uploadBlockSize;
  uint32_t closePause;     // 1: the pauses after each socket close; 0: none
  uint32_t transferChunk;  // bytes one download or upload step may move
  const char* versionMarker;
  uint16_t socketVersion;
};

// A block's bytes start one byte past its leading guard, so the record sits at the first
// suitably aligned address inside its block.
constexpr uint32_t kRecordBlockSize = sizeof(Channel) + alignof(Channel) - 1;
inline Channel* recordInBlock(void* block) {
  uintptr_t address = reinterpret_cast<uintptr_t>(block);
  address = (address + alignof(Channel) - 1) & ~static_cast<uintptr_t>(alignof(Channel) - 1);
  return reinterpret_cast<Channel*>(address);
}

extern Settings settings;
extern uint32_t channelCount;
extern Channel* channelTable[kMaxChannels];

// The common preamble of every channel-bound export: the channel's record, or nullptr with
// the error code (-15 before attach, -8 out of range) in *error.
Channel* channelFor(int32_t chan, int32_t* error);

// Stops the socket layer and frees every channel's blocks; what a channel holds beyond them
// (its TLS connections) is freed by dapRelease first.
void releaseLibrary();

// Tick arithmetic that survives the wrap of the 32-bit counter.
inline bool tickBefore(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) < 0;
}
// The counters are 32 bits wide, as dapGetInteger returns them; a channel's totals pass 2 GiB
// soon enough, and then wrap as the unsigned count they are instead of overflowing.
inline void addToCount(int32_t* counter, uint32_t amount) {
  *counter = static_cast<int32_t>(static_cast<uint32_t>(*counter) + amount);
}
// A tick to store in resumeTick or deadlineTick: 0 means none, so 0 becomes 1.
inline uint32_t tickAfter(uint32_t now, uint32_t delay) {
  uint32_t tick = now + delay;
  return tick == 0 ? 1 : tick;
}
