// Every operation against real FTP servers on loopback, pyftpdlib and vsftpd, each in passive
// and active mode: vsftpd connects after the transfer command, pyftpdlib as soon as it has PORT.
// Transferred files are compared byte for byte. The caller's own commands, transfers broken and
// resumed, MLSD and UTF-8 names too. The same again in TLS: explicit and implicit, TLS 1.3 and
// 1.2, with servers that refuse a data connection that does not resume the control connection's
// session, and with one that does not care.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dap32.h"
#include "frame/channel.h"
#include "platform/platform.h"
#include "support/library_fixture.h"
#include "support/local_pair.h"
#include "support/real_server.h"
#include "support/script_process.h"
#include "support/scripted_session.h"
#include "support/test_files.h"
#include "support/timing.h"

namespace {

namespace fs = std::filesystem;
using ftptest::Clock;
using ftptest::fileBytes;
using ftptest::RealServer;
using ftptest::RealServerKind;

constexpr int32_t kMiB = 1024 * 1024;

struct ServerSetup {
  RealServerKind kind;
  bool passive;
};

std::string setup_text(const ServerSetup& setup) {
  std::string name;
  bool upper = true;
  for (const char* c = ftptest::real_server_name(setup.kind); *c != '\0'; ++c) {
    if (*c != '_') name += upper ? static_cast<char>(std::toupper(*c)) : *c;
    upper = *c == '_';
  }
  return name + (setup.passive ? "Passive" : "Active");
}

// The TLS kinds' sessions: explicit or implicit, trusting the server's own certificate.
int32_t tls_mode(RealServerKind kind) {
  if (!ftptest::real_server_has_tls(kind)) return 0;
  return kind == RealServerKind::VsftpdImplicit ? 2 : 1;
}

std::string setup_name(const testing::TestParamInfo<ServerSetup>& info) {
  return setup_text(info.param);
}

void PrintTo(const ServerSetup& setup, std::ostream* out) {
  *out << setup_text(setup);
}

// Fixed seeds keep a failure reproducible; different seeds keep files from matching by chance.
// splitmix64 rather than a standard engine: this runs unoptimised under sanitizers, and 64 MiB
// must not take longer to make than to transfer.
void write_random_file(const fs::path& path, int64_t size, uint64_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint64_t> block(128 * 1024);
  uint64_t state = seed;
  for (int64_t left = size; left > 0;) {
    int64_t bytes = static_cast<int64_t>(block.size() * sizeof(uint64_t));
    auto piece = static_cast<std::streamsize>(std::min(left, bytes));
    for (size_t word = 0; word * sizeof(uint64_t) < static_cast<size_t>(piece); ++word) {
      uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      block[word] = z ^ (z >> 31);
    }
    out.write(reinterpret_cast<const char*>(block.data()), piece);
    left -= piece;
  }
}

// Empty when both files hold the same bytes, else what differs, for the failure message.
std::string file_difference(const fs::path& expected, const fs::path& actual) {
  std::error_code ec;
  if (!fs::is_regular_file(actual, ec)) return actual.string() + " is missing";
  auto expected_size = fs::file_size(expected);
  auto actual_size = fs::file_size(actual);
  if (expected_size != actual_size) {
    return actual.string() + " has " + std::to_string(actual_size) + " bytes, expected " +
           std::to_string(expected_size);
  }
  std::ifstream a(expected, std::ios::binary);
  std::ifstream b(actual, std::ios::binary);
  std::vector<char> x(1024 * 1024);
  std::vector<char> y(x.size());
  for (uint64_t offset = 0;; offset += x.size()) {
    a.read(x.data(), static_cast<std::streamsize>(x.size()));
    b.read(y.data(), static_cast<std::streamsize>(y.size()));
    auto count = a.gcount();
    if (count != b.gcount()) return actual.string() + ": read error";
    if (count == 0) return {};
    if (std::memcmp(x.data(), y.data(), static_cast<size_t>(count)) == 0) continue;
    auto differ = std::mismatch(x.begin(), x.begin() + count, y.begin());
    return actual.string() + " differs first at byte " +
           std::to_string(offset + static_cast<uint64_t>(differ.first - x.begin()));
  }
}

// The listing's own lines, split here without the library, to check dapExtract against.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Field `field` of every line of a listing, through dapExtract. Line 0 of a text cannot be
// selected, so an empty line goes in front and listing line i becomes text line i + 1.
std::vector<std::string> extract_fields(const std::string& listing, int32_t field) {
  const std::string text = "\r\n" + listing;
  const size_t count = split_lines(listing).size();
  std::vector<std::string> fields;
  for (size_t line = 1; line <= count; ++line) {
    char buffer[512];
    int32_t length =
        dapExtract(text.c_str(), static_cast<int32_t>(line), field, buffer, sizeof buffer - 1);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(buffer)) << "line " << line;
    fields.emplace_back(buffer, static_cast<size_t>(std::max(length, 0)));
  }
  char untouched[8] = "marker";
  EXPECT_EQ(0, dapExtract(text.c_str(), static_cast<int32_t>(count + 1), 0, untouched, 7));
  EXPECT_STREQ("marker", untouched);
  return fields;
}

std::string error_text(int32_t chan, int32_t code) {
  char buffer[512] = "";
  dapErrorText(chan, code, buffer, sizeof buffer - 1);
  return buffer;
}

// What the channel last heard, for failure messages.
std::string last_reply(int32_t chan) {
  return "last reply code " + std::to_string(dapGetInteger(chan, DAP_GET_SERVER_CODE)) +
         ", socket code " + std::to_string(dapGetInteger(chan, DAP_GET_SOCKET_CODE));
}

std::string server_dir(int32_t chan, int32_t* result) {
  char buffer[256];
  std::memset(buffer, 'x', sizeof buffer);
  *result = dapGetServerDir(chan, buffer, sizeof buffer - 1);
  buffer[sizeof buffer - 1] = '\0';
  return *result >= 0 ? std::string(buffer) : std::string();
}

std::string local_dir(int32_t chan) {
  char buffer[256] = "";
  int32_t length = dapGetLocalDir(chan, buffer, sizeof buffer - 1);
  EXPECT_EQ(static_cast<size_t>(length), std::strlen(buffer));
  return buffer;
}

// A listing into a buffer of `size` bytes; the result must be the length of the stored text.
std::string list(int32_t chan, int32_t type, int32_t* result, size_t size = 64 * 1024) {
  std::vector<char> buffer(size, '\0');
  *result = dapGetList(chan, type, buffer.data(), static_cast<int32_t>(buffer.size()));
  std::string text(buffer.data());
  if (*result >= 0) {
    EXPECT_EQ(static_cast<size_t>(*result), text.size()) << text;
  }
  return text;
}

// The listening ports in the order the log shows them bound.
std::vector<int> bound_ports(const std::string& log) {
  std::vector<int> ports;
  const std::string marker = "Binding 127.0.0.1 to port ";
  for (size_t at = 0; (at = log.find(marker, at)) != std::string::npos; at += marker.size()) {
    ports.push_back(std::stoi(log.substr(at + marker.size())));
  }
  return ports;
}

// One real server, all 32 channels attached, and a scratch tree of local directories.
//
// Each test drives channels of its own: a channel's active-mode listening ports are a block
// chosen by channel number and by the clock at attach, so two test processes that ctest runs
// side by side and that use the same channel number would bind the same ports (-10048).
class RealSession : public testing::Test {
 protected:
  static constexpr uint32_t kChannelCount = 32;

