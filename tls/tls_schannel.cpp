// The TLS seam on Windows: SChannel through SSPI, and the certificate judged with crypt32.
// secur32.dll and crypt32.dll are loaded at the first TLS use, so the DLL's import table stays
// as it was and callers who never use TLS load nothing new.
//
// Records pass through buffers of the connection's own, read and written with the platform's
// socket calls, so no call ever waits for the peer: a handshake step or a receive that finds
// nothing is a retry, as is a data connection's write that the socket does not take.
//
// SChannel is told to leave the certificate alone (manual validation); tlsExaminePeer builds the
// chain itself, against the CA file's certificates only when the caller gave one.
//
// Divisions: loading; small helpers; contexts; connections and handshakes; the certificate;
// records.

// windows.h first: the others build on its types.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
// clang-format on

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "dap32.h"
#include "tls/tls.h"

namespace {
constexpr int32_t kServerNameSize = 256;
constexpr uint32_t kRecordHeader = 5;
// The largest TLS 1.2 record: a header, 2^14 bytes of data and at most 2048 of expansion.
constexpr uint32_t kRecordLimit = kRecordHeader + 16384 + 2048;
// Several records per receive: fewer socket calls for the same data, and room for a server's
// certificate message that spans records.
constexpr uint32_t kIncomingSize = 4 * 16384 + kRecordLimit;
constexpr unsigned char kAlertRecord = 21;
// How long a control connection's write waits for a renegotiation the server started.
constexpr uint32_t kRenegotiationWait = 10000;
constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_STREAM |
                                  ISC_REQ_USE_SUPPLIED_CREDS | ISC_REQ_MANUAL_CRED_VALIDATION;
}  // namespace

struct TlsContext {
  CredHandle credential;  // shared by every connection: SChannel resumes only with the same one
  wchar_t targetName[kServerNameSize];  // the same for every connection, for the same reason
  bool verify;
  bool namedByAddress;  // the server name is a dotted quad
  unsigned char address[4];
  HCERTSTORE roots;         // the CA file's certificates; null: the system's store
  HCERTCHAINENGINE engine;  // trusts roots and nothing else; null with the system's store
  bool caUnreadable;        // the CA file gave no roots: no certificate can be trusted
};

enum HandshakeStage : int32_t {
  kStageHello,     // the first call, which writes the ClientHello
  kStageExchange,  // records go in, tokens come out
  kStageFinished,  // SChannel is done; its last token may still be on its way out
  kStageDone,
};

struct TlsConnection {
  TlsContext* context;
  PlatSocket socket;
  bool control;  // writes wait until the socket took every byte
  CtxtHandle handle;
  bool hasHandle;
  HandshakeStage stage;
  bool established;       // the first handshake is done
  bool needInput;         // SChannel wants more bytes than the raw ones held
  bool certificateAsked;  // the server asked for a client certificate, and was offered none
  bool renegotiating;     // the server started a new handshake inside the connection
  bool ended;             // close_notify or an orderly close came: the end of the data
  SecPkgContext_StreamSizes sizes;
  uint32_t largestPiece;  // plaintext per record
  // Bytes from the socket: raw ones not yet decrypted at rawOffset, and the decrypted bytes of
  // the last record, not yet read, at plain (inside incoming too: records decrypt in place).
  unsigned char* incoming;
  uint32_t rawOffset;
  uint32_t rawLength;
  unsigned char* plain;
  uint32_t plainLength;
  // A handshake token or an encrypted record, sent up to outgoingSent.
  unsigned char* outgoing;
  uint32_t outgoingSize;
  uint32_t outgoingLength;
  uint32_t outgoingSent;
  int32_t carriedPlain;  // the plaintext bytes of a record a data connection has not sent whole
  char failure[kTlsReasonText];
};

// ---- Loading ----

