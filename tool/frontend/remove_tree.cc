#include "tool/frontend/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

// Deep enough for any tree the tool makes; bounds the descriptors held open.
constexpr int kMaxDepth = 128;

// Empties the directory open as dirFd (which this function closes).
bool EmptyDirectory(int dirFd, int depth) {
  DIR* dir = ::fdopendir(dirFd);
  if (dir == nullptr) {
    ::close(dirFd);
    return false;
  }
  // Names first, removal after: unlinking while readdir walks is not reliable.
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  bool ok = true;
  int fd = ::dirfd(dir);
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (depth >= kMaxDepth) {
        ok = false;
        continue;
      }
      int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0 || !EmptyDirectory(child, depth + 1) ||
          ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) {
        ok = false;
      }
    } else if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) {
      ok = false;
    }
  }
  ::closedir(dir);
  return ok;
}

}  // namespace

bool RemoveDirectoryTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool emptied = EmptyDirectory(fd, 0);
  return ::rmdir(path.c_str()) == 0 && emptied;
}
