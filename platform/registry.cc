#include "platform/registry.h"

namespace platform {

Matching Matching::ServiceMatching(std::string_view class_name) {
  Matching m;
  m.class_name = std::string(class_name);
  return m;
}

Matching Matching::BSDNameMatching(std::string_view bsd_name) {
  Matching m;
  m.bsd_name = std::string(bsd_name);
  return m;
}

Matching Matching::OpenFirmwarePathMatching(std::string_view of_path) {
  Matching m;
  m.of_path = std::string(of_path);
  return m;
}

}  // namespace platform