namespace {
struct Crypt32 {
  decltype(&CertOpenStore) openStore;
  decltype(&CertCloseStore) closeStore;
  decltype(&CertAddEncodedCertificateToStore) addEncoded;
  decltype(&CryptStringToBinaryA) stringToBinary;
  decltype(&CertCreateCertificateChainEngine) createEngine;
  decltype(&CertFreeCertificateChainEngine) freeEngine;
  decltype(&CertGetCertificateChain) getChain;
  decltype(&CertFreeCertificateChain) freeChain;
  decltype(&CertVerifyCertificateChainPolicy) verifyPolicy;
  decltype(&CertFreeCertificateContext) freeCertificate;
  decltype(&CryptHashCertificate) hashCertificate;
  decltype(&CertFindExtension) findExtension;
  decltype(&CryptDecodeObjectEx) decodeObject;
  decltype(&CertVerifyTimeValidity) timeValidity;
};

INIT_ONCE loadOnce = INIT_ONCE_STATIC_INIT;
bool loaded = false;
PSecurityFunctionTableW sspi = nullptr;
Crypt32 crypt = {};
uint32_t largestToken = 0;  // the package's cbMaxToken

template <typename Function>
bool resolve(HMODULE module, const char* name, Function* slot) {
  FARPROC address = GetProcAddress(module, name);
  *slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return address != nullptr;
}

// From the system directory only: a DLL of the same name beside the program is not taken.
HMODULE loadSystemLibrary(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  size_t nameLength = wcslen(name);
  if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  memcpy(path + length + 1, name, (nameLength + 1) * sizeof(wchar_t));
  return LoadLibraryW(path);
}

bool loadSspi() {
  HMODULE secur32 = loadSystemLibrary(L"secur32.dll");
  INIT_SECURITY_INTERFACE_W initialize = nullptr;
  if (secur32 == nullptr || !resolve(secur32, "InitSecurityInterfaceW", &initialize)) {
    return false;
  }
  sspi = initialize();
  if (sspi == nullptr || sspi->AcquireCredentialsHandleW == nullptr ||
      sspi->FreeCredentialsHandle == nullptr || sspi->InitializeSecurityContextW == nullptr ||
      sspi->DeleteSecurityContext == nullptr || sspi->QueryContextAttributesW == nullptr ||
      sspi->EncryptMessage == nullptr || sspi->DecryptMessage == nullptr ||
      sspi->QuerySecurityPackageInfoW == nullptr || sspi->FreeContextBuffer == nullptr) {
    return false;
  }
  PSecPkgInfoW info = nullptr;
  if (sspi->QuerySecurityPackageInfoW(const_cast<wchar_t*>(UNISP_NAME_W), &info) != SEC_E_OK) {
    return false;
  }
  largestToken = info->cbMaxToken;
  sspi->FreeContextBuffer(info);
  return true;
}

bool loadCrypt32() {
  HMODULE module = loadSystemLibrary(L"crypt32.dll");
  return module != nullptr && resolve(module, "CertOpenStore", &crypt.openStore) &&
         resolve(module, "CertCloseStore", &crypt.closeStore) &&
         resolve(module, "CertAddEncodedCertificateToStore", &crypt.addEncoded) &&
         resolve(module, "CryptStringToBinaryA", &crypt.stringToBinary) &&
         resolve(module, "CertCreateCertificateChainEngine", &crypt.createEngine) &&
         resolve(module, "CertFreeCertificateChainEngine", &crypt.freeEngine) &&
         resolve(module, "CertGetCertificateChain", &crypt.getChain) &&
         resolve(module, "CertFreeCertificateChain", &crypt.freeChain) &&
         resolve(module, "CertVerifyCertificateChainPolicy", &crypt.verifyPolicy) &&
         resolve(module, "CertFreeCertificateContext", &crypt.freeCertificate) &&
         resolve(module, "CryptHashCertificate", &crypt.hashCertificate) &&
         resolve(module, "CertFindExtension", &crypt.findExtension) &&
         resolve(module, "CryptDecodeObjectEx", &crypt.decodeObject) &&
         resolve(module, "CertVerifyTimeValidity", &crypt.timeValidity);
}

// The libraries stay loaded for the life of the process: contexts may live on any thread.
BOOL CALLBACK loadLibraries(PINIT_ONCE, PVOID, PVOID*) {
  loaded = loadSspi() && loadCrypt32();
  return TRUE;
}
}  // namespace

int32_t tlsStartup() {
  InitOnceExecuteOnce(&loadOnce, loadLibraries, nullptr, nullptr);
  return loaded ? 0 : DAP_ERR_TLS_UNAVAILABLE;
}

// ---- Small helpers ----

namespace {
// Appends text to a NUL-terminated buffer of size bytes, cutting it short when full.
void append(char* buffer, size_t size, const char* text) {
  size_t length = strlen(buffer);
  while (*text != '\0' && length + 1 < size) buffer[length++] = *text++;
  buffer[length] = '\0';
}

void appendHex(char* buffer, size_t size, uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  char digits[11] = "0x";
  for (int i = 0; i < 8; ++i) digits[2 + i] = kDigits[(value >> (28 - 4 * i)) & 15];
  digits[10] = '\0';
  append(buffer, size, digits);
}

void appendNumber(char* buffer, size_t size, uint32_t value) {
  char digits[11];
  int at = 10;
  digits[at] = '\0';
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  append(buffer, size, digits + at);
}

// Four decimal numbers of 0 to 255 between dots, and nothing else.
bool parseDottedQuad(const char* text, unsigned char* address) {
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *text++ != '.') return false;
    uint32_t value = 0;
    int digits = 0;
    while (*text >= '0' && *text <= '9' && digits < 3) {
      value = value * 10 + static_cast<uint32_t>(*text++ - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
    address[part] = static_cast<unsigned char>(value);
  }
  return *text == '\0';
}

// What a failed SChannel call said, for the debug log.
const char* meaningOf(SECURITY_STATUS status) {
  switch (status) {
    case SEC_E_ILLEGAL_MESSAGE:
      return "the peer sent something TLS does not allow, or an alert";
    case SEC_E_ALGORITHM_MISMATCH:
      return "no protocol version or cipher suite in common";
    case SEC_E_INVALID_TOKEN:
      return "what came is not TLS";
    case SEC_E_MESSAGE_ALTERED:
    case SEC_E_DECRYPT_FAILURE:
      return "a record failed its integrity check";
    case SEC_E_UNSUPPORTED_FUNCTION:
      return "not supported by this SChannel";
    case SEC_E_NO_AUTHENTICATING_AUTHORITY:
      return "TLS 1.2 is not enabled on this system";
    case SEC_E_INTERNAL_ERROR:
      return "SChannel's internal error";
    case SEC_E_INSUFFICIENT_MEMORY:
    case SEC_E_BUFFER_TOO_SMALL:
      return "a token larger than the buffer";
    case SEC_E_CONTEXT_EXPIRED:
      return "the connection was already closed";
    default:
      return "SChannel failure";
  }
}

void noteStatus(TlsConnection* connection, const char* what, SECURITY_STATUS status) {
  connection->failure[0] = '\0';
  append(connection->failure, sizeof connection->failure, what);
  append(connection->failure, sizeof connection->failure, " ");
  appendHex(connection->failure, sizeof connection->failure, static_cast<uint32_t>(status));
  append(connection->failure, sizeof connection->failure, ": ");
  append(connection->failure, sizeof connection->failure, meaningOf(status));
}

void noteText(TlsConnection* connection, const char* text) {
  connection->failure[0] = '\0';
  append(connection->failure, sizeof connection->failure, text);
}

// A socket call failed: its negative code, noted for the log.
int32_t socketFailure(TlsConnection* connection) {
  int32_t error = platSocketError();
  connection->failure[0] = '\0';
  append(connection->failure, sizeof connection->failure, "socket error ");
  appendNumber(connection->failure, sizeof connection->failure, static_cast<uint32_t>(error));
  return error > 0 ? -error : DAP_ERR_SOCKET_READ;
}
}  // namespace

