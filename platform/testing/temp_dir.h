#pragma once
// A temporary folder for one test, removed with everything in it at the end.

#include <string>

namespace platform::testing {

class TempDir {
 public:
  TempDir();   // under $TMPDIR (or /tmp); aborts the test process when it cannot be made
  ~TempDir();  // removes the folder recursively
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string Sub(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `bytes` to a new file (parents are created); false on failure.
bool WriteFile(const std::string& path, const std::string& bytes);
// The file's whole content; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace platform::testing