  void start(ServerSetup setup) {
    server_ = std::make_unique<RealServer>(setup.kind);
    ASSERT_TRUE(server_->ok()) << server_->error();
    ASSERT_FALSE(scratch_.empty());
    ASSERT_EQ(1, dapAttach(kChannelCount, 0));
    attached_ = true;
    tls_ = tls_mode(setup.kind);
    for (int32_t chan = 0; chan < static_cast<int32_t>(kChannelCount); ++chan) {
      ASSERT_EQ(server_->port(), dapSetInteger(chan, DAP_SET_SERVER_PORT, server_->port()));
      ASSERT_EQ(setup.passive ? 1 : 0, dapSetInteger(chan, DAP_SET_PASSIVE, setup.passive ? 1 : 0));
      ASSERT_EQ(tls_, dapSetInteger(chan, DAP_SET_TLS, tls_));
      ASSERT_EQ(0, dapSetString(chan, DAP_STR_TLS_CA_FILE, server_->certificate().c_str()));
    }
  }

  // In TLS every data connection resumes the control connection's session: the vsftpd kinds
  // refuse one that does not.
  void expect_secure(int32_t chan) {
    if (tls_ == 0) return;
    EXPECT_EQ(1, dapGetInteger(chan, DAP_GET_TLS_ACTIVE));
    EXPECT_EQ(1, dapGetInteger(chan, DAP_GET_TLS_DATA_RESUMED)) << server_->server_log();
  }

  // Settings are library-wide and outlive release: each test gets them as it found them.
  void TearDown() override {
    if (attached_) {
      for (int32_t chan = 0; chan < static_cast<int32_t>(kChannelCount); ++chan) dapClose(chan);
      dapRelease();
    }
    platRefuseDataMoves(0);
    settings = saved_;
  }

  // A local directory under the scratch tree.
  fs::path local(const std::string& name) {
    fs::path path = scratch_ / name;
    fs::create_directories(path);
    return path;
  }

  int32_t connect(int32_t chan) {
    return dapConnect(chan, "127.0.0.1", server_->user().c_str(), server_->password().c_str());
  }

  fs::path on_server(const std::string& relative) const {
    return fs::path(server_->root()) / relative;
  }

  std::unique_ptr<RealServer> server_;
  const Settings saved_ = settings;
  ftptest::TempDir scratchDir_{"dap32-realops"};
  const fs::path scratch_ = scratchDir_.path();
  bool attached_ = false;
  int32_t tls_ = 0;
};

const ServerSetup kSetups[] = {
    {RealServerKind::Pyftpdlib, true},       {RealServerKind::Pyftpdlib, false},
    {RealServerKind::Vsftpd, true},          {RealServerKind::Vsftpd, false},
    {RealServerKind::VsftpdTls, true},       {RealServerKind::VsftpdTls, false},
    {RealServerKind::VsftpdTls12, true},     {RealServerKind::VsftpdImplicit, true},
    {RealServerKind::VsftpdImplicit, false}, {RealServerKind::PyftpdlibTls, true},
    {RealServerKind::PyftpdlibTls, false},
};

class RealOperations : public RealSession, public testing::WithParamInterface<ServerSetup> {
 protected:
  void SetUp() override { start(GetParam()); }
};

