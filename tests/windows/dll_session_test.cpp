// A real FTP session through the DLL, loaded at run time the way programs in other languages
// use it: no import library, every entry point found by its exported name.
//
// Usage: dll_session_test.exe DLL plain|decorated|x64 PYFTPDLIB_PORT VSFTPD_PORT USER PASSWORD
//        WORKDIR [PYFTPDLIB_IPV6_PORT SOCKS5_PORT | TLS_KIND PORT CERT_PEM FINGERPRINT...]
// A port of 0 skips that server. The two ports add an IPv6 session with pyftpdlib on ::1, a
// session by name with either family, and one through a SOCKS5 proxy to PYFTPDLIB_PORT. Each
// TLS server (serve_ftp.py's pyftpdlib-tls, vsftpd-tls-noreuse, vsftpd-implicit-noreuse: wine's
// SChannel cannot resume a session) gets a session verified against its certificate as the CA
// file; the first also the trust checks. hostile-SCENARIO is one of hostile_tls.py's, which
// serves a single connection.
// Prints "ok ..." or "FAIL ..." per check and a closing "N passed, M failed" line; exits 0 only
// when nothing failed.
//
// Only real Windows can show: resumed data sessions (wine's SChannel never resumes, so
// DAP_GET_TLS_DATA_RESUMED must be 0 under wine), TLS 1.3 (not offered yet), and
// SChannel's own suite names (wine's lack the hash, which the library fills in).

// winsock2.h first: windows.h would otherwise bring in the older winsock.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "dap32.h"

namespace {

// Our own pointer types, so a header that drifted from the exports would not fix itself here.
using AttachFn = int32_t(__stdcall*)(uint32_t, int32_t);
using ReleaseFn = int32_t(__stdcall*)();
using ChanFn = int32_t(__stdcall*)(int32_t);
using ConnectFn = int32_t(__stdcall*)(int32_t, const char*, const char*, const char*);
using ChanTextFn = int32_t(__stdcall*)(int32_t, const char*);
using ChanBufferFn = int32_t(__stdcall*)(int32_t, char*, int32_t);
using ChanCodeBufferFn = int32_t(__stdcall*)(int32_t, int32_t, char*, int32_t);
using ChanIntFn = int32_t(__stdcall*)(int32_t, int32_t);
using DebugFn = int32_t(__stdcall*)(int32_t, int32_t, int32_t, int32_t);
using GetIntegerFn = int32_t(__stdcall*)(int32_t, uint32_t);
using SetIntegerFn = int32_t(__stdcall*)(int32_t, uint32_t, int32_t);
using SetStringFn = int32_t(__stdcall*)(int32_t, int32_t, const char*);
using ExtractFn = int32_t(__stdcall*)(const char*, int32_t, int32_t, char*, int32_t);
using CommandFn = int32_t(__stdcall*)(int32_t, const char*, char*, int32_t);

static_assert(std::is_same_v<AttachFn, decltype(&dapAttach)>);
static_assert(std::is_same_v<ConnectFn, decltype(&dapConnect)>);
static_assert(std::is_same_v<ChanCodeBufferFn, decltype(&dapGetList)>);
static_assert(std::is_same_v<GetIntegerFn, decltype(&dapGetInteger)>);
static_assert(std::is_same_v<SetIntegerFn, decltype(&dapSetInteger)>);
static_assert(std::is_same_v<ExtractFn, decltype(&dapExtract)>);
static_assert(std::is_same_v<CommandFn, decltype(&dapCommand)>);

struct Api {
  AttachFn attach;
  ReleaseFn release;
  ChanFn driver;
  ConnectFn connect;
  ChanFn close;
  ChanCodeBufferFn errorText;
  DebugFn debug;
  ChanCodeBufferFn getString;
  GetIntegerFn getInteger;
  SetIntegerFn setInteger;
  SetStringFn setString;
  ChanTextFn getFile;
  ChanCodeBufferFn getList;
  ChanIntFn setMode;
  ChanTextFn putFile;
  ChanTextFn setServerDir;
  ChanBufferFn getServerDir;
  ChanBufferFn getLocalDir;
  ChanTextFn setLocalDir;
  ChanTextFn delFile;
  ExtractFn extract;
  ChanFn abort;
  ChanTextFn makeServerDir;
  ChanTextFn delServerDir;
  CommandFn command;
  CommandFn commandByOrdinal;
};

Api api;
int passed = 0;
int failed = 0;
std::string scope;  // "[variant/server]" in front of every check line
// The 32-bit and 64-bit runs may go side by side; active mode listens on ports from a block of
// the session's channel, so each run gets a channel, and a block, of its own.
int32_t sessionChannel = 0;
bool underWine = false;

constexpr int32_t kImplicitTls = 2;

// A session's TLS: DAP_SET_TLS's mode (0: none) and the CA file.
struct Secure {
  int32_t mode;
  std::string caFile;
};

void check(bool good, const std::string& what) {
  std::printf("%s %s %s\n", good ? "ok" : "FAIL", scope.c_str(), what.c_str());
  std::fflush(stdout);
  (good ? passed : failed)++;
}

// Shows a result next to its expectation, so a failing line explains itself.
bool expectEqual(int32_t got, int32_t want, const std::string& what) {
  check(got == want, what + " -> " + std::to_string(got) +
                         (got == want ? "" : " (expected " + std::to_string(want) + ")"));
  return got == want;
}

template <typename F>
F cast(FARPROC address) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(address));
}

