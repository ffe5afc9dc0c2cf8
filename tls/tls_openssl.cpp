// The TLS seam on OpenSSL 3. Records travel through a BIO of the library's own that calls the
// platform's socket calls, so the fault table of the POSIX seam reaches TLS connections too, and
// no call ever waits for the peer: a read that finds nothing is a retry, as is a data
// connection's write that the socket does not take.
//
// The certificate is judged after the handshake (tlsExaminePeer) from OpenSSL's own verification
// result, which it keeps even when told not to stop on failure; nothing is sent inside the
// connection before that verdict.
//
// Divisions: the socket BIO; contexts; connections and handshakes; the certificate; records.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dap32.h"
#include "tls/tls.h"

namespace {
constexpr int32_t kServerNameSize = 256;
// A data connection reads ahead in large pieces: fewer receives for the same records.
constexpr size_t kDataReadAhead = 128 * 1024;
// An upload's records gather and leave in one send: a send per 16 KiB record costs the kernel
// more than the bytes it carries. One gathering holds all but the last record of a piece of
// 256 KiB, the largest the data path hands over at once.
constexpr int32_t kRecordPlain = SSL3_RT_MAX_PLAIN_LENGTH;
constexpr uint32_t kRecordRoom =
    SSL3_RT_HEADER_LENGTH + SSL3_RT_MAX_PLAIN_LENGTH + SSL3_RT_MAX_ENCRYPTED_OVERHEAD;
constexpr uint32_t kGatherSize = 256 * 1024;
}  // namespace

struct TlsContext {
  SSL_CTX* ctx;
  SSL_SESSION* session;  // the control connection's, offered by every data connection
  char serverName[kServerNameSize];
  bool verify;
  bool caUnreadable;  // the CA file gave no roots: no certificate can be trusted
};

struct TlsConnection {
  TlsContext* context;
  SSL* ssl;
  PlatSocket socket;
  bool waitToSend;
  bool done;
  int32_t socketCode;  // a socket call inside OpenSSL failed: its negative code
  char failure[kTlsReasonText];
  // A data connection's gathered records (allocated at its first large send); they go from
  // gatherSent up to gathered. While gathering is set, the BIO's writes land here.
  char* gather;
  uint32_t gathered;
  uint32_t gatherSent;
  bool gathering;
  bool retryDirect;  // OpenSSL holds a record that a direct write left half sent
};

// ---- The socket BIO ----

namespace {
TlsConnection* connectionOf(BIO* bio) {
  return static_cast<TlsConnection*>(BIO_get_data(bio));
}

int bioRead(BIO* bio, char* buffer, int size) {
  TlsConnection* connection = connectionOf(bio);
  BIO_clear_retry_flags(bio);
  int32_t received = platSocketReceiveNoWait(connection->socket, buffer, size);
  if (received == kPlatNothingYet) {
    BIO_set_retry_read(bio);
    return -1;
  }
  if (received < 0) connection->socketCode = -platSocketError();
  return received;
}

int bioWrite(BIO* bio, const char* data, int length) {
  TlsConnection* connection = connectionOf(bio);
  BIO_clear_retry_flags(bio);
  if (connection->gathering) {
    // A record larger than the room left waits: tlsSend then sends it directly.
    if (connection->gathered + static_cast<uint32_t>(length) > kGatherSize) {
      BIO_set_retry_write(bio);
      return -1;
    }
    memcpy(connection->gather + connection->gathered, data, static_cast<size_t>(length));
    connection->gathered += static_cast<uint32_t>(length);
    return length;
  }
  int32_t sent = connection->waitToSend ? platSocketSend(connection->socket, data, length)
                                        : platSocketSendNoWait(connection->socket, data, length);
  if (sent == 0 && !connection->waitToSend) {
    BIO_set_retry_write(bio);
    return -1;
  }
  if (sent <= 0) {
    connection->socketCode = -platSocketError();
    return -1;
  }
  return sent;
}

// Sends gathered records, as much as the socket takes now: 1 when none is left, 0 while some
// wait, or a negative code.
int32_t sendGathered(TlsConnection* connection) {
  while (connection->gatherSent < connection->gathered) {
    int32_t sent =
        platSocketSendNoWait(connection->socket, connection->gather + connection->gatherSent,
                             static_cast<int32_t>(connection->gathered - connection->gatherSent));
    if (sent == 0) return 0;
    if (sent < 0) {
      connection->socketCode = -platSocketError();
      return connection->socketCode < 0 ? connection->socketCode : DAP_ERR_SOCKET_CLOSED;
    }
    connection->gatherSent += static_cast<uint32_t>(sent);
  }
  connection->gathered = connection->gatherSent = 0;
  return 1;
}

long bioControl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* makeSocketMethod() {
  BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "dap32 socket");
  if (method == nullptr) return nullptr;
  BIO_meth_set_read(method, bioRead);
  BIO_meth_set_write(method, bioWrite);
  BIO_meth_set_ctrl(method, bioControl);
  return method;
}