class RealOperationsTwoChannels : public RealSession,
                                  public testing::WithParamInterface<ServerSetup> {
 protected:
  void SetUp() override { start(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(, RealOperations, testing::ValuesIn(kSetups), setup_name);
// Not pyftpdlib in active mode: with sessions side by side it can lose one session's socket
// from its event loop when another session's PORT connector closes (concurrency_test.cpp).
INSTANTIATE_TEST_SUITE_P(, RealOperationsTwoChannels,
                         testing::Values(kSetups[0], kSetups[2], kSetups[3]), setup_name);

struct Sample {
  const char* name;
  int64_t size;
};

// Empty, one byte, around one download block, and many blocks of both directions.
const Sample kSamples[] = {
    {"empty.bin", 0},    {"one.bin", 1},     {"short.bin", 8191},
    {"block.bin", 8192}, {"long.bin", 8193}, {"mebi.bin", kMiB + 1},
};

TEST_P(RealOperations, EveryOperationRoundTrip) {
  constexpr int32_t ch = 16;
  const fs::path source = local("source");
  const fs::path target = local("target");
  uint64_t seed = 1;
  for (const Sample& sample : kSamples) {
    write_random_file(source / sample.name, sample.size, seed++);
  }

  ASSERT_EQ(0, connect(ch));
  EXPECT_EQ(1, dapGetInteger(ch, DAP_GET_CONNECTED));
  char address[32] = "";
  dapGetString(ch, DAP_STR_SERVER_IP, address, sizeof address - 1);
  EXPECT_STREQ("127.0.0.1", address);
  int32_t length = 0;
  EXPECT_EQ("/", server_dir(ch, &length));
  EXPECT_EQ(1, length);
  EXPECT_EQ(257, dapGetInteger(ch, DAP_GET_SERVER_CODE));

  ASSERT_EQ(0, dapMakeServerDir(ch, "ops"));
  EXPECT_EQ(257, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  EXPECT_TRUE(fs::is_directory(on_server("ops")));
  ASSERT_EQ(0, dapSetServerDir(ch, "ops"));
  EXPECT_EQ(250, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  EXPECT_EQ("/ops", server_dir(ch, &length));
  EXPECT_EQ(4, length);

  ASSERT_EQ(0, dapSetMode(ch, 'A'));
  EXPECT_EQ(200, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  EXPECT_EQ(200, dapGetInteger(ch, DAP_GET_SERVER_CODE));

  ASSERT_EQ(0, dapSetLocalDir(ch, source.c_str()));
  EXPECT_EQ(source.string() + "/", local_dir(ch));
  int64_t total_sent = 0;
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.name);
    ASSERT_EQ(0, dapPutFile(ch, sample.name)) << last_reply(ch);
    EXPECT_EQ(226, dapGetInteger(ch, DAP_GET_SERVER_CODE));
    expect_secure(ch);
    EXPECT_EQ(sample.size, dapGetInteger(ch, DAP_GET_BYTES_SENT));
    total_sent += sample.size;
    EXPECT_EQ(total_sent, dapGetInteger(ch, DAP_GET_TOTAL_BYTES_SENT));
    EXPECT_EQ("", file_difference(source / sample.name, on_server("ops") / sample.name));
  }

  ASSERT_EQ(0, dapSetLocalDir(ch, (target.string() + "/").c_str()));
  EXPECT_EQ(target.string() + "/", local_dir(ch));
  int64_t total_received = 0;
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.name);
    ASSERT_EQ(0, dapGetFile(ch, sample.name)) << last_reply(ch);
    EXPECT_EQ(226, dapGetInteger(ch, DAP_GET_SERVER_CODE));
    expect_secure(ch);
    EXPECT_EQ(sample.size, dapGetInteger(ch, DAP_GET_BYTES_RECEIVED));
    total_received += sample.size;
    EXPECT_EQ(total_received, dapGetInteger(ch, DAP_GET_TOTAL_BYTES_RECEIVED));
    EXPECT_EQ("", file_difference(source / sample.name, target / sample.name));
  }
  // A transfer clears only its own direction's counter.
  EXPECT_EQ(kMiB + 1, dapGetInteger(ch, DAP_GET_BYTES_SENT));

  // LIST: the name is field 9 and the size field 5 of each "ls -l" line.
  int32_t result = 0;
  std::string full = list(ch, DAP_LIST_FULL, &result);
  ASSERT_GT(result, 0) << error_text(ch, result);
  EXPECT_EQ(226, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  expect_secure(ch);
  std::vector<std::string> lines = split_lines(full);
  size_t line_bytes = 0;
  for (const std::string& line : lines) line_bytes += line.size() + 2;
  EXPECT_EQ(full.size(), line_bytes) << "the listing must consist of CR LF lines:\n" << full;
  EXPECT_EQ(lines, extract_fields(full, 0));
  std::vector<std::string> names = extract_fields(full, 9);
  std::vector<std::string> sizes = extract_fields(full, 5);
  for (const Sample& sample : kSamples) {
    auto found = std::find(names.begin(), names.end(), sample.name);
    ASSERT_NE(names.end(), found) << sample.name << " not in LIST:\n" << full;
    EXPECT_EQ(std::to_string(sample.size), sizes[static_cast<size_t>(found - names.begin())])
        << full;
  }
  // Straight from the buffer: line 1 is the listing's second line; line 0 is never selected.
  ASSERT_GE(lines.size(), 2u) << full;
  char field[256];
  EXPECT_EQ(static_cast<int32_t>(names[1].size()),
            dapExtract(full.c_str(), 1, 9, field, sizeof field - 1));
  EXPECT_EQ(names[1], field);
  std::strcpy(field, "marker");
  EXPECT_EQ(0, dapExtract(full.c_str(), 0, 9, field, sizeof field - 1));
  EXPECT_STREQ("marker", field);

  // NLST: bare names, one a line.
  std::string bare = list(ch, DAP_LIST_NAMES, &result);
  ASSERT_GT(result, 0) << error_text(ch, result);
  EXPECT_EQ(226, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  std::vector<std::string> bare_names = extract_fields(bare, 1);
  EXPECT_EQ(split_lines(bare), bare_names) << bare;
  std::set<std::string> expected_names;
  for (const Sample& sample : kSamples) expected_names.insert(sample.name);
  EXPECT_EQ(expected_names, std::set<std::string>(bare_names.begin(), bare_names.end())) << bare;

  // The pattern types send the buffer's text as the argument; the listing overwrites it.
  std::vector<char> pattern(4096, '\0');
  std::strcpy(pattern.data(), "block.bin");
  result = dapGetList(ch, DAP_LIST_FULL_PATTERN, pattern.data(), 4096);
  ASSERT_GT(result, 0) << error_text(ch, result);
  std::string one_line(pattern.data());
  EXPECT_EQ(static_cast<size_t>(result), one_line.size());
  EXPECT_EQ(std::vector<std::string>{"block.bin"}, extract_fields(one_line, 9)) << one_line;
  EXPECT_EQ(std::vector<std::string>{"8192"}, extract_fields(one_line, 5)) << one_line;
  std::strcpy(pattern.data(), "mebi.bin");
  result = dapGetList(ch, DAP_LIST_NAMES_PATTERN, pattern.data(), 4096);
  EXPECT_EQ("mebi.bin\r\n", std::string(pattern.data())) << error_text(ch, result);

  // A buffer too small for the listing keeps, in order, the lines that still fitted with
  // their NUL when they arrived, and nothing is written past its size.
  constexpr size_t kSmall = 20;
  std::vector<char> small(kSmall + 16, 'G');
  small[0] = '\0';
  result = dapGetList(ch, DAP_LIST_NAMES, small.data(), kSmall);
  std::string fitted;
  for (const std::string& line : split_lines(bare)) {
    if (line.size() + 2 < kSmall - fitted.size()) fitted += line + "\r\n";
  }
  EXPECT_EQ(static_cast<int32_t>(fitted.size()), result);
  EXPECT_EQ(fitted, std::string(small.data()));
  EXPECT_EQ(std::string(16, 'G'), std::string(small.data() + kSmall, 16));

  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.name);
    EXPECT_EQ(0, dapDelFile(ch, sample.name));
    EXPECT_EQ(250, dapGetInteger(ch, DAP_GET_SERVER_CODE));
    EXPECT_FALSE(fs::exists(on_server("ops") / sample.name));
  }
  // An empty listing stores nothing and leaves the caller's buffer as it was.
  char kept[64] = "kept";
  EXPECT_EQ(0, dapGetList(ch, DAP_LIST_NAMES, kept, sizeof kept));
  EXPECT_STREQ("kept", kept);

  ASSERT_EQ(0, dapSetServerDir(ch, ".."));
  EXPECT_EQ("/", server_dir(ch, &length));
  ASSERT_EQ(0, dapDelServerDir(ch, "ops"));
  EXPECT_EQ(250, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  EXPECT_FALSE(fs::exists(on_server("ops")));
  EXPECT_EQ(0, dapClose(ch));
  EXPECT_EQ(0, dapGetInteger(ch, DAP_GET_CONTROL_SOCKET));

  // A closed channel can open a new session.
  ASSERT_EQ(0, connect(ch));
  EXPECT_EQ("/", server_dir(ch, &length));
  EXPECT_EQ(0, dapClose(ch));
}

// Thousands of blocks each way: 8192-byte blocks down, upload blocks of the default 1024 up.
TEST_P(RealOperations, LargeFileRoundTrip) {
  constexpr int32_t ch = 17;
  constexpr int64_t kSize = 64 * kMiB;
  const fs::path source = local("source");
  const fs::path target = local("target");
  write_random_file(source / "large.bin", kSize, 64);

  ASSERT_EQ(0, connect(ch));
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  ASSERT_EQ(0, dapSetLocalDir(ch, source.c_str()));
  auto started = Clock::now();
  ASSERT_EQ(0, dapPutFile(ch, "large.bin")) << last_reply(ch);
  const int64_t upload_ms = ftptest::msSince(started);
  EXPECT_EQ(kSize, dapGetInteger(ch, DAP_GET_BYTES_SENT));
  EXPECT_EQ("", file_difference(source / "large.bin", on_server("large.bin")));

  ASSERT_EQ(0, dapSetLocalDir(ch, target.c_str()));
  started = Clock::now();
  ASSERT_EQ(0, dapGetFile(ch, "large.bin"));
  const int64_t download_ms = ftptest::msSince(started);
  EXPECT_EQ(kSize, dapGetInteger(ch, DAP_GET_BYTES_RECEIVED));
  EXPECT_EQ("", file_difference(source / "large.bin", target / "large.bin"));
  RecordProperty("upload_ms", std::to_string(upload_ms));
  RecordProperty("download_ms", std::to_string(download_ms));

  EXPECT_EQ(0, dapDelFile(ch, "large.bin"));
  EXPECT_EQ(0, dapClose(ch));
}

// The fast settings: no pause after a close, steps of up to 4 MiB (a download's moved by the
// kernel, or copied where it refuses; an upload's copied), and the same bytes as ever.
TEST_P(RealOperations, FastSettingsRoundTrip) {
  constexpr int32_t ch = 15;
  constexpr int64_t kSize = 16 * kMiB;
  const fs::path source = local("source");
  const fs::path target = local("target");
  write_random_file(source / "fast.bin", kSize, 65);
  dapSetInteger(ch, DAP_SET_POLL_SLEEP, 1);
  dapSetInteger(ch, DAP_SET_FINAL_BLOCK_DELAY, 0);
  dapSetInteger(ch, DAP_SET_UPLOAD_BLOCK_SIZE, 8192);
  ASSERT_EQ(0, dapSetInteger(ch, DAP_SET_CLOSE_PAUSE, 0));
  ASSERT_EQ(4 * kMiB, dapSetInteger(ch, DAP_SET_TRANSFER_CHUNK, 4 * kMiB));
  ASSERT_EQ(0, connect(ch));
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  for (int32_t refuse : {0, 1}) {
    SCOPED_TRACE(refuse ? "copied" : "downloads moved by the kernel");
    platRefuseDataMoves(refuse);
    ASSERT_EQ(0, dapSetLocalDir(ch, source.c_str()));
    ASSERT_EQ(0, dapPutFile(ch, "fast.bin")) << last_reply(ch);
    EXPECT_EQ(kSize, dapGetInteger(ch, DAP_GET_BYTES_SENT));
    EXPECT_EQ("", file_difference(source / "fast.bin", on_server("fast.bin")));
    ASSERT_EQ(0, dapSetLocalDir(ch, target.c_str()));
    ASSERT_EQ(0, dapGetFile(ch, "fast.bin")) << last_reply(ch);
    expect_secure(ch);
    EXPECT_EQ(kSize, dapGetInteger(ch, DAP_GET_BYTES_RECEIVED));
    EXPECT_EQ("", file_difference(source / "fast.bin", target / "fast.bin"));
    EXPECT_EQ(0, dapDelFile(ch, "fast.bin"));
  }
  EXPECT_EQ(0, dapClose(ch));
}

// Every refusal (a reply of 500 or more) ends its operation with -18, and the channel stays in
// step with the server: no reply is left unread for the next command.
TEST_P(RealOperations, RefusalsFailAndChannelRecovers) {
  constexpr int32_t ch = 18;
  const fs::path source = local("source");
  const fs::path target = local("target");
  fs::create_directories(source / "nodir");
  write_random_file(source / "nodir" / "up.bin", 5000, 7);
  write_random_file(source / "after.bin", 20000, 8);
  fs::create_directories(on_server("full"));
  write_random_file(on_server("full") / "inside.bin", 10, 9);
  ASSERT_TRUE(server_->hand_over_tree());

  EXPECT_EQ(DAP_ERR_SERVER_REFUSED,
            dapConnect(ch, "127.0.0.1", server_->user().c_str(), "wrong-password"));
  EXPECT_EQ(530, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  ASSERT_EQ(0, connect(ch));
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  EXPECT_EQ(DAP_ERR_SERVER_REFUSED, dapSetServerDir(ch, "nodir"));
  EXPECT_EQ(550, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  int32_t length = 0;
  EXPECT_EQ("/", server_dir(ch, &length));
  EXPECT_EQ(DAP_ERR_SERVER_REFUSED, dapMakeServerDir(ch, "full"));
  EXPECT_EQ(DAP_ERR_SERVER_REFUSED, dapDelServerDir(ch, "full"));
  EXPECT_EQ(DAP_ERR_SERVER_REFUSED, dapDelServerDir(ch, "nodir"));
  EXPECT_EQ(DAP_ERR_SERVER_REFUSED, dapDelFile(ch, "missing.bin"));
  EXPECT_EQ(550, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  EXPECT_TRUE(fs::exists(on_server("full") / "inside.bin"));

  ASSERT_EQ(0, dapSetLocalDir(ch, source.c_str()));
  EXPECT_EQ(DAP_ERR_SERVER_REFUSED, dapPutFile(ch, "nodir/up.bin"));
  EXPECT_GE(dapGetInteger(ch, DAP_GET_SERVER_CODE), 550);
  EXPECT_FALSE(fs::exists(on_server("nodir")));

  ASSERT_EQ(0, dapSetLocalDir(ch, target.c_str()));
  write_random_file(target / "missing.bin", 100, 10);
  const std::string kept = fileBytes((target / "missing.bin").string());
  EXPECT_EQ(DAP_ERR_SERVER_REFUSED, dapGetFile(ch, "missing.bin"));
  EXPECT_EQ(550, dapGetInteger(ch, DAP_GET_SERVER_CODE));
  EXPECT_TRUE(fileBytes((target / "missing.bin").string()) == kept);

  ASSERT_EQ(0, dapSetLocalDir(ch, source.c_str()));
  ASSERT_EQ(0, dapPutFile(ch, "after.bin")) << last_reply(ch);
  EXPECT_EQ("", file_difference(source / "after.bin", on_server("after.bin")));
  ASSERT_EQ(0, dapSetLocalDir(ch, target.c_str()));
  ASSERT_EQ(0, dapGetFile(ch, "after.bin"));
  EXPECT_EQ("", file_difference(source / "after.bin", target / "after.bin"));
  int32_t result = 0;
  std::string names = list(ch, DAP_LIST_NAMES, &result);
  std::vector<std::string> lines = split_lines(names);
  EXPECT_EQ((std::set<std::string>{"after.bin", "full"}), std::set(lines.begin(), lines.end()))
      << names;
  EXPECT_EQ(0, dapClose(ch));
}

// Names with blanks travel unquoted; a listing of hundreds of lines arrives whole although its
// lines straddle the reads of the data connection.
TEST_P(RealOperations, BlankNamesAndLongListing) {
  constexpr int32_t ch = 19;
  constexpr int kFiles = 300;
  fs::create_directories(on_server("many"));
  std::set<std::string> expected;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "file-" + std::to_string(i) + "-" + std::string(i % 61, 'n') + ".bin";
    write_random_file(on_server("many") / name, i, static_cast<uint64_t>(i));
    expected.insert(name);
  }
  ASSERT_TRUE(server_->hand_over_tree());
  const fs::path source = local("source");
  const fs::path target = local("target");
  write_random_file(source / "my file.bin", 3000, 500);

  ASSERT_EQ(0, connect(ch));
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  ASSERT_EQ(0, dapSetServerDir(ch, "many"));
  int32_t result = 0;
  std::string bare = list(ch, DAP_LIST_NAMES, &result, 256 * 1024);
  ASSERT_GT(result, 0) << error_text(ch, result);
  std::vector<std::string> names = extract_fields(bare, 0);
  EXPECT_EQ(static_cast<size_t>(kFiles), names.size());
  EXPECT_EQ(expected, std::set<std::string>(names.begin(), names.end()));
  std::string full = list(ch, DAP_LIST_FULL, &result, 256 * 1024);
  ASSERT_GT(result, 0) << error_text(ch, result);
  names = extract_fields(full, 9);
  std::vector<std::string> sizes = extract_fields(full, 5);
  EXPECT_EQ(expected, std::set<std::string>(names.begin(), names.end()));
  for (size_t line = 0; line < names.size(); ++line) {
    // "file-<size>-..." carries its own size.
    EXPECT_EQ(names[line].substr(5, names[line].find('-', 5) - 5), sizes[line]) << names[line];
  }

  ASSERT_EQ(0, dapSetServerDir(ch, "/"));
  ASSERT_EQ(0, dapMakeServerDir(ch, "blank dir"));
  ASSERT_EQ(0, dapSetServerDir(ch, "blank dir"));
  // The directory of the PWD reply is cut at its first blank.
  int32_t length = 0;
  EXPECT_EQ("/blank", server_dir(ch, &length));
  ASSERT_EQ(0, dapSetLocalDir(ch, source.c_str()));
  ASSERT_EQ(0, dapPutFile(ch, "my file.bin"));
  EXPECT_EQ("", file_difference(source / "my file.bin", on_server("blank dir/my file.bin")));
  ASSERT_EQ(0, dapSetLocalDir(ch, target.c_str()));
  ASSERT_EQ(0, dapGetFile(ch, "my file.bin"));
  EXPECT_EQ("", file_difference(source / "my file.bin", target / "my file.bin"));
  full = list(ch, DAP_LIST_FULL, &result);
  EXPECT_EQ(std::vector<std::string>{"my"}, extract_fields(full, 9)) << full;
  ASSERT_EQ(1u, split_lines(full).size()) << full;
  EXPECT_TRUE(split_lines(full)[0].ends_with(" my file.bin")) << full;
  EXPECT_EQ("my file.bin\r\n", list(ch, DAP_LIST_NAMES, &result));
  EXPECT_EQ(0, dapDelFile(ch, "my file.bin"));
  ASSERT_EQ(0, dapSetServerDir(ch, ".."));
  EXPECT_EQ(0, dapDelServerDir(ch, "blank dir"));
  EXPECT_FALSE(fs::exists(on_server("blank dir")));
  EXPECT_EQ(0, dapClose(ch));
}

// What MDTM answers for a file: its modification time in UTC, YYYYMMDDHHMMSS.
std::string modification_time(const fs::path& path) {
  struct stat status {};
  struct tm utc {};
  char text[16] = "";
  if (stat(path.c_str(), &status) == 0 && gmtime_r(&status.st_mtime, &utc) != nullptr) {
    strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
  }
  return text;
}

// The caller's own commands: a rename there and back, SIZE (which pyftpdlib refuses under
// TYPE A), MDTM and SITE CHMOD of a known file; and MLSD, which vsftpd does not know.
TEST_P(RealOperations, CallersCommandsAndMachineListing) {
  constexpr int32_t ch = 28;
  const bool vsftpd = ftptest::real_server_is_vsftpd(server_->kind());
  write_random_file(on_server("known.bin"), 12345, 900);
  fs::create_directories(on_server("folder/sub"));
  write_random_file(on_server("folder/a file.txt"), 10, 901);
  write_random_file(on_server("folder/b.bin"), 2000, 902);
  ASSERT_TRUE(server_->hand_over_tree());
  ASSERT_EQ(0, connect(ch));
  char reply[512];
  const auto command = [&](const std::string& text) {
    return dapCommand(ch, text.c_str(), reply, sizeof reply);
  };
  EXPECT_EQ(350, command("RNFR known.bin"));
  EXPECT_EQ(250, command("RNTO renamed.bin"));
  EXPECT_TRUE(fs::exists(on_server("renamed.bin")));
  EXPECT_EQ(350 + 250, command("RNFR renamed.bin") + command("RNTO known.bin"));
  ASSERT_EQ(0, dapSetMode(ch, 'A'));
  EXPECT_EQ(vsftpd ? 213 : 550, command("SIZE known.bin")) << reply;
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  EXPECT_EQ(213, command("SIZE known.bin"));
  EXPECT_STREQ("213 12345", reply);
  EXPECT_EQ(550, command("SIZE missing.bin"));
  EXPECT_EQ(213, command("MDTM known.bin"));
  EXPECT_EQ("213 " + modification_time(on_server("known.bin")), reply);
  EXPECT_EQ(200, command("SITE CHMOD 640 known.bin")) << reply;
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
            fs::status(on_server("known.bin")).permissions());

  // "modify=20240102030405;perm=r;size=10;type=file;unique=803g2; a file.txt": any facts in any
  // order, a blank and the name. pyftpdlib gives a directory's size too, as its file system does.
  std::vector<char> buffer(8192, '\0');
  std::strcpy(buffer.data(), "folder");
  const int32_t result = dapGetList(ch, DAP_LIST_MACHINE_PATH, buffer.data(), 8192);
  std::set<std::string> entries;
  for (const std::string& line : split_lines(buffer.data())) {
    const std::string facts = ";" + line.substr(0, line.find("; ") + 1);
    const auto fact = [&](const std::string& key) {
      const size_t at = facts.find(";" + key + "=") + key.size() + 2;
      return at < key.size() + 2 ? "" : facts.substr(at, facts.find(';', at) - at);
    };
    const bool complete = fact("modify").size() == 14 && fact("perm") != "" && fact("unique") != "";
    entries.insert(line.substr(line.find("; ") + 2) + " " + fact("type") +
                   (fact("type") == "file" ? " " + fact("size") : "") + (complete ? "" : " ?"));
  }
  EXPECT_EQ(vsftpd ? DAP_ERR_SERVER_REFUSED : static_cast<int32_t>(std::strlen(buffer.data())),
            result);
  const std::set<std::string> listed = {"a file.txt file 10", "b.bin file 2000", "sub dir"};
  EXPECT_EQ(vsftpd ? std::set<std::string>() : listed, entries) << buffer.data();
  EXPECT_EQ(0, dapClose(ch));
}

// A transfer broken after about 1 MiB (the caller aborts it) and resumed: the file is whole,
// and the resumed download moves only the rest.
TEST_P(RealOperations, BrokenTransfersResume) {
  constexpr int32_t ch = 29;
  constexpr int32_t kSize = 4 * kMiB;
  const fs::path source = local("source");
  const fs::path target = local("target");
  write_random_file(source / "up.bin", kSize, 910);
  write_random_file(on_server("down.bin"), kSize, 911);
  ASSERT_TRUE(server_->hand_over_tree());
  ASSERT_EQ(0, connect(ch));
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  for (const bool upload : {false, true}) {
    SCOPED_TRACE(upload ? "upload" : "download");
    const char* name = upload ? "up.bin" : "down.bin";
    const uint32_t counter = upload ? DAP_GET_BYTES_SENT : DAP_GET_BYTES_RECEIVED;
    const auto start = [&] { return upload ? dapPutFile(ch, name) : dapGetFile(ch, name); };
    ASSERT_EQ(0, dapSetLocalDir(ch, (upload ? source : target).c_str()));
    ASSERT_EQ(0, dapSetInteger(ch, DAP_SET_AUTO_CALL, 0) + start());
    const auto started = Clock::now();
    while (dapGetInteger(ch, counter) < kMiB && ftptest::msSince(started) < 30000) {
      ASSERT_GT(dapDriver(ch), 0) << last_reply(ch);
    }
    EXPECT_EQ(1, dapAbort(ch));
    const int32_t broken = dapGetInteger(ch, counter);
    ASSERT_TRUE(broken >= kMiB && broken < kSize) << broken;
    ASSERT_EQ(2, dapSetInteger(ch, DAP_SET_AUTO_CALL, 1) + dapSetInteger(ch, DAP_SET_RESUME, 1));
    ASSERT_EQ(0, start()) << last_reply(ch);
    const int32_t rest = dapGetInteger(ch, counter);
    EXPECT_TRUE(rest > 0 && rest <= kSize - (upload ? 0 : broken)) << rest;
    EXPECT_EQ("", upload ? file_difference(source / name, on_server(name))
                         : file_difference(on_server(name), target / name));
    ASSERT_EQ(0, dapSetInteger(ch, DAP_SET_RESUME, 0));
  }
  EXPECT_EQ(0, dapClose(ch));
}

// UTF-8 names up, listed, down and deleted, with the code that lets them through.
TEST_P(RealOperations, Utf8NamesRoundTrip) {
  constexpr int32_t ch = 30;
  const std::string name = "caf\xC3\xA9 \xC3\xBC \xE6\x97\xA5\xE6\x9C\xAC.bin";
  const fs::path source = local("source");
  const fs::path target = local("target");
  write_random_file(source / name, 3000, 920);
  ASSERT_EQ(1, dapSetInteger(ch, DAP_SET_UTF8, 1));
  ASSERT_EQ(0, connect(ch));
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  ASSERT_EQ(0, dapSetLocalDir(ch, source.c_str()));
  ASSERT_EQ(0, dapPutFile(ch, name.c_str())) << last_reply(ch);
  EXPECT_EQ("", file_difference(source / name, on_server(name)));
  int32_t result = 0;
  EXPECT_EQ(name + "\r\n", list(ch, DAP_LIST_NAMES, &result)) << error_text(ch, result);
  ASSERT_EQ(0, dapSetLocalDir(ch, target.c_str()));
  ASSERT_EQ(0, dapGetFile(ch, name.c_str()));
  EXPECT_EQ("", file_difference(source / name, target / name));
  EXPECT_EQ(0, dapDelFile(ch, name.c_str()));
  EXPECT_FALSE(fs::exists(on_server(name)));
  EXPECT_EQ(0, dapClose(ch));
}

struct ChannelRun {
  int32_t connect = 1;
  int32_t mode = 1;
  int32_t put = 1;
  int32_t get = 1;
  int32_t close = 1;
  int32_t sent = -1;
  int32_t received = -1;
  Clock::time_point put_start, put_end, get_start, get_end;
};

// Each thread drives only its own channel; both upload at once, then both download at once.
TEST_P(RealOperationsTwoChannels, TransferAtTheSameTime) {
  constexpr int32_t kChans[2] = {24, 25};
  constexpr int64_t kSize = 8 * kMiB;
  for (int k = 0; k < 2; ++k) {
    const std::string n = std::to_string(k);
    write_random_file(local("up" + n) / ("up" + n + ".bin"), kSize, 100 + k);
    write_random_file(on_server("down" + n + ".bin"), kSize, 200 + k);
    local("down" + n);
  }
  ASSERT_TRUE(server_->hand_over_tree());

  ChannelRun runs[2];
  std::latch uploads(2);
  std::latch downloads(2);
  auto drive = [&](int k) {
    const int32_t ch = kChans[k];
    const std::string n = std::to_string(k);
    ChannelRun& run = runs[k];
    run.connect = connect(ch);
    run.mode = dapSetMode(ch, 'B');
    dapSetLocalDir(ch, (scratch_ / ("up" + n)).c_str());
    uploads.arrive_and_wait();
    run.put_start = Clock::now();
    run.put = dapPutFile(ch, ("up" + n + ".bin").c_str());
    run.put_end = Clock::now();
    run.sent = dapGetInteger(ch, DAP_GET_BYTES_SENT);
    dapSetLocalDir(ch, (scratch_ / ("down" + n)).c_str());
    downloads.arrive_and_wait();
    run.get_start = Clock::now();
    run.get = dapGetFile(ch, ("down" + n + ".bin").c_str());
    run.get_end = Clock::now();
    run.received = dapGetInteger(ch, DAP_GET_BYTES_RECEIVED);
    run.close = dapClose(ch);
  };
  // Joining is bounded: every operation ends by the library's own reply deadline.
  std::thread first(drive, 0);
  std::thread second(drive, 1);
  first.join();
  second.join();

  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE("channel " + std::to_string(kChans[k]));
    const std::string n = std::to_string(k);
    const ChannelRun& run = runs[k];
    EXPECT_EQ(0, run.connect);
    EXPECT_EQ(0, run.mode);
    EXPECT_EQ(0, run.put) << error_text(kChans[k], run.put);
    EXPECT_EQ(0, run.get) << error_text(kChans[k], run.get);
    EXPECT_EQ(0, run.close);
    EXPECT_EQ(kSize, run.sent);
    EXPECT_EQ(kSize, run.received);
    EXPECT_EQ("", file_difference(scratch_ / ("up" + n) / ("up" + n + ".bin"),
                                  on_server("up" + n + ".bin")));
    EXPECT_EQ("", file_difference(on_server("down" + n + ".bin"),
                                  scratch_ / ("down" + n) / ("down" + n + ".bin")));
  }
  // Otherwise the test would not have tested concurrency at all.
  EXPECT_LT(runs[0].put_start, runs[1].put_end);
  EXPECT_LT(runs[1].put_start, runs[0].put_end);
  EXPECT_LT(runs[0].get_start, runs[1].get_end);
  EXPECT_LT(runs[1].get_start, runs[0].get_end);
}

// With AUTO_CALL off one thread drives both channels step by step: one uploads while the
// other downloads, so the steps of the two transfers alternate.
TEST_P(RealOperationsTwoChannels, InterleavedOnOneThreadWithAutoCallOff) {
  constexpr int32_t kUp = 26;
  constexpr int32_t kDown = 27;
  constexpr int64_t kSize = 2 * kMiB;
  write_random_file(local("up") / "up.bin", kSize, 300);
  write_random_file(on_server("down.bin"), kSize, 301);
  ASSERT_TRUE(server_->hand_over_tree());
  for (int32_t ch : {kUp, kDown}) {
    ASSERT_EQ(0, connect(ch));
    ASSERT_EQ(0, dapSetMode(ch, 'B'));
    ASSERT_EQ(0, dapSetInteger(ch, DAP_SET_AUTO_CALL, 0));
  }
  ASSERT_EQ(0, dapSetLocalDir(kUp, (scratch_ / "up").c_str()));
  ASSERT_EQ(0, dapSetLocalDir(kDown, local("down").c_str()));
  ASSERT_EQ(0, dapPutFile(kUp, "up.bin"));
  ASSERT_EQ(0, dapGetFile(kDown, "down.bin"));

  int32_t up = 1;
  int32_t down = 1;
  int rounds_with_both_busy = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while ((up > 0 || down > 0) && Clock::now() < deadline) {
    if (up > 0) up = dapDriver(kUp);
    if (down > 0) down = dapDriver(kDown);
    if (up > 0 && down > 0) ++rounds_with_both_busy;
  }
  if (up > 0 || down > 0) {
    dapAbort(kUp);
    dapAbort(kDown);
    FAIL() << "transfers still running after 60 s";
  }
  EXPECT_EQ(0, up) << error_text(kUp, up);
  EXPECT_EQ(0, down) << error_text(kDown, down);
  EXPECT_GT(rounds_with_both_busy, 10);
  EXPECT_EQ(kSize, dapGetInteger(kUp, DAP_GET_BYTES_SENT));
  EXPECT_EQ(kSize, dapGetInteger(kDown, DAP_GET_BYTES_RECEIVED));
  EXPECT_EQ("", file_difference(scratch_ / "up" / "up.bin", on_server("up.bin")));
  EXPECT_EQ("", file_difference(on_server("down.bin"), scratch_ / "down" / "down.bin"));
  for (int32_t ch : {kUp, kDown}) {
    ASSERT_EQ(1, dapSetInteger(ch, DAP_SET_AUTO_CALL, 1));
    EXPECT_EQ(0, dapClose(ch));
  }
}

// The debug log of one active-mode session: entry lines, state lines, commands with the
// password hidden, and replies.
class RealOperationsLog : public RealSession {
 protected:
  void SetUp() override { start({RealServerKind::Vsftpd, false}); }
};

TEST_F(RealOperationsLog, RecordsTheSession) {
  constexpr int32_t ch = 20;
  const fs::path log = scratch_ / "session.log";
  ASSERT_GT(dapSetString(ch, DAP_STR_LOG_OPEN, log.c_str()), 0);
  ASSERT_EQ(0, connect(ch));
  int32_t result = 0;
  list(ch, DAP_LIST_FULL, &result);
  EXPECT_EQ(0, result);
  EXPECT_EQ(0, dapClose(ch));

  const std::string text = fileBytes(log.string());
  for (const char* expected :
       {"*** dapConnect\r\n", "<101:", "S: USER dap32test\r\n", "S: PASS ****\r\n", "R: 230 ",
        "*** dapGetList\r\n", "S: PORT 127,0,0,1,", "S: LIST\r\n", "Connection is accepted.",
        "R: 226 ", "*** dapClose\r\n", "S: QUIT\r\n", "R: 221 "}) {
    EXPECT_NE(std::string::npos, text.find(expected)) << expected << " missing in:\n" << text;
  }
  EXPECT_EQ(std::string::npos, text.find(server_->password())) << text;
  // dapClose closed the log: nothing more is written to it.
  const auto size = fs::file_size(log);
  dapDebug(ch, 0, 0, 0);
  EXPECT_EQ(size, fs::file_size(log));
}

// vsftpd in active mode.
class RealOperationsActive : public RealSession {
 protected:
  void SetUp() override { start({RealServerKind::Vsftpd, false}); }
};

// The port cycle comes back to a port whose upload connection the client closed first and
// which is therefore still in TIME_WAIT; binding the listener there must still work.
TEST_F(RealOperationsActive, PortCycleReusesAPortInTimeWait) {
  constexpr int32_t ch = 21;
  const fs::path source = local("source");
  write_random_file(source / "first.bin", 3000, 400);
  write_random_file(source / "again.bin", 3000, 401);
  const fs::path log = scratch_ / "ports.log";
  ASSERT_GT(dapSetString(ch, DAP_STR_LOG_OPEN, log.c_str()), 0);
  ASSERT_EQ(0, connect(ch));
  ASSERT_EQ(0, dapSetMode(ch, 'B'));
  ASSERT_EQ(0, dapSetLocalDir(ch, source.c_str()));
  ASSERT_EQ(0, dapPutFile(ch, "first.bin"));
  int32_t result = 0;
  for (int transfer = 1; transfer < 32; ++transfer) {
    ASSERT_EQ("first.bin\r\n", list(ch, DAP_LIST_NAMES, &result)) << "listing " << transfer;
  }
  ASSERT_EQ(0, dapPutFile(ch, "again.bin")) << last_reply(ch);
  EXPECT_EQ("", file_difference(source / "again.bin", on_server("again.bin")));
  EXPECT_EQ(0, dapClose(ch));

  std::vector<int> ports = bound_ports(fileBytes(log.string()));
  // The first PORT names the range's lowest port plus one; the 32nd wraps to the lowest.
  ASSERT_EQ(33u, ports.size());
  const int low = ports.front() - 1;
  EXPECT_EQ(0, low % 32) << low;
  EXPECT_TRUE(low >= 16384 + 512 * ch && low + 31 < 16384 + 512 * (ch + 1)) << low;
  EXPECT_EQ(low + 31, ports[30]);
  EXPECT_EQ(low, ports[31]);
  EXPECT_EQ(ports.front(), ports.back());
}

// The mode is read whenever a transfer opens its data connection, so one session may switch.
TEST_F(RealOperationsActive, SwitchesModeBetweenTransfers) {
  constexpr int32_t ch = 22;
  write_random_file(on_server("seen.bin"), 100, 600);
  ASSERT_TRUE(server_->hand_over_tree());
  ASSERT_EQ(0, connect(ch));
  int32_t result = 0;
  for (int32_t passive : {1, 0, 1, 0}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    ASSERT_EQ(passive, dapSetInteger(ch, DAP_SET_PASSIVE, passive));
    EXPECT_EQ("seen.bin\r\n", list(ch, DAP_LIST_NAMES, &result)) << error_text(ch, result);
  }
  EXPECT_EQ(0, dapClose(ch));
}

// A server that disappears mid-session ends every later operation promptly with an error,
// and the channel can then log in to another server.
class RealOperationsServerGone : public RealSession {
 protected:
  void SetUp() override { start({RealServerKind::Pyftpdlib, true}); }
};

TEST_F(RealOperationsServerGone, OperationsFailAndChannelReconnects) {
  constexpr int32_t ch = 23;
  const fs::path target = local("target");
  ASSERT_EQ(0, connect(ch));
  ASSERT_EQ(0, dapSetLocalDir(ch, target.c_str()));
  server_.reset();

  const auto started = Clock::now();
  int32_t length = 0;
  server_dir(ch, &length);
  EXPECT_LT(length, 0);
  EXPECT_LT(dapGetFile(ch, "gone.bin"), 0);
  EXPECT_LT(dapSetServerDir(ch, "gone"), 0);
  int32_t result = 0;
  list(ch, DAP_LIST_NAMES, &result);
  EXPECT_LT(result, 0);
  dapClose(ch);
  EXPECT_LT(ftptest::msSince(started), 5000);
  EXPECT_EQ(0, dapGetInteger(ch, DAP_GET_CONTROL_SOCKET));

  server_ = std::make_unique<RealServer>(RealServerKind::Pyftpdlib);
  ASSERT_TRUE(server_->ok()) << server_->error();
  ASSERT_EQ(server_->port(), dapSetInteger(ch, DAP_SET_SERVER_PORT, server_->port()));
  ASSERT_EQ(0, connect(ch));
  EXPECT_EQ("/", server_dir(ch, &length));
  EXPECT_EQ(0, dapClose(ch));
}

// ---- IPv6 and proxies ----

// A server of serve_networks.py for one test: pyftpdlib on a loopback address, or a proxy.
struct NetworkServer {
  explicit NetworkServer(const std::vector<std::string>& args) {
    std::string line;
    if (!script.start(ftptest::support_script_path("serve_networks.py"), args, &error)) return;
    if (script.read_line(std::chrono::seconds(15), &line) && line.rfind("READY ", 0) == 0) {
      port = static_cast<uint16_t>(std::stoi(line.substr(6)));
    } else {
      error = line + " " + script.stderr_tail(400);
    }
  }
  ~NetworkServer() { script.stop(std::chrono::seconds(5)); }
  ftptest::ScriptProcess script;
  uint16_t port = 0;
  std::string error;
};

class Networks : public ftptest::LibraryFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LibraryFixture::SetUp());
    dapSetInteger(0, DAP_SET_CONNECT_TIMEOUT, 10000);
    dapSetInteger(0, DAP_SET_REPLY_TIMEOUT, 10000);
    ASSERT_EQ(0, dapSetLocalDir(0, dir().path().c_str()));
    ASSERT_NE(0, ftptest::useOwnPortWindow(channel()));
  }

  // An upload and a download through the logged-in channel 0, compared byte for byte.
  void roundTrip(const std::string& root, int32_t expected = 0) {
    const std::string up(300000 + rounds_, static_cast<char>('a' + rounds_));
    const std::string down(200000 + rounds_, static_cast<char>('A' + rounds_));
    ++rounds_;
    ftptest::writeFile(dir().file("up.bin"), up);
    ftptest::writeFile(root + "/down.bin", down);
    EXPECT_EQ(expected, dapPutFile(0, "up.bin")) << last_reply(0);
    EXPECT_EQ(expected, dapGetFile(0, "down.bin")) << last_reply(0);
    if (expected != 0) return;
    EXPECT_TRUE(ftptest::fileBytes(root + "/up.bin") == up);
    EXPECT_TRUE(ftptest::fileBytes(dir().file("down.bin")) == down);
  }

  int rounds_ = 0;
};

