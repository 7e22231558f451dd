#include "sim/control/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>

#include "platform/sim/machine_host.h"
#include "platform/sim/machine_protocol.h"
#include "platform/sim/machine_wire.h"
#include "sim/control/machine_control.h"
#include "sim/daemon/server.h"
#include "sim/machine/machine_description.h"

namespace sim {
namespace {

namespace wire = platform::wire;

constexpr char kUsage[] =
    "usage: mirovane-machine COMMAND ROOT [ARGUMENTS]\n"
    "  create ROOT [--disks N] [--disk-size SIZE] [--tools DIR]   make a default machine\n"
    "  up ROOT [--time-scale X]          start the machine's daemon\n"
    "  down ROOT                         stop it\n"
    "  serve ROOT [--time-scale X] [--exit-with PID]   run the daemon in the foreground\n"
    "  status ROOT\n"
    "  image ROOT NAME SIZE              make a blank sparse image ROOT/disks/NAME\n"
    "  attach ROOT IMAGE BUS [--unit N] [--set KEY=VALUE]...   plug a disk in\n"
    "  detach ROOT DISK                  unplug a disk (diskN or its image)\n"
    "  buses ROOT | media ROOT | volumes ROOT\n"
    "  registry ROOT [--devicetree] [--properties]\n"
    "  set-property ROOT BSD KEY VALUE   VALUE: string:T integer:N bool:true data:HEX\n"
    "  remove-property ROOT BSD KEY\n"
    "  authorize ROOT [RIGHT...]         print a new authorisation's external form in hex\n"
    "  nvram ROOT [NAME[=VALUE]] | nvram ROOT -d NAME\n"
    "  fault ROOT io-error DEVICE [--start N] [--length N] [--reads-only|--writes-only]\n"
    "  fault ROOT fail-write DEVICE --nth N\n"
    "  fault ROOT tear-write DEVICE --nth N --sectors S\n"
    "  fault ROOT refuse-unmount BSD\n"
    "  fault ROOT hold-registry-notifications [BSD] [--seconds X]   (every new medium without BSD)\n"
    "  release-registry-notifications ROOT [BSD]\n"
    "  faults ROOT | clear-faults ROOT\n"
    "  reprobe ROOT BSD                  look at a disk again\n"
    "  resize ROOT DISK SIZE             resize a disk image (diskN or its path)\n";

struct Context {
  std::vector<std::string> args;  // after the command and the root
  std::string root;
  std::string self;
  std::ostream& out;
  std::ostream& err;

  // Takes "--name value" out of args.
  std::optional<std::string> Option(const std::string& name) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == name) {
        std::string v = args[i + 1];
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        return v;
      }
    }
    return std::nullopt;
  }
  bool Flag(const std::string& name) {
    for (size_t i = 0; i < args.size(); ++i) {
      if (args[i] == name) {
        args.erase(args.begin() + static_cast<long>(i));
        return true;
      }
    }
    return false;
  }
  int Usage() {
    err << kUsage;
    return 1;
  }
  int Failed(const std::string& what) {
    err << "mirovane-machine: " << what << "\n";
    return 2;
  }
};

