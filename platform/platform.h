// The operating-system seam. Everything outside platform/ reaches the OS only through these
// calls; platform_win32.cpp implements them with the real Windows interfaces and
// platform_posix.cpp with a POSIX stand-in that gives the same results and error numbers.
//
// Divisions: basic types; lock; clock; memory; files; text formatting; sockets; data path;
// test hooks.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Basic types. Handles are 32-bit; 0 in a record field means none.
using PlatSocket = int32_t;
using PlatFile = int32_t;
using PlatMemory = void*;

constexpr PlatSocket kPlatInvalidSocket = -1;
// A socket the OS handed out whose handle does not fit the record's 32 bits (64-bit Windows
// hands out pointer-sized handles): it was closed at once rather than truncated.
constexpr PlatSocket kPlatUnusableSocket = -2;
constexpr PlatFile kPlatFileError = -1;

// The local path separator: '\' on Windows, '/' elsewhere.
extern const char kPathSeparator;

// Lock: one library-wide recursive lock.
void platLockCreate();
void platLockEnter();
void platLockLeave();
void platLockDelete();

// Clock: milliseconds, truncated to 32 bits, wrapping after 49.7 days.
uint32_t platTicks();
void platSleep(uint32_t milliseconds);  // 0 yields the processor

// Memory: zero-filled blocks that stay at one address while locked.
PlatMemory platAllocZeroed(size_t size);  // nullptr on failure
unsigned char* platMemoryLock(PlatMemory memory);
void platMemoryUnlock(PlatMemory memory);
void platMemoryFree(PlatMemory memory);

// Files: -1 on failure, as the Windows file calls report it.
PlatFile platFileCreate(const char* path);     // create or truncate, read and write
PlatFile platFileOpenWrite(const char* path);  // create or open as it is, read and write
PlatFile platFileOpenRead(const char* path);   // read only; others may read but not write
int32_t platFileTruncate(PlatFile file);       // to 0 bytes, positioned at 0: 0, or -1
int32_t platFileRead(PlatFile file, void* buffer, uint32_t size);
int32_t platFileWrite(PlatFile file, const void* data, uint32_t size);
void platFileClose(PlatFile file);
// As platFileOpenWrite (create) or platFileOpenRead, for a path in UTF-8: Windows opens it
// through its wide-character calls, elsewhere the bytes are the name.
PlatFile platFileOpenUtf8(const char* path, bool create);
// The file's size in bytes, or -1; a move of the file's position to offset from its start: 0,
// or -1.
int64_t platFileSize(PlatFile file);
int32_t platFileSeek(PlatFile file, uint64_t offset);
// Writes the current directory; returns its length, or 0 (nothing written) if it is longer
// than size - 1 or cannot be read.
uint32_t platCurrentDirectory(char* buffer, uint32_t size);

// Formatting: printf-style, output cut at 1023 characters plus a NUL, as wsprintfA does.
// Arguments of %ld must be passed as long.
constexpr int kPlatFormatLimit = 1023;
int platFormatV(char* buffer, const char* format, va_list args);
#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((format(printf, 2, 3)))
#endif
int platFormat(char* buffer, const char* format, ...);

// Sockets: TCP; the calls without a PlatAddress are IPv4's. Addresses and ports are in host byte
// order here. Failed calls leave a Windows Sockets error number for platSocketError, per thread.
constexpr int32_t kPlatSocketVersion = 0x0101;
int32_t platSocketStartup(uint16_t version);  // 0, or a Windows Sockets error number
void platSocketCleanup();
const char* platSocketDescription();  // the socket layer's description text
int32_t platSocketError();            // last error number of this thread
bool platSocketBlocking();            // a blocking call is in progress (Winsock 1.1 only)

// New sockets are never 0; a failure gives kPlatInvalidSocket or kPlatUnusableSocket.
PlatSocket platSocketOpen();
void platSocketNoDelay(PlatSocket socket);  // small segments go out at once
enum PlatPollMode { kPollReadable = 1, kPollWritable = 2, kPollException = 3 };
bool platSocketPoll(PlatSocket socket, PlatPollMode mode);  // one poll, zero time-out
// Waits up to milliseconds for the condition, sleeping in the system until it holds; takes no
// lock and shares nothing, so other channels go on meanwhile.
bool platSocketAwait(PlatSocket socket, PlatPollMode mode, uint32_t milliseconds);
int32_t platSocketConnect(PlatSocket socket, uint32_t address, uint16_t port);  // 0 or error
int32_t platSocketBind(PlatSocket socket, uint32_t address, uint16_t port);     // 0 or error
int32_t platSocketListen(PlatSocket socket, int backlog);                       // 0 or error
// New socket and the peer's address, or kPlatInvalidSocket or kPlatUnusableSocket.
PlatSocket platSocketAccept(PlatSocket socket, uint32_t* address, uint16_t* port);
int32_t platSocketLocalName(PlatSocket socket, uint32_t* address, uint16_t* port);  // 0 or error
// Byte count, 0 when the peer has closed, -1 on failure, kPlatNothingYet when nothing could be
// read after all (a readiness poll may report data that is gone by the time it is read).
constexpr int32_t kPlatNothingYet = -2;
int32_t platSocketReceive(PlatSocket socket, void* buffer, int32_t size, bool peek);
// As platSocketReceive, but never waits: kPlatNothingYet when nothing has come.
int32_t platSocketReceiveNoWait(PlatSocket socket, void* buffer, int32_t size);
int32_t platSocketSend(PlatSocket socket, const void* data, int32_t length);  // count or -1
// Sends what the socket takes at once; 0 when it takes nothing now, -1 on failure.
int32_t platSocketSendNoWait(PlatSocket socket, const void* data, int32_t length);
int32_t platSocketClose(PlatSocket socket);  // 0 or error
// Ends the sending half: the peer reads the end of the stream, and the socket still receives.
int32_t platSocketShutdownSend(PlatSocket socket);  // 0 or error
// Resolves a host name: the host entry (owned by the socket layer) with its first IPv4
// address in host order, or nullptr with the error in platSocketError.
const void* platResolveHost(const char* name, uint32_t* address);
int32_t platLocalHostName(char* buffer, int32_t size);  // 0 or error

