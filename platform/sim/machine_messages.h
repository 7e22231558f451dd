#pragma once
// Encoding of the registry's request arguments, shared by the daemon and its clients.

#include <optional>
#include <string_view>

#include "platform/property.h"
#include "platform/registry.h"

namespace platform::machine {

Property EncodeMatching(const Matching& matching);
// nullopt when `value` is not a well-formed matching.
std::optional<Matching> DecodeMatching(const Property& value);

const char* PlaneName(Plane plane);  // "service" or "devicetree"
std::optional<Plane> ParsePlane(std::string_view name);

// A request of `op` with the given arguments.
PropertyDictionary MakeRequest(std::string_view op, PropertyDictionary arguments = {});

}  // namespace platform::machine
