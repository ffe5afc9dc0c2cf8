// Secure connections: a session's TLS context, the handshakes of its control and data
// connections one step at a time, the verdict on the server's certificate, and closing.
#include "dap32.h"
#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"
#include "tls/tls.h"

static_assert(kPinSize == static_cast<uint32_t>(kTlsPinSize));
static_assert(kTlsSessionTextSize == static_cast<uint32_t>(kTlsSessionText));

namespace {
// The context lives as long as the control connection: it holds the trust the caller set for
// this session and the TLS session that the data connections resume.
int32_t openContext(Channel* channel) {
  if (channel->tlsContext != nullptr) return 0;
  TlsTrust trust = {channel->serverName, channel->tlsVerify != 0 && channel->tlsPinned == 0,
                    channel->tlsCaFile, channel->utf8Names != 0};
  return tlsContextOpen(trust, &channel->tlsContext);
}

// Why the certificate is rejected, or nullptr: a pin replaces every other check.
const char* rejectionOf(const Channel* channel, const TlsPeer& peer) {
  if (!peer.present) return "no certificate";
  if (channel->tlsPinned != 0) {
    bool matches = true;
    for (uint32_t i = 0; i < kPinSize; ++i)
      matches = matches && peer.digest[i] == channel->tlsPin[i];
    return matches ? nullptr : "pin does not match";
  }
  return peer.trusted ? nullptr : peer.reason;
}

// The verdict on the certificate; a rejected one ends the connection before anything is sent
// inside it.
int32_t judgePeer(Channel* channel, TlsConnection* connection, bool control) {
  TlsPeer peer;
  tlsExaminePeer(connection, &peer);
  char fingerprint[kFingerprintSize] = "";
  if (peer.present) formatDigest(peer.digest, fingerprint);
  if (control) copyText(channel->tlsPeerFingerprint, fingerprint, kFingerprintSize - 1);
  if (const char* reason = rejectionOf(channel, peer)) {
    logLine(channel, "TLS: certificate rejected: %s; SHA-256 %s\r\n", reason, fingerprint);
    return DAP_ERR_TLS_CERTIFICATE;
  }
  if (channel->tlsPinned == 0 && channel->tlsVerify == 0) {
    logLine(channel, "TLS: certificate not verified; SHA-256 %s\r\n", fingerprint);
  }
  return 0;
}

int32_t finishHandshake(Channel* channel, bool data) {
  TlsConnection* connection = data ? channel->dataTls : channel->controlTls;
  int32_t judged = judgePeer(channel, connection, !data);
  if (judged < 0) return judged;
  char description[kTlsSessionText];
  tlsDescribe(connection, description, sizeof description);
  logLine(channel, "TLS: %s\r\n", description);
  if (!data) {
    copyText(channel->tlsSessionText, description, kTlsSessionTextSize - 1);
    return kTlsDone;
  }
  channel->tlsDataResumed = tlsResumed(connection) ? 1 : 0;
  logWrite(channel, channel->tlsDataResumed != 0 ? "TLS: data session resumed\r\n"
                                                 : "TLS: data session not resumed\r\n");
  return kTlsDone;
}
}  // namespace

int32_t netTlsStartup() {
  return tlsStartup();
}

int32_t netOpenControlTls(Channel* channel) {
  int32_t opened = openContext(channel);
  if (opened < 0) return opened;
  channel->controlTlsWants = 0;
  return tlsConnectionOpen(channel->tlsContext, channel->controlSocket, true, &channel->controlTls);
}

int32_t netOpenDataTls(Channel* channel) {
  channel->dataTlsWants = 0;
  return tlsConnectionOpen(channel->tlsContext, channel->dataSocket, false, &channel->dataTls);
}

// One handshake call once the socket is ready for what the last one waited for. A step that
// finds it not ready waits for it as long as a held-back call would sleep (pollSleep), but
// wakes as soon as the server's part comes: a caller that drives the step in a loop neither
// spins nor loses time.
int32_t netHandshake(Channel* channel, bool data) {
  TlsConnection* connection = data ? channel->dataTls : channel->controlTls;
  PlatSocket socket = data ? channel->dataSocket : channel->controlSocket;
  int32_t* wants = data ? &channel->dataTlsWants : &channel->controlTlsWants;
  if (*wants != 0) {
    int32_t mode = *wants == kTlsWantRead ? kPollReadable : kPollWritable;
    if (rokStatus(socket, mode) != 1 && netAwaitReady(socket, mode, settings.pollSleep) != 1) {
      return *wants;
    }
  }
  int32_t progress = tlsHandshake(connection);
  if (progress > 0) {
    *wants = progress;
    return progress;
  }
  if (progress < 0) {
    logLine(channel, "TLS: handshake failed: %s\r\n", tlsFailure(connection));
    return progress;
  }
  return finishHandshake(channel, data);
}

bool netHandshakeDone(const TlsConnection* connection) {
  return tlsHandshakeDone(connection);
}

void netKeepTlsSession(Channel* channel) {
  tlsKeepSession(channel->tlsContext, channel->controlTls);
}

void netCloseDataTls(Channel* channel, bool notify) {
  tlsClose(channel->dataTls, notify);
  channel->dataTls = nullptr;
}

void netEndSecureUpload(Channel* channel) {
  netCloseDataTls(channel, true);
  platSocketShutdownSend(channel->dataSocket);
}

// The session ends with its control connection: the context, its trust and its kept session go.
void netCloseControlTls(Channel* channel, bool notify) {
  netCloseDataTls(channel, false);
  tlsClose(channel->controlTls, notify);
  channel->controlTls = nullptr;
  tlsContextClose(channel->tlsContext);
  channel->tlsContext = nullptr;
  channel->dataProtected = 0;
  channel->tlsSessionText[0] = '\0';
}
