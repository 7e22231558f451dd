#include "spot/registry_values.h"

#include <limits>

#include "platform/host.h"

namespace spot {

namespace {
const platform::Property* Pointer(const std::optional<platform::Property>& value) {
  return value ? &*value : nullptr;
}
}  // namespace

std::optional<platform::Property> OwnProperty(platform::RegistryEntry entry,
                                              std::string_view key) {
  return platform::GetHost().registry().GetProperty(entry, key);
}

std::optional<platform::Property> SearchedProperty(platform::RegistryEntry entry,
                                                   std::string_view key) {
  return platform::GetHost().registry().SearchProperty(
      entry, key, platform::Plane::kService,
      platform::kIterateRecursively | platform::kIterateParents);
}

bool ReadSInt32(const platform::Property* value, uint32_t* out) {
  if (value == nullptr) return false;
  const std::optional<int64_t> number = value->AsInteger();
  if (!number || *number < std::numeric_limits<int32_t>::min() ||
      *number > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  *out = static_cast<uint32_t>(static_cast<int32_t>(*number));
  return true;
}

bool ReadSInt32(const std::optional<platform::Property>& value, uint32_t* out) {
  return ReadSInt32(Pointer(value), out);
}

bool ReadSInt64(const platform::Property* value, uint64_t* out) {
  if (value == nullptr) return false;
  const std::optional<int64_t> number = value->AsInteger();
  if (!number) return false;
  *out = static_cast<uint64_t>(*number);
  return true;
}

bool ReadSInt64(const std::optional<platform::Property>& value, uint64_t* out) {
  return ReadSInt64(Pointer(value), out);
}

bool ReadBoolean(const std::optional<platform::Property>& value, bool* out) {
  if (!value) return false;
  const std::optional<bool> flag = value->AsBoolean();
  if (!flag) return false;
  *out = *flag;
  return true;
}

bool ReadASCII(const platform::Property* value, size_t maxChars, bool cut, std::string* out) {
  if (value == nullptr) return false;
  const std::string* text = value->AsString();
  if (text == nullptr) return false;
  for (char c : *text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  // Text ends at an embedded NUL, as it would in a C buffer.
  std::string_view held(*text);
  held = held.substr(0, held.find('\0'));
  if (held.size() > maxChars) {
    if (!cut) return false;
    held = held.substr(0, maxChars);
  }
  out->assign(held);
  return true;
}

bool ReadASCII(const std::optional<platform::Property>& value, size_t maxChars, bool cut,
               std::string* out) {
  return ReadASCII(Pointer(value), maxChars, cut, out);
}

}  // namespace spot