bool resolveAll(HMODULE module, bool decorated) {
  struct Entry {
    const char* name;
    int argBytes;
    FARPROC address;
  };
  Entry entries[] = {
      {"dapAttach", 8, nullptr},        {"dapRelease", 0, nullptr},
      {"dapDriver", 4, nullptr},        {"dapConnect", 16, nullptr},
      {"dapClose", 4, nullptr},         {"dapErrorText", 16, nullptr},
      {"dapDebug", 16, nullptr},        {"dapGetString", 16, nullptr},
      {"dapGetInteger", 8, nullptr},    {"dapSetInteger", 12, nullptr},
      {"dapSetString", 12, nullptr},    {"dapGetFile", 8, nullptr},
      {"dapGetList", 16, nullptr},      {"dapSetMode", 8, nullptr},
      {"dapPutFile", 8, nullptr},       {"dapSetServerDir", 8, nullptr},
      {"dapGetServerDir", 12, nullptr}, {"dapGetLocalDir", 12, nullptr},
      {"dapSetLocalDir", 8, nullptr},   {"dapDelFile", 8, nullptr},
      {"dapExtract", 20, nullptr},      {"dapAbort", 4, nullptr},
      {"dapMakeServerDir", 8, nullptr}, {"dapDelServerDir", 8, nullptr},
      {"dapCommand", 16, nullptr},
  };
  bool all = true;
  for (Entry& entry : entries) {
    std::string name = entry.name;
    if (decorated) name = "_" + name + "@" + std::to_string(entry.argBytes);
    entry.address = GetProcAddress(module, name.c_str());
    check(entry.address != nullptr, "GetProcAddress " + name);
    all = all && entry.address != nullptr;
  }
  if (!all) return false;
  int i = 0;
  api.attach = cast<AttachFn>(entries[i++].address);
  api.release = cast<ReleaseFn>(entries[i++].address);
  api.driver = cast<ChanFn>(entries[i++].address);
  api.connect = cast<ConnectFn>(entries[i++].address);
  api.close = cast<ChanFn>(entries[i++].address);
  api.errorText = cast<ChanCodeBufferFn>(entries[i++].address);
  api.debug = cast<DebugFn>(entries[i++].address);
  api.getString = cast<ChanCodeBufferFn>(entries[i++].address);
  api.getInteger = cast<GetIntegerFn>(entries[i++].address);
  api.setInteger = cast<SetIntegerFn>(entries[i++].address);
  api.setString = cast<SetStringFn>(entries[i++].address);
  api.getFile = cast<ChanTextFn>(entries[i++].address);
  api.getList = cast<ChanCodeBufferFn>(entries[i++].address);
  api.setMode = cast<ChanIntFn>(entries[i++].address);
  api.putFile = cast<ChanTextFn>(entries[i++].address);
  api.setServerDir = cast<ChanTextFn>(entries[i++].address);
  api.getServerDir = cast<ChanBufferFn>(entries[i++].address);
  api.getLocalDir = cast<ChanBufferFn>(entries[i++].address);
  api.setLocalDir = cast<ChanTextFn>(entries[i++].address);
  api.delFile = cast<ChanTextFn>(entries[i++].address);
  api.extract = cast<ExtractFn>(entries[i++].address);
  api.abort = cast<ChanFn>(entries[i++].address);
  api.makeServerDir = cast<ChanTextFn>(entries[i++].address);
  api.delServerDir = cast<ChanTextFn>(entries[i++].address);
  api.command = cast<CommandFn>(entries[i++].address);
  // The 25th export has ordinal 25 in every variant.
  FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(25));
  check(byOrdinal == entries[24].address, "ordinal 25 is dapCommand");
  api.commandByOrdinal = cast<CommandFn>(byOrdinal);
  return byOrdinal != nullptr;
}

// Under wine the harness passes Unix paths; the library joins paths with backslashes, so give
// it the drive-letter form that wine maps to the Unix root.
std::string windowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

bool readFile(const std::string& path, std::vector<unsigned char>* data) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  data->clear();
  unsigned char block[65536];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, file)) > 0)
    data->insert(data->end(), block, block + n);
  std::fclose(file);
  return true;
}

bool writeFile(const std::string& path, const std::vector<unsigned char>& data) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool good = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  return std::fclose(file) == 0 && good;
}

// Pseudo-random but reproducible, so a mismatch can be reproduced byte for byte.
std::vector<unsigned char> testData(size_t size, uint32_t seed) {
  std::vector<unsigned char> data(size);
  uint32_t x = seed | 1;
  for (unsigned char& byte : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<unsigned char>(x >> 24);
  }
  return data;
}