// /etc/hosts names localhost 127.0.0.1 alone on these machines, so family 1 finds that one.
TEST_F(Networks, PyftpdlibOnEachLoopbackWithEpsvThenEprt) {
  for (const char* host : {"127.0.0.1", "::1", "localhost"}) {
    ftptest::TempDir root;
    const bool ipv6 = std::string(host) == "::1";
    NetworkServer ftp({"ftp", root.path(), "--host", ipv6 ? "::1" : "127.0.0.1"});
    ASSERT_NE(0, ftp.port) << ftp.error;
    openLog();
    dapSetInteger(0, DAP_SET_SERVER_PORT, ftp.port);
    dapSetInteger(0, DAP_SET_EXTENDED, 1);
    dapSetInteger(0, DAP_SET_ADDRESS_FAMILY, std::string(host) == "localhost" ? 1 : 0);
    ASSERT_EQ(0, dapConnect(0, host, "dap32test", "dap32pass")) << host;
    for (int32_t passive : {1, 0}) {
      dapSetInteger(0, DAP_SET_PASSIVE, passive);
      roundTrip(root.path());
    }
    char address[64];
    dapGetString(0, DAP_STR_SERVER_IP, address, sizeof address);
    EXPECT_STREQ(ipv6 ? "::1" : "127.0.0.1", address);
    EXPECT_EQ(0, dapClose(0));
    const std::string eprt = ipv6 ? "S: EPRT |2|::1|" : "S: EPRT |1|127.0.0.1|";
    EXPECT_TRUE(ftptest::logsInOrder(log(), {"S: EPSV\r\n", "S: EPSV\r\n", eprt, eprt})) << host;
  }
}

