#include "platform/sim/machine_raw_devices.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"
#include "platform/sim/machine_wire.h"

namespace platform {
namespace {

using machine::MakeRequest;

constexpr int64_t kSectorSize = 512;
// Transfers through the daemon go in pieces of this size (a write of one piece is
// the largest request the daemon accepts).
constexpr size_t kDaemonChunk = wire::kDeviceTransferPiece;

bool Aligned(int64_t v) { return v % kSectorSize == 0; }

class MachineRawDevice : public RawDevice {
 public:
  MachineRawDevice(MachineConnection& connection, std::shared_ptr<ChangeCounter> counter,
                   int64_t handle, int fd, bool writable)
      : connection_(connection), counter_(std::move(counter)), handle_(handle), fd_(fd),
        writable_(writable) {}

  ~MachineRawDevice() override {
    PropertyDictionary reply;
    // The daemon drops the handle with the connection anyway; the request matters
    // for what was written (the daemon looks at the disk again before answering).
    (void)connection_.Call(MakeRequest(machine::kDeviceClose,
                                       {{"handle", Property::Integer(handle_)},
                                        {"written", Property::Boolean(written_)}}),
                           &reply);
    if (fd_ >= 0) ::close(fd_);
  }

  bool Apply(const PropertyDictionary& reply) {
    auto offset = wire::GetInteger(reply, "offset");
    auto size = wire::GetInteger(reply, "size");
    auto generation = wire::GetInteger(reply, "generation");
    const std::string* mode = wire::GetString(reply, "mode");
    if (!offset || !size || !generation || mode == nullptr || *offset < 0 || *size < 0) {
      return false;
    }
    base_ = *offset;
    size_ = *size;
    generation_ = static_cast<uint64_t>(*generation);
    direct_ = *mode == machine::kModeDirect && fd_ >= 0;
    return true;
  }

  int64_t Seek(int64_t offset) override {
    if (offset < 0) {
      errno = EINVAL;
      return -1;
    }
    position_ = offset;
    return offset;
  }

  ssize_t Read(void* buffer, size_t length) override {
    if (!Refresh()) return -1;
    if (!Aligned(position_) || !Aligned(static_cast<int64_t>(length))) {
      errno = EINVAL;
      return -1;
    }
    if (position_ >= size_ || length == 0) return 0;
    size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), size_ - position_));
    ssize_t done = direct_ ? DirectRead(static_cast<char*>(buffer), n)
                           : DaemonRead(static_cast<char*>(buffer), n);
    if (done > 0) position_ += done;
    return done;
  }

  ssize_t Write(const void* buffer, size_t length) override {
    if (!writable_) {
      errno = EBADF;
      return -1;
    }
    if (!Refresh()) return -1;
    if (!Aligned(position_) || !Aligned(static_cast<int64_t>(length))) {
      errno = EINVAL;
      return -1;
    }
    if (length == 0) return 0;
    if (position_ >= size_) {
      errno = ENOSPC;
      return -1;
    }
    size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), size_ - position_));
    written_ = true;
    ssize_t done = direct_ ? DirectWrite(static_cast<const char*>(buffer), n)
                           : DaemonWrite(static_cast<const char*>(buffer), n);
    if (done > 0) position_ += done;
    return done;
  }

  int SynchronizeCache() override {
    if (!Refresh()) return -1;
    PropertyDictionary reply;
    int status = connection_.Call(MakeRequest(machine::kDeviceSync,
                                              {{"handle", Property::Integer(handle_)},
                                               {"written", Property::Boolean(written_)}}),
                                  &reply);
    if (status != 0) {
      errno = status;
      return -1;
    }
    return 0;
  }

  int64_t Size() override {
    (void)Refresh();  // a medium that went away keeps its last size
    return size_;
  }

 private:
  // Asks the daemon again when the machine changed since the last look.
  bool Refresh() {
    if (gone_) {
      errno = ENXIO;
      return false;
    }
    if (counter_ && counter_->Load() == generation_) return true;
    PropertyDictionary reply;
    int status = connection_.Call(
        MakeRequest(machine::kDeviceCheck, {{"handle", Property::Integer(handle_)}}), &reply);
    if (status == ENXIO || status == EBADF) gone_ = true;
    if (status != 0 || !Apply(reply)) {
      errno = status != 0 ? status : EIO;
      return false;
    }
    return true;
  }

  ssize_t DirectRead(char* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
      ssize_t got = ::pread(fd_, buffer + done, n - done, base_ + position_ + static_cast<int64_t>(done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return -1;
      if (got == 0) {
        // A sparse image shorter than its disk reads as zeros.
        std::memset(buffer + done, 0, n - done);
        done = n;
        break;
      }
      done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
  }

  ssize_t DirectWrite(const char* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
      ssize_t put = ::pwrite(fd_, buffer + done, n - done, base_ + position_ + static_cast<int64_t>(done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
      done += static_cast<size_t>(put);
    }
    return static_cast<ssize_t>(done);
  }

  ssize_t DaemonRead(char* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
      size_t piece = std::min(kDaemonChunk, n - done);
      PropertyDictionary reply;
      int status = connection_.Call(
          MakeRequest(machine::kDeviceRead,
                      {{"handle", Property::Integer(handle_)},
                       {"offset", Property::Integer(position_ + static_cast<int64_t>(done))},
                       {"length", Property::Integer(static_cast<int64_t>(piece))}}),
          &reply);
      const PropertyData* data = wire::GetData(reply, "data");
      if (status != 0 || data == nullptr || data->size() > piece) {
        if (done > 0) break;
        errno = status != 0 ? status : EIO;
        return -1;
      }
      std::memcpy(buffer + done, data->data(), data->size());
      done += data->size();
      if (data->size() < piece) break;
    }
    return static_cast<ssize_t>(done);
  }

  ssize_t DaemonWrite(const char* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
      size_t piece = std::min(kDaemonChunk, n - done);
      PropertyDictionary reply;
      int status = connection_.Call(
          MakeRequest(machine::kDeviceWrite,
                      {{"handle", Property::Integer(handle_)},
                       {"offset", Property::Integer(position_ + static_cast<int64_t>(done))},
                       {"data", Property::Data(buffer + done, piece)}}),
          &reply);
      auto count = wire::GetInteger(reply, "count");
      if (status != 0 || !count || *count < 0 || static_cast<size_t>(*count) > piece) {
        if (done > 0) break;
        errno = status != 0 ? status : EIO;
        return -1;
      }
      done += static_cast<size_t>(*count);
      if (static_cast<size_t>(*count) < piece) break;
    }
    return static_cast<ssize_t>(done);
  }

  MachineConnection& connection_;
  std::shared_ptr<ChangeCounter> counter_;
  const int64_t handle_;
  const int fd_;  // the disk image, or -1 when only the daemon may touch it
  const bool writable_;
  bool direct_ = false;
  bool written_ = false;
  bool gone_ = false;
  int64_t base_ = 0;
  int64_t size_ = 0;
  int64_t position_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace

std::shared_ptr<ChangeCounter> ChangeCounter::Map(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st{};
  void* page = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(uint64_t))) {
    page = ::mmap(nullptr, sizeof(uint64_t), PROT_READ, MAP_SHARED, fd, 0);
  }
  ::close(fd);
  if (page == MAP_FAILED) return nullptr;
  std::shared_ptr<ChangeCounter> counter(new ChangeCounter());
  counter->page_ = page;
  counter->device_ = st.st_dev;
  counter->inode_ = st.st_ino;
  return counter;
}

