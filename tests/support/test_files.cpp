#include "support/test_files.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ftptest {

namespace fs = std::filesystem;

namespace {
// Paths travel as UTF-8 strings, as the library's are with UTF-8 names: Windows would read a
// narrow path in its ANSI code page instead.
fs::path pathOf(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string textOf(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
}  // namespace

TempDir::TempDir(const std::string& prefix) {
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  if (error) return;
  std::random_device seed;
  std::mt19937 random(seed());
  // create_directory is false for a name that exists, so the name is never shared.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / (prefix + "-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate, error)) {
      path_ = textOf(candidate);
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(pathOf(path_), ignored);
}

std::string TempDir::file(const std::string& name) const {
  return textOf((pathOf(path_) / pathOf(name)).make_preferred());
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(pathOf(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

#ifdef _WIN32
// An open that shares nothing fails while any other handle is open on the file.
int handlesOpenOn(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? 1 : -1;
  CloseHandle(file);
  return 0;
}
#else
int handlesOpenOn(const std::string& path) {
  std::error_code error;
  const fs::path target = fs::canonical(path, error);
  if (error) return -1;
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    const auto link = fs::read_symlink(entry.path(), error);
    if (!error && link == target) ++count;
  }
  return count;
}
#endif

}  // namespace ftptest
