// Logins against real FTP servers, whose replies no script anticipated (vsftpd answers a
// wrong password only after its failed-login delay), in clear and in TLS; and TLS sessions
// against a server scripted to fail them in every way a handshake or a certificate can.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dap32.h"
#include "support/case_name.h"
#include "support/hostile_tls.h"
#include "support/library_fixture.h"
#include "support/real_server.h"
#include "support/scripted_session.h"

// The sanitizers' heap count; null in a build without them.
extern "C" __attribute__((weak)) size_t __sanitizer_get_current_allocated_bytes();

namespace {

using ftptest::caseName;
using ftptest::fileBytes;
using ftptest::HostileTlsServer;
using ftptest::RealServer;
using ftptest::RealServerKind;

std::string text(int32_t code, int32_t chan = 0) {
  char buffer[128] = "";
  dapGetString(chan, code, buffer, sizeof buffer);
  return buffer;
}

class RealLogin : public ftptest::LibraryFixture,
                  public ::testing::WithParamInterface<RealServerKind> {
 protected:
  int32_t connect(const RealServer& server, const std::string& password) {
    dapSetInteger(0, DAP_SET_SERVER_PORT, server.port());
    if (ftptest::real_server_has_tls(server.kind())) {
      dapSetInteger(0, DAP_SET_TLS, server.kind() == RealServerKind::VsftpdImplicit ? 2 : 1);
      dapSetString(0, DAP_STR_TLS_CA_FILE, server.certificate().c_str());
    }
    return dapConnect(0, "127.0.0.1", server.user().c_str(), password.c_str());
  }
};

TEST_P(RealLogin, LogsInAndCloses) {
  RealServer server(GetParam());
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_EQ(connect(server, server.password()), 0);
  const bool tls = ftptest::real_server_has_tls(GetParam());
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SERVER_CODE), tls ? 200 : 230);  // PROT's in TLS
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 1);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_TLS_ACTIVE), tls ? 1 : 0);
  EXPECT_EQ(text(DAP_STR_TLS_PEER_FINGERPRINT), server.fingerprint());
  const std::string version = GetParam() == RealServerKind::VsftpdTls12 ? "TLSv1.2 " : "TLSv1.3 ";
  EXPECT_EQ(text(DAP_STR_TLS_SESSION).rfind(version, 0), tls ? 0u : std::string::npos);
  EXPECT_EQ(dapClose(0), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SERVER_CODE), 221);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_TLS_ACTIVE), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONTROL_SOCKET), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 0);
}

TEST_P(RealLogin, WrongPasswordIsRefused) {
  RealServer server(GetParam());
  ASSERT_TRUE(server.ok()) << server.error();
  EXPECT_EQ(connect(server, "not-" + server.password()), DAP_ERR_SERVER_REFUSED);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SERVER_CODE), 530);
  char text[512] = "";
  dapErrorText(0, DAP_ERR_SERVER_REFUSED, text, sizeof text);
  EXPECT_EQ(std::string(text).rfind("FTP server returned error. 530", 0), 0u) << text;
  EXPECT_EQ(dapClose(0), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONTROL_SOCKET), 0);
}

INSTANTIATE_TEST_SUITE_P(RealLogin, RealLogin,
                         ::testing::Values(RealServerKind::Pyftpdlib, RealServerKind::Vsftpd,
                                           RealServerKind::PyftpdlibTls, RealServerKind::VsftpdTls,
                                           RealServerKind::VsftpdTls12,
                                           RealServerKind::VsftpdImplicit),
                         [](const auto& info) {
                           return std::string(real_server_name(info.param));
                         });

