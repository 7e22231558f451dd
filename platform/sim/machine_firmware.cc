#include "platform/sim/machine_firmware.h"

#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"

namespace platform {

std::optional<std::string> MachineFirmware::GetVariable(std::string_view name) {
  PropertyDictionary reply;
  if (connection_.Call(machine::MakeRequest(machine::kFirmwareGet, {{"name", Property::String(name)}}),
                       &reply) != 0) {
    return std::nullopt;
  }
  const std::string* value = wire::GetString(reply, "value");
  if (value == nullptr) return std::nullopt;
  return *value;
}

int MachineFirmware::SetVariable(std::string_view name, std::string_view value) {
  PropertyDictionary reply;
  return connection_.Call(machine::MakeRequest(machine::kFirmwareSet,
                                               {{"name", Property::String(name)},
                                                {"value", Property::String(value)}}),
                          &reply);
}

}  // namespace platform