// ---- Contexts ----

namespace {
// A PEM file's certificates in a memory store. A file that cannot be read leaves the store
// empty, so that nothing is trusted, as the OpenSSL backend does.
HCERTSTORE loadRoots(const char* path, bool utf8) {
  HCERTSTORE store =
      crypt.openStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (store == nullptr) return nullptr;
  // With UTF-8 names the path is UTF-8; one in the system's code page (as bindings that marshal
  // ANSI pass it) is read as before.
  PlatFile file = utf8 ? platFileOpenUtf8(path, false) : kPlatFileError;
  if (file == kPlatFileError) file = platFileOpenRead(path);
  if (file == kPlatFileError) return store;
  constexpr int64_t kLargestFile = 4 << 20;
  int64_t size = platFileSize(file);
  char* text = size >= 0 && size <= kLargestFile ? static_cast<char*>(malloc(size + 1)) : nullptr;
  uint32_t length = 0;
  while (text != nullptr && length < size) {
    int32_t got = platFileRead(file, text + length, static_cast<uint32_t>(size) - length);
    if (got <= 0) break;
    length += static_cast<uint32_t>(got);
  }
  platFileClose(file);
  if (text == nullptr) return store;
  text[length] = '\0';
  // CryptStringToBinaryA decodes the first block from its header to its end line.
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  unsigned char* der = static_cast<unsigned char*>(malloc(length));
  for (char* block = strstr(text, kBegin); block != nullptr && der != nullptr;
       block = strstr(block + 1, kBegin)) {
    char* end = strstr(block, kEnd);
    if (end == nullptr) break;
    DWORD decoded = length;
    DWORD textLength = static_cast<DWORD>(end + strlen(kEnd) - block);
    if (crypt.stringToBinary(block, textLength, CRYPT_STRING_BASE64HEADER, der, &decoded, nullptr,
                             nullptr)) {
      crypt.addEncoded(store, X509_ASN_ENCODING, der, decoded, CERT_STORE_ADD_ALWAYS, nullptr);
    }
  }
  free(der);
  free(text);
  return store;
}

// An engine whose only roots are the file's (Windows 7 and later; wine too). The configuration
// ends before dwExclusiveFlags, as Windows 7 knows it.
HCERTCHAINENGINE exclusiveEngine(HCERTSTORE roots) {
  CERT_CHAIN_ENGINE_CONFIG config;
  memset(&config, 0, sizeof config);
  config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
  config.hExclusiveRoot = roots;
  HCERTCHAINENGINE engine = nullptr;
  return crypt.createEngine(&config, &engine) ? engine : nullptr;
}

void freeContext(TlsContext* context) {
  if (context->engine != nullptr) crypt.freeEngine(context->engine);
  if (context->roots != nullptr) crypt.closeStore(context->roots, 0);
  free(context);
}
}  // namespace

int32_t tlsContextOpen(const TlsTrust& trust, TlsContext** context) {
  *context = nullptr;
  if (tlsStartup() != 0) return DAP_ERR_TLS_UNAVAILABLE;
  auto* made = static_cast<TlsContext*>(calloc(1, sizeof(TlsContext)));
  if (made == nullptr) return DAP_ERR_NO_MEMORY;
  int converted =
      MultiByteToWideChar(CP_ACP, 0, trust.serverName, -1, made->targetName, kServerNameSize);
  if (converted == 0) made->targetName[0] = L'\0';
  made->verify = trust.verify;
  made->namedByAddress = parseDottedQuad(trust.serverName, made->address);
  if (made->verify && trust.caFile != nullptr && trust.caFile[0] != '\0') {
    made->roots = loadRoots(trust.caFile, trust.caFileUtf8);
    if (made->roots != nullptr) made->engine = exclusiveEngine(made->roots);
    made->caUnreadable = made->engine == nullptr;
  }
  // TLS 1.2 only for now: the legacy structure cannot offer TLS 1.3.
  SCHANNEL_CRED settings;
  memset(&settings, 0, sizeof settings);
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  SECURITY_STATUS status = sspi->AcquireCredentialsHandleW(
      nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &settings,
      nullptr, nullptr, &made->credential, nullptr);
  if (status != SEC_E_OK) {
    freeContext(made);
    return DAP_ERR_TLS_UNAVAILABLE;
  }
  *context = made;
  return 0;
}

