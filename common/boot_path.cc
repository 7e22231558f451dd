#include "common/boot_path.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/run_tool.h"
#include "platform/host.h"

namespace {

constexpr std::string_view kDeviceTreePrefix = "IODeviceTree:";
constexpr std::string_view kBootDeviceAssignment = "boot-device=";
constexpr std::string_view kBootFileSuffix = ",\\\\:tbxi";  // comma, two backslashes, ":tbxi"
static_assert(kBootFileSuffix.size() == 8);

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

Boolean GetBootPath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  std::memset(buffer, 0, size);

  platform::Registry& registry = platform::GetHost().registry();
  const platform::RegistryEntry options = registry.EntryFromPath("IODeviceTree:/options");
  if (!options) return 0;
  const std::optional<platform::Property> value = registry.GetProperty(options, "boot-device");
  if (!value) return 0;

  std::string_view text;
  if (const std::string* s = value->AsString()) {
    text = *s;
  } else if (const platform::PropertyData* d = value->AsData()) {
    text = std::string_view(reinterpret_cast<const char*>(d->data()), d->size());
  } else {
    return 0;
  }
  // Firmware data usually carries its terminator; the text ends at the first NUL.
  text = text.substr(0, text.find('\0'));
  if (text.size() > size - 1 || !IsAscii(text)) return 0;
  std::memcpy(buffer, text.data(), text.size());
  return 1;
}

Boolean SetBootPath(const char* path) {
  if (path == nullptr) return 0;
  std::string_view device(path);
  if (device.substr(0, kDeviceTreePrefix.size()) == kDeviceTreePrefix) {
    device.remove_prefix(kDeviceTreePrefix.size());
  }
  const size_t length = kBootDeviceAssignment.size() + device.size() + kBootFileSuffix.size();
  if (length + 1 > kBootPathArgumentBufferSize) return 0;

  std::string argument;
  argument.reserve(length);
  argument.append(kBootDeviceAssignment).append(device).append(kBootFileSuffix);
  return RunSystemTool("/usr/sbin/nvram", {"nvram", argument}) ? 1 : 0;
}
