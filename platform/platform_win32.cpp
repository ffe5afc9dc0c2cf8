// The real Windows interfaces: Windows Sockets 1.1 (wsock32), kernel32 and user32.
//
// Divisions: lock; clock; memory; files; formatting; sockets; data path.
#include <windows.h>
#include <winsock.h>

#include "platform/platform.h"

const char kPathSeparator = '\\';

namespace {
CRITICAL_SECTION libraryLock;
WSADATA socketStartup;
// The poll sets are shared by every channel; only touched under the library lock.
fd_set readSet;
fd_set writeSet;
fd_set exceptionSet;
const timeval kNoWait = {0, 0};
uint32_t highestSocket = kPlatHighestSocket;

// SOCKET is pointer-sized on 64-bit Windows while the record keeps 32 bits. Windows hands out
// small handles, but one that does not fit is closed, never truncated into another's number.
PlatSocket narrowSocket(SOCKET handle) {
  if (handle == INVALID_SOCKET) return kPlatInvalidSocket;
  if (handle > highestSocket) {
    closesocket(handle);
    WSASetLastError(WSAEMFILE);
    return kPlatUnusableSocket;
  }
  return static_cast<PlatSocket>(handle);
}

sockaddr_in socketAddressOf(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  return sa;
}

// winsock.h (Windows Sockets 1.1) knows no IPv6: the layouts below are Windows' own
// (sockaddr_in6, ADDRINFOA), and the resolver's calls come from WS2_32, loaded at first use so
// that the DLL imports nothing new. WSOCK32's socket, connect, bind, accept and getsockname
// take any family's address.
constexpr int kFamilyInet6 = 23;  // Windows' AF_INET6
struct Inet6Address {
  short family;
  u_short port;
  u_long flowInfo;
  unsigned char bytes[16];
  u_long scope;
};
// Room for either family's address, as accept and getsockname fill it.
union AnyAddress {
  sockaddr generic;
  sockaddr_in v4;
  Inet6Address v6;
};
struct ResolverEntry {
  int flags;
  int family;
  int socketType;
  int protocol;
  size_t addressLength;
  char* canonicalName;
  sockaddr* address;
  ResolverEntry* next;
};
using GetAddrInfo = int(WINAPI*)(const char*, const char*, const ResolverEntry*, ResolverEntry**);
using FreeAddrInfo = void(WINAPI*)(ResolverEntry*);
GetAddrInfo resolverLookup = nullptr;
FreeAddrInfo resolverFree = nullptr;
bool resolverLoaded = false;

// Under the library's lock: two channels may resolve at once. The module stays loaded.
bool loadResolver() {
  platLockEnter();
  if (!resolverLoaded) {
    resolverLoaded = true;
    if (HMODULE module = LoadLibraryA("ws2_32.dll")) {
      resolverLookup = reinterpret_cast<GetAddrInfo>(
          reinterpret_cast<void*>(GetProcAddress(module, "getaddrinfo")));
      resolverFree = reinterpret_cast<FreeAddrInfo>(
          reinterpret_cast<void*>(GetProcAddress(module, "freeaddrinfo")));
    }
  }
  bool usable = resolverLookup != nullptr && resolverFree != nullptr;
  platLockLeave();
  return usable;
}

int addressLengthOf(const PlatAddress& address, AnyAddress* sa) {
  *sa = AnyAddress{};
  if (address.family == kPlatFamilyV6) {
    sa->v6.family = kFamilyInet6;
    sa->v6.port = htons(address.port);
    sa->v6.scope = address.scope;
    CopyMemory(sa->v6.bytes, address.bytes, 16);
    return sizeof sa->v6;
  }
  sa->v4.sin_family = AF_INET;
  sa->v4.sin_port = htons(address.port);
  CopyMemory(&sa->v4.sin_addr, address.bytes, 4);
  return sizeof sa->v4;
}

PlatAddress platAddressOf(const sockaddr* sa) {
  PlatAddress address{};
  if (sa->sa_family == kFamilyInet6) {
    const Inet6Address* v6 = reinterpret_cast<const Inet6Address*>(sa);
    address.family = kPlatFamilyV6;
    address.port = ntohs(v6->port);
    address.scope = v6->scope;
    CopyMemory(address.bytes, v6->bytes, 16);
  } else if (sa->sa_family == AF_INET) {
    const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(sa);
    address.family = kPlatFamilyV4;
    address.port = ntohs(v4->sin_port);
    CopyMemory(address.bytes, &v4->sin_addr, 4);
  }
  return address;
}

uint32_t ipv4Of(const PlatAddress& address) {
  uint32_t network;
  CopyMemory(&network, address.bytes, 4);
  return ntohl(network);
}

void setBlocking(PlatSocket socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  ioctlsocket(socket, FIONBIO, &nonBlocking);
}
}  // namespace

