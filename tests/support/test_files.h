// Scratch directories and file checks that work the same on POSIX and Windows.
#pragma once

#include <string>

namespace ftptest {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "dap32");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }  // "" if it could not be made
  // name inside the directory, every separator the local one; name may hold '/'.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// The whole file, byte for byte; "" if it cannot be read.
std::string fileBytes(const std::string& path);
bool writeFile(const std::string& path, const std::string& bytes);  // creates or replaces

// How many handles this process holds open on path. Windows only tells whether any is open,
// so there the answer is 0 or 1.
int handlesOpenOn(const std::string& path);

}  // namespace ftptest
