// The TLS seam: secure control and data connections over the platform's sockets. One interface,
// written once per backend (tls_openssl.cpp on POSIX, tls_schannel.cpp on Windows); net/ calls
// it and names no backend. The library is always the TLS client, on data connections too.
//
// A context belongs to one FTP session: the trust the caller asked for and the TLS session that
// every data connection resumes, taken from the control connection. Connections allocate when
// their handshake starts and free everything when closed; nothing allocates per step.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct TlsContext;
struct TlsConnection;

constexpr int32_t kTlsPinSize = 32;      // a SHA-256 digest
constexpr int32_t kTlsSessionText = 96;  // "TLSv1.3 TLS_AES_256_GCM_SHA384"
constexpr int32_t kTlsReasonText = 96;

// What the caller trusts, fixed for the session when the context opens. A pin is compared by
// the caller of the seam, which then asks for no verification.
struct TlsTrust {
  const char* serverName;  // as given to dapConnect: a DNS name or a dotted quad
  bool verify;             // the certificate must chain to a trusted root and name the server
  const char* caFile;      // PEM roots instead of the system's store; "" for the store
  bool caFileUtf8;         // caFile is UTF-8 (UTF-8 names on), else in the system's code page
};

// A handshake step: done, or the socket readiness it waits for; failures are negative codes
// (DAP_ERR_TLS_HANDSHAKE, DAP_ERR_TLS_UNAVAILABLE, or a socket's code).
enum TlsProgress : int32_t {
  kTlsDone = 0,
  kTlsWantRead = 1,
  kTlsWantWrite = 2,
};

// Why a certificate is not trusted, in the words of the debug log, which both backends speak.
enum TlsRejection : int32_t {
  kTlsExpired,
  kTlsNotYetValid,
  kTlsNameMismatch,
  kTlsSelfSigned,
  kTlsNoTrustedRoot,
  kTlsWrongUsage,
  kTlsRevoked,
  kTlsCaUnreadable,
};
inline const char* tlsRejectionText(TlsRejection rejection) {
  static const char* const kWords[] = {"certificate has expired", "certificate is not yet valid",
                                       "name does not match",     "self-signed",
                                       "no trusted root",         "unsupported certificate purpose",
                                       "certificate revoked",     "CA file cannot be read"};
  return kWords[rejection];
}

// The server's certificate after a handshake.
struct TlsPeer {
  bool present;                       // the server showed one
  unsigned char digest[kTlsPinSize];  // its SHA-256
  bool trusted;                 // it chains to a trusted root, is valid now and names the server
  char reason[kTlsReasonText];  // why it is not trusted
};

// 0, or DAP_ERR_TLS_UNAVAILABLE when the TLS library cannot be loaded. Safe from any thread.
int32_t tlsStartup();

// The session's context: 0, or a negative code with *context left null.
int32_t tlsContextOpen(const TlsTrust& trust, TlsContext** context);
void tlsContextClose(TlsContext* context);

// A connection over socket. A control connection's writes wait until the socket took every byte,
// as plain commands always have; a data connection's writes take what the socket takes now.
int32_t tlsConnectionOpen(TlsContext* context, PlatSocket socket, bool control,
                          TlsConnection** connection);
// One handshake call. A data connection offers the session the context keeps.
int32_t tlsHandshake(TlsConnection* connection);
bool tlsHandshakeDone(const TlsConnection* connection);
// What went wrong at the last failed call, for the debug log.
const char* tlsFailure(const TlsConnection* connection);
// The certificate of a finished handshake: its digest, and whether the context's trust vouches
// for it (judged only when the context verifies; otherwise trusted).
void tlsExaminePeer(TlsConnection* connection, TlsPeer* peer);
// Protocol and cipher, as "TLSv1.3 TLS_AES_256_GCM_SHA384".
void tlsDescribe(const TlsConnection* connection, char* text, int32_t size);
bool tlsResumed(const TlsConnection* connection);
// Keeps the control connection's session for the data connections. Taken after the first reply
// that followed the handshake: a TLS 1.3 server sends its tickets after the handshake.
void tlsKeepSession(TlsContext* context, TlsConnection* control);

// Bytes read (peek leaves them to be read again), 0 when no whole record has come yet, -1 at the
// end of the data (the peer's close_notify or an orderly close), another negative code on
// failure: a socket's code, or DAP_ERR_SOCKET_READ for a protocol error.
int32_t tlsReceive(TlsConnection* connection, char* buffer, int32_t size, bool peek);
// Bytes taken (a data connection: 0 when the socket takes nothing now), or a negative code.
int32_t tlsSend(TlsConnection* connection, const char* data, int32_t length);
// Decrypted bytes, or bytes of a record, held inside the connection: readable without the socket.
bool tlsPending(const TlsConnection* connection);
// Frees the connection; with notify it first sends close_notify, if the socket takes it now. The
// socket stays open.
void tlsClose(TlsConnection* connection, bool notify);
