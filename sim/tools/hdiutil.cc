// hdiutil resize -size SIZE IMAGE: makes the image file SIZE bytes long (whole
// 512-byte sectors, sparse when growing). Shrinking is refused while the part cut
// off still holds data: the image's contents are not moved, so cutting them off
// would lose them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/host.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr char kUsage[] = "usage: hdiutil resize -size <size>[b|k|m|g|t] image";

// Whether any byte of `fd` from `from` on is not zero; holes count as zeros.
// nullopt when the file cannot be read.
std::optional<bool> HoldsDataFrom(int fd, off_t from, off_t end) {
  std::vector<char> buffer(1 << 16);
  off_t at = from;
  while (at < end) {
    off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) return errno == ENXIO ? std::optional<bool>(false) : std::nullopt;
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) hole = end;
    for (off_t p = data; p < hole;) {
      size_t want = static_cast<size_t>(std::min<off_t>(hole - p, static_cast<off_t>(buffer.size())));
      ssize_t got = ::pread(fd, buffer.data(), want, p);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      if (std::any_of(buffer.begin(), buffer.begin() + got, [](char c) { return c != 0; })) return true;
      p += got;
    }
    at = hole;
  }
  return false;
}

}  // namespace

int Hdiutil(const ToolCall& call) {
  const auto& argv = call.argv;
  if (argv.size() < 2 || argv[1] != "resize") {
    call.err << "hdiutil: " << (argv.size() < 2 ? "no verb given" : "unknown verb " + argv[1]) << "\n"
             << kUsage << "\n";
    return kExitUsage;
  }
  std::optional<uint64_t> size;
  std::string image;
  for (size_t i = 2; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "-size" && i + 1 < argv.size()) {
      size = ParseByteCount(argv[++i], 0);
      if (!size) {
        call.err << "hdiutil: resize: bad size " << argv[i] << "\n" << kUsage << "\n";
        return kExitUsage;
      }
    } else if (!arg.empty() && arg[0] != '-' && image.empty()) {
      image = arg;
    } else {
      call.err << "hdiutil: resize: unexpected argument " << arg << "\n" << kUsage << "\n";
      return kExitUsage;
    }
  }
  if (!size || image.empty()) {
    call.err << "hdiutil: resize: " << (size ? "no image given" : "no size given") << "\n" << kUsage << "\n";
    return kExitUsage;
  }
  const uint64_t bytes = (*size + 511) / 512 * 512;

  int fd = ::open(HostPath(image).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  struct stat st{};
  int error = fd < 0 ? errno : (::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL));
  if (error != 0) {
    if (fd >= 0) ::close(fd);
    call.err << "hdiutil: resize: " << image << ": " << std::strerror(error) << "\n";
    return kExitFailure;
  }
  const off_t target = static_cast<off_t>(bytes);
  if (target < st.st_size) {
    std::optional<bool> data = HoldsDataFrom(fd, target, st.st_size);
    if (!data || *data) {
      ::close(fd);
      call.err << "hdiutil: resize: " << image
               << (data ? ": the image holds data beyond the new size" : ": cannot read the image") << "\n";
      return kExitFailure;
    }
  }
  bool ok = ::ftruncate(fd, target) == 0;
  error = errno;
  ::close(fd);
  if (!ok) {
    call.err << "hdiutil: resize: " << image << ": " << std::strerror(error) << "\n";
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace sim::tools
