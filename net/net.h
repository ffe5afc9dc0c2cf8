// The network layer: socket primitives, server resolution and connects, the FTP command
// sender and reply reader, and data-connection addressing.
#pragma once

#include <cstdint>

#include "frame/channel.h"

// Pause values of the closes after a transfer: half of each is slept holding the lock, unless
// the closePause setting is 0.
constexpr uint32_t kPauseAfterDownload = 125;
constexpr uint32_t kPauseAfterUpload = 500;

// Socket primitives. Results: positive success (1 or a byte count), 0 nothing now or timed
// out, negative an error code.
// A connection in TLS passes its TLS connection too: the bytes then travel inside it, and what
// it holds already decrypted counts as readable.
int32_t netOpenSocket();
int32_t rokStatus(PlatSocket socket, int32_t mode);  // mode 1 readable, 2 writable, 3 exception
int32_t netWaitReadable(PlatSocket socket, uint32_t timeout, const TlsConnection* tls = nullptr);
int32_t netWaitWritable(PlatSocket socket, uint32_t timeout);
// Waits for the socket in the system, waking as soon as it is ready: 1, or 0 after timeout ms.
int32_t netAwaitReady(PlatSocket socket, int32_t mode, uint32_t timeout);
int32_t netPeek(PlatSocket socket, char* buffer, int32_t size, TlsConnection* tls = nullptr);
int32_t netReceive(PlatSocket socket, char* buffer, int32_t size, TlsConnection* tls = nullptr);
int32_t netReceivePart(PlatSocket socket, char* buffer, int32_t size, TlsConnection* tls = nullptr);
int32_t netSend(PlatSocket socket, const char* data, int32_t length, TlsConnection* tls = nullptr);
int32_t netSendAvailable(PlatSocket socket, const char* data, int32_t length,
                         TlsConnection* tls = nullptr);
int32_t netCloseSocket(PlatSocket socket, uint32_t pause);
void netCloseTransfer(Channel* channel, uint32_t pause);
void netCloseDataSockets(Channel* channel, uint32_t pause);  // listener and data socket only
void netCloseControl(Channel* channel, uint32_t pause);
void closeLocalFile(Channel* channel);

// Transfer data: one driver step's worth between the data socket and the local file. A limit
// of 0 moves a single block; a larger limit lets the kernel move a download's bytes where it
// can and otherwise copies through the whole data buffer, while the socket stays ready.
struct DataStep {
  int32_t moved;       // bytes that reached the local file (download) or the socket (upload)
  int32_t socketCode;  // 0, or the receive's or send's negative result (download: -1 = the end)
  int32_t fileCode;    // 0, or the negative result of the file write that failed
  bool fileEnded;      // upload: the local file has no more bytes, or could not be read
};
DataStep netReceiveToFile(Channel* channel, uint32_t limit);
// A block read from the file but not taken by the socket stays in uploadPending for later.
DataStep netSendFromFile(Channel* channel, uint32_t limit);

// Server resolution and connections.
int32_t netIsDottedQuad(const char* text);
uint32_t netParseDottedQuad(const char* text);
int32_t netResolveServer(Channel* channel);
int32_t netConnectControl(Channel* channel);
int32_t netConnectData(Channel* channel);
int32_t netFormatAddress(uint32_t address, char* buffer, int32_t size);

// Control channel I/O.
int32_t netSendCommand(PlatSocket socket, const char* command, TlsConnection* tls = nullptr);
int32_t netReceiveLine(PlatSocket socket, char* buffer, int32_t size, uint32_t firstWait,
                       uint32_t nextWait, uint32_t deadline, TlsConnection* tls = nullptr);
int32_t netReadReply(Channel* channel);
int32_t netReplyCode(Channel* channel);

// Secure connections. Opening gives 0 or a negative code; a handshake step gives 0 once it is
// done and the certificate accepted, the readiness it still waits for (above 0), or a negative
// code after logging why: DAP_ERR_TLS_HANDSHAKE, DAP_ERR_TLS_CERTIFICATE or a socket's code.
int32_t netTlsStartup();  // 0, or DAP_ERR_TLS_UNAVAILABLE
int32_t netOpenControlTls(Channel* channel);
int32_t netOpenDataTls(Channel* channel);
int32_t netHandshake(Channel* channel, bool data);
bool netHandshakeDone(const TlsConnection* connection);
void netKeepTlsSession(Channel* channel);  // for the data connections, after the first reply
void netCloseDataTls(Channel* channel, bool notify);
// Ends an upload's data connection in TLS: close_notify, then the end of the stream, with the
// socket kept open, so that records the server still sends (a TLS 1.3 server's session
// tickets) find it open: a socket closed under arriving bytes is reset, and a server that reads
// the reset may drop the end of the file it has not read yet.
void netEndSecureUpload(Channel* channel);
void netCloseControlTls(Channel* channel, bool notify);  // and the session's context

// Data-connection addressing.
int32_t netLocalAddress(Channel* channel);
int32_t netLocalHostName(char* buffer, int32_t size);
int32_t netOpenListener(Channel* channel);
int32_t netAcceptData(Channel* channel);
void netAdvanceDataPort(Channel* channel);
void netFormatPortCommand(Channel* channel);
// The data port from a PASV reply line into dataPort: 1, or 0 when the line has no port.
int32_t netParsePassivePort(Channel* channel, const char* reply);

// Networks: addresses of either family as text, the extended commands of RFC 2428, connects
// that try a name's addresses in turn, and proxies.
// An IPv6 literal, bare or in brackets, with an optional numeric zone: 1 and the address, or 0.
int32_t netParseIpv6(const char* text, PlatAddress* address);
// The address as text (IPv6 as RFC 5952 writes it), with its zone if asked: the length, or 0
// with nothing but a NUL written when it does not fit.
int32_t netFormatAnyAddress(const PlatAddress* address, char* buffer, int32_t size, bool zone);
// The port of a 229 reply: 1, or 0 for a reply that is not "(|||port|)" with a port 1-65535.
int32_t netParseExtendedPassivePort(const char* reply, uint16_t* port);
void netFormatEprtCommand(Channel* channel);
bool netUsesCandidates(const Channel* channel);  // a proxy, IPv6, or a family other than 0
int32_t netFindCandidates(Channel* channel);
int32_t netStartCandidate(Channel* channel);
int32_t netFinishCandidate(Channel* channel);
int32_t netConnectDataAny(Channel* channel);
// EPSV and EPRT for this transfer: asked for and not refused, or required by an IPv6 server.
bool netUsesExtended(const Channel* channel);

int32_t netParseProxy(const char* text, ProxySetting* proxy);   // 0, or -6 with nothing changed
int32_t netFormatProxy(const ProxySetting* proxy, char* text);  // kProxyBufferSize; no password
uint32_t netSocksGreeting(const ProxySetting* proxy, unsigned char* message);
uint32_t netSocksCredentials(const ProxySetting* proxy, unsigned char* message);
uint32_t netSocksConnect(const char* host, uint16_t port, unsigned char* message);
uint32_t netSocksReplyLength(const unsigned char* head);
const char* netSocksReplyText(uint32_t code);
uint32_t netHttpConnect(const ProxySetting* proxy, const char* host, uint16_t port, char* text);
int32_t netHttpStatus(const char* line);