// Every TLS session gives its memory back at dapClose: after a thousand connects and closes the
// heap holds what it held after the first few (the library's own caches, filled once).
TEST_F(RealLogin, TlsSessionsGiveBackTheirMemory) {
  if (__sanitizer_get_current_allocated_bytes == nullptr) GTEST_SKIP() << "no sanitizer's heap";
  RealServer server(RealServerKind::PyftpdlibTls);
  ASSERT_TRUE(server.ok()) << server.error();
  dapSetInteger(0, DAP_SET_CLOSE_PAUSE, 0);
  dapSetInteger(0, DAP_SET_POLL_SLEEP, 1);
  size_t settled = 0;
  for (int cycle = 0; cycle < 1000; ++cycle) {
    ASSERT_EQ(connect(server, server.password()), 0) << "cycle " << cycle;
    ASSERT_EQ(dapClose(0), 0) << "cycle " << cycle;
    if (cycle == 20) settled = __sanitizer_get_current_allocated_bytes();
  }
  EXPECT_LT(__sanitizer_get_current_allocated_bytes(), settled + 16 * 1024);
}

enum class Trust { System, CaFile, MissingCaFile, Pin, WrongPin, Off };

struct HostileCase {
  const char* name;
  const char* scenario;
  Trust trust;
  int32_t result;
  std::string logged;  // a line of the debug log ("" for none)
};

void PrintTo(const HostileCase& c, std::ostream* out) {
  *out << c.name;
}

class TlsHostile : public ftptest::LibraryFixture,
                   public ::testing::WithParamInterface<HostileCase> {};

