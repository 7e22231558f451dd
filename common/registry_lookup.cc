#include "common/registry_lookup.h"

#include <cstring>
#include <string_view>

#include "platform/host.h"

namespace {

// Longest string value compared (the conversion buffer holds 255 characters and a NUL).
constexpr size_t kMaxComparedString = 255;

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

platform::RegistryEntry GetIOKitObjectWithBSDName(const char* bsd_name) {
  if (bsd_name == nullptr || *bsd_name == '\0') return {};
  return platform::GetHost().registry().GetMatchingService(
      platform::Matching::BSDNameMatching(bsd_name));
}

platform::RegistryEntry GetIOKitObjectWithOpenFirmwarePath(const char* of_path) {
  if (of_path == nullptr || *of_path == '\0') return {};
  return platform::GetHost().registry().GetMatchingService(
      platform::Matching::OpenFirmwarePathMatching(of_path));
}

platform::RegistryEntry IterateThroughParentLevels(platform::RegistryIterator* iterator,
                                                   uint32_t steps) {
  if (iterator == nullptr) return {};
  platform::RegistryEntry entry;
  for (uint32_t i = 0; i < steps; ++i) {
    entry = iterator->Next();
    if (!entry) break;
  }
  return entry;
}

Boolean ExtractBSDNameFromPathname(const char* path, char* out, size_t out_size) {
  if (path == nullptr || out == nullptr) return 0;
  const std::string_view text(path);
  if (text.size() <= 4) return 0;
  // The first "disk" with something after it. (A plain search: it also finds a "disk"
  // that directly follows a 'd' or a "dis", e.g. in "/dev/ddisk1".)
  const size_t at = text.find("disk");
  if (at == std::string_view::npos || at + 4 >= text.size()) return 0;
  const std::string_view name = text.substr(at);
  for (char c : name.substr(4)) {
    if (!(c >= '0' && c <= '9') && c != 's') return 0;
  }
  if (name.size() + 1 > out_size) return 0;
  std::memcpy(out, name.data(), name.size());
  out[name.size()] = '\0';
  return 1;
}

uint64_t NumberBytesOnDisk(const char* bsd_name) {
  const platform::RegistryEntry entry = GetIOKitObjectWithBSDName(bsd_name);
  if (!entry) return 0;
  const std::optional<platform::Property> size =
      platform::GetHost().registry().GetProperty(entry, "Size");
  if (!size) return 0;
  const std::optional<int64_t> bytes = size->AsInteger();
  if (!bytes || *bytes < 0) return 0;
  return static_cast<uint64_t>(*bytes);
}

Boolean CompareCFTypeRefToString(const platform::Property* value, const char* text,
                                 Boolean prefix_only) {
  if (value == nullptr || text == nullptr) return 0;
  std::string_view held;
  if (const platform::PropertyData* data = value->AsData()) {
    const char* bytes = reinterpret_cast<const char*>(data->data());
    const void* nul = data->empty() ? nullptr : std::memchr(bytes, '\0', data->size());
    const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : data->size();
    held = std::string_view(bytes, n);
  } else if (const std::string* string = value->AsString()) {
    if (string->size() > kMaxComparedString || !IsAscii(*string)) return 0;
    held = *string;
    held = held.substr(0, held.find('\0'));
  } else {
    return 0;
  }
  const std::string_view wanted(text);
  if (prefix_only != 0) return held.substr(0, wanted.size()) == wanted ? 1 : 0;
  return held == wanted ? 1 : 0;
}

Boolean CompareCFTypeRefToString(const std::optional<platform::Property>& value,
                                 const char* text, Boolean prefix_only) {
  return CompareCFTypeRefToString(value ? &*value : nullptr, text, prefix_only);
}
