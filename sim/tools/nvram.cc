// nvram: reads and sets firmware variables through the platform's firmware.
// "name=value" sets (the value as it stands, backslashes and all); "name" prints
// "name<TAB>value". Arguments are handled in order; the first failure ends the run.

#include <cerrno>
#include <cstring>

#include "platform/host.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr char kUsage[] = "usage: nvram name[=value] ...";

}  // namespace

int Nvram(const ToolCall& call) {
  const auto& argv = call.argv;
  if (argv.size() < 2) {
    call.err << "nvram: no variable given\n" << kUsage << "\n";
    return kExitUsage;
  }
  for (size_t i = 1; i < argv.size(); ++i) {
    size_t equals = argv[i].find('=');
    std::string name = argv[i].substr(0, equals);
    if (name.empty() || name[0] == '-') {
      call.err << "nvram: " << (name.empty() ? "a variable needs a name" : "unknown option " + name)
               << "\n" << kUsage << "\n";
      return kExitUsage;
    }
  }
  platform::Firmware& firmware = platform::GetHost().firmware();
  for (size_t i = 1; i < argv.size(); ++i) {
    size_t equals = argv[i].find('=');
    std::string name = argv[i].substr(0, equals);
    if (equals != std::string::npos) {
      if (int status = firmware.SetVariable(name, std::string_view(argv[i]).substr(equals + 1));
          status != 0) {
        call.err << "nvram: Error setting variable - '" << name << "': "
                 << (status > 0 ? std::strerror(status) : "the firmware is not available") << "\n";
        return kExitFailure;
      }
      continue;
    }
    std::optional<std::string> value = firmware.GetVariable(name);
    if (!value) {
      call.err << "nvram: Error getting variable - '" << name << "': data was not found\n";
      return kExitFailure;
    }
    call.out << name << "\t" << *value << "\n";
  }
  return kExitSuccess;
}

}  // namespace sim::tools