void tlsContextClose(TlsContext* context) {
  if (context == nullptr) return;
  sspi->FreeCredentialsHandle(&context->credential);
  freeContext(context);
}

// ---- Connections and handshakes ----

namespace {
unsigned char* rawBytes(TlsConnection* connection) {
  return connection->incoming + connection->rawOffset;
}

// Whether the raw bytes can begin a TLS record: a known content type (change_cipher_spec, alert,
// handshake, application data), version 3.x and a length TLS allows. Wine's SChannel takes any
// five bytes for a header and would wait for the rest of a record that never comes.
bool plausibleRecord(const TlsConnection* connection) {
  const unsigned char* header = connection->incoming + connection->rawOffset;
  uint32_t length = connection->rawLength;
  if (length >= 1 && (header[0] < 20 || header[0] > 23)) return false;
  if (length >= 2 && header[1] != 3) return false;
  return length < kRecordHeader ||
         kRecordHeader + (static_cast<uint32_t>(header[3]) << 8 | header[4]) <= kRecordLimit;
}

// The size of the whole record at the start of the raw bytes, or 0 while it has not all come.
uint32_t wholeRecord(const TlsConnection* connection) {
  if (connection->rawLength < kRecordHeader) return 0;
  const unsigned char* header = connection->incoming + connection->rawOffset;
  uint32_t size = kRecordHeader + (static_cast<uint32_t>(header[3]) << 8 | header[4]);
  return connection->rawLength >= size ? size : 0;
}

// Reads what the socket holds now behind the raw bytes: the count, kPlatNothingYet, 0 at an
// orderly close, or a socket's code. The raw bytes move down first, up to the decrypted bytes
// not yet read.
int32_t readMore(TlsConnection* connection) {
  unsigned char* floor = connection->plainLength > 0 ? connection->plain + connection->plainLength
                                                     : connection->incoming;
  if (rawBytes(connection) > floor) {
    memmove(floor, rawBytes(connection), connection->rawLength);
    connection->rawOffset = static_cast<uint32_t>(floor - connection->incoming);
  }
  uint32_t used = connection->rawOffset + connection->rawLength;
  if (used == kIncomingSize) {
    noteText(connection, "a handshake message larger than the buffer");
    return DAP_ERR_SOCKET_READ;
  }
  int32_t received = platSocketReceiveNoWait(connection->socket, connection->incoming + used,
                                             static_cast<int32_t>(kIncomingSize - used));
  if (received == kPlatNothingYet || received == 0) return received;
  if (received < 0) return socketFailure(connection);
  connection->rawLength += static_cast<uint32_t>(received);
  return received;
}

// Sends what is left of outgoing: 0 once all of it went, 1 while a data connection's socket
// has no room for the rest, or a socket's code.
int32_t flush(TlsConnection* connection) {
  while (connection->outgoingSent < connection->outgoingLength) {
    const unsigned char* from = connection->outgoing + connection->outgoingSent;
    int32_t left = static_cast<int32_t>(connection->outgoingLength - connection->outgoingSent);
    int32_t sent = connection->control ? platSocketSend(connection->socket, from, left)
                                       : platSocketSendNoWait(connection->socket, from, left);
    if (sent == 0 && !connection->control) return 1;
    if (sent <= 0) return socketFailure(connection);
    connection->outgoingSent += static_cast<uint32_t>(sent);
  }
  connection->outgoingLength = 0;
  connection->outgoingSent = 0;
  return 0;
}

// The handshake's end: the record sizes every later record is cut to.
int32_t finishHandshake(TlsConnection* connection) {
  SECURITY_STATUS status = sspi->QueryContextAttributesW(
      &connection->handle, SECPKG_ATTR_STREAM_SIZES, &connection->sizes);
  const SecPkgContext_StreamSizes& sizes = connection->sizes;
  if (status != SEC_E_OK || sizes.cbHeader + sizes.cbTrailer + 1 > connection->outgoingSize) {
    noteStatus(connection, "QueryContextAttributes", status);
    return DAP_ERR_TLS_HANDSHAKE;
  }
  uint32_t room = connection->outgoingSize - sizes.cbHeader - sizes.cbTrailer;
  connection->largestPiece = sizes.cbMaximumMessage < room ? sizes.cbMaximumMessage : room;
  connection->stage = kStageDone;
  connection->established = true;
  connection->renegotiating = false;
  return kTlsDone;
}

// One InitializeSecurityContextW: the first without input, later ones on the raw bytes. Takes
// what it consumed off the raw bytes and leaves its token in outgoing.
SECURITY_STATUS initialize(TlsConnection* connection) {
  SecBuffer input[2] = {{connection->rawLength, SECBUFFER_TOKEN, rawBytes(connection)},
                        {0, SECBUFFER_EMPTY, nullptr}};
  SecBuffer output[1] = {{connection->outgoingSize, SECBUFFER_TOKEN, connection->outgoing}};
  SecBufferDesc inputs = {SECBUFFER_VERSION, 2, input};
  SecBufferDesc outputs = {SECBUFFER_VERSION, 1, output};
  ULONG attributes = 0;
  bool first = !connection->hasHandle;
  SECURITY_STATUS status = sspi->InitializeSecurityContextW(
      &connection->context->credential, first ? nullptr : &connection->handle,
      connection->context->targetName, kContextRequest, 0, 0, first ? nullptr : &inputs, 0,
      &connection->handle, &outputs, &attributes, nullptr);
  if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) {
    connection->hasHandle = true;
    connection->needInput = true;
  }
  // Incomplete credentials consumed nothing: the same bytes go in again.
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return status;
  if (!first) {
    // Only the count of the extra bytes is set: they are the last of the input.
    uint32_t extra = input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0;
    uint32_t consumed = connection->rawLength - extra;
    connection->rawOffset += consumed;
    connection->rawLength = extra;
    connection->needInput = consumed == 0 || extra == 0;
  }
  if (output[0].BufferType == SECBUFFER_TOKEN && output[0].cbBuffer > 0) {
    connection->outgoingLength = output[0].cbBuffer;
    connection->outgoingSent = 0;
  }
  return status;
}