struct ProxyCase {
  const char* name;
  const char* kind;
  bool credentials;
};

void PrintTo(const ProxyCase& c, std::ostream* out) {
  *out << c.name;
}

class NetworksProxy : public Networks, public testing::WithParamInterface<ProxyCase> {};

// The server's name goes to the proxy, which resolves it; each passive data connection asks the
// proxy for the same name at the port of the EPSV or PASV reply.
TEST_P(NetworksProxy, WholePassiveSessionThroughTheProxy) {
  const ProxyCase& c = GetParam();
  RealServer server(RealServerKind::Pyftpdlib);
  ASSERT_TRUE(server.ok()) << server.error();
  const std::string record = dir().file("targets.txt");
  std::vector<std::string> args = {c.kind, dir().path(), "--record", record};
  if (c.credentials) args.insert(args.end(), {"--user", "pu", "--password", "p:w@d"});
  NetworkServer proxy(args);
  ASSERT_NE(0, proxy.port) << proxy.error;
  const std::string secret = c.credentials ? "pu:p%3Aw%40d@" : "";
  const std::string url =
      std::string(c.kind) + "://" + secret + "127.0.0.1:" + std::to_string(proxy.port);
  ASSERT_EQ(0, dapSetString(0, DAP_STR_PROXY, url.c_str()));
  openLog();
  dapSetInteger(0, DAP_SET_SERVER_PORT, server.port());
  dapSetInteger(0, DAP_SET_PASSIVE, 1);
  ASSERT_EQ(0, dapConnect(0, "localhost", server.user().c_str(), server.password().c_str()));
  roundTrip(server.root());
  dapSetInteger(0, DAP_SET_EXTENDED, 1);
  roundTrip(server.root());
  EXPECT_EQ(0, dapClose(0));
  const std::string targets = ftptest::fileBytes(record);
  const std::string control =
      std::string(c.kind) == "http" ? "http localhost:" : "socks5 3 localhost ";
  EXPECT_EQ(0u, targets.find(control + std::to_string(server.port()) + "\n")) << targets;
  EXPECT_EQ(5, std::count(targets.begin(), targets.end(), '\n')) << targets;
  EXPECT_EQ(std::string::npos, log().find("w@d")) << "the password in the log";
  EXPECT_TRUE(
      ftptest::logsInOrder(log(), {"Proxy: ", "Proxy connected\r\n", "R: 220", "S: PASV\r\n",
                                   "Proxy connected\r\n", "S: EPSV\r\n", "Proxy connected\r\n"}));
}

