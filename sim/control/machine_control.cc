#include "sim/control/machine_control.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"
#include "platform/sim/machine_wire.h"

namespace sim {
namespace {

namespace m = platform::machine;
namespace wire = platform::wire;

double Monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string LogTail(const std::string& root) {
  std::ifstream in(root + "/var/log/machine.log");
  std::ostringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

bool Answers(const std::string& root) {
  platform::MachineConnection connection(root);
  connection.set_timeout_ms(2000);
  PropertyDictionary reply;
  return connection.Call(m::MakeRequest(m::kMachineStatus), &reply) == 0;
}

bool Alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

}  // namespace

pid_t DaemonPid(const std::string& root) {
  std::ifstream in(m::PidPath(root));
  long pid = 0;
  in >> pid;
  return pid > 0 && pid <= INT32_MAX ? static_cast<pid_t>(pid) : 0;
}

int StartDaemon(const std::string& root, const StartOptions& options, pid_t* pid, std::string* error) {
  if (Answers(root)) {
    *error = "a daemon already serves " + root;
    return EBUSY;
  }
  ::mkdir((root + "/var").c_str(), 0755);
  ::mkdir((root + "/var/log").c_str(), 0755);
  std::string log = root + "/var/log/machine.log";
  std::string scale = std::to_string(options.time_scale);
  std::string exit_with = std::to_string(options.exit_with);
  std::vector<std::string> words = {options.executable, "serve", root, "--time-scale", scale};
  if (options.exit_with != 0) {
    words.push_back("--exit-with");
    words.push_back(exit_with);
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return errno;
  pid_t child = ::fork();
  if (child < 0) {
    int e = errno;
    ::close(ready[0]);
    ::close(ready[1]);
    return e;
  }
  if (child == 0) {
    ::close(ready[0]);
    if (options.detach) {
      ::setsid();
      // The daemon is a grandchild: nobody has to wait for it.
      pid_t grandchild = ::fork();
      if (grandchild != 0) {
        if (grandchild > 0) {
          [[maybe_unused]] ssize_t n = ::write(ready[1], &grandchild, sizeof grandchild);
        }
        ::_exit(grandchild > 0 ? 0 : 1);
      }
    } else {
      pid_t self = ::getpid();
      [[maybe_unused]] ssize_t n = ::write(ready[1], &self, sizeof self);
    }
    int null = ::open("/dev/null", O_RDONLY);
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    ::execv(options.executable.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(ready[1]);
  pid_t daemon = 0;
  if (::read(ready[0], &daemon, sizeof daemon) != sizeof daemon) daemon = 0;
  ::close(ready[0]);
  if (options.detach) ::waitpid(child, nullptr, 0);
  double deadline = Monotonic() + options.timeout_seconds;
  while (Monotonic() < deadline) {
    if (Answers(root)) {
      *pid = daemon;
      return 0;
    }
    bool gone = options.detach ? !Alive(daemon) : ::waitpid(daemon, nullptr, WNOHANG) == daemon;
    if (gone) break;
    ::usleep(20000);
  }
  if (Alive(daemon)) {
    ::kill(daemon, SIGKILL);
    if (!options.detach) ::waitpid(daemon, nullptr, 0);
  }
  *error = "the daemon did not come up; its log says:\n" + LogTail(root);
  return EIO;
}

int StopDaemon(const std::string& root, double timeout_seconds, std::string* error) {
  pid_t pid = DaemonPid(root);
  platform::MachineConnection connection(root);
  connection.set_timeout_ms(5000);
  PropertyDictionary reply;
  int status = connection.Call(m::MakeRequest(m::kMachineShutdown), &reply);
  if (status != 0 && pid == 0) return 0;  // nothing was running
  double deadline = Monotonic() + timeout_seconds;
  while (Monotonic() < deadline) {
    // A daemon that is our child must be reaped to stop looking alive.
    if (pid > 0) ::waitpid(pid, nullptr, WNOHANG);
    if (!Alive(pid) && !Answers(root)) return 0;
    ::usleep(20000);
  }
  if (Alive(pid)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, WNOHANG);
  }
  ::unlink(m::SocketPath(root).c_str());
  ::unlink(m::PidPath(root).c_str());
  *error = "the daemon did not stop in time and was killed";
  return ETIMEDOUT;
}

int MachineControl::Call(const std::string& op, PropertyDictionary arguments,
                         PropertyDictionary* reply, std::string* error) {
  int status = connection_.Call(m::MakeRequest(op, std::move(arguments)), reply);
  if (status != 0) {
    const std::string* text = wire::GetString(*reply, m::kError);
    *error = text != nullptr ? *text
             : (status == ECONNREFUSED || status == ENOENT)
                 ? "the machine is not up"
                 : std::strerror(status);
  }
  return status;
}

int MachineControl::Attach(const std::string& image, const std::string& bus,
                           std::optional<int64_t> unit, const PropertyDictionary& properties,
                           std::string* bsd, std::string* error) {
  PropertyDictionary args = {{"image", Property::String(image)},
                             {"bus", Property::String(bus)},
                             {"properties", Property::Dictionary(properties)}};
  if (unit) args["unit"] = Property::Integer(*unit);
  PropertyDictionary reply;
  int status = Call(m::kMachineAttach, std::move(args), &reply, error);
  if (status == 0) {
    const std::string* name = wire::GetString(reply, "bsd");
    *bsd = name != nullptr ? *name : std::string();
  }
  return status;
}

int MachineControl::Detach(const std::string& disk, std::string* error) {
  PropertyDictionary reply;
  bool is_bsd = disk.find('/') == std::string::npos && disk.starts_with("disk");
  return Call(m::kMachineDetach, {{is_bsd ? "bsd" : "image", Property::String(disk)}}, &reply, error);
}

int MachineControl::SetProperty(const std::string& bsd, const std::string& key,
                                std::optional<Property> value, std::string* error) {
  PropertyDictionary args = {{"bsd", Property::String(bsd)}, {"key", Property::String(key)}};
  if (value) args["value"] = *value;
  PropertyDictionary reply;
  return Call(m::kRegistrySetProperty, std::move(args), &reply, error);
}

int MachineControl::IssueAuthorization(const std::vector<std::string>& rights,
                                       platform::AuthorizationExternalForm* form, std::string* error) {
  PropertyArray list;
  for (const std::string& r : rights) list.push_back(Property::String(r));
  PropertyDictionary reply;
  int status = Call(m::kAuthIssue, {{"rights", Property::Array(std::move(list))}}, &reply, error);
  if (status != 0) return status;
  const platform::PropertyData* data = wire::GetData(reply, "form");
  if (data == nullptr || data->size() != form->size()) {
    *error = "the daemon gave no form";
    return EPROTO;
  }
  std::copy(data->begin(), data->end(), form->begin());
  return 0;
}

int MachineControl::AddFault(const PropertyDictionary& spec, int64_t* id, std::string* error) {
  PropertyDictionary reply;
  int status = Call(m::kFaultAdd, spec, &reply, error);
  if (status == 0) *id = wire::GetInteger(reply, "id").value_or(0);
  return status;
}

int MachineControl::ReleaseRegistryNotifications(const std::optional<std::string>& device,
                                                 std::string* error) {
  PropertyDictionary request = {{"kind", Property::String("hold-registry-notifications")}};
  if (device) request["device"] = Property::String(*device);
  PropertyDictionary reply;
  return Call(m::kFaultClear, std::move(request), &reply, error);
}

PropertyArray MachineControl::List(const std::string& op, const char* key) {
  PropertyDictionary reply;
  std::string error;
  if (Call(op, {}, &reply, &error) != 0) return {};
  const PropertyArray* a = wire::GetArray(reply, key);
  return a != nullptr ? *a : PropertyArray();
}

PropertyArray MachineControl::Faults() { return List(m::kFaultList, "faults"); }
PropertyArray MachineControl::Media() { return List(m::kMachineMedia, "media"); }
PropertyArray MachineControl::Volumes() { return List(m::kMachineVolumes, "volumes"); }
PropertyArray MachineControl::Buses() { return List(m::kMachineBuses, "buses"); }

int MachineControl::ClearFaults(std::string* error) {
  PropertyDictionary reply;
  return Call(m::kFaultClear, {}, &reply, error);
}

int MachineControl::Reprobe(const std::string& bsd, std::string* error) {
  PropertyDictionary reply;
  return Call(m::kMachineReprobe, {{"bsd", Property::String(bsd)}}, &reply, error);
}

int MachineControl::Resize(const std::string& disk, int64_t size, std::string* error) {
  PropertyDictionary reply;
  bool is_bsd = disk.find('/') == std::string::npos && disk.starts_with("disk");
  return Call(m::kMachineResize,
              {{is_bsd ? "bsd" : "image", Property::String(disk)}, {"size", Property::Integer(size)}},
              &reply, error);
}

std::string ToHex(const uint8_t* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

std::optional<Property> ParseTypedValue(const std::string& text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return Property::String(text);
  std::string type = text.substr(0, colon);
  std::string value = text.substr(colon + 1);
  if (type == "string") return Property::String(value);
  if (type == "integer") {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(value.c_str(), &end, 0);
    if (value.empty() || *end != '\0' || errno != 0) {
      // Values above INT64_MAX (64-bit identifiers) keep their bits.
      errno = 0;
      unsigned long long u = std::strtoull(value.c_str(), &end, 0);
      if (value.empty() || *end != '\0' || errno != 0 || value[0] == '-') return std::nullopt;
      v = static_cast<long long>(u);
    }
    return Property::Integer(v);
  }
  if (type == "bool") {
    if (value == "true") return Property::Boolean(true);
    if (value == "false") return Property::Boolean(false);
    return std::nullopt;
  }
  if (type == "data") {
    if (value.size() % 2 != 0) return std::nullopt;
    platform::PropertyData bytes;
    for (size_t i = 0; i < value.size(); i += 2) {
      char* end = nullptr;
      std::string pair = value.substr(i, 2);
      long b = std::strtol(pair.c_str(), &end, 16);
      if (*end != '\0') return std::nullopt;
      bytes.push_back(static_cast<uint8_t>(b));
    }
    return Property::Data(std::move(bytes));
  }
  return Property::String(text);
}

std::string DescribeValue(const Property& value) {
  switch (value.type()) {
    case Property::Type::kString: return "\"" + *value.AsString() + "\"";
    case Property::Type::kData: {
      const auto& d = *value.AsData();
      return "<" + ToHex(d.data(), d.size()) + ">";
    }
    case Property::Type::kInteger: {
      char text[48];
      std::snprintf(text, sizeof text, "%lld (0x%llx)", static_cast<long long>(*value.AsInteger()),
                    static_cast<unsigned long long>(*value.AsInteger()));
      return text;
    }
    case Property::Type::kBoolean: return *value.AsBoolean() ? "Yes" : "No";
    case Property::Type::kReal: return std::to_string(*value.AsReal());
    case Property::Type::kArray: {
      std::string out = "(";
      for (const Property& p : *value.AsArray()) out += (out.size() > 1 ? "," : "") + DescribeValue(p);
      return out + ")";
    }
    case Property::Type::kDictionary: {
      std::string out = "{";
      for (const auto& [k, v] : *value.AsDictionary()) {
        out += (out.size() > 1 ? "," : "") + ("\"" + k + "\"=") + DescribeValue(v);
      }
      return out + "}";
    }
  }
  return "?";
}

}  // namespace sim
