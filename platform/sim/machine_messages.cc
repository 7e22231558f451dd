#include "platform/sim/machine_messages.h"

#include "platform/sim/machine_protocol.h"

namespace platform::machine {

Property EncodeMatching(const Matching& matching) {
  PropertyDictionary d;
  if (!matching.class_name.empty()) d["class"] = Property::String(matching.class_name);
  if (!matching.bsd_name.empty()) d["bsd"] = Property::String(matching.bsd_name);
  if (!matching.of_path.empty()) d["of"] = Property::String(matching.of_path);
  if (!matching.properties.empty()) d["properties"] = Property::Dictionary(matching.properties);
  return Property::Dictionary(std::move(d));
}

std::optional<Matching> DecodeMatching(const Property& value) {
  const PropertyDictionary* d = value.AsDictionary();
  if (d == nullptr) return std::nullopt;
  Matching m;
  for (const auto& [key, item] : *d) {
    if (key == "properties") {
      if (!item.is_dictionary()) return std::nullopt;
      m.properties = *item.AsDictionary();
      continue;
    }
    const std::string* text = item.AsString();
    if (text == nullptr) return std::nullopt;
    if (key == "class") {
      m.class_name = *text;
    } else if (key == "bsd") {
      m.bsd_name = *text;
    } else if (key == "of") {
      m.of_path = *text;
    } else {
      return std::nullopt;
    }
  }
  return m;
}

const char* PlaneName(Plane plane) { return plane == Plane::kService ? "service" : "devicetree"; }

std::optional<Plane> ParsePlane(std::string_view name) {
  if (name == "service") return Plane::kService;
  if (name == "devicetree") return Plane::kDeviceTree;
  return std::nullopt;
}

PropertyDictionary MakeRequest(std::string_view op, PropertyDictionary arguments) {
  arguments.insert_or_assign(kOp, Property::String(op));
  return arguments;
}

}  // namespace platform::machine