// Made once, on first use, by whichever thread gets there first.
BIO_METHOD* socketMethod() {
  static BIO_METHOD* const method = makeSocketMethod();
  return method;
}

void noteFailure(TlsConnection* connection) {
  unsigned long error = ERR_peek_last_error();
  if (error != 0) {
    ERR_error_string_n(error, connection->failure, sizeof connection->failure);
  } else if (connection->socketCode != 0) {
    snprintf(connection->failure, sizeof connection->failure, "socket error %d",
             static_cast<int>(-connection->socketCode));
  } else {
    snprintf(connection->failure, sizeof connection->failure, "the peer closed the connection");
  }
}
}  // namespace

// ---- Contexts ----

int32_t tlsStartup() {
  if (OPENSSL_init_ssl(0, nullptr) != 1 || socketMethod() == nullptr) {
    return DAP_ERR_TLS_UNAVAILABLE;
  }
  return 0;
}

int32_t tlsContextOpen(const TlsTrust& trust, TlsContext** context) {
  *context = nullptr;
  if (tlsStartup() != 0) return DAP_ERR_TLS_UNAVAILABLE;
  auto* made = static_cast<TlsContext*>(calloc(1, sizeof(TlsContext)));
  if (made == nullptr) return DAP_ERR_NO_MEMORY;
  made->ctx = SSL_CTX_new(TLS_client_method());
  if (made->ctx == nullptr) {
    free(made);
    return DAP_ERR_TLS_UNAVAILABLE;
  }
  SSL_CTX* ctx = made->ctx;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  // The session is kept by hand: OpenSSL's client cache would mark a TLS 1.3 ticket used once as
  // spent, and the next data connection would not resume.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  // A server that ends a download's data with a plain close has ended it.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (trust.caFile != nullptr && trust.caFile[0] != '\0') {
    made->caUnreadable = SSL_CTX_load_verify_locations(ctx, trust.caFile, nullptr) != 1;
  } else {
    SSL_CTX_set_default_verify_paths(ctx);
  }
  snprintf(made->serverName, sizeof made->serverName, "%s", trust.serverName);
  made->verify = trust.verify;
  ERR_clear_error();
  *context = made;
  return 0;
}

void tlsContextClose(TlsContext* context) {
  if (context == nullptr) return;
  SSL_SESSION_free(context->session);
  SSL_CTX_free(context->ctx);
  free(context);
}

// ---- Connections and handshakes ----

namespace {
// The name the certificate must carry: an IP address for a dotted quad, else the DNS name,
// which also goes to the server as SNI.
void nameTheServer(SSL* ssl, const char* serverName) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, serverName) == 1) return;
  SSL_set1_host(ssl, serverName);
  SSL_set_tlsext_host_name(ssl, serverName);
}
}  // namespace

int32_t tlsConnectionOpen(TlsContext* context, PlatSocket socket, bool control,
                          TlsConnection** connection) {
  *connection = nullptr;
  auto* made = static_cast<TlsConnection*>(calloc(1, sizeof(TlsConnection)));
  if (made == nullptr) return DAP_ERR_NO_MEMORY;
  made->context = context;
  made->socket = socket;
  made->waitToSend = control;
  made->ssl = SSL_new(context->ctx);
  BIO* bio = BIO_new(socketMethod());
  if (made->ssl == nullptr || bio == nullptr) {
    BIO_free(bio);
    SSL_free(made->ssl);
    free(made);
    ERR_clear_error();
    return DAP_ERR_NO_MEMORY;
  }
  BIO_set_data(bio, made);
  BIO_set_init(bio, 1);
  SSL_set_bio(made->ssl, bio, bio);
  SSL_set_connect_state(made->ssl);
  nameTheServer(made->ssl, context->serverName);
  if (!control) {
    SSL_set_read_ahead(made->ssl, 1);
    SSL_set_default_read_buffer_len(made->ssl, kDataReadAhead);
    if (context->session != nullptr) SSL_set_session(made->ssl, context->session);
  }
  ERR_clear_error();
  *connection = made;
  return 0;
}