// Splits a CR LF text the way dapExtract counts: only lines that end in CR LF.
std::vector<std::string> splitLines(const char* text) {
  std::vector<std::string> lines;
  const char* start = text;
  while (const char* end = std::strstr(start, "\r\n")) {
    lines.emplace_back(start, end);
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') i++;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

std::string extract(const char* text, int32_t line, int32_t field, int32_t* result) {
  char buffer[1024];
  std::memset(buffer, 0, sizeof buffer);
  *result = api.extract(text, line, field, buffer, sizeof buffer - 1);
  return buffer;
}

// Checks dapExtract against our own reading of a listing. Line 0 cannot be selected.
void checkExtract(const char* listing, const std::string& kind) {
  std::vector<std::string> lines = splitLines(listing);
  check(lines.size() >= 2, kind + " has at least two lines (" + std::to_string(lines.size()) + ")");
  int32_t result;
  char untouched[8] = "keep";
  int32_t zero = api.extract(listing, 0, 0, untouched, 7);
  check(zero == 0 && std::strcmp(untouched, "keep") == 0,
        "dapExtract " + kind + " line 0 -> 0 and buffer untouched");
  bool lineOk = true;
  bool fieldOk = true;
  for (size_t i = 1; i < lines.size(); i++) {
    std::string got = extract(listing, static_cast<int32_t>(i), 0, &result);
    if (got != lines[i] || result != static_cast<int32_t>(lines[i].size())) {
      lineOk = false;
      std::printf("  line %zu: got \"%s\" (%d), expected \"%s\"\n", i, got.c_str(),
                  static_cast<int>(result), lines[i].c_str());
    }
    std::vector<std::string> fields = splitFields(lines[i]);
    for (size_t f = 1; f <= fields.size() + 1; f++) {
      std::string want = f <= fields.size() ? fields[f - 1] : "";
      got = extract(listing, static_cast<int32_t>(i), static_cast<int32_t>(f), &result);
      if (got != want || result != static_cast<int32_t>(want.size())) {
        fieldOk = false;
        std::printf("  line %zu field %zu: got \"%s\" (%d), expected \"%s\"\n", i, f, got.c_str(),
                    static_cast<int>(result), want.c_str());
      }
    }
  }
  check(lineOk, "dapExtract " + kind + " lines 1.." + std::to_string(lines.size() - 1) +
                    " field 0 match the listing's lines");
  check(fieldOk, "dapExtract " + kind + " fields match the blank-separated words");
  extract(listing, static_cast<int32_t>(lines.size()), 0, &result);
  expectEqual(result, 0, "dapExtract " + kind + " line past the end");
}

bool fileContains(const std::string& path, const char* needle, size_t* size) {
  std::vector<unsigned char> data;
  *size = 0;
  if (!readFile(path, &data)) return false;
  *size = data.size();
  std::string text(data.begin(), data.end());
  return text.find(needle) != std::string::npos;
}

std::string serverDirectory(int32_t chan, int32_t* result) {
  char buffer[512];
  std::memset(buffer, 0, sizeof buffer);
  *result = api.getServerDir(chan, buffer, sizeof buffer - 1);
  return buffer;
}

// Uploads from up\, downloads into down\ (the local name is the server name) and compares.
void transfer(int32_t chan, const std::string& upDir, const std::string& downDir,
              const std::string& name, const std::vector<unsigned char>& data,
              const std::string& mode) {
  std::string tag = " (" + mode + ", " + name + ")";
  if (!writeFile(upDir + "\\" + name, data)) {
    check(false, "write local file " + upDir + "\\" + name);
    return;
  }
  expectEqual(api.setLocalDir(chan, upDir.c_str()), 0, "dapSetLocalDir up");
  expectEqual(api.putFile(chan, name.c_str()), 0, "dapPutFile" + tag);
  expectEqual(api.getInteger(chan, DAP_GET_BYTES_SENT), static_cast<int32_t>(data.size()),
              "bytes sent" + tag);
  expectEqual(api.setLocalDir(chan, downDir.c_str()), 0, "dapSetLocalDir down");
  DeleteFileA((downDir + "\\" + name).c_str());
  expectEqual(api.getFile(chan, name.c_str()), 0, "dapGetFile" + tag);
  expectEqual(api.getInteger(chan, DAP_GET_BYTES_RECEIVED), static_cast<int32_t>(data.size()),
              "bytes received" + tag);
  std::vector<unsigned char> back;
  if (!readFile(downDir + "\\" + name, &back)) {
    check(false, "downloaded file exists" + tag);
    return;
  }
  size_t same = 0;
  while (same < back.size() && same < data.size() && back[same] == data[same]) same++;
  check(back.size() == data.size() && same == data.size(),
        "download equals upload byte for byte" + tag + ": " + std::to_string(back.size()) +
            " bytes, first difference at " + std::to_string(same));
}

std::string text(int32_t chan, int32_t code) {
  char buffer[256];
  std::memset(buffer, 0, sizeof buffer);
  api.getString(chan, code, buffer, sizeof buffer - 1);
  return buffer;
}

void setTrust(int32_t chan, int32_t mode, bool verify, const std::string& pin,
              const std::string& caFile) {
  api.setInteger(chan, DAP_SET_TLS, mode);
  api.setInteger(chan, DAP_SET_TLS_VERIFY, verify ? 1 : 0);
  api.setString(chan, DAP_STR_TLS_PIN, pin.c_str());
  api.setString(chan, DAP_STR_TLS_CA_FILE, caFile.c_str());
}

void session(const std::string& label, uint16_t port, const std::string& user,
             const std::string& password, const std::string& work, const std::string& variant,
             const Secure& secure = {0, ""}) {
  const int32_t chan = sessionChannel;
  std::string base = work + "\\" + variant + "-" + label;
  std::string upDir = base + "\\up";
  std::string downDir = base + "\\down";
  CreateDirectoryA(base.c_str(), nullptr);
  CreateDirectoryA(upDir.c_str(), nullptr);
  CreateDirectoryA(downDir.c_str(), nullptr);
  std::string logPath = base + "\\session.log";
  DeleteFileA(logPath.c_str());

  check(api.setString(chan, DAP_STR_LOG_OPEN, logPath.c_str()) > 0, "dapSetString log open");
  expectEqual(api.setInteger(chan, DAP_SET_SERVER_PORT, port), port, "dapSetInteger port");
  setTrust(chan, secure.mode, true, "", secure.caFile);
  if (!expectEqual(api.connect(chan, "127.0.0.1", user.c_str(), password.c_str()), 0,
                   "dapConnect 127.0.0.1:" + std::to_string(port))) {
    return;  // everything after needs the login
  }
  if (secure.mode == kImplicitTls) {
    // Steps of many records each way, where the other sessions move one block per step.
    api.setInteger(0, DAP_SET_UPLOAD_BLOCK_SIZE, 8192);
    api.setInteger(0, DAP_SET_TRANSFER_CHUNK, 1 << 20);
  }
  if (secure.mode != 0) {
    // The hash ends the name: wine's SChannel leaves it unnamed.
    std::string suite = text(chan, DAP_STR_TLS_SESSION);
    check(suite.rfind("TLSv1.2 TLS_", 0) == 0 && suite.find_first_of("<> ", 8) == suite.npos &&
              suite.back() != '_',
          "TLS session \"" + suite + "\"");
    expectEqual(api.getInteger(chan, DAP_GET_TLS_ACTIVE), 1, "dapGetInteger TLS active");
  }
  int32_t result;
  std::string home = serverDirectory(chan, &result);
  check(result > 0 && result == static_cast<int32_t>(home.size()) && home[0] == '/',
        "dapGetServerDir (PWD) -> " + std::to_string(result) + " \"" + home + "\"");

  std::string dir = "dap32_" + variant + "_" + std::to_string(GetCurrentProcessId());
  expectEqual(api.makeServerDir(chan, dir.c_str()), 0, "dapMakeServerDir " + dir);
  expectEqual(api.setServerDir(chan, dir.c_str()), 0, "dapSetServerDir " + dir);
  std::string inside = serverDirectory(chan, &result);
  check(inside.size() > dir.size() &&
            inside.compare(inside.size() - dir.size(), dir.size(), dir) == 0,
        "dapGetServerDir after CWD -> \"" + inside + "\"");
  expectEqual(api.setMode(chan, 'B'), 0, "dapSetMode B (TYPE I)");

  // The caller's own command, by name and by ordinal; the reply's text, cut to the buffer.
  char reply[512];
  std::memset(reply, 0, sizeof reply);
  expectEqual(api.command(chan, "NOOP", reply, sizeof reply), 200, "dapCommand NOOP");
  check(std::strncmp(reply, "200", 3) == 0, "dapCommand's reply \"" + std::string(reply) + "\"");
  std::memset(reply, '#', sizeof reply);
  expectEqual(api.commandByOrdinal(chan, "SYST", reply, 4), 215, "ordinal 25 with SYST");
  check(std::string(reply, 5) == std::string("215\0#", 5), "the reply cut to 3 characters");
  expectEqual(api.command(chan, "NOOP\r\nDELE x", reply, sizeof reply), DAP_ERR_CANNOT_COMPLY,
              "dapCommand with CR LF");

  char localDir[512];
  std::memset(localDir, 0, sizeof localDir);
  api.setLocalDir(chan, upDir.c_str());
  result = api.getLocalDir(chan, localDir, sizeof localDir - 1);
  check(std::string(localDir) == upDir + "\\" && result == static_cast<int32_t>(upDir.size() + 1),
        "dapGetLocalDir -> \"" + std::string(localDir) + "\"");

  std::vector<std::string> names;
  expectEqual(api.setInteger(chan, DAP_SET_PASSIVE, 1), 1, "dapSetInteger passive on");
  names.push_back("passive.bin");
  transfer(chan, upDir, downDir, names.back(), testData(1 << 20, 0x2545F491), "passive");
  // A second, small file, so that every listing has a line after line 0.
  names.push_back("notes.txt");
  std::string note = "dap32 listing line\r\n";
  transfer(chan, upDir, downDir, names.back(), std::vector<unsigned char>(note.begin(), note.end()),
           "passive");
  expectEqual(api.setInteger(chan, DAP_SET_PASSIVE, 0), 0, "dapSetInteger passive off");
  names.push_back("active.bin");
  transfer(chan, upDir, downDir, names.back(), testData(1 << 20, 0x9E3779B9), "active");
  if (secure.mode != 0) {
    int32_t resumed = api.getInteger(chan, DAP_GET_TLS_DATA_RESUMED);
    check(underWine ? resumed == 0 : resumed >= 0,
          "dapGetInteger TLS data resumed -> " + std::to_string(resumed));
  }
  expectEqual(api.setInteger(chan, DAP_SET_PASSIVE, 1), 1, "dapSetInteger passive on");

  static char listing[65536];
  std::memset(listing, 0, sizeof listing);
  result = api.getList(chan, DAP_LIST_FULL, listing, sizeof listing);
  check(result > 0 && result == static_cast<int32_t>(std::strlen(listing)),
        "dapGetList LIST -> " + std::to_string(result) + " bytes");
  std::printf("  LIST:\n%s", listing);
  checkExtract(listing, "LIST");
  for (const std::string& name : names) {
    bool found = false;
    for (const std::string& line : splitLines(listing)) {
      std::vector<std::string> fields = splitFields(line);
      found = found || (!fields.empty() && fields.back() == name);
    }
    check(found, "LIST shows " + name);
  }

  std::memset(listing, 0, sizeof listing);
  result = api.getList(chan, DAP_LIST_NAMES, listing, sizeof listing);
  check(result > 0 && result == static_cast<int32_t>(std::strlen(listing)),
        "dapGetList NLST -> " + std::to_string(result) + " bytes");
  std::printf("  NLST:\n%s", listing);
  checkExtract(listing, "NLST");
  std::vector<std::string> nlst = splitLines(listing);
  for (const std::string& name : names) {
    bool found = false;
    for (const std::string& line : nlst) found = found || line == name;
    check(found, "NLST names " + name);
  }

  for (const std::string& name : names) {
    expectEqual(api.delFile(chan, name.c_str()), 0, "dapDelFile " + name);
  }
  expectEqual(api.setServerDir(chan, ".."), 0, "dapSetServerDir ..");
  expectEqual(api.delServerDir(chan, dir.c_str()), 0, "dapDelServerDir " + dir);
  expectEqual(api.close(chan), 0, "dapClose");
  api.setInteger(0, DAP_SET_UPLOAD_BLOCK_SIZE, 1024);
  api.setInteger(0, DAP_SET_TRANSFER_CHUNK, 8192);

  size_t logSize;
  bool hasEntry = fileContains(logPath, "*** dapConnect", &logSize);
  check(logSize > 0 && hasEntry,
        "log " + logPath + " has " + std::to_string(logSize) + " bytes and *** dapConnect");
}

// A port that refuses: bound once to learn a free number, then closed again.
uint16_t closedPort() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  uint16_t port = 0;
  if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (s != INVALID_SOCKET) closesocket(s);
  WSACleanup();
  return port;
}

void wrongPassword(const std::string& label, uint16_t port, const std::string& user,
                   const std::string& password) {
  const int32_t chan = 1;
  scope = "[" + label + "]";
  api.setInteger(chan, DAP_SET_SERVER_PORT, port);
  std::string wrong = "not-" + password;
  expectEqual(api.connect(chan, "127.0.0.1", user.c_str(), wrong.c_str()), DAP_ERR_SERVER_REFUSED,
              "dapConnect with a wrong password");
  char text[512];
  std::memset(text, 0, sizeof text);
  int32_t length = api.errorText(chan, DAP_ERR_SERVER_REFUSED, text, sizeof text);
  const char* want = "FTP server returned error. 530";
  std::string shown(text);
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  check(std::strncmp(text, want, std::strlen(want)) == 0 &&
            length == static_cast<int32_t>(std::strlen(text)),
        "dapErrorText -18 -> \"" + shown + "\"");
  expectEqual(api.close(chan), 0, "dapClose after the refused login");
}

int32_t tlsModeOf(const std::string& kind) {
  return kind.find("implicit") != std::string::npos ? kImplicitTls : 1;
}

struct TlsServer {
  std::string kind;
  uint16_t port;
  std::string cert;  // its PEM file, as a Windows path
  std::string fingerprint;
};

// Connects channel chan with the trust given and closes again: the result must be want, and
// the debug log must say logged.
void trustCase(int32_t chan, const TlsServer& server, const std::string& what, const char* host,
               bool verify, const std::string& pin, const std::string& caFile, int32_t want,
               const char* logged, const std::string& work, const std::string& user,
               const std::string& password) {
  std::string logPath = work + "\\trust-" + std::to_string(chan) + ".log";
  api.setString(chan, DAP_STR_LOG_OPEN, logPath.c_str());
  api.setInteger(chan, DAP_SET_SERVER_PORT, server.port);
  setTrust(chan, tlsModeOf(server.kind), verify, pin, caFile);
  expectEqual(api.connect(chan, host, user.c_str(), password.c_str()), want,
              "dapConnect " + std::string(host) + " " + what);
  expectEqual(api.close(chan), 0, "dapClose after " + what);
  // The fingerprint is kept for the caller whatever the verdict.
  std::string fingerprint = text(chan, DAP_STR_TLS_PEER_FINGERPRINT);
  check(fingerprint == server.fingerprint, "peer fingerprint " + fingerprint);
  size_t size;
  check(fileContains(logPath, logged, &size), "log says \"" + std::string(logged) + "\"");
}

struct Pinned {
  const TlsServer* server;
  const std::string* user;
  const std::string* password;
  int32_t chan;
  int32_t result;
};

// A thread of its own (CreateThread: the DLL build's compiler has no std::thread).
DWORD WINAPI connectPinned(void* argument) {
  auto* run = static_cast<Pinned*>(argument);
  api.setInteger(run->chan, DAP_SET_SERVER_PORT, run->server->port);
  setTrust(run->chan, tlsModeOf(run->server->kind), true, run->server->fingerprint, "");
  run->result = api.connect(run->chan, "127.0.0.1", run->user->c_str(), run->password->c_str());
  return 0;
}

// What the certificate's verdict rests on, against one server. otherCert is another server's
// certificate: trusted alone it must not let this server in.
void trustChecks(const TlsServer& server, const std::string& otherCert, const std::string& work,
                 const std::string& user, const std::string& password) {
  // TLS loads secur32 and crypt32 on first use only, once, whichever thread comes first.
  check(GetModuleHandleA("secur32.dll") == nullptr && GetModuleHandleA("crypt32.dll") == nullptr,
        "secur32 and crypt32 not loaded before the first TLS use");
  Pinned pinned[2] = {{&server, &user, &password, 0, 1}, {&server, &user, &password, 1, 1}};
  HANDLE other = CreateThread(nullptr, 0, connectPinned, &pinned[1], 0, nullptr);
  connectPinned(&pinned[0]);
  WaitForSingleObject(other, INFINITE);
  CloseHandle(other);
  int32_t results[2] = {pinned[0].result, pinned[1].result};
  for (int32_t chan = 0; chan < 2; ++chan) {
    expectEqual(results[chan], 0, "dapConnect pinned, thread " + std::to_string(chan));
    check(text(chan, DAP_STR_TLS_PEER_FINGERPRINT) == server.fingerprint,
          "peer fingerprint, thread " + std::to_string(chan));
    expectEqual(api.close(chan), 0, "dapClose, thread " + std::to_string(chan));
  }
  check(GetModuleHandleA("secur32.dll") != nullptr && GetModuleHandleA("crypt32.dll") != nullptr,
        "secur32 and crypt32 loaded by the first TLS use");
  std::string wrongPin = server.fingerprint;
  wrongPin.back() = wrongPin.back() == '0' ? '1' : '0';
  trustCase(0, server, "with another pin", "127.0.0.1", true, wrongPin, "", DAP_ERR_TLS_CERTIFICATE,
            "certificate rejected: pin does not match", work, user, password);
  trustCase(0, server, "self-signed, verified", "127.0.0.1", true, "", "", DAP_ERR_TLS_CERTIFICATE,
            "certificate rejected: self-signed", work, user, password);
  trustCase(0, server, "not verified", "127.0.0.1", false, "", "", 0, "certificate not verified",
            work, user, password);
  trustCase(0, server, "with another server's CA file", "127.0.0.1", true, "", otherCert,
            DAP_ERR_TLS_CERTIFICATE, "certificate rejected: self-signed", work, user, password);
  // Two certificates in one file; the name goes through the SSL policy, not the IP match.
  std::string both = work + "\\both.pem";
  std::vector<unsigned char> first, second;
  check(readFile(otherCert, &first) && readFile(server.cert, &second), "read both PEM files");
  first.insert(first.end(), second.begin(), second.end());
  writeFile(both, first);
  trustCase(0, server, "with a CA file of two", "localhost", true, "", both, 0, "TLS: TLSv1.2 TLS_",
            work, user, password);
  // With UTF-8 names the CA file's path is UTF-8 too: "ca-\u00e9.pem", read through the wide calls.
  std::string caUtf8 = work + "\\ca-\xC3\xA9.pem";
  WCHAR wideCert[MAX_PATH], wideCa[MAX_PATH];
  check(MultiByteToWideChar(CP_ACP, 0, server.cert.c_str(), -1, wideCert, MAX_PATH) > 0 &&
            MultiByteToWideChar(CP_UTF8, 0, caUtf8.c_str(), -1, wideCa, MAX_PATH) > 0 &&
            CopyFileW(wideCert, wideCa, FALSE),
        "the certificate copied to a UTF-8 name");
  // A path in the ANSI code page, as .NET and Pascal pass it, is not UTF-8: it is read as before.
  std::string caAnsi = work + "\\ca-\xE9-ansi.pem";
  check(CopyFileA(server.cert.c_str(), caAnsi.c_str(), FALSE) != 0,
        "the certificate copied to an ANSI name");
  api.setInteger(0, DAP_SET_UTF8, 1);
  trustCase(0, server, "with a CA file of a UTF-8 name", "127.0.0.1", true, "", caUtf8, 0,
            "TLS: TLSv1.2 TLS_", work, user, password);
  trustCase(0, server, "with a CA file of an ANSI name", "127.0.0.1", true, "", caAnsi, 0,
            "TLS: TLSv1.2 TLS_", work, user, password);
  api.setInteger(0, DAP_SET_UTF8, 0);
  // "127.1" reaches 127.0.0.1 but is neither the certificate's DNS name nor a dotted quad.
  trustCase(0, server, "by a name not in the certificate", "127.1", true, "", server.cert,
            DAP_ERR_TLS_CERTIFICATE, "certificate rejected: name does not match", work, user,
            password);
}

// hostile_tls.py's scenarios, each a connection verified with the certificate as CA file.
struct Hostile {
  const char* scenario;
  int32_t connected;  // dapConnect's result
  const char* logged;
};
const Hostile kHostile[] = {
    {"expired", DAP_ERR_TLS_CERTIFICATE, "certificate rejected: certificate has expired"},
    // Its certificate names other.example only: no IP address to match 127.0.0.1.
    {"wrong-name", DAP_ERR_TLS_CERTIFICATE, "certificate rejected: name does not match"},
    {"garbage-hello", DAP_ERR_TLS_HANDSHAKE, "handshake failed: what came is not TLS"},
    {"close-mid-handshake", DAP_ERR_TLS_HANDSHAKE, "handshake failed: the peer closed"},
    // The data connection's handshake fails; the session goes on.
    {"data-handshake-fails", 0, "handshake failed: what came is not TLS"},
};

void hostileCase(const TlsServer& server, const std::string& work, const std::string& user,
                 const std::string& password) {
  std::string scenario = server.kind.substr(std::strlen("hostile-"));
  const Hostile* expected = nullptr;
  for (const Hostile& entry : kHostile) {
    if (scenario == entry.scenario) expected = &entry;
  }
  if (expected == nullptr) {
    check(false, "a known scenario: " + scenario);
    return;
  }
  std::string logPath = work + "\\hostile-" + scenario + ".log";
  api.setString(0, DAP_STR_LOG_OPEN, logPath.c_str());
  api.setInteger(0, DAP_SET_SERVER_PORT, server.port);
  setTrust(0, 1, true, "", server.cert);
  expectEqual(api.connect(0, "127.0.0.1", user.c_str(), password.c_str()), expected->connected,
              "dapConnect to " + scenario);
  if (expected->connected == 0) {
    static char listing[4096];
    expectEqual(api.getList(0, DAP_LIST_FULL, listing, sizeof listing), DAP_ERR_TLS_HANDSHAKE,
                "dapGetList");
    int32_t result;
    std::string home = serverDirectory(0, &result);
    check(result > 0 && home == "/", "dapGetServerDir after it -> \"" + home + "\"");
  }
  expectEqual(api.close(0), 0, "dapClose");
  size_t size;
  check(fileContains(logPath, expected->logged, &size),
        "log says \"" + std::string(expected->logged) + "\"");
}

// The harness disables secur32 for this run (DAP32_TEST_NO_SECUR32): a session that asks for
// TLS fails with -35 before it connects, and one in clear goes on as before.
void tlsUnavailable(uint16_t port, const std::string& user, const std::string& password) {
  check(LoadLibraryA("secur32.dll") == nullptr, "secur32 cannot be loaded in this run");
  const int32_t chan = 1;
  api.setInteger(chan, DAP_SET_SERVER_PORT, port);
  api.setInteger(chan, DAP_SET_TLS, 1);
  expectEqual(api.connect(chan, "127.0.0.1", user.c_str(), password.c_str()),
              DAP_ERR_TLS_UNAVAILABLE, "dapConnect in TLS without secur32");
  expectEqual(api.getInteger(chan, DAP_GET_CONTROL_SOCKET), 0, "no control connection");
  api.setInteger(chan, DAP_SET_TLS, 0);
  expectEqual(api.connect(chan, "127.0.0.1", user.c_str(), password.c_str()), 0,
              "dapConnect in clear after it");
  expectEqual(api.close(chan), 0, "dapClose in clear");
}
}  // namespace