// One handshake call: as far as the bytes at hand allow, never waiting for the peer.
int32_t handshakeStep(TlsConnection* connection) {
  for (;;) {
    int32_t flushed = flush(connection);
    if (flushed != 0) return flushed < 0 ? flushed : kTlsWantWrite;
    if (connection->stage == kStageFinished) return finishHandshake(connection);
    if (connection->stage == kStageExchange && connection->needInput) {
      int32_t read = readMore(connection);
      if (read == kPlatNothingYet) return kTlsWantRead;
      if (read == 0) {
        noteText(connection, "the peer closed the connection");
        return DAP_ERR_TLS_HANDSHAKE;
      }
      if (read < 0) return read == DAP_ERR_SOCKET_READ ? DAP_ERR_TLS_HANDSHAKE : read;
      connection->needInput = false;
    }
    if (!plausibleRecord(connection)) {
      noteText(connection, "what came is not TLS");
      return DAP_ERR_TLS_HANDSHAKE;
    }
    SECURITY_STATUS status = initialize(connection);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      connection->needInput = true;
    } else if (status == SEC_E_OK) {
      connection->stage = kStageFinished;
    } else if (status == SEC_I_CONTINUE_NEEDED) {
      connection->stage = kStageExchange;
    } else if (status == SEC_I_INCOMPLETE_CREDENTIALS && !connection->certificateAsked) {
      // Asked again, SChannel goes on without a client certificate.
      connection->certificateAsked = true;
    } else {
      noteStatus(connection, "InitializeSecurityContext", status);
      return DAP_ERR_TLS_HANDSHAKE;
    }
  }
}
}  // namespace

int32_t tlsConnectionOpen(TlsContext* context, PlatSocket socket, bool control,
                          TlsConnection** connection) {
  *connection = nullptr;
  uint32_t outgoingSize = largestToken > kRecordLimit ? largestToken : kRecordLimit;
  size_t size = sizeof(TlsConnection) + kIncomingSize + outgoingSize;
  auto* made = static_cast<TlsConnection*>(calloc(1, size));
  if (made == nullptr) return DAP_ERR_NO_MEMORY;
  made->context = context;
  made->socket = socket;
  made->control = control;
  made->stage = kStageHello;
  made->incoming = reinterpret_cast<unsigned char*>(made + 1);
  made->outgoing = made->incoming + kIncomingSize;
  made->outgoingSize = outgoingSize;
  *connection = made;
  return 0;
}

int32_t tlsHandshake(TlsConnection* connection) {
  return handshakeStep(connection);
}

bool tlsHandshakeDone(const TlsConnection* connection) {
  return connection != nullptr && connection->established;
}

const char* tlsFailure(const TlsConnection* connection) {
  return connection->failure;
}