int32_t tlsHandshake(TlsConnection* connection) {
  ERR_clear_error();
  int result = SSL_do_handshake(connection->ssl);
  if (result == 1) {
    connection->done = true;
    return kTlsDone;
  }
  int error = SSL_get_error(connection->ssl, result);
  if (error == SSL_ERROR_WANT_READ) return kTlsWantRead;
  if (error == SSL_ERROR_WANT_WRITE) return kTlsWantWrite;
  noteFailure(connection);
  ERR_clear_error();
  // A reset is the socket's failure; an alert, rubbish or a close is the handshake's.
  return connection->socketCode < 0 ? connection->socketCode : DAP_ERR_TLS_HANDSHAKE;
}

bool tlsHandshakeDone(const TlsConnection* connection) {
  return connection != nullptr && connection->done;
}

const char* tlsFailure(const TlsConnection* connection) {
  return connection->failure;
}

void tlsDescribe(const TlsConnection* connection, char* text, int32_t size) {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(connection->ssl);
  snprintf(text, static_cast<size_t>(size), "%s %s", SSL_get_version(connection->ssl),
           cipher != nullptr ? SSL_CIPHER_standard_name(cipher) : "");
}

bool tlsResumed(const TlsConnection* connection) {
  return SSL_session_reused(connection->ssl) == 1;
}

void tlsKeepSession(TlsContext* context, TlsConnection* control) {
  SSL_SESSION* session = SSL_get1_session(control->ssl);
  if (session == nullptr) return;
  SSL_SESSION_free(context->session);
  context->session = session;
}

// ---- The certificate ----

namespace {
struct Rejection {
  long result;
  TlsRejection rejection;
};
const Rejection kRejections[] = {
    {X509_V_ERR_CERT_HAS_EXPIRED, kTlsExpired},
    {X509_V_ERR_CERT_NOT_YET_VALID, kTlsNotYetValid},
    {X509_V_ERR_HOSTNAME_MISMATCH, kTlsNameMismatch},
    {X509_V_ERR_IP_ADDRESS_MISMATCH, kTlsNameMismatch},
    {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, kTlsSelfSigned},
    {X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, kTlsSelfSigned},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, kTlsNoTrustedRoot},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, kTlsNoTrustedRoot},
    {X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, kTlsNoTrustedRoot},
    {X509_V_ERR_INVALID_PURPOSE, kTlsWrongUsage},
    {X509_V_ERR_CERT_REVOKED, kTlsRevoked},
};

// The reason a caller is told; one the log has no words of its own for is OpenSSL's.
const char* rejection(long result) {
  for (const Rejection& entry : kRejections) {
    if (entry.result == result) return tlsRejectionText(entry.rejection);
  }
  return X509_verify_cert_error_string(result);
}

bool digestOf(X509* certificate, unsigned char* digest) {
  unsigned int length = 0;
  return X509_digest(certificate, EVP_sha256(), digest, &length) == 1 &&
         length == static_cast<unsigned int>(kTlsPinSize);
}
}  // namespace

void tlsExaminePeer(TlsConnection* connection, TlsPeer* peer) {
  const TlsContext* context = connection->context;
  *peer = TlsPeer{false, {}, false, ""};
  X509* certificate = SSL_get0_peer_certificate(connection->ssl);
  peer->present = certificate != nullptr && digestOf(certificate, peer->digest);
  if (!context->verify) {
    peer->trusted = true;
    return;
  }
  if (context->caUnreadable) {
    snprintf(peer->reason, sizeof peer->reason, "%s", tlsRejectionText(kTlsCaUnreadable));
    return;
  }
  long result = SSL_get_verify_result(connection->ssl);
  peer->trusted = result == X509_V_OK;
  if (!peer->trusted) snprintf(peer->reason, sizeof peer->reason, "%s", rejection(result));
}

// ---- Records ----

