// vsdbutil: whether a volume honours ownership and permissions, kept in the
// machine's volume database /var/db/volinfo.database: one line per volume, its
// mount point (without trailing '/'), a tab and "enabled". -a adds the volume, -d
// takes it out, -c tells. The real tool keys the database by volume identifier;
// the mount point is what tests can check here.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "platform/host.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr char kUsage[] = "usage: vsdbutil -a|-d|-c path";
constexpr char kDatabase[] = "/var/db/volinfo.database";
constexpr char kEnabled[] = "\tenabled";

// The database's volumes; false when the file cannot be read.
bool ReadEntries(int fd, std::set<std::string>* entries) {
  std::string text;
  char buffer[4096];
  for (off_t at = 0;;) {
    ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    at += got;
  }
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.ends_with(kEnabled)) entries->insert(line.substr(0, line.size() - std::strlen(kEnabled)));
  }
  return true;
}

bool WriteEntries(int fd, const std::set<std::string>& entries) {
  std::string text;
  for (const std::string& e : entries) text += e + kEnabled + "\n";
  if (::ftruncate(fd, 0) != 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t put = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return ::fsync(fd) == 0;
}

}  // namespace

int Vsdbutil(const ToolCall& call) {
  const auto& argv = call.argv;
  if (argv.size() != 3 || (argv[1] != "-a" && argv[1] != "-d" && argv[1] != "-c") || argv[2].empty()) {
    call.err << "vsdbutil: bad arguments\n" << kUsage << "\n";
    return kExitUsage;
  }
  const char verb = argv[1][1];
  const std::string volume = NormalizeMountPoint(argv[2]);
  struct stat st{};
  int missing = ::stat(HostPath(volume).c_str(), &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? 0 : ENOTDIR);
  if (missing != 0) {
    call.err << "vsdbutil: " << argv[2] << ": " << std::strerror(missing) << "\n";
    return kExitFailure;
  }
  if (platform::GetHost().paths().MachineRoot().empty()) {
    call.err << "vsdbutil: no machine (MIROVANE_MACHINE is not set)\n";
    return kExitFailure;
  }
  ::mkdir(HostPath("/var/db").c_str(), 0755);  // it may exist already
  int fd = ::open(HostPath(kDatabase).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    call.err << "vsdbutil: " << kDatabase << ": " << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  // The lock keeps concurrent runs from losing each other's changes.
  std::set<std::string> entries;
  bool ok = ::flock(fd, LOCK_EX) == 0 && ReadEntries(fd, &entries);
  if (ok && verb == 'a' && entries.insert(volume).second) ok = WriteEntries(fd, entries);
  if (ok && verb == 'd' && entries.erase(volume) != 0) ok = WriteEntries(fd, entries);
  int error = errno;
  ::close(fd);
  if (!ok) {
    call.err << "vsdbutil: " << kDatabase << ": " << std::strerror(error) << "\n";
    return kExitFailure;
  }
  if (verb == 'c') {
    call.out << "Permissions on '" << argv[2] << "' are "
             << (entries.count(volume) != 0 ? "enabled" : "disabled") << ".\n";
  }
  return kExitSuccess;
}

}  // namespace sim::tools
