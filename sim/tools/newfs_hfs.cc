// newfs_hfs: writes an HFS Plus (or, with -s, HFSX) volume onto a device: volume
// header and its alternate, allocation bitmap, extents and catalog B-trees with the
// root folder named by -v. -J sets the journaled attribute; its size, when given, is
// checked against the device but the journal itself is one info block (nothing on
// this machine replays journals).

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/host.h"
#include "sim/fs/hfs_catalog.h"
#include "sim/fs/volume_format.h"
#include "sim/tools/raw_device_store.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr char kUsage[] =
    "usage: newfs_hfs [-s] [-J [journal-size]] [-b block-size] [-v volume-name] special-file";
// Seconds from 1 January 1904 to 1 January 2001, the machine clock's epoch.
constexpr double kSeconds1904To2001 = 3061152000.0;

struct Options {
  HfsPlusFormat format;
  uint64_t journal_bytes = 0;
  std::string device;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Fills `options`; on a bad command line returns false with `*problem` set.
bool Parse(const std::vector<std::string>& argv, Options* options, std::string* problem) {
  options->format.name = "untitled";
  bool have_device = false;
  bool options_done = false;
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      if (have_device) {
        *problem = "too many arguments";
        return false;
      }
      options->device = arg;
      have_device = true;
      continue;
    }
    if (arg == "--") {
      options_done = true;
    } else if (arg == "-s") {
      options->format.case_sensitive = true;
    } else if (arg.starts_with("-J")) {
      options->format.journaled = true;
      std::string size = arg.substr(2);
      // The size is optional: the next word is one only when it starts with a digit.
      if (size.empty() && i + 1 < argv.size() && !argv[i + 1].empty() && IsDigit(argv[i + 1][0])) {
        size = argv[++i];
      }
      if (!size.empty()) {
        auto bytes = ParseByteCount(size, uint64_t{1} << 20);
        if (!bytes) {
          *problem = "bad journal size: " + size;
          return false;
        }
        options->journal_bytes = *bytes;
      }
    } else if (arg.starts_with("-v") || arg.starts_with("-b")) {
      std::string value = arg.substr(2);
      if (value.empty()) {
        if (i + 1 >= argv.size()) {
          *problem = "option " + arg + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      if (arg[1] == 'v') {
        options->format.name = value;
      } else {
        auto size = ParseByteCount(value, 1);
        if (!size || *size < 512 || *size > 65536 || (*size & (*size - 1)) != 0) {
          *problem = "bad block size: " + value;
          return false;
        }
        options->format.block_size = static_cast<uint32_t>(*size);
      }
    } else {
      *problem = "unknown option " + arg;
      return false;
    }
  }
  if (!have_device) {
    *problem = "no device given";
    return false;
  }
  auto name = Utf8ToUtf16(options->format.name);
  if (!name || name->empty() || name->size() > 255) {
    *problem = "bad volume name: the name must be 1 to 255 characters of UTF-8";
    return false;
  }
  return true;
}

}  // namespace

int NewfsHfs(const ToolCall& call) {
  Options options;
  std::string problem;
  if (!Parse(call.argv, &options, &problem)) {
    call.err << "newfs_hfs: " << problem << "\n" << kUsage << "\n";
    return kExitUsage;
  }
  platform::Host& host = platform::GetHost();
  std::unique_ptr<platform::RawDevice> device =
      host.raw_devices().Open(options.device, platform::kBsdOpenReadWrite);
  if (!device) {
    call.err << "newfs_hfs: " << options.device << ": " << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  RawDeviceStore store(*device);
  if (options.journal_bytes != 0 && options.journal_bytes >= store.Size()) {
    call.err << "newfs_hfs: " << options.device << ": the journal does not fit the volume\n";
    return kExitFailure;
  }
  platform::Clock& clock = host.clock();
  double now = clock.AbsoluteTime();
  // HFS Plus keeps its creation date in local time.
  double local = now + kSeconds1904To2001 + clock.SecondsFromGMT(now);
  options.format.create_date = local >= 1.0 && local < 4294967296.0 ? static_cast<uint32_t>(local) : 0;

  int result = FormatHfsPlus(store, options.format);
  if (result == ENOSPC) {
    call.err << "newfs_hfs: " << options.device << ": the device is too small for a volume\n";
    return kExitFailure;
  }
  if (result != 0) {
    int error = store.last_error() != 0 ? store.last_error() : result;
    call.err << "newfs_hfs: " << options.device << ": " << std::strerror(error) << "\n";
    return kExitFailure;
  }
  if (device->SynchronizeCache() != 0) {
    call.err << "newfs_hfs: " << options.device << ": " << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  call.out << "Initialized " << options.device << " as a " << (store.Size() >> 20) << " MB "
           << (options.format.case_sensitive ? "case-sensitive HFS Plus" : "HFS Plus") << " volume";
  if (options.format.journaled) call.out << " with a journal";
  call.out << "\n";
  return kExitSuccess;
}

}  // namespace sim::tools