// ---- Lock ----

void platLockCreate() {
  InitializeCriticalSection(&libraryLock);
}
void platLockEnter() {
  EnterCriticalSection(&libraryLock);
}
void platLockLeave() {
  LeaveCriticalSection(&libraryLock);
}
void platLockDelete() {
  DeleteCriticalSection(&libraryLock);
}

// ---- Clock ----

uint32_t platTicks() {
  return GetTickCount();
}
void platSleep(uint32_t milliseconds) {
  Sleep(milliseconds);
}

// ---- Memory ----

PlatMemory platAllocZeroed(size_t size) {
  return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
}
unsigned char* platMemoryLock(PlatMemory memory) {
  return static_cast<unsigned char*>(GlobalLock(static_cast<HGLOBAL>(memory)));
}
void platMemoryUnlock(PlatMemory memory) {
  GlobalUnlock(static_cast<HGLOBAL>(memory));
}
void platMemoryFree(PlatMemory memory) {
  GlobalFree(static_cast<HGLOBAL>(memory));
}
void platFailAllocation(int32_t) {}
void platLimitSocketHandles(uint32_t highest) {
  highestSocket = highest;
}

// ---- Files ----

PlatFile platFileCreate(const char* path) {
  return _lcreat(path, 0);
}
// _lcreat would empty an existing file, so it only creates one that is not there yet.
PlatFile platFileOpenWrite(const char* path) {
  PlatFile file = _lopen(path, OF_READWRITE);
  return file != HFILE_ERROR ? file : _lcreat(path, 0);
}

// The handles of the _l calls are the kernel's file handles.
int32_t platFileTruncate(PlatFile file) {
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));
  if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return -1;
  return SetEndOfFile(handle) ? 0 : -1;
}

PlatFile platFileOpenRead(const char* path) {
  return _lopen(path, OF_READ | OF_SHARE_DENY_WRITE);
}

namespace {
HANDLE kernelHandle(PlatFile file) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));
}

// A local path is at most a 127-character directory, a separator and a 128-byte name.
constexpr int kWidePathSize = 512;
}  // namespace

// The same access and sharing as _lopen's OF_READWRITE and OF_READ | OF_SHARE_DENY_WRITE. The
// kernel handle is what the _l calls take, so _lread, _lwrite and _lclose serve it as well.
PlatFile platFileOpenUtf8(const char* path, bool create) {
  WCHAR wide[kWidePathSize];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, kWidePathSize) == 0) {
    return kPlatFileError;
  }
  HANDLE file =
      create ? CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
             : CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kPlatFileError;
  return static_cast<PlatFile>(reinterpret_cast<intptr_t>(file));
}