std::string AbsoluteRoot(const std::string& root) {
  std::error_code ec;
  auto p = std::filesystem::absolute(root, ec);
  std::string s = ec ? root : p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string TextOf(const Property& p, const char* key) {
  const Property* v = p.Find(key);
  return v != nullptr && v->AsString() != nullptr ? *v->AsString() : std::string();
}

int64_t IntegerOf(const Property& p, const char* key) {
  const Property* v = p.Find(key);
  return v != nullptr ? v->AsInteger().value_or(0) : 0;
}

int Create(Context& c) {
  CreateOptions options;
  if (auto n = c.Option("--disks")) options.disk_count = std::atoi(n->c_str());
  if (auto s = c.Option("--disk-size")) options.disk_size = ParseSize(*s);
  std::filesystem::path self_dir = std::filesystem::path(c.self).parent_path();
  options.tools_folder = c.Option("--tools").value_or((self_dir / "tools").string());
  if (!c.args.empty() || options.disk_size < 1024 || options.disk_count < 0) return c.Usage();
  std::string error;
  if (CreateMachineRoot(c.root, options, &error) != 0) return c.Failed(error);
  c.out << "created machine " << c.root << "\n";
  return 0;
}

int Up(Context& c) {
  StartOptions options;
  options.executable = c.self;
  if (auto s = c.Option("--time-scale")) options.time_scale = std::atof(s->c_str());
  if (!c.args.empty()) return c.Usage();
  pid_t pid = 0;
  std::string error;
  if (StartDaemon(c.root, options, &pid, &error) != 0) return c.Failed(error);
  c.out << "machine " << c.root << " is up (daemon " << pid << ")\n";
  return 0;
}

int Down(Context& c) {
  if (!c.args.empty()) return c.Usage();
  std::string error;
  if (StopDaemon(c.root, 15, &error) != 0) return c.Failed(error);
  c.out << "machine " << c.root << " is down\n";
  return 0;
}

int Serve(Context& c) {
  ServerOptions options;
  if (auto s = c.Option("--time-scale")) {
    options.time_scale = std::atof(s->c_str());
    if (!(options.time_scale > 0)) options.time_scale = 1.0;
  }
  if (auto p = c.Option("--exit-with")) options.exit_with = static_cast<pid_t>(std::atol(p->c_str()));
  if (!c.args.empty()) return c.Usage();
  Server server(c.root, options);
  std::string error;
  if (server.Run(&error) != 0) return c.Failed(error);
  return 0;
}

int Status(Context& c, MachineControl& control) {
  PropertyDictionary reply;
  std::string error;
  if (control.Call(platform::machine::kMachineStatus, {}, &reply, &error) != 0) {
    c.out << "machine " << c.root << " is down\n";
    return 2;
  }
  c.out << "machine " << c.root << " is up: daemon " << wire::GetInteger(reply, "pid").value_or(0)
        << ", " << wire::GetInteger(reply, "disks").value_or(0) << " disks, "
        << wire::GetInteger(reply, "media").value_or(0) << " media\n";
  return 0;
}

int Image(Context& c) {
  if (c.args.size() != 2) return c.Usage();
  int64_t size = ParseSize(c.args[1]);
  if (size < 1024 || c.args[0].find('/') != std::string::npos) return c.Usage();
  std::string path = c.root + "/disks/" + c.args[0];
  std::filesystem::create_directories(c.root + "/disks");
  if (int e = CreateBlankImage(path, size); e != 0) return c.Failed(path + ": " + std::strerror(e));
  c.out << path << "\n";
  return 0;
}

int Attach(Context& c, MachineControl& control) {
  std::optional<int64_t> unit;
  if (auto u = c.Option("--unit")) unit = std::atoll(u->c_str());
  PropertyDictionary properties;
  while (auto set = c.Option("--set")) {
    size_t eq = set->find('=');
    if (eq == std::string::npos) return c.Usage();
    auto value = ParseTypedValue(set->substr(eq + 1));
    if (!value) return c.Usage();
    properties[set->substr(0, eq)] = *value;
  }
  if (c.args.size() != 2) return c.Usage();
  std::string image = c.args[0];
  std::error_code ec;
  if (std::filesystem::exists(image, ec)) image = std::filesystem::absolute(image, ec).string();
  std::string bsd, error;
  if (control.Attach(image, c.args[1], unit, properties, &bsd, &error) != 0) return c.Failed(error);
  c.out << bsd << "\n";
  return 0;
}

int Detach(Context& c, MachineControl& control) {
  if (c.args.size() != 1) return c.Usage();
  std::string error;
  if (control.Detach(c.args[0], &error) != 0) return c.Failed(error);
  return 0;
}

int Buses(Context& c, MachineControl& control) {
  for (const Property& bus : control.Buses()) {
    c.out << TextOf(bus, "id") << "\t" << TextOf(bus, "kind") << "\t" << TextOf(bus, "path") << "\n";
    if (const Property* disks = bus.Find("disks")) {
      for (const Property& d : *disks->AsArray()) {
        c.out << "\t" << TextOf(d, "bsd") << " unit " << IntegerOf(d, "unit") << "  "
              << TextOf(d, "image") << "\n";
      }
    }
  }
  return 0;
}

int Media(Context& c, MachineControl& control) {
  c.out << "BSD\tSIZE\tCONTENT\tFS\tNAME\tMOUNT POINT\n";
  for (const Property& m : control.Media()) {
    c.out << TextOf(m, "bsd") << "\t" << IntegerOf(m, "size") << "\t" << TextOf(m, "content") << "\t"
          << TextOf(m, "fs_type") << "\t" << TextOf(m, "name") << "\t" << TextOf(m, "mount_point")
          << "\n";
  }
  return 0;
}

int Volumes(Context& c, MachineControl& control) {
  c.out << "BSD\tFS\tNAME\tMOUNT POINT\n";
  for (const Property& v : control.Volumes()) {
    if (TextOf(v, "fs_type").empty()) continue;
    c.out << TextOf(v, "bsd") << "\t" << TextOf(v, "fs_type") << "\t" << TextOf(v, "name") << "\t"
          << TextOf(v, "mount_point") << "\n";
  }
  return 0;
}

void PrintEntry(Context& c, platform::Registry& registry, platform::RegistryEntry entry,
                platform::Plane plane, bool properties, int depth) {
  if (depth > 64) return;
  std::string indent(static_cast<size_t>(depth) * 2, ' ');
  auto path = registry.GetPath(entry, plane).value_or("?");
  auto cls = registry.GetClassName(entry).value_or("?");
  std::string component = path.substr(path.find_last_of("/:") + 1);
  if (depth == 0) component = registry.GetName(entry).value_or("?");
  c.out << indent << "+-o " << component << "  <class " << cls << ">\n";
  if (properties) {
    if (auto props = registry.GetProperties(entry)) {
      for (const auto& [key, value] : *props) {
        c.out << indent << "  |   \"" << key << "\" = " << DescribeValue(value) << "\n";
      }
    }
  }
  for (platform::RegistryEntry child : registry.GetChildren(entry, plane)) {
    PrintEntry(c, registry, child, plane, properties, depth + 1);
  }
}

int Registry(Context& c) {
  bool tree = c.Flag("--devicetree");
  bool properties = c.Flag("--properties");
  if (!c.args.empty()) return c.Usage();
  platform::MachineHost host(c.root, 1.0);
  platform::Plane plane = tree ? platform::Plane::kDeviceTree : platform::Plane::kService;
  platform::RegistryEntry root = host.registry().EntryFromPath(tree ? "IODeviceTree:/" : "IOService:/");
  if (!root) return c.Failed("the machine is not up");
  PrintEntry(c, host.registry(), root, plane, properties, 0);
  return 0;
}

int SetProperty(Context& c, MachineControl& control, bool remove) {
  if (c.args.size() != (remove ? 2u : 3u)) return c.Usage();
  std::optional<Property> value;
  if (!remove) {
    value = ParseTypedValue(c.args[2]);
    if (!value) return c.Usage();
  }
  std::string error;
  if (control.SetProperty(c.args[0], c.args[1], value, &error) != 0) return c.Failed(error);
  return 0;
}

int Authorize(Context& c, MachineControl& control) {
  std::vector<std::string> rights = c.args;
  if (rights.empty()) rights.push_back(platform::kRightAdmin);
  platform::AuthorizationExternalForm form{};
  std::string error;
  if (control.IssueAuthorization(rights, &form, &error) != 0) return c.Failed(error);
  c.out << ToHex(form.data(), form.size()) << "\n";
  return 0;
}

int Nvram(Context& c, MachineControl& control) {
  PropertyDictionary reply;
  std::string error;
  if (c.args.empty()) {
    if (control.Call(platform::machine::kFirmwareList, {}, &reply, &error) != 0) return c.Failed(error);
    if (const PropertyDictionary* vars = wire::GetDictionary(reply, "variables")) {
      for (const auto& [name, value] : *vars) {
        c.out << name << "\t" << (value.AsString() ? *value.AsString() : "") << "\n";
      }
    }
    return 0;
  }
  if (c.args.size() == 2 && c.args[0] == "-d") {
    if (control.Call(platform::machine::kFirmwareDelete, {{"name", Property::String(c.args[1])}},
                     &reply, &error) != 0) {
      return c.Failed(error);
    }
    return 0;
  }
  if (c.args.size() != 1) return c.Usage();
  size_t eq = c.args[0].find('=');
  if (eq == std::string::npos) {
    if (control.Call(platform::machine::kFirmwareGet, {{"name", Property::String(c.args[0])}}, &reply,
                     &error) != 0) {
      return c.Failed(error);
    }
    c.out << c.args[0] << "\t" << *wire::GetString(reply, "value") << "\n";
    return 0;
  }
  if (control.Call(platform::machine::kFirmwareSet,
                   {{"name", Property::String(c.args[0].substr(0, eq))},
                    {"value", Property::String(c.args[0].substr(eq + 1))}},
                   &reply, &error) != 0) {
    return c.Failed(error);
  }
  return 0;
}

int AddFaultCommand(Context& c, MachineControl& control) {
  PropertyDictionary spec;
  if (auto v = c.Option("--start")) spec["start"] = Property::Integer(ParseSize(*v));
  if (auto v = c.Option("--length")) spec["length"] = Property::Integer(ParseSize(*v));
  if (auto v = c.Option("--nth")) spec["nth"] = Property::Integer(std::atoll(v->c_str()));
  if (auto v = c.Option("--sectors")) spec["sectors"] = Property::Integer(std::atoll(v->c_str()));
  if (c.Flag("--reads-only")) spec["writes"] = Property::Boolean(false);
  if (c.Flag("--writes-only")) spec["reads"] = Property::Boolean(false);
  if (auto v = c.Option("--seconds")) {
    char* end = nullptr;
    double seconds = std::strtod(v->c_str(), &end);
    if (end == v->c_str() || *end != '\0') return c.Usage();
    spec["seconds"] = Property::Real(seconds);
  }
  // Only a hold may go without a device: it then holds every new medium.
  bool hold = !c.args.empty() && c.args[0] == "hold-registry-notifications";
  if (c.args.size() != 2 && !(hold && c.args.size() == 1)) return c.Usage();
  spec["kind"] = Property::String(c.args[0]);
  if (c.args.size() == 2) spec["device"] = Property::String(c.args[1]);
  int64_t id = 0;
  std::string error;
  if (control.AddFault(spec, &id, &error) != 0) return c.Failed(error);
  c.out << "fault " << id << "\n";
  return 0;
}

int ListFaultsCommand(Context& c, MachineControl& control) {
  for (const Property& f : control.Faults()) {
    std::string device = TextOf(f, "device");
    c.out << IntegerOf(f, "id") << "\t" << TextOf(f, "kind") << "\t"
          << (device.empty() ? "(every medium)" : device) << "\tfired " << IntegerOf(f, "fired")
          << "\n";
  }
  return 0;
}

}  // namespace

