// Uploads in TLS with chunked steps, whose records are gathered and sent at once, with faults
// in the sends of the data connection after its handshake: sends that take nothing, half, or
// are interrupted change nothing; a send that fails, at any point of the data, fails the upload
// with fewer bytes counted than the file has, never a cut file reported as sent; the channel
// then uploads the file whole. Against vsftpd in TLS 1.3, which requires the close_notify and
// sends its session tickets whenever it likes, even after an upload this short has ended.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>

#include "dap32.h"
#include "platform/platform.h"
#include "support/library_fixture.h"
#include "support/real_server.h"
#include "tls/tls.h"

namespace {

using namespace ftptest;

// More than one gathering of records (a piece of 256 KiB) and a piece with a record or two.
constexpr int32_t kSize = 300 * 1024 + 123;
constexpr auto kUploadLimit = std::chrono::seconds(60);

class UploadTlsFaultInjection : public LibraryFixture {
 protected:
  UploadTlsFaultInjection() : server_(RealServerKind::VsftpdTls) {}

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LibraryFixture::SetUp());
    ASSERT_TRUE(server_.ok()) << server_.error();
    dapSetInteger(0, DAP_SET_TLS, 1);
    dapSetString(0, DAP_STR_TLS_CA_FILE, server_.certificate().c_str());
    dapSetInteger(0, DAP_SET_SERVER_PORT, server_.port());
    dapSetInteger(0, DAP_SET_PASSIVE, 1);
    dapSetInteger(0, DAP_SET_POLL_SLEEP, 1);
    dapSetInteger(0, DAP_SET_FINAL_BLOCK_DELAY, 0);
    dapSetInteger(0, DAP_SET_CLOSE_PAUSE, 0);
    dapSetInteger(0, DAP_SET_TRANSFER_CHUNK, 1 << 20);
    std::mt19937 random(20);
    for (int32_t i = 0; i < kSize; ++i) bytes_ += static_cast<char>(random());
    ASSERT_EQ(dapSetLocalDir(0, dir().path().c_str()), 0);
  }

  void TearDown() override {
    platClearFaults();
    LibraryFixture::TearDown();
  }

  // One session's upload, driven a step at a time, under a name of its own, so that a file
  // never holds what an earlier upload left. From the first step after the data
  // connection's handshake the fault plan holds, until the step that has every byte counted
  // sent, so the close and its close_notify go unharmed. *dataSends: the sends made meanwhile.
  int32_t upload(uint32_t nth, int32_t error, uint32_t period, uint32_t* dataSends) {
    name_ = "up" + std::to_string(++uploads_) + ".bin";
    EXPECT_TRUE(writeFile(dir().file(name_), bytes_));
    platClearFaults();
    int32_t result = dapConnect(0, "127.0.0.1", server_.user().c_str(), server_.password().c_str());
    if (result < 0) return result;
    EXPECT_EQ(dapSetMode(0, 'B'), 0);
    dapSetInteger(0, DAP_SET_AUTO_CALL, 0);
    result = dapPutFile(0, name_.c_str());
    bool planned = false;
    bool ended = false;
    const auto started = std::chrono::steady_clock::now();
    while (result >= 0) {
      TlsConnection* data = channel()->dataTls;
      if (!planned && data != nullptr && tlsHandshakeDone(data)) {
        platClearFaults();
        platInjectFault(kPlatCallSend, nth, error, period);
        planned = true;
      }
      if (planned && !ended && dapGetInteger(0, DAP_GET_BYTES_SENT) == kSize) {
        *dataSends = platCallCount(kPlatCallSend);
        platClearFaults();
        ended = true;
      }
      if (std::chrono::steady_clock::now() - started > kUploadLimit) {
        ADD_FAILURE() << "the upload did not end";
        break;
      }
      result = dapDriver(0);
      if (result == 0) break;
    }
    if (planned && !ended) *dataSends = platCallCount(kPlatCallSend);
    platClearFaults();
    dapSetInteger(0, DAP_SET_AUTO_CALL, 1);
    EXPECT_TRUE(planned) << "no data connection in TLS";
    return result;
  }

  std::string onServer() const { return fileBytes(server_.root() + "/" + name_); }

  RealServer server_;
  std::string bytes_;
  std::string name_;
  int uploads_ = 0;
};

TEST_F(UploadTlsFaultInjection, SendsThatTakeNothingOrHalfChangeNothing) {
  struct Plan {
    const char* name;
    int32_t error;  // 0: the send takes half
    uint32_t period;
  };
  const Plan plans[] = {
      {"every other send takes nothing", EAGAIN, 2},
      {"every third send takes nothing", EAGAIN, 3},
      {"every send takes half", 0, 1},
      {"every other send interrupted", EINTR, 2},
  };
  for (const Plan& plan : plans) {
    SCOPED_TRACE(plan.name);
    uint32_t sends = 0;
    EXPECT_EQ(upload(1, plan.error, plan.period, &sends), 0);
    EXPECT_GT(sends, 1u);
    EXPECT_EQ(dapGetInteger(0, DAP_GET_BYTES_SENT), kSize);
    EXPECT_TRUE(onServer() == bytes_);
    EXPECT_EQ(dapClose(0), 0);
  }
}

TEST_F(UploadTlsFaultInjection, AFailedSendAtAnyPointFailsTheUpload) {
  uint32_t sends = 0;
  ASSERT_EQ(upload(0, 0, 0, &sends), 0);  // no fault: how many sends the data takes
  ASSERT_TRUE(onServer() == bytes_);
  ASSERT_EQ(dapClose(0), 0);
  ASSERT_GT(sends, 1u);
  // The socket takes different amounts from run to run: the nth send may not come.
  for (uint32_t n = 1; n <= sends + 2; ++n) {
    SCOPED_TRACE("send " + std::to_string(n) + " of about " + std::to_string(sends));
    uint32_t made = 0;
    const int32_t result = upload(n, ECONNRESET, 0, &made);
    if (made >= n) {
      EXPECT_LT(result, 0);
      EXPECT_LT(dapGetInteger(0, DAP_GET_BYTES_SENT), kSize);
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(onServer() == bytes_);
    }
    dapClose(0);
    ASSERT_EQ(upload(0, 0, 0, &made), 0) << "the whole file after the failure";
    EXPECT_TRUE(onServer() == bytes_);
    EXPECT_EQ(dapClose(0), 0);
  }
}

}  // namespace
