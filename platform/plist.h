#pragma once
// XML property lists, read and written through libplist. The rest of the system
// never calls libplist itself.

#include <optional>
#include <string>
#include <string_view>

#include "platform/property.h"

namespace platform {

// Parses an XML property list. Returns nullopt for text that is not a well-formed
// property list. Unsigned integers above INT64_MAX keep their 64 bits (read back
// through a cast to uint64_t).
std::optional<Property> ParseXmlPropertyList(std::string_view xml);

// Writes `value` as an XML property list document.
std::string ToXmlPropertyList(const Property& value);

// Reads and parses the file at `host_path`; nullopt when it cannot be read or parsed.
std::optional<Property> ReadXmlPropertyListFile(const std::string& host_path);

// Writes `value` to `host_path` through a temporary file renamed into place.
bool WriteXmlPropertyListFile(const std::string& host_path, const Property& value);

}  // namespace platform