// EPSV then EPRT on ::1, whose addresses come from WS2_32; "localhost" at family 1, resolved
// by WS2_32's getaddrinfo; then a passive session through the SOCKS5 proxy, which resolves the
// server's name itself.
void networks(uint16_t ipv6Port, uint16_t socksPort, uint16_t port, const std::string& user,
              const std::string& password, const std::string& work, const std::string& variant) {
  const int32_t chan = sessionChannel;
  std::vector<unsigned char> data(150000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 13 + 7);
  struct Leg {
    const char* label;
    const char* host;
    uint16_t port;
    int32_t family;
    std::string proxy;
  };
  const Leg legs[] = {
      {"ipv6", "::1", ipv6Port, 0, ""},
      {"either", "localhost", port, 1, ""},
      {"socks5", "localhost", port, 0, "socks5://127.0.0.1:" + std::to_string(socksPort)}};
  for (const Leg& leg : legs) {
    std::string base = work + "\\" + variant + "-" + leg.label;
    CreateDirectoryA(base.c_str(), nullptr);
    CreateDirectoryA((base + "\\up").c_str(), nullptr);
    CreateDirectoryA((base + "\\down").c_str(), nullptr);
    api.setString(chan, DAP_STR_LOG_OPEN, (base + "\\session.log").c_str());
    api.setInteger(chan, DAP_SET_SERVER_PORT, leg.port);
    api.setInteger(chan, DAP_SET_ADDRESS_FAMILY, leg.family);
    expectEqual(api.setString(chan, DAP_STR_PROXY, leg.proxy.c_str()), 0, "dapSetString proxy");
    api.setInteger(chan, DAP_SET_EXTENDED, 1);
    if (!expectEqual(api.connect(chan, leg.host, user.c_str(), password.c_str()), 0,
                     std::string("dapConnect ") + leg.label + " " + leg.host)) {
      api.close(chan);
      continue;
    }
    expectEqual(api.setMode(chan, 'B'), 0, std::string("dapSetMode B ") + leg.label);
    char address[64] = "";
    api.getString(chan, DAP_STR_SERVER_IP, address, sizeof address);
    check(std::string(address) == (leg.family == 0 && leg.proxy.empty() ? "::1" : "127.0.0.1"),
          std::string("dapGetString server address ") + leg.label + ": " + address);
    for (int32_t passive : {1, 0}) {
      if (!leg.proxy.empty() && passive == 0) {
        api.setInteger(chan, DAP_SET_PASSIVE, 0);
        expectEqual(api.getFile(chan, "nothing.bin"), DAP_ERR_CANNOT_COMPLY,
                    "active mode through a proxy");
        continue;
      }
      api.setInteger(chan, DAP_SET_PASSIVE, passive);
      transfer(chan, base + "\\up", base + "\\down", std::string(leg.label) + ".bin", data,
               std::string(leg.label) + (passive ? " EPSV" : " EPRT"));
    }
    expectEqual(api.close(chan), 0, std::string("dapClose ") + leg.label);
  }
  api.setString(chan, DAP_STR_PROXY, "");
  api.setInteger(chan, DAP_SET_ADDRESS_FAMILY, 0);
  api.setInteger(chan, DAP_SET_EXTENDED, 0);
}