namespace {
const char* hashName(ALG_ID hash) {
  switch (hash) {
    case CALG_SHA1:
      return "SHA";
    case CALG_SHA_256:
      return "SHA256";
    case CALG_SHA_384:
      return "SHA384";
    default:
      return "";
  }
}

// The suite's standard name from the algorithms SECPKG_ATTR_CONNECTION_INFO gives, for a
// Windows without SECPKG_ATTR_CIPHER_INFO (7). AES-GCM has no MAC, hence no hash strength;
// its name ends with the hash of its PRF.
void composeSuiteName(const SecPkgContext_ConnectionInfo& info, bool ecdsa, char* text,
                      size_t size) {
  append(text, size, "TLS_");
  if (info.aiExch == CALG_ECDH_EPHEM || info.aiExch == CALG_ECDH) {
    append(text, size, ecdsa ? "ECDHE_ECDSA" : "ECDHE_RSA");
  } else {
    append(text, size, info.aiExch == CALG_DH_EPHEM ? "DHE_RSA" : "RSA");
  }
  append(text, size, info.dwCipherStrength >= 256 ? "_WITH_AES_256" : "_WITH_AES_128");
  append(text, size, info.dwHashStrength == 0 ? "_GCM_" : "_CBC_");
  append(text, size, hashName(info.aiHash));
}

// The suite's name as SECPKG_ATTR_CIPHER_INFO gives it, in ASCII. Wine's ends in "<unknown>"
// where an AEAD suite has no MAC; the PRF's hash from SECPKG_ATTR_CONNECTION_INFO stands in.
void copySuiteName(const wchar_t* name, ALG_ID hash, char* text, size_t size) {
  size_t length = strlen(text);
  for (; *name != L'\0' && *name != L'<' && length + 1 < size; ++name) {
    text[length++] = *name < 128 ? static_cast<char>(*name) : '?';
  }
  text[length] = '\0';
  if (*name == L'<') append(text, size, hashName(hash));
}

bool describedByKey(const TlsConnection* connection) {
  PCCERT_CONTEXT certificate = nullptr;
  auto* handle = const_cast<CtxtHandle*>(&connection->handle);
  if (sspi->QueryContextAttributesW(handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
          SEC_E_OK ||
      certificate == nullptr) {
    return false;
  }
  const char* key = certificate->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
  bool ecdsa = key != nullptr && strcmp(key, szOID_ECC_PUBLIC_KEY) == 0;
  crypt.freeCertificate(certificate);
  return ecdsa;
}
}  // namespace

// Windows 8 and later name the suite with its IANA name, which is OpenSSL's standard name too
// ("TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384").
void tlsDescribe(const TlsConnection* connection, char* text, int32_t size) {
  text[0] = '\0';
  auto* handle = const_cast<CtxtHandle*>(&connection->handle);
  SecPkgContext_ConnectionInfo info;
  memset(&info, 0, sizeof info);
  sspi->QueryContextAttributesW(handle, SECPKG_ATTR_CONNECTION_INFO, &info);
  bool tls13 = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
  append(text, static_cast<size_t>(size), tls13 ? "TLSv1.3 " : "TLSv1.2 ");
  SecPkgContext_CipherInfo cipher;
  memset(&cipher, 0, sizeof cipher);
  cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  if (sspi->QueryContextAttributesW(handle, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK &&
      cipher.szCipherSuite[0] != L'\0') {
    copySuiteName(cipher.szCipherSuite, info.aiHash, text, static_cast<size_t>(size));
  } else {
    composeSuiteName(info, describedByKey(connection), text, static_cast<size_t>(size));
  }
}

bool tlsResumed(const TlsConnection* connection) {
  SecPkgContext_SessionInfo info;
  memset(&info, 0, sizeof info);
  auto* handle = const_cast<CtxtHandle*>(&connection->handle);
  return sspi->QueryContextAttributesW(handle, SECPKG_ATTR_SESSION_INFO, &info) == SEC_E_OK &&
         (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

// Nothing to keep: SChannel's own cache resumes a session for the next connection that comes
// with the same credential handle and target name, which every connection of a context does.
void tlsKeepSession(TlsContext*, TlsConnection*) {}

// ---- The certificate ----

namespace {
bool digestOf(PCCERT_CONTEXT certificate, unsigned char* digest) {
  DWORD length = kTlsPinSize;
  return crypt.hashCertificate(0, CALG_SHA_256, 0, certificate->pbCertEncoded,
                               certificate->cbCertEncoded, digest, &length) &&
         length == static_cast<DWORD>(kTlsPinSize);
}

// An IP address is matched here, against the subjectAltName's addresses only, as OpenSSL does:
// the SSL policy compares names as text.
bool namesAddress(PCCERT_CONTEXT certificate, const unsigned char* address) {
  const CERT_INFO* info = certificate->pCertInfo;
  PCERT_EXTENSION extension =
      crypt.findExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (extension == nullptr ||
      !crypt.decodeObject(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                          extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                          &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
            memcmp(entry.IPAddress.pbData, address, 4) == 0;
  }
  LocalFree(names);
  return found;
}

struct Rejection {
  DWORD error;
  TlsRejection rejection;
};
const Rejection kRejections[] = {
    {static_cast<DWORD>(CERT_E_EXPIRED), kTlsExpired},
    {static_cast<DWORD>(CERT_E_CN_NO_MATCH), kTlsNameMismatch},
    {static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), kTlsSelfSigned},
    {static_cast<DWORD>(CERT_E_CHAINING), kTlsNoTrustedRoot},
    {static_cast<DWORD>(CERT_E_WRONG_USAGE), kTlsWrongUsage},
    {static_cast<DWORD>(CERT_E_REVOKED), kTlsRevoked},
};

// The reason a caller is told. SChannel has one code for both ends of the validity period.
void explain(DWORD error, PCCERT_CONTEXT certificate, char* reason, size_t size) {
  for (const Rejection& entry : kRejections) {
    if (entry.error != error) continue;
    bool early =
        entry.rejection == kTlsExpired && crypt.timeValidity(nullptr, certificate->pCertInfo) < 0;
    append(reason, size, tlsRejectionText(early ? kTlsNotYetValid : entry.rejection));
    return;
  }
  append(reason, size, "certificate error ");
  appendHex(reason, size, error);
}

// The certificate that failed, where the policy says which; else the server's own.
PCCERT_CONTEXT culprit(PCCERT_CHAIN_CONTEXT chain, const CERT_CHAIN_POLICY_STATUS& status,
                       PCCERT_CONTEXT certificate) {
  if (status.lChainIndex < 0 || static_cast<DWORD>(status.lChainIndex) >= chain->cChain) {
    return certificate;
  }
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[status.lChainIndex];
  if (status.lElementIndex < 0 || static_cast<DWORD>(status.lElementIndex) >= simple->cElement) {
    return certificate;
  }
  return simple->rgpElement[status.lElementIndex]->pCertContext;
}

// Chain and policy as Windows judges a server's certificate: true when trusted for this
// server. The chain is never fetched from the network (nor roots Windows has not downloaded
// yet): a check must not wait on another server, and the OpenSSL backend fetches nothing either.
bool trusted(const TlsContext* context, PCCERT_CONTEXT certificate, char* reason, size_t size) {
  LPSTR serverUsage[] = {const_cast<char*>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = serverUsage;
  DWORD flags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!crypt.getChain(context->engine, certificate, nullptr, certificate->hCertStore, &para, flags,
                      nullptr, &chain)) {
    explain(GetLastError(), certificate, reason, size);
    return false;
  }
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
  memset(&ssl, 0, sizeof ssl);
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  // A dotted quad is matched by namesAddress below.
  ssl.pwszServerName =
      context->namedByAddress ? nullptr : const_cast<wchar_t*>(context->targetName);
  CERT_CHAIN_POLICY_PARA policy;
  memset(&policy, 0, sizeof policy);
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status;
  memset(&status, 0, sizeof status);
  status.cbSize = sizeof status;
  bool checked = crypt.verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) != FALSE;
  bool good = checked && status.dwError == 0;
  if (!checked) {
    explain(GetLastError(), certificate, reason, size);
  } else if (!good) {
    explain(status.dwError, culprit(chain, status, certificate), reason, size);
  }
  crypt.freeChain(chain);
  if (good && context->namedByAddress && !namesAddress(certificate, context->address)) {
    append(reason, size, tlsRejectionText(kTlsNameMismatch));
    return false;
  }
  return good;
}
}  // namespace

void tlsExaminePeer(TlsConnection* connection, TlsPeer* peer) {
  const TlsContext* context = connection->context;
  *peer = TlsPeer{false, {}, false, ""};
  PCCERT_CONTEXT certificate = nullptr;
  if (sspi->QueryContextAttributesW(&connection->handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                    &certificate) != SEC_E_OK) {
    certificate = nullptr;
  }
  peer->present = certificate != nullptr && digestOf(certificate, peer->digest);
  if (!context->verify) {
    peer->trusted = true;
  } else if (context->caUnreadable) {
    append(peer->reason, sizeof peer->reason, tlsRejectionText(kTlsCaUnreadable));
  } else if (peer->present) {
    peer->trusted = trusted(context, certificate, peer->reason, sizeof peer->reason);
  }
  if (certificate != nullptr) crypt.freeCertificate(certificate);
}

// ---- Records ----

namespace {
// Decrypts the whole record at the front of the raw bytes, in place: 0, or a negative code.
int32_t decrypt(TlsConnection* connection) {
  uint32_t size = wholeRecord(connection);
  unsigned char* record = rawBytes(connection);
  unsigned char type = record[0];
  SecBuffer buffers[4] = {{size, SECBUFFER_DATA, record},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = sspi->DecryptMessage(&connection->handle, &message, 0, nullptr);
  connection->rawOffset += size;
  connection->rawLength -= size;
  if (status == SEC_I_CONTEXT_EXPIRED) {
    connection->ended = true;
    return 0;
  }
  if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
    noteStatus(connection, "DecryptMessage", status);
    return DAP_ERR_SOCKET_READ;
  }
  for (const SecBuffer& buffer : buffers) {
    if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
      connection->plain = static_cast<unsigned char*>(buffer.pvBuffer);
      connection->plainLength = buffer.cbBuffer;
    }
  }
  // Wine's SChannel gives the peer's close_notify as an empty message.
  if (status == SEC_E_OK && connection->plainLength == 0 && type == kAlertRecord) {
    connection->ended = true;
  }
  if (status == SEC_I_RENEGOTIATE) {
    // Its tokens would go out through a record not yet sent whole.
    if (connection->outgoingLength > 0) {
      noteText(connection, "the server renegotiated in the middle of a record");
      return DAP_ERR_SOCKET_READ;
    }
    connection->renegotiating = true;
    connection->stage = kStageExchange;
    connection->needInput = false;
  }
  return 0;
}

int32_t takePlain(TlsConnection* connection, char* buffer, int32_t size, bool peek) {
  uint32_t count = connection->plainLength < static_cast<uint32_t>(size)
                       ? connection->plainLength
                       : static_cast<uint32_t>(size);
  memcpy(buffer, connection->plain, count);
  if (!peek) {
    connection->plain += count;
    connection->plainLength -= count;
  }
  return static_cast<int32_t>(count);
}

// Encrypts one record of up to largestPiece bytes into outgoing: the bytes taken, or a code.
int32_t encrypt(TlsConnection* connection, const char* data, int32_t length) {
  const SecPkgContext_StreamSizes& sizes = connection->sizes;
  uint32_t piece = static_cast<uint32_t>(length) < connection->largestPiece
                       ? static_cast<uint32_t>(length)
                       : connection->largestPiece;
  unsigned char* header = connection->outgoing;
  memcpy(header + sizes.cbHeader, data, piece);
  SecBuffer buffers[4] = {
      {sizes.cbHeader, SECBUFFER_STREAM_HEADER, header},
      {piece, SECBUFFER_DATA, header + sizes.cbHeader},
      {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, header + sizes.cbHeader + piece},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = sspi->EncryptMessage(&connection->handle, 0, &message, 0);
  if (status != SEC_E_OK) {
    noteStatus(connection, "EncryptMessage", status);
    return DAP_ERR_SOCKET_CLOSED;
  }
  connection->outgoingLength = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
  connection->outgoingSent = 0;
  return static_cast<int32_t>(piece);
}

// A renegotiation the server started must end before a control connection writes again: the
// write waits for it, a bounded time.
int32_t settleRenegotiation(TlsConnection* connection) {
  uint32_t start = platTicks();
  for (;;) {
    int32_t progress = handshakeStep(connection);
    if (progress <= 0) return progress < 0 ? progress : 0;
    uint32_t waited = platTicks() - start;
    if (waited >= kRenegotiationWait) {
      noteText(connection, "the server's renegotiation did not end in time");
      return DAP_ERR_SOCKET_CLOSED;
    }
    platSocketAwait(connection->socket, progress == kTlsWantRead ? kPollReadable : kPollWritable,
                    kRenegotiationWait - waited);
  }
}

// A record the socket did not take whole goes first; its plaintext is counted once it went.
int32_t sendPiece(TlsConnection* connection, const char* data, int32_t length) {
  if (connection->outgoingLength == 0) {
    int32_t taken = encrypt(connection, data, length);
    if (taken < 0) return taken;
    connection->carriedPlain = taken;
  }
  int32_t flushed = flush(connection);
  if (flushed != 0) return flushed < 0 ? flushed : 0;
  int32_t carried = connection->carriedPlain;
  connection->carriedPlain = 0;
  return carried;
}
}  // namespace

int32_t tlsReceive(TlsConnection* connection, char* buffer, int32_t size, bool peek) {
  if (!connection->established) return DAP_ERR_SOCKET_CLOSED;
  for (;;) {
    if (connection->plainLength > 0) return takePlain(connection, buffer, size, peek);
    if (connection->ended) return DAP_ERR_SOCKET_CLOSED;
    if (connection->renegotiating) {
      int32_t progress = handshakeStep(connection);
      if (progress < 0) return progress == DAP_ERR_TLS_HANDSHAKE ? DAP_ERR_SOCKET_READ : progress;
      if (progress > 0) return 0;
      continue;
    }
    if (!plausibleRecord(connection)) {
      noteText(connection, "what came is not TLS");
      return DAP_ERR_SOCKET_READ;
    }
    if (wholeRecord(connection) == 0) {
      int32_t read = readMore(connection);
      if (read == kPlatNothingYet) return 0;
      // A plain close ends the data too, as OpenSSL is told to take it.
      if (read == 0) connection->ended = true;
      if (read < 0) return read;
      continue;
    }
    int32_t decrypted = decrypt(connection);
    if (decrypted < 0) return decrypted;
  }
}

int32_t tlsSend(TlsConnection* connection, const char* data, int32_t length) {
  if (!connection->established) return DAP_ERR_SOCKET_CLOSED;
  if (connection->renegotiating) {
    if (!connection->control) {
      int32_t progress = handshakeStep(connection);
      if (progress != kTlsDone) return progress < 0 ? progress : 0;
    } else {
      int32_t settled = settleRenegotiation(connection);
      if (settled < 0) return settled;
    }
  }
  if (!connection->control) return sendPiece(connection, data, length);
  int32_t sent = 0;
  while (sent < length) {
    int32_t count = sendPiece(connection, data + sent, length - sent);
    if (count < 0) return count;
    sent += count;
  }
  return length;
}

bool tlsPending(const TlsConnection* connection) {
  return connection != nullptr && connection->established &&
         (connection->plainLength > 0 || connection->ended || wholeRecord(connection) > 0);
}

namespace {
// close_notify, as SChannel writes it after SCHANNEL_SHUTDOWN (wine 8's too); an SChannel
// without ApplyControlToken ends the connection without it.
void sendCloseNotify(TlsConnection* connection) {
  DWORD shutdown = SCHANNEL_SHUTDOWN;
  SecBuffer control[1] = {{sizeof shutdown, SECBUFFER_TOKEN, &shutdown}};
  SecBufferDesc controls = {SECBUFFER_VERSION, 1, control};
  if (sspi->ApplyControlToken == nullptr ||
      sspi->ApplyControlToken(&connection->handle, &controls) != SEC_E_OK) {
    return;
  }
  SecBuffer output[1] = {{connection->outgoingSize, SECBUFFER_TOKEN, connection->outgoing}};
  SecBufferDesc outputs = {SECBUFFER_VERSION, 1, output};
  ULONG attributes = 0;
  SECURITY_STATUS status = sspi->InitializeSecurityContextW(
      &connection->context->credential, &connection->handle, connection->context->targetName,
      kContextRequest, 0, 0, nullptr, 0, &connection->handle, &outputs, &attributes, nullptr);
  if ((status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED) || output[0].cbBuffer == 0) return;
  connection->outgoingLength = output[0].cbBuffer;
  connection->outgoingSent = 0;
  connection->control = false;  // what the socket takes now
  flush(connection);
}
}  // namespace

// Bytes that came and were never read go first, unread: a socket closed with unread bytes is
// reset instead of closed, and the reset can overtake the close_notify.
void tlsClose(TlsConnection* connection, bool notify) {
  if (connection == nullptr) return;
  // A record not sent whole would garble what follows it.
  if (notify && connection->stage == kStageDone && connection->outgoingLength == 0) {
    for (int round = 0; round < 16; ++round) {
      if (platSocketReceiveNoWait(connection->socket, connection->incoming, kIncomingSize) <= 0) {
        break;
      }
    }
    sendCloseNotify(connection);
  }
  if (connection->hasHandle) sspi->DeleteSecurityContext(&connection->handle);
  free(connection);
}
