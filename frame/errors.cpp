// The error table and dapErrorText. Codes are never renumbered; -21 and -29 are raised but
// have no text.
#include "frame/errors.h"

#include "dap32.h"

namespace {
struct ErrorEntry {
  int32_t code;
  const char* message;
};

constexpr int32_t kTableEnd = 999;

constexpr ErrorEntry kErrorTable[] = {
    {-1, "Socket has been closed."},
    {-3, "Already attached."},
    {-4, "Bad status flag passed to rokStatus."},
    {-5, "Cannot allocate memory."},
    {-6, "Cannot comply"},
    {-7, "Cannot create socket."},
    {-8, "Channel out of range."},
    {-9, "Error attempting to connect."},
    {-10, "Invalid socket."},
    {-11, "WINSOCK is currently blocking."},
    {-12, "No host name."},
    {-13, "Cannot find FTP server."},
    {-14, "No available sockaddr structures."},
    {-15, "Must call dapAttach first."},
    {-16, "Illegal chars in server name."},
    {-17, "PASSWORD not specified."},
    {-18, "FTP server returned error."},
    {-19, "SERVER not specified."},
    {-20, "Socket read error."},
    {-22, "Socket timed out."},
    {-23, "USER name not specified."},
    {-24, "Must specify 'A' or 'B' for mode."},
    {-25, "Listen error."},
    {-26, "No response on listener socket."},
    {-27, "Timed out waiting for accept."},
    {-28, "Cannot open file."},
    {-30, "Cannot find PASV port."},
    {-31, "LIST/GET/PUT not completed."},
    {-32, "TLS handshake failed."},
    {-33, "Server certificate rejected."},
    {-34, "Server refused TLS."},
    {-35, "TLS is not available."},
    {-36, "Proxy refused the connection."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket descriptor."},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {kTableEnd, nullptr},
};

const char* messageFor(int32_t code) {
  for (const ErrorEntry* entry = kErrorTable; entry->code != kTableEnd; ++entry) {
    if (entry->code == code) return entry->message;
  }
  return nullptr;
}

// The codes that stand for a refusal by the server carry its reply.
bool carriesReply(int32_t code) {
  return code == DAP_ERR_SERVER_REFUSED || code == DAP_ERR_CONNECT || code == DAP_ERR_TLS_REFUSED;
}

// Appends as much of text as fits before the last byte of the buffer.
int32_t appendWithin(char* buffer, int32_t used, int32_t size, const char* text) {
  while (used < size - 1 && *text != '\0') buffer[used++] = *text++;
  return used;
}
}  // namespace

int32_t errorTextInto(const Channel* channel, int32_t code, char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return 0;
  const char* message = messageFor(code);
  if (message == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  int32_t length = appendWithin(buffer, 0, size, message);
  if (carriesReply(code)) {
    length = appendWithin(buffer, length, size, " ");
    length = appendWithin(buffer, length, size, channel->responseBuffer);
  }
  buffer[length] = '\0';
  return length;
}

int32_t DAP_CALL dapErrorText(int32_t chan, int32_t code, char* buffer, int32_t size) {
  int32_t error;
  Channel* channel = channelFor(chan, &error);
  if (channel == nullptr) return error;
  return errorTextInto(channel, code, buffer, size);
}