int32_t tlsReceive(TlsConnection* connection, char* buffer, int32_t size, bool peek) {
  if (!connection->done) return DAP_ERR_SOCKET_CLOSED;
  ERR_clear_error();
  int result =
      peek ? SSL_peek(connection->ssl, buffer, size) : SSL_read(connection->ssl, buffer, size);
  if (result > 0) return result;
  switch (SSL_get_error(connection->ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return 0;
    case SSL_ERROR_ZERO_RETURN:
      return DAP_ERR_SOCKET_CLOSED;
    default:
      noteFailure(connection);
      ERR_clear_error();
      if (connection->socketCode < 0) return connection->socketCode;
      // A record read past a plain close, with nothing more to say, is the end too.
      return result == 0 ? DAP_ERR_SOCKET_CLOSED : DAP_ERR_SOCKET_READ;
  }
}

namespace {
// The result of an SSL_write that wrote nothing: 0 to try again later, or a negative code.
int32_t failedWrite(TlsConnection* connection, int result) {
  int error = SSL_get_error(connection->ssl, result);
  if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) return 0;
  noteFailure(connection);
  ERR_clear_error();
  return connection->socketCode < 0 ? connection->socketCode : DAP_ERR_SOCKET_CLOSED;
}

// Gathers whole records of data, all but its last, while they fit: the bytes taken.
int32_t gatherRecords(TlsConnection* connection, const char* data, int32_t length,
                      int32_t* failure) {
  int32_t taken = 0;
  connection->gathering = true;
  while (length - taken > kRecordPlain && connection->gathered + kRecordRoom <= kGatherSize) {
    int result = SSL_write(connection->ssl, data + taken, kRecordPlain);
    if (result <= 0) {
      // The record is made and waits inside OpenSSL: the next write must send it directly.
      *failure = failedWrite(connection, result);
      connection->retryDirect = *failure == 0;
      break;
    }
    taken += result;
  }
  connection->gathering = false;
  return taken;
}
}  // namespace

// A data connection's write gathers records and sends them at once, but its last record goes
// out directly: OpenSSL counts that one taken only when the socket has taken all of it, so a
// write that took the whole of data has left nothing behind here, and the caller, who reads
// on only then, never ends an upload with bytes still gathered. What the socket does not take
// of a gathering waits for the next call, which then takes nothing new until it is sent.
int32_t tlsSend(TlsConnection* connection, const char* data, int32_t length) {
  if (!connection->done) return DAP_ERR_SOCKET_CLOSED;
  ERR_clear_error();
  // Made for the first write of more than one record; without it, no gathering.
  if (!connection->waitToSend && connection->gather == nullptr && length > kRecordPlain) {
    connection->gather = static_cast<char*>(malloc(kGatherSize));
  }
  int32_t taken = 0;
  if (connection->gather != nullptr) {
    int32_t sent = sendGathered(connection);
    if (sent <= 0) return sent;
  }
  if (connection->gather != nullptr && !connection->retryDirect) {
    int32_t failure = 0;
    taken = gatherRecords(connection, data, length, &failure);
    int32_t sent = sendGathered(connection);
    if (failure < 0) return failure;
    if (sent < 0) return sent;
    if (sent == 0 || connection->retryDirect) return taken;
  }
  int result = SSL_write(connection->ssl, data + taken, length - taken);
  if (result > 0) {
    connection->retryDirect = false;
    return taken + result;
  }
  int32_t failed = failedWrite(connection, result);
  if (failed == 0) connection->retryDirect = connection->gather != nullptr;
  return failed < 0 ? failed : taken;
}

bool tlsPending(const TlsConnection* connection) {
  return connection != nullptr && connection->done && SSL_has_pending(connection->ssl) == 1;
}

// Records that came and were never read (a TLS 1.3 server's session tickets on an upload's
// connection) are read first: a socket closed with unread bytes is reset instead of closed, and
// the reset can overtake the close_notify, which a strict server then never sees.
void tlsClose(TlsConnection* connection, bool notify) {
  if (connection == nullptr) return;
  // A close_notify after records that never left would pass a cut stream off as whole.
  if (notify && connection->done && sendGathered(connection) == 1) {
    char unread[4096];
    for (int round = 0; round < 64 && SSL_read(connection->ssl, unread, sizeof unread) > 0;) {
      ++round;
    }
    connection->waitToSend = false;
    SSL_shutdown(connection->ssl);
  }
  // OpenSSL would mark the session spent when a connection ends without close_notify, as an
  // aborted transfer's does; the data connections after it must still resume it.
  SSL_set_shutdown(connection->ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  SSL_free(connection->ssl);
  ERR_clear_error();
  free(connection->gather);
  free(connection);
}