int main(int argc, char** argv) {
  // Two more arguments name the network servers; groups of four, TLS servers.
  const bool networkServers = argc == 10;
  if (argc < 8 || (!networkServers && (argc - 8) % 4 != 0)) {
    std::fprintf(
        stderr,
        "usage: %s DLL plain|decorated|x64 PYFTPDLIB_PORT VSFTPD_PORT USER PASSWORD "
        "WORKDIR [PYFTPDLIB_IPV6_PORT SOCKS5_PORT | TLS_KIND PORT CERT_PEM FINGERPRINT...]\n",
        argv[0]);
    return 2;
  }
  std::vector<TlsServer> tlsServers;
  for (int i = 8; !networkServers && i < argc; i += 4) {
    tlsServers.push_back({argv[i], static_cast<uint16_t>(std::atoi(argv[i + 1])),
                          windowsPath(argv[i + 2]), argv[i + 3]});
  }
  underWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  std::string dllPath = windowsPath(argv[1]);
  std::string variant = argv[2];
  uint16_t ports[2] = {static_cast<uint16_t>(std::atoi(argv[3])),
                       static_cast<uint16_t>(std::atoi(argv[4]))};
  const char* labels[2] = {"pyftpdlib", "vsftpd"};
  std::string user = argv[5];
  std::string password = argv[6];
  std::string work = windowsPath(argv[7]);
  if (variant != "plain" && variant != "decorated" && variant != "x64") {
    std::fprintf(stderr, "variant must be plain, decorated or x64, not %s\n", variant.c_str());
    return 2;
  }
  scope = "[" + variant + "]";
  sessionChannel = variant == "x64" ? 2 : 0;

  HMODULE module = LoadLibraryA(dllPath.c_str());
  check(module != nullptr,
        "LoadLibrary " + dllPath + " (error " + std::to_string(module ? 0 : GetLastError()) + ")");
  if (module != nullptr && resolveAll(module, variant == "decorated")) {
    expectEqual(api.getInteger(0, DAP_GET_VERSION), DAP_ERR_NOT_ATTACHED,
                "dapGetInteger before dapAttach");
    expectEqual(api.attach(3, 0), 1, "dapAttach(3, 0)");
    expectEqual(api.getInteger(0, DAP_GET_VERSION), 278, "dapGetInteger version");
    expectEqual(api.getInteger(0, DAP_GET_BUILD), 12, "dapGetInteger build");
    // Bounds every wait inside the library well below the harness's own time-out.
    api.setInteger(0, DAP_SET_CONNECT_TIMEOUT, 10000);
    api.setInteger(0, DAP_SET_REPLY_TIMEOUT, 15000);

    for (int i = 0; i < 2; i++) {
      if (ports[i] == 0) continue;
      scope = "[" + variant + "/" + labels[i] + "]";
      session(labels[i], ports[i], user, password, work, variant);
      wrongPassword(variant + "/" + labels[i], ports[i], user, password);
    }
    const char* noSecur32 = std::getenv("DAP32_TEST_NO_SECUR32");
    if (noSecur32 != nullptr && std::strcmp(noSecur32, "1") == 0 && ports[0] != 0) {
      scope = "[" + variant + "/no secur32]";
      tlsUnavailable(ports[0], user, password);
    }
    if (networkServers && ports[0] != 0) {
      scope = "[" + variant + "/networks]";
      networks(static_cast<uint16_t>(std::atoi(argv[8])), static_cast<uint16_t>(std::atoi(argv[9])),
               ports[0], user, password, work, variant);
    }
    if (tlsServers.size() >= 2) {
      scope = "[" + variant + "/trust " + tlsServers[0].kind + "]";
      trustChecks(tlsServers[0], tlsServers[1].cert, work, user, password);
    }
    for (const TlsServer& server : tlsServers) {
      scope = "[" + variant + "/" + server.kind + "]";
      if (server.kind.rfind("hostile-", 0) == 0) {
        hostileCase(server, work, user, password);
        continue;
      }
      Secure secure = {tlsModeOf(server.kind), server.cert};
      session(server.kind, server.port, user, password, work, variant, secure);
    }

    scope = "[" + variant + "]";
    uint16_t refused = closedPort();
    if (refused != 0) {
      api.setInteger(1, DAP_SET_SERVER_PORT, refused);
      expectEqual(api.connect(1, "127.0.0.1", "user", "password"), -10061,
                  "dapConnect to closed port " + std::to_string(refused));
    } else {
      check(false, "find a closed local port");
    }
    api.setInteger(1, DAP_SET_SERVER_PORT, 21);
    int32_t result = api.connect(1, "nonexistent.invalid", "user", "password");
    check(result <= -11001 && result >= -11004,
          "dapConnect to nonexistent.invalid -> " + std::to_string(result));

    expectEqual(api.release(), 1, "dapRelease");
    expectEqual(api.getInteger(0, DAP_GET_VERSION), DAP_ERR_NOT_ATTACHED,
                "dapGetInteger after dapRelease");
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