// Addresses of either family, for the calls below. An IPv4 address fills the first four bytes.
enum PlatFamily : uint16_t { kPlatFamilyNone = 0, kPlatFamilyV4 = 4, kPlatFamilyV6 = 6 };
struct PlatAddress {
  uint16_t family;
  uint16_t port;      // host order
  uint32_t scope;     // an IPv6 zone (interface index), 0 for none
  uint8_t bytes[16];  // network order
};
PlatSocket platSocketOpenFamily(uint16_t family);
int32_t platSocketConnectAddress(PlatSocket socket, const PlatAddress* address);  // 0 or error
// Starts a connect that does not wait: 0 when it is under way or made, else the error. The
// socket stays non-blocking until platSocketConnectResult, called once it polls writable or
// exceptional, gives the outcome (0 or the error) and makes it blocking again.
int32_t platSocketConnectStart(PlatSocket socket, const PlatAddress* address);
int32_t platSocketConnectResult(PlatSocket socket);
int32_t platSocketBindAddress(PlatSocket socket, const PlatAddress* address);  // 0 or error
// New socket and the peer's address, or kPlatInvalidSocket or kPlatUnusableSocket.
PlatSocket platSocketAcceptAddress(PlatSocket socket, PlatAddress* peer);
int32_t platSocketLocalAddress(PlatSocket socket, PlatAddress* local);  // 0 or error
// The addresses of a host name, of one family or (kPlatFamilyNone) both, in the resolver's
// order: how many were written (at most room), or a negated Windows Sockets error number.
// Windows resolves IPv4 alone as before and loads WS2_32 only for the other requests.
int32_t platResolveAddresses(const char* name, uint16_t family, PlatAddress* addresses,
                             int32_t room);

// Data path: moves a download's bytes from its data socket into its local file inside the
// kernel, without copying them through the caller's buffers (POSIX: splice). The call never
// waits: it moves up to limit bytes while the socket has them and stops at the first thing
// that is not a full move. *moved gets the bytes that reached the file; the result says why
// the move stopped. Uploads copy: both test servers read a stream that sendfile builds from
// the file's pages a third more slowly than one sent from a buffer.
enum PlatMoveStop : int32_t {
  kMoveNotReady = 0,      // limit reached, or the socket has nothing more now
  kMoveEnd = 1,           // the peer has closed the connection
  kMoveRefused = 2,       // the OS moves no bytes between these handles: copy the rest instead
  kMoveSocketFailed = 3,  // the socket call failed; platSocketError has its error number
  kMoveFileFailed = 4,    // the file could not be written
};
PlatMoveStop platSocketReceiveToFile(PlatSocket socket, PlatFile file, uint32_t limit,
                                     uint32_t* moved);

// Test hooks. Makes the n-th next allocation fail, counting from 1; 0 disables (native build
// only).
void platFailAllocation(int32_t countdown);
// Socket handles above highest count as too wide for the record, as a pointer-sized handle
// above 2^31 - 1 would; kPlatHighestSocket restores the real limit.
constexpr uint32_t kPlatHighestSocket = 0x7FFFFFFF;
void platLimitSocketHandles(uint32_t highest);
// Makes every kernel move answer kMoveRefused, so that the copying fallback runs; 0 ends it
// (native build only).
void platRefuseDataMoves(int32_t refuse);

#if !defined(_WIN32)
// The OS calls of the POSIX seam that a test can make misbehave, one kind each.
enum PlatCall {
  kPlatCallSocket,
  kPlatCallConnect,
  kPlatCallBind,
  kPlatCallListen,
  kPlatCallAccept,
  kPlatCallLocalName,
  kPlatCallPoll,
  kPlatCallSend,
  kPlatCallReceive,
  kPlatCallFileWrite,
  kPlatCallResolve,
  kPlatCallConnectResult,  // the outcome of a connect that did not wait
  kPlatCallCount
};
// Counting from 1, the nth next call of that kind, and after it every period-th one (period 0:
// that call alone), fails with error (an errno value; for the resolver an EAI_ code) without
// reaching the OS. Error 0 instead lets a send, receive or file write move at most half the
// bytes asked. A send or receive that fails otherwise than by EINTR or EAGAIN also shuts its
// connection down, as a reset connection is. The data path's splices count as the
// receive and the file write they stand for. Test and fuzz builds only.
#if defined(DAP32_FAULT_INJECTION)
void platInjectFault(PlatCall call, uint32_t nth, int32_t error, uint32_t period);
uint32_t platCallCount(PlatCall call);  // calls of that kind since platClearFaults
void platClearFaults();                 // no faults, every count 0
#endif
#endif