// Whatever fails, nothing goes inside TLS before the certificate's verdict and nothing in clear
// that TLS was asked for: the server never reads USER. The fingerprint is there to pin.
TEST_P(TlsHostile, FailsBeforeTheLoginOrSucceedsAsTrusted) {
  const HostileCase& c = GetParam();
  HostileTlsServer server(c.scenario);
  ASSERT_TRUE(server.ok()) << server.error();
  const std::string log = openLog();
  ASSERT_EQ(dapSetLocalDir(0, dir().path().c_str()), 0);
  ASSERT_NE(ftptest::useOwnPortWindow(channel()), 0);  // ctest runs these side by side
  dapSetInteger(0, DAP_SET_SERVER_PORT, server.port());
  dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, 1500);
  dapSetInteger(0, DAP_SET_TLS, std::string(c.scenario).rfind("implicit", 0) == 0 ? 2 : 1);
  dapSetInteger(0, DAP_SET_TLS_VERIFY, c.trust == Trust::Off ? 0 : 1);
  if (c.trust == Trust::CaFile) dapSetString(0, DAP_STR_TLS_CA_FILE, server.certificate().c_str());
  if (c.trust == Trust::MissingCaFile) dapSetString(0, DAP_STR_TLS_CA_FILE, "/nonexistent/ca.pem");
  if (c.trust == Trust::Pin || c.trust == Trust::WrongPin) {
    std::string pin = server.fingerprint();
    if (c.trust == Trust::WrongPin) pin[10] = pin[10] == 'A' ? 'B' : 'A';
    ASSERT_EQ(dapSetString(0, DAP_STR_TLS_PIN, pin.c_str()), 0);
  }
  EXPECT_EQ(dapConnect(0, "127.0.0.1", "u", "p"), c.result);
  if (c.result == 0) {
    char directory[16] = "";
    EXPECT_EQ(dapGetServerDir(0, directory, sizeof directory - 1), 1);
    EXPECT_EQ(dapGetFile(0, "hostile.txt"), 0);
    EXPECT_EQ(fileBytes(dir().file("hostile.txt")), ftptest::kHostileTlsDownload);
    EXPECT_EQ(dapGetInteger(0, DAP_GET_TLS_DATA_RESUMED), 1);
    EXPECT_EQ(dapClose(0), 0);
  } else {
    EXPECT_EQ(dapGetInteger(0, DAP_GET_CONTROL_SOCKET), 0);
  }
  const std::vector<std::string>& received = server.received();
  EXPECT_EQ(std::find(received.begin(), received.end(), "USER u") != received.end(), c.result == 0);
  if (c.result == DAP_ERR_TLS_CERTIFICATE || c.result == 0) {
    EXPECT_EQ(text(DAP_STR_TLS_PEER_FINGERPRINT), server.fingerprint());
  }
  if (!c.logged.empty()) {
    EXPECT_NE(fileBytes(log).find("\n" + c.logged), std::string::npos) << fileBytes(log);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(TlsHostile, TlsHostile, ::testing::Values(
    HostileCase{"AuthRefused", "refuse-auth", Trust::CaFile, DAP_ERR_TLS_REFUSED,
                "FtpResponse: [504 AUTH TLS not available"},
    HostileCase{"SelfSignedUntrusted", "good", Trust::System, DAP_ERR_TLS_CERTIFICATE,
                "TLS: certificate rejected: self-signed; SHA-256 "},
    HostileCase{"SelfSignedPinned", "good", Trust::Pin, 0, "TLS: data session resumed"},
    HostileCase{"WrongPin", "good", Trust::WrongPin, DAP_ERR_TLS_CERTIFICATE,
                "TLS: certificate rejected: pin does not match"},
    HostileCase{"CaFile", "good", Trust::CaFile, 0, "TLS: TLSv1.3 TLS_AES_256_GCM_SHA384"},
    HostileCase{"MissingCaFile", "good", Trust::MissingCaFile, DAP_ERR_TLS_CERTIFICATE,
                "TLS: certificate rejected: CA file cannot be read"},
    HostileCase{"ImplicitCaFile", "implicit-good", Trust::CaFile, 0, ""},
    HostileCase{"OtherName", "wrong-name", Trust::CaFile, DAP_ERR_TLS_CERTIFICATE,
                "TLS: certificate rejected: name does not match"},
    HostileCase{"Expired", "expired", Trust::CaFile, DAP_ERR_TLS_CERTIFICATE,
                "TLS: certificate rejected: certificate has expired"},
    HostileCase{"VerifyOff", "wrong-name", Trust::Off, 0, "TLS: certificate not verified"},
    HostileCase{"GarbageHello", "garbage-hello", Trust::CaFile, DAP_ERR_TLS_HANDSHAKE,
                "TLS: handshake failed: "},
    HostileCase{"ClosedMidHandshake", "close-mid-handshake", Trust::CaFile,
                DAP_ERR_TLS_HANDSHAKE, "TLS: handshake failed: "},
    HostileCase{"NeverCompletes", "never-complete", Trust::CaFile, DAP_ERR_TIMED_OUT,
                "TimeStop exceeded"},
    HostileCase{"PlainAfter234", "plain-after-234", Trust::CaFile, DAP_ERR_TLS_HANDSHAKE,
                "TLS: handshake failed: "}), caseName);
// clang-format on

// A data connection whose handshake fails fails its transfer; the session goes on.
TEST_F(TlsHostile, DataHandshakeFailureEndsOnlyTheTransfer) {
  HostileTlsServer server("data-handshake-fails");
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_EQ(dapSetLocalDir(0, dir().path().c_str()), 0);
  dapSetInteger(0, DAP_SET_SERVER_PORT, server.port());
  dapSetInteger(0, DAP_SET_PASSIVE, 1);
  dapSetInteger(0, DAP_SET_TLS, 1);
  dapSetString(0, DAP_STR_TLS_CA_FILE, server.certificate().c_str());
  ASSERT_EQ(dapConnect(0, "127.0.0.1", "u", "p"), 0);
  EXPECT_EQ(dapGetFile(0, "hostile.txt"), DAP_ERR_TLS_HANDSHAKE);
  EXPECT_EQ(channel()->dataTls, nullptr);
  char directory[16] = "";
  EXPECT_EQ(dapGetServerDir(0, directory, sizeof directory - 1), 1);
  EXPECT_STREQ(directory, "/");
  EXPECT_EQ(dapClose(0), 0);
}

}  // namespace
