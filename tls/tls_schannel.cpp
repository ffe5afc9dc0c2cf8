// The TLS seam on Windows (SChannel): being written; until then TLS is not available there.
#include "dap32.h"
#include "tls/tls.h"

int32_t tlsStartup() {
  return DAP_ERR_TLS_UNAVAILABLE;
}
int32_t tlsContextOpen(const TlsTrust&, TlsContext** context) {
  *context = nullptr;
  return DAP_ERR_TLS_UNAVAILABLE;
}
void tlsContextClose(TlsContext*) {}
int32_t tlsConnectionOpen(TlsContext*, PlatSocket, bool, TlsConnection** connection) {
  *connection = nullptr;
  return DAP_ERR_TLS_UNAVAILABLE;
}
int32_t tlsHandshake(TlsConnection*) {
  return DAP_ERR_TLS_UNAVAILABLE;
}
bool tlsHandshakeDone(const TlsConnection*) {
  return false;
}
const char* tlsFailure(const TlsConnection*) {
  return "";
}
void tlsCheckPeer(TlsConnection*, TlsPeer* peer) {
  *peer = TlsPeer{false, false, "", ""};
}
void tlsDescribe(const TlsConnection*, char* text, int32_t) {
  text[0] = '\0';
}
bool tlsResumed(const TlsConnection*) {
  return false;
}
void tlsKeepSession(TlsContext*, TlsConnection*) {}
int32_t tlsReceive(TlsConnection*, char*, int32_t, bool) {
  return DAP_ERR_SOCKET_CLOSED;
}
int32_t tlsSend(TlsConnection*, const char*, int32_t) {
  return DAP_ERR_SOCKET_CLOSED;
}
bool tlsPending(const TlsConnection*) {
  return false;
}
void tlsClose(TlsConnection*, bool) {}
