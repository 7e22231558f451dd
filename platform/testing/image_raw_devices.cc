#include "platform/testing/image_raw_devices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform::testing {

int BsdToLinuxOpenFlags(int bsd_flags) {
  int flags = 0;
  switch (bsd_flags & 0x3) {
    case kBsdOpenWriteOnly: flags = O_WRONLY; break;
    case kBsdOpenReadWrite: flags = O_RDWR; break;
    default: flags = O_RDONLY; break;
  }
  if (bsd_flags & kBsdOpenNonBlock) flags |= O_NONBLOCK;
  if (bsd_flags & kBsdOpenCreate) flags |= O_CREAT;
  if (bsd_flags & kBsdOpenTruncate) flags |= O_TRUNC;
  if (bsd_flags & kBsdOpenExclusive) flags |= O_EXCL;
  return flags | O_CLOEXEC;
}

class ImageRawDevice : public RawDevice {
 public:
  ImageRawDevice(ImageRawDevices& owner, int fd) : owner_(owner), fd_(fd) {}
  ~ImageRawDevice() override { ::close(fd_); }

  int64_t Seek(int64_t offset) override { return ::lseek(fd_, offset, SEEK_SET); }

  ssize_t Read(void* buffer, size_t length) override {
    switch (owner_.NextRead()) {
      case ImageRawDevices::ReadFate::kFail:
        errno = EIO;
        return -1;
      case ImageRawDevices::ReadFate::kCorrupt: {
        ssize_t n = ::read(fd_, buffer, length);
        if (n > 0) static_cast<uint8_t*>(buffer)[n / 2] ^= 0x5A;
        return n;
      }
      case ImageRawDevices::ReadFate::kRead:
        break;
    }
    return ::read(fd_, buffer, length);
  }

  ssize_t Write(const void* buffer, size_t length) override {
    const int64_t offset = ::lseek(fd_, 0, SEEK_CUR);
    size_t sectors = 0;
    switch (owner_.NextWrite(offset, length, &sectors)) {
      case ImageRawDevices::WriteFate::kFail:
        errno = EIO;
        return -1;
      case ImageRawDevices::WriteFate::kLose:
        // Lost in the crash: the caller sees success, the medium is unchanged.
        if (::lseek(fd_, offset + static_cast<int64_t>(length), SEEK_SET) < 0) return -1;
        return static_cast<ssize_t>(length);
      case ImageRawDevices::WriteFate::kTear: {
        const size_t landed = std::min(length, sectors * ImageRawDevices::kSectorBytes);
        if (landed > 0 && ::write(fd_, buffer, landed) != static_cast<ssize_t>(landed)) return -1;
        if (::lseek(fd_, offset + static_cast<int64_t>(length), SEEK_SET) < 0) return -1;
        return static_cast<ssize_t>(length);
      }
      case ImageRawDevices::WriteFate::kLand:
        break;
    }
    return ::write(fd_, buffer, length);
  }

  int SynchronizeCache() override { return ::fdatasync(fd_); }

  int64_t Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return -1;
    return st.st_size;
  }

 private:
  ImageRawDevices& owner_;
  int fd_;
};

void ImageRawDevices::AddDevice(const std::string& machine_path, const std::string& image_path) {
  std::lock_guard<std::mutex> lock(mutex_);
  images_[machine_path] = image_path;
}

std::unique_ptr<RawDevice> ImageRawDevices::Open(std::string_view device_path, int bsd_flags) {
  std::string image;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++opens_;
    auto it = images_.find(std::string(device_path));
    if (it == images_.end()) {
      errno = ENOENT;
      return nullptr;
    }
    if (fail_opens_ > 0) {
      --fail_opens_;
      ++open_failures_fired_;
      errno = EBUSY;
      return nullptr;
    }
    image = it->second;
  }
  const int flags = BsdToLinuxOpenFlags(bsd_flags);
  const int fd = ::open(image.c_str(), flags, 0644);
  if (fd < 0) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  last_linux_flags_ = flags;
  return std::make_unique<ImageRawDevice>(*this, fd);
}

ImageRawDevices::WriteFate ImageRawDevices::NextWrite(int64_t offset, size_t length,
                                                      size_t* sectors) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int n = ++writes_;
  write_log_.push_back({offset, length});
  if (crashed_) {
    ++writes_lost_;
    return WriteFate::kLose;
  }
  if (n == fail_write_at_) {
    ++write_failures_fired_;
    return WriteFate::kFail;
  }
  if (n == tear_at_) {
    ++tears_fired_;
    crashed_ = true;
    *sectors = tear_sectors_;
    return WriteFate::kTear;
  }
  if (crash_after_ > 0 && n >= crash_after_) crashed_ = true;
  return WriteFate::kLand;
}

ImageRawDevices::ReadFate ImageRawDevices::NextRead() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int n = ++reads_;
  if (n == fail_read_at_) {
    ++read_failures_fired_;
    return ReadFate::kFail;
  }
  if (n == corrupt_read_at_) {
    ++corruptions_fired_;
    return ReadFate::kCorrupt;
  }
  return ReadFate::kRead;
}

void ImageRawDevices::FailOpens(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_opens_ = count;
}
void ImageRawDevices::FailWriteAt(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_write_at_ = n;
}
void ImageRawDevices::CrashAfterWrite(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  crash_after_ = n;
  if (n <= writes_) crashed_ = true;
}
void ImageRawDevices::TearWriteAt(int n, size_t sectors) {
  std::lock_guard<std::mutex> lock(mutex_);
  tear_at_ = n;
  tear_sectors_ = sectors;
}
void ImageRawDevices::FailReadAt(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_read_at_ = n;
}
void ImageRawDevices::CorruptReadBackAt(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  corrupt_read_at_ = n;
}
void ImageRawDevices::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_opens_ = fail_write_at_ = crash_after_ = tear_at_ = 0;
  fail_read_at_ = corrupt_read_at_ = 0;
  tear_sectors_ = 0;
  crashed_ = false;
}

#define MV_COUNTER(name, field)                   \
  int ImageRawDevices::name() const {             \
    std::lock_guard<std::mutex> lock(mutex_);     \
    return field;                                 \
  }
MV_COUNTER(writes, writes_)
MV_COUNTER(reads, reads_)
MV_COUNTER(opens, opens_)
MV_COUNTER(open_failures_fired, open_failures_fired_)
MV_COUNTER(write_failures_fired, write_failures_fired_)
MV_COUNTER(writes_lost, writes_lost_)
MV_COUNTER(tears_fired, tears_fired_)
MV_COUNTER(read_failures_fired, read_failures_fired_)
MV_COUNTER(corruptions_fired, corruptions_fired_)
MV_COUNTER(last_linux_flags, last_linux_flags_)
#undef MV_COUNTER

std::vector<ImageRawDevices::WriteRecord> ImageRawDevices::write_log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_log_;
}

}  // namespace platform::testing
