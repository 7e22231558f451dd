#pragma once
// Reading typed values out of registry properties the way the watcher needs them:
// an entry's own property or one searched through its parents in the service plane,
// numbers that must fit their width, and ASCII text. A value that is missing, of
// another type or out of range gives false and leaves the target untouched.
//
// Plain functions without state; any thread may call them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/property.h"
#include "platform/registry.h"

namespace spot {

// The entry's own property.
std::optional<platform::Property> OwnProperty(platform::RegistryEntry entry,
                                              std::string_view key);
// The property of the entry or its nearest ancestor that has it (service plane).
std::optional<platform::Property> SearchedProperty(platform::RegistryEntry entry,
                                                   std::string_view key);

// A signed 32-bit number, stored as its 32-bit pattern.
bool ReadSInt32(const platform::Property* value, uint32_t* out);
bool ReadSInt32(const std::optional<platform::Property>& value, uint32_t* out);
// A signed 64-bit number, stored as its 64-bit pattern (GUIDs and node names use
// every bit).
bool ReadSInt64(const platform::Property* value, uint64_t* out);
bool ReadSInt64(const std::optional<platform::Property>& value, uint64_t* out);
bool ReadBoolean(const std::optional<platform::Property>& value, bool* out);

// An ASCII string. A longer text than `maxChars` is cut to it when `cut` is set and
// refused otherwise; text that is not ASCII is refused.
bool ReadASCII(const platform::Property* value, size_t maxChars, bool cut, std::string* out);
bool ReadASCII(const std::optional<platform::Property>& value, size_t maxChars, bool cut,
               std::string* out);

}  // namespace spot
