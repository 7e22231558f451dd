#pragma once
// Firmware (NVRAM) variables. The system reads them through the registry
// (IODeviceTree:/options) and changes them only through the nvram tool; this
// interface is what that tool and the machine's control use.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Firmware {
 public:
  virtual ~Firmware() = default;
  virtual std::optional<std::string> GetVariable(std::string_view name) = 0;
  // 0, or a nonzero platform code.
  virtual int SetVariable(std::string_view name, std::string_view value) = 0;
};

}  // namespace platform
