#include "spot/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

// Closes a descriptor when it goes out of scope.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fFD(fd) {}
  ~FileCloser() {
    if (fFD >= 0) ::close(fFD);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  int Release() {
    const int fd = fFD;
    fFD = -1;
    return fd;
  }

 private:
  int fFD;
};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadPrivateFile(const std::string& host_path, size_t max_size) {
  // O_NONBLOCK: a FIFO planted at the path must not hang the open.
  const int fd = ::open(host_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  FileCloser closer(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    return std::nullopt;
  }
  // One byte more than allowed tells a file that is too large from one that fits.
  std::string content;
  content.resize(max_size + 1);
  size_t held = 0;
  while (held < content.size()) {
    const ssize_t n = ::read(fd, content.data() + held, content.size() - held);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    held += static_cast<size_t>(n);
  }
  if (held > max_size) return std::nullopt;
  content.resize(held);
  return content;
}

namespace {

// Makes the rename itself durable. A folder that cannot be synced still holds either
// the old file or the new one, so the result is not reported.
void SyncFolderOf(const std::string& host_path) {
  const size_t slash = host_path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : host_path.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

bool ReplacePrivateFile(const std::string& host_path, const void* data, size_t size) {
  std::vector<char> temp_path(host_path.begin(), host_path.end());
  for (char c : std::string_view(".XXXXXX")) temp_path.push_back(c);
  temp_path.push_back('\0');
  // mkostemp creates with O_CREAT | O_EXCL and mode 0600.
  const int fd = ::mkostemp(temp_path.data(), O_CLOEXEC);
  if (fd < 0) return false;
  FileCloser closer(fd);
  bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, static_cast<const char*>(data), size) &&
                 ::fsync(fd) == 0;
  written = ::close(closer.Release()) == 0 && written;
  if (written && ::rename(temp_path.data(), host_path.c_str()) == 0) {
    SyncFolderOf(host_path);
    return true;
  }
  // The temporary file is ours; the path itself was never touched.
  (void)::unlink(temp_path.data());
  return false;
}