ChangeCounter::~ChangeCounter() {
  if (page_ != nullptr) ::munmap(page_, sizeof(uint64_t));
}

uint64_t ChangeCounter::Load() const {
  return __atomic_load_n(static_cast<const uint64_t*>(page_), __ATOMIC_ACQUIRE);
}

bool ChangeCounter::SameFileAs(const std::string& path) const {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
}

std::shared_ptr<ChangeCounter> MachineRawDevices::Counter() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string path = machine::GenerationPath(connection_.root());
  if (!counter_ || !counter_->SameFileAs(path)) counter_ = ChangeCounter::Map(path);
  return counter_;
}

std::unique_ptr<RawDevice> MachineRawDevices::Open(std::string_view device_path, int bsd_flags) {
  int access = bsd_flags & (kBsdOpenWriteOnly | kBsdOpenReadWrite);
  if (access == (kBsdOpenWriteOnly | kBsdOpenReadWrite)) {
    errno = EINVAL;
    return nullptr;
  }
  bool writable = access != kBsdOpenReadOnly;
  PropertyDictionary reply;
  int fd = -1;
  int status = connection_.Call(MakeRequest(machine::kDeviceOpen,
                                            {{"path", Property::String(device_path)},
                                             {"writable", Property::Boolean(writable)},
                                             {"pid", Property::Integer(::getpid())}}),
                                &reply, &fd);
  if (status != 0) {
    if (fd >= 0) ::close(fd);
    // No daemon: the device does not exist on this machine.
    errno = (status == ECONNREFUSED || status == ENOENT) && reply.empty() ? ENODEV : status;
    return nullptr;
  }
  auto handle = wire::GetInteger(reply, "handle");
  if (!handle) {
    if (fd >= 0) ::close(fd);
    errno = EIO;
    return nullptr;
  }
  auto device = std::make_unique<MachineRawDevice>(connection_, Counter(), *handle, fd, writable);
  if (!device->Apply(reply)) {
    errno = EIO;
    return nullptr;
  }
  return device;
}

}  // namespace platform
