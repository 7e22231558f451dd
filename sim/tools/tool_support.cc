#include "sim/tools/tool_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/host.h"

namespace sim::tools {

std::vector<std::string> ArgumentsOf(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

std::optional<uint64_t> ParseByteCount(std::string_view text, uint64_t bare_unit) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19) return std::nullopt;
  uint64_t count = 0;
  for (size_t i = 0; i < digits; ++i) count = count * 10 + static_cast<uint64_t>(text[i] - '0');
  std::string_view suffix = text.substr(digits);
  uint64_t unit = 0;
  if (suffix.empty()) {
    unit = bare_unit;
  } else {
    char c = static_cast<char>(suffix[0] | 0x20);
    switch (c) {
      case 'b': unit = 1; break;
      case 'k': unit = uint64_t{1} << 10; break;
      case 'm': unit = uint64_t{1} << 20; break;
      case 'g': unit = uint64_t{1} << 30; break;
      case 't': unit = uint64_t{1} << 40; break;
      default: return std::nullopt;
    }
    std::string_view rest = suffix.substr(1);
    if (!rest.empty() && !(c != 'b' && rest.size() == 1 && (rest[0] | 0x20) == 'b')) {
      return std::nullopt;
    }
  }
  constexpr uint64_t kLimit = uint64_t{1} << 63;
  if (unit == 0 || count == 0 || count > (kLimit - 1) / unit) return std::nullopt;
  return count * unit;
}

std::string NormalizeMountPoint(std::string_view path) {
  std::string out(path);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string HostPath(std::string_view machine_path) {
  return platform::GetHost().paths().Resolve(machine_path);
}

bool AppendMachineLog(std::string_view machine_path, std::string_view line) {
  if (platform::GetHost().paths().MachineRoot().empty()) return false;
  std::string path = HostPath(machine_path);
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  std::string text(line);
  text.push_back('\n');
  // One write with O_APPEND keeps lines of concurrent writers whole.
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

std::optional<std::vector<MountedVolume>> ListDiskArbitrationVolumes(double timeout_seconds) {
  platform::Host& host = platform::GetHost();
  platform::DiskArbitration& da = host.disk_arbitration();
  platform::RunLoop& loop = host.run_loop();

  // Shared with the callbacks, which the session keeps after this returns.
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<MountedVolume> volumes;
    bool complete = false;
    bool finished = false;  // the wait is over, one way or the other
  };
  auto state = std::make_shared<State>();
  da.OnDiskAppearedComplete([state](const platform::DiskAppearedComplete& disk) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->finished) return;
    state->volumes.push_back({disk.bsd_name, disk.mount_point, disk.fs_type, disk.volume_name});
  });
  da.OnNotificationComplete([state, &loop](uint32_t type) {
    if (type != platform::kDiskArbNotifyDiskAppeared) return;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->finished) return;
      state->complete = true;
      state->finished = true;
    }
    state->changed.notify_all();
    loop.Stop();
  });
  if (da.Start() != 0 || da.UpdateClientFlags() != 0) return std::nullopt;

  // Run() forgets a Stop() made before it starts; work queued with Perform() is not
  // lost, so the time-out stops the loop through it.
  std::thread timer([state, &loop, timeout_seconds] {
    std::unique_lock<std::mutex> lock(state->mutex);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(timeout_seconds));
    if (state->changed.wait_until(lock, deadline, [&] { return state->finished; })) return;
    state->finished = true;
    lock.unlock();
    loop.Perform([&loop] { loop.Stop(); });
  });
  int run = loop.Run();
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->finished = true;
  }
  state->changed.notify_all();
  timer.join();
  std::lock_guard<std::mutex> lock(state->mutex);
  if (run != 0 || !state->complete) return std::nullopt;
  return state->volumes;
}

const MountedVolume* FindByMountPoint(const std::vector<MountedVolume>& volumes,
                                      std::string_view mount_point) {
  std::string wanted = NormalizeMountPoint(mount_point);
  if (wanted.empty()) return nullptr;
  for (const MountedVolume& v : volumes) {
    if (!v.mount_point.empty() && NormalizeMountPoint(v.mount_point) == wanted) return &v;
  }
  return nullptr;
}

const MountedVolume* FindHolder(const std::vector<MountedVolume>& volumes,
                                std::string_view machine_path) {
  std::string path = NormalizeMountPoint(machine_path);
  const MountedVolume* best = nullptr;
  size_t best_length = 0;
  for (const MountedVolume& v : volumes) {
    if (v.mount_point.empty()) continue;
    std::string mount = NormalizeMountPoint(v.mount_point);
    bool holds = path == mount ||
                 (path.starts_with(mount) && (mount == "/" || path[mount.size()] == '/'));
    if (holds && mount.size() >= best_length) {
      best = &v;
      best_length = mount.size();
    }
  }
  return best;
}

std::string BsdNameOf(std::string_view device) {
  if (device.starts_with("/dev/r")) {
    device.remove_prefix(6);
  } else if (device.starts_with("/dev/")) {
    device.remove_prefix(5);
  }
  if (!device.starts_with("disk")) return {};
  auto digits = [](std::string_view text) {
    size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
    return n;
  };
  std::string_view rest = device.substr(4);
  size_t disk = digits(rest);
  if (disk == 0) return {};
  rest.remove_prefix(disk);
  if (!rest.empty()) {
    if (rest[0] != 's' || rest.size() < 2 || digits(rest.substr(1)) != rest.size() - 1) return {};
  }
  return std::string(device);
}

}  // namespace sim::tools
