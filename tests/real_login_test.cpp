// Logins against real FTP servers, whose replies no script anticipated (vsftpd answers a
// wrong password only after its failed-login delay).
#include <gtest/gtest.h>

#include <string>

#include "dap32.h"
#include "support/library_fixture.h"
#include "support/real_server.h"

namespace {

using ftptest::RealServer;
using ftptest::RealServerKind;

class RealLogin : public ftptest::LibraryFixture,
                  public ::testing::WithParamInterface<RealServerKind> {
 protected:
  int32_t connect(const RealServer& server, const std::string& password) {
    dapSetInteger(0, DAP_SET_SERVER_PORT, server.port());
    return dapConnect(0, "127.0.0.1", server.user().c_str(), password.c_str());
  }
};

TEST_P(RealLogin, LogsInAndCloses) {
  RealServer server(GetParam());
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_EQ(connect(server, server.password()), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SERVER_CODE), 230);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_CONNECTED), 1);
  EXPECT_EQ(dapClose(0), 0);
  EXPECT_EQ(dapGetInteger(0, DAP_GET_SERVER_CODE), 221);
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
                         ::testing::Values(RealServerKind::Pyftpdlib, RealServerKind::Vsftpd),
                         [](const auto& info) {
                           return std::string(real_server_name(info.param));
                         });

}  // namespace