INSTANTIATE_TEST_SUITE_P(Networks, NetworksProxy,
                         testing::Values(ProxyCase{"Socks5", "socks5", false},
                                         ProxyCase{"Socks5Login", "socks5", true},
                                         ProxyCase{"Http", "http", false},
                                         ProxyCase{"HttpLogin", "http", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A refusal is -36 with the proxy's reason logged; a proxy nobody listens for is the socket's
// code; active mode through a proxy is -6 before anything is sent.
TEST_F(Networks, ProxyRefusalsAndActiveMode) {
  RealServer server(RealServerKind::Pyftpdlib);
  ASSERT_TRUE(server.ok()) << server.error();
  // The proxy's kind and options, the credentials the channel gives, the reason logged.
  const std::vector<std::string> refusals[] = {
      {"socks5", "--user=pu", "--password=pw", "pu:bad@", "user name or password rejected"},
      {"socks5", "--user=pu", "--password=pw", "", "no acceptable authentication method"},
      {"http", "--user=pu", "--password=pw", "pu:bad@",
       "HTTP/1.1 407 Proxy Authentication Required"},
      {"socks5", "--refuse", "", "", "SOCKS5 reply 2, connection not allowed by ruleset"},
      {"http", "--refuse", "", "", "HTTP/1.1 403 Forbidden"}};
  dapSetInteger(0, DAP_SET_SERVER_PORT, server.port());
  for (const std::vector<std::string>& r : refusals) {
    NetworkServer proxy({r[0], dir().path(), r[1], r[2].empty() ? r[1] : r[2]});
    ASSERT_NE(0, proxy.port) << proxy.error;
    const std::string url = r[0] + "://" + r[3] + "127.0.0.1:" + std::to_string(proxy.port);
    ASSERT_EQ(0, dapSetString(0, DAP_STR_PROXY, url.c_str()));
    openLog();
    EXPECT_EQ(-36, dapConnect(0, "127.0.0.1", server.user().c_str(), server.password().c_str()));
    EXPECT_TRUE(ftptest::logsInOrder(log(), {"Proxy refused: " + r[4] + "\r\n"})) << url;
    EXPECT_EQ(0, dapGetInteger(0, DAP_GET_CONTROL_SOCKET));
  }
  const std::string unused = "socks5://127.0.0.1:" + std::to_string(ftptest::unusedLoopbackPort());
  ASSERT_EQ(0, dapSetString(0, DAP_STR_PROXY, unused.c_str()));
  EXPECT_EQ(-10061, dapConnect(0, "127.0.0.1", server.user().c_str(), server.password().c_str()));

  NetworkServer proxy({"socks5", dir().path()});
  ASSERT_NE(0, proxy.port) << proxy.error;
  ASSERT_EQ(0, dapSetString(0, DAP_STR_PROXY,
                            ("socks5://127.0.0.1:" + std::to_string(proxy.port)).c_str()));
  ASSERT_EQ(0, dapConnect(0, "127.0.0.1", server.user().c_str(), server.password().c_str()));
  openLog();
  dapSetInteger(0, DAP_SET_PASSIVE, 0);
  const uint32_t sentBefore = static_cast<uint32_t>(channel()->repliesOwed);
  roundTrip(server.root(), DAP_ERR_CANNOT_COMPLY);
  EXPECT_EQ(sentBefore, static_cast<uint32_t>(channel()->repliesOwed));
  EXPECT_EQ(std::string::npos, log().find("S: ")) << log();
  EXPECT_EQ(0, channel()->listenSocket);
  dapSetInteger(0, DAP_SET_PASSIVE, 1);
  roundTrip(server.root());
  EXPECT_EQ(0, dapClose(0));
}

// TLS starts over the proxied connections, control and data, as over direct ones; vsftpd
// requires each data connection to resume the control connection's session.
TEST_F(Networks, TlsThroughSocks5) {
  RealServer server(RealServerKind::VsftpdTls);
  ASSERT_TRUE(server.ok()) << server.error();
  NetworkServer proxy({"socks5", dir().path()});
  ASSERT_NE(0, proxy.port) << proxy.error;
  ASSERT_EQ(0, dapSetString(0, DAP_STR_PROXY,
                            ("socks5://127.0.0.1:" + std::to_string(proxy.port)).c_str()));
  ASSERT_EQ(0, dapSetString(0, DAP_STR_TLS_PIN, server.fingerprint().c_str()));
  dapSetInteger(0, DAP_SET_TLS, 1);
  dapSetInteger(0, DAP_SET_PASSIVE, 1);
  dapSetInteger(0, DAP_SET_SERVER_PORT, server.port());
  openLog();
  ASSERT_EQ(0, dapConnect(0, "127.0.0.1", server.user().c_str(), server.password().c_str()));
  EXPECT_EQ(1, dapGetInteger(0, DAP_GET_TLS_ACTIVE));
  roundTrip(server.root());
  EXPECT_EQ(0, dapClose(0));
  EXPECT_TRUE(ftptest::logsInOrder(
      log(), {"Proxy connected\r\n", "TLS: TLS", "Proxy connected\r\n", "TLS: TLS"}));
}

}  // namespace