int64_t platFileSize(PlatFile file) {
  DWORD high = 0;
  DWORD low = GetFileSize(kernelHandle(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

int32_t platFileSeek(PlatFile file, uint64_t offset) {
  LONG high = static_cast<LONG>(offset >> 32);
  DWORD low = SetFilePointer(kernelHandle(file), static_cast<LONG>(offset & 0xFFFFFFFFu), &high,
                             FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
  return 0;
}
int32_t platFileRead(PlatFile file, void* buffer, uint32_t size) {
  return static_cast<int32_t>(_lread(file, buffer, size));
}
int32_t platFileWrite(PlatFile file, const void* data, uint32_t size) {
  return static_cast<int32_t>(_lwrite(file, static_cast<const char*>(data), size));
}
void platFileClose(PlatFile file) {
  _lclose(file);
}

uint32_t platCurrentDirectory(char* buffer, uint32_t size) {
  DWORD length = GetCurrentDirectoryA(size, buffer);
  if (length == 0 || length >= size) {
    buffer[0] = '\0';
    return 0;
  }
  return length;
}

// ---- Formatting ----

int platFormatV(char* buffer, const char* format, va_list args) {
  return wvsprintfA(buffer, format, args);
}

int platFormat(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = wvsprintfA(buffer, format, args);
  va_end(args);
  return length;
}

// ---- Sockets ----

int32_t platSocketStartup(uint16_t version) {
  return WSAStartup(version, &socketStartup);
}
void platSocketCleanup() {
  WSACleanup();
}
const char* platSocketDescription() {
  return socketStartup.szDescription;
}
int32_t platSocketError() {
  return WSAGetLastError();
}
bool platSocketBlocking() {
  return WSAIsBlocking() != 0;
}

PlatSocket platSocketOpen() {
  return narrowSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

PlatSocket platSocketOpenFamily(uint16_t family) {
  int domain = family == kPlatFamilyV6 ? kFamilyInet6 : AF_INET;
  return narrowSocket(socket(domain, SOCK_STREAM, IPPROTO_TCP));
}

void platSocketNoDelay(PlatSocket socket) {
  BOOL noDelay = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
             sizeof noDelay);
}

bool platSocketPoll(PlatSocket socket, PlatPollMode mode) {
  fd_set* const setFor[] = {nullptr, &readSet, &writeSet, &exceptionSet};
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptionSet);
  FD_SET(static_cast<SOCKET>(socket), setFor[mode]);
  timeval noWait = kNoWait;
  // A failed select leaves the sets as they were; that must not read as "ready".
  if (select(0, &readSet, &writeSet, &exceptionSet, &noWait) == SOCKET_ERROR) return false;
  return __WSAFDIsSet(static_cast<SOCKET>(socket), setFor[mode]) != 0;
}

// A set of its own, not the shared ones of platSocketPoll, so the wait needs no lock.
bool platSocketAwait(PlatSocket socket, PlatPollMode mode, uint32_t milliseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(socket), &set);
  fd_set* setFor[] = {nullptr, nullptr, nullptr, nullptr};
  setFor[mode] = &set;
  timeval wait = {static_cast<long>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000};
  if (select(0, setFor[1], setFor[2], setFor[3], &wait) == SOCKET_ERROR) return false;
  return __WSAFDIsSet(static_cast<SOCKET>(socket), &set) != 0;
}

int32_t platSocketConnect(PlatSocket socket, uint32_t address, uint16_t port) {
  sockaddr_in sa = socketAddressOf(address, port);
  if (connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  return WSAGetLastError();
}

int32_t platSocketConnectAddress(PlatSocket socket, const PlatAddress* address) {
  AnyAddress sa;
  int length = addressLengthOf(*address, &sa);
  if (connect(socket, &sa.generic, length) == 0) return 0;
  return WSAGetLastError();
}

int32_t platSocketConnectStart(PlatSocket socket, const PlatAddress* address) {
  setBlocking(socket, false);
  AnyAddress sa;
  int length = addressLengthOf(*address, &sa);
  if (connect(socket, &sa.generic, length) == 0) return 0;
  int32_t error = WSAGetLastError();
  return error == WSAEWOULDBLOCK ? 0 : error;
}

// A failed connect shows in the exception set only; SO_ERROR has its reason.
int32_t platSocketConnectResult(PlatSocket socket) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    error = WSAGetLastError();
  }
  setBlocking(socket, true);
  if (error != 0) WSASetLastError(error);
  return error;
}

int32_t platSocketBindAddress(PlatSocket socket, const PlatAddress* address) {
  AnyAddress sa;
  int length = addressLengthOf(*address, &sa);
  if (bind(socket, &sa.generic, length) == 0) return 0;
  return WSAGetLastError();
}

PlatSocket platSocketAcceptAddress(PlatSocket socket, PlatAddress* peer) {
  AnyAddress sa{};
  int length = sizeof sa;
  PlatSocket handle = narrowSocket(accept(socket, &sa.generic, &length));
  if (handle < 0) return handle;
  *peer = platAddressOf(&sa.generic);
  return handle;
}

int32_t platSocketLocalAddress(PlatSocket socket, PlatAddress* local) {
  AnyAddress sa{};
  int length = sizeof sa;
  if (getsockname(socket, &sa.generic, &length) != 0) return WSAGetLastError();
  *local = platAddressOf(&sa.generic);
  return 0;
}

int32_t platSocketBind(PlatSocket socket, uint32_t address, uint16_t port) {
  sockaddr_in sa = socketAddressOf(address, port);
  if (bind(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  return WSAGetLastError();
}

int32_t platSocketListen(PlatSocket socket, int backlog) {
  return listen(socket, backlog) == 0 ? 0 : WSAGetLastError();
}

// Room for an IPv6 peer: a listener of either family may be asked.
PlatSocket platSocketAccept(PlatSocket socket, uint32_t* address, uint16_t* port) {
  PlatAddress peer{};
  PlatSocket handle = platSocketAcceptAddress(socket, &peer);
  if (handle < 0) return handle;
  *address = peer.family == kPlatFamilyV4 ? ipv4Of(peer) : 0;
  *port = peer.port;
  return handle;
}

int32_t platSocketLocalName(PlatSocket socket, uint32_t* address, uint16_t* port) {
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return WSAGetLastError();
  }
  *address = ntohl(local.sin_addr.s_addr);
  *port = ntohs(local.sin_port);
  return 0;
}

int32_t platSocketReceive(PlatSocket socket, void* buffer, int32_t size, bool peek) {
  int count = recv(socket, static_cast<char*>(buffer), size, peek ? MSG_PEEK : 0);
  if (count == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return kPlatNothingYet;
  return count;
}

// Polled first, so the socket keeps its mode: a receive that finds data never waits.
int32_t platSocketReceiveNoWait(PlatSocket socket, void* buffer, int32_t size) {
  if (!platSocketAwait(socket, kPollReadable, 0)) return kPlatNothingYet;
  return platSocketReceive(socket, buffer, size, false);
}

int32_t platSocketSend(PlatSocket socket, const void* data, int32_t length) {
  return send(socket, static_cast<const char*>(data), length, 0);
}

// The data socket of an upload is switched to non-blocking mode so that a driver step never
// waits inside send for a server that has stopped reading.
int32_t platSocketSendNoWait(PlatSocket socket, const void* data, int32_t length) {
  u_long nonBlocking = 1;
  ioctlsocket(socket, FIONBIO, &nonBlocking);
  int count = send(socket, static_cast<const char*>(data), length, 0);
  if (count == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  return count;
}

int32_t platSocketShutdownSend(PlatSocket socket) {
  return shutdown(socket, 1) == 0 ? 0 : WSAGetLastError();  // SD_SEND
}

int32_t platSocketClose(PlatSocket socket) {
  return closesocket(socket) == 0 ? 0 : WSAGetLastError();
}

const void* platResolveHost(const char* name, uint32_t* address) {
  hostent* entry = gethostbyname(name);
  if (entry == nullptr) return nullptr;
  uint32_t networkOrder = 0;
  if (entry->h_addr_list[0] != nullptr) {
    CopyMemory(&networkOrder, entry->h_addr_list[0], sizeof networkOrder);
  }
  *address = ntohl(networkOrder);
  return entry;
}

namespace {
// IPv4 alone through gethostbyname, as the name was always resolved, with no WS2_32.
int32_t resolveIpv4(const char* name, PlatAddress* addresses, int32_t room) {
  hostent* entry = gethostbyname(name);
  if (entry == nullptr) return -WSAGetLastError();
  int32_t count = 0;
  for (char** item = entry->h_addr_list; *item != nullptr && count < room; ++item) {
    addresses[count] = PlatAddress{};
    addresses[count].family = kPlatFamilyV4;
    CopyMemory(addresses[count].bytes, *item, 4);
    ++count;
  }
  return count;
}
}  // namespace

int32_t platResolveAddresses(const char* name, uint16_t family, PlatAddress* addresses,
                             int32_t room) {
  if (family == kPlatFamilyV4) return resolveIpv4(name, addresses, room);
  if (!loadResolver()) return -WSAEAFNOSUPPORT;
  ResolverEntry hints{};
  hints.family = family == kPlatFamilyV6 ? kFamilyInet6 : AF_UNSPEC;
  hints.socketType = SOCK_STREAM;
  ResolverEntry* results = nullptr;
  // getaddrinfo answers with Windows Sockets numbers (EAI_NONAME is WSAHOST_NOT_FOUND).
  int code = resolverLookup(name, nullptr, &hints, &results);
  if (code != 0) {
    WSASetLastError(code);
    return -code;
  }
  int32_t count = 0;
  for (ResolverEntry* entry = results; entry != nullptr && count < room; entry = entry->next) {
    addresses[count] = platAddressOf(entry->address);
    if (addresses[count].family != kPlatFamilyNone) ++count;
  }
  resolverFree(results);
  return count;
}

int32_t platLocalHostName(char* buffer, int32_t size) {
  return gethostname(buffer, size) == 0 ? 0 : WSAGetLastError();
}

// ---- Data path ----

// Windows Sockets 1.1 has no call that moves bytes from a socket into a file: the caller
// copies them through its buffer.
PlatMoveStop platSocketReceiveToFile(PlatSocket, PlatFile, uint32_t, uint32_t* moved) {
  *moved = 0;
  return kMoveRefused;
}
void platRefuseDataMoves(int32_t) {}