int64_t ParseSize(const std::string& text) {
  if (text.empty()) return -1;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || v < 0 || end == text.c_str()) return -1;
  std::string unit(end);
  int shift = unit.empty() ? 0 : unit == "k" || unit == "K" ? 10 : unit == "m" || unit == "M" ? 20
            : unit == "g" || unit == "G" ? 30 : -1;
  if (shift < 0 || v > (INT64_MAX >> shift)) return -1;
  return static_cast<int64_t>(v) << shift;
}

int RunCommand(const std::vector<std::string>& args, const std::string& self_path,
               std::ostream& out, std::ostream& err) {
  if (args.size() < 2) {
    err << kUsage;
    return 1;
  }
  Context c{std::vector<std::string>(args.begin() + 2, args.end()), AbsoluteRoot(args[1]), self_path,
            out, err};
  const std::string& command = args[0];
  if (command == "create") return Create(c);
  if (command == "up") return Up(c);
  if (command == "down") return Down(c);
  if (command == "serve") return Serve(c);
  if (command == "image") return Image(c);
  if (command == "registry") return Registry(c);
  MachineControl control(c.root);
  if (command == "status") return Status(c, control);
  if (command == "attach") return Attach(c, control);
  if (command == "detach") return Detach(c, control);
  if (command == "buses") return Buses(c, control);
  if (command == "media") return Media(c, control);
  if (command == "volumes") return Volumes(c, control);
  if (command == "set-property") return SetProperty(c, control, false);
  if (command == "remove-property") return SetProperty(c, control, true);
  if (command == "authorize") return Authorize(c, control);
  if (command == "nvram") return Nvram(c, control);
  if (command == "fault") return AddFaultCommand(c, control);
  if (command == "faults") return ListFaultsCommand(c, control);
  if (command == "clear-faults") {
    std::string error;
    return control.ClearFaults(&error) == 0 ? 0 : c.Failed(error);
  }
  if (command == "release-registry-notifications" && c.args.size() <= 1) {
    std::string error;
    std::optional<std::string> device;
    if (!c.args.empty()) device = c.args[0];
    return control.ReleaseRegistryNotifications(device, &error) == 0 ? 0 : c.Failed(error);
  }
  if (command == "reprobe" && c.args.size() == 1) {
    std::string error;
    return control.Reprobe(c.args[0], &error) == 0 ? 0 : c.Failed(error);
  }
  if (command == "resize" && c.args.size() == 2) {
    std::string error;
    int64_t size = ParseSize(c.args[1]);
    if (size < 0) return c.Usage();
    return control.Resize(c.args[0], size, &error) == 0 ? 0 : c.Failed(error);
  }
  return c.Usage();
}

}  // namespace sim
