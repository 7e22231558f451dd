#include "common/testing/tree_registry.h"

#include <algorithm>

namespace common_testing {

using platform::Plane;
using platform::Property;
using platform::RegistryEntry;

platform::RegistryEntry TreeRegistry::Add(RegistryEntry parent, std::string class_name,
                                          std::string name,
                                          platform::PropertyDictionary properties,
                                          std::string device_tree_path) {
  const uint64_t id = next_id_++;
  Node node;
  node.parent = Find(parent) ? parent.id() : 0;
  node.class_name = std::move(class_name);
  node.name = std::move(name);
  node.properties = std::move(properties);
  node.device_tree_path = std::move(device_tree_path);
  if (node.parent != 0) nodes_[node.parent].children.push_back(id);
  nodes_.emplace(id, std::move(node));
  return RegistryEntry(id);
}

void TreeRegistry::SetProperty(RegistryEntry entry, const std::string& key, Property value) {
  auto it = nodes_.find(entry.id());
  if (it != nodes_.end()) it->second.properties[key] = std::move(value);
}

void TreeRegistry::Remove(RegistryEntry entry) {
  auto it = nodes_.find(entry.id());
  if (it == nodes_.end()) return;
  const std::vector<uint64_t> children = it->second.children;
  for (uint64_t child : children) Remove(RegistryEntry(child));
  if (auto parent = nodes_.find(it->second.parent); parent != nodes_.end()) {
    auto& siblings = parent->second.children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), entry.id()), siblings.end());
  }
  nodes_.erase(entry.id());
}

const TreeRegistry::Node* TreeRegistry::Find(RegistryEntry entry) const {
  auto it = nodes_.find(entry.id());
  return it == nodes_.end() ? nullptr : &it->second;
}

bool TreeRegistry::Matches(const Node& node, const platform::Matching& matching) const {
  if (!matching.class_name.empty() && node.class_name != matching.class_name) return false;
  if (!matching.bsd_name.empty()) {
    auto it = node.properties.find("BSD Name");
    if (it == node.properties.end() || it->second.AsString() == nullptr ||
        *it->second.AsString() != matching.bsd_name) {
      return false;
    }
  }
  if (!matching.of_path.empty() && node.device_tree_path != matching.of_path) return false;
  for (const auto& [key, value] : matching.properties) {
    auto it = node.properties.find(key);
    if (it == node.properties.end() || !(it->second == value)) return false;
  }
  return true;
}

std::vector<uint64_t> TreeRegistry::Roots() const {
  std::vector<uint64_t> roots;
  for (const auto& [id, node] : nodes_) {
    if (node.parent == 0) roots.push_back(id);
  }
  return roots;
}

void TreeRegistry::DepthFirst(uint64_t id, bool recursive,
                              std::vector<RegistryEntry>* out) const {
  const Node* node = Find(RegistryEntry(id));
  if (node == nullptr) return;
  out->push_back(RegistryEntry(id));
  if (!recursive) return;
  for (uint64_t child : node->children) DepthFirst(child, true, out);
}

RegistryEntry TreeRegistry::GetMatchingService(const platform::Matching& matching) {
  std::vector<RegistryEntry> all = GetMatchingServices(matching);
  return all.empty() ? RegistryEntry() : all.front();
}

std::vector<RegistryEntry> TreeRegistry::GetMatchingServices(const platform::Matching& matching) {
  ++lookups_;
  std::vector<RegistryEntry> order;
  for (uint64_t root : Roots()) DepthFirst(root, true, &order);
  std::vector<RegistryEntry> found;
  for (RegistryEntry e : order) {
    if (Matches(*Find(e), matching)) found.push_back(e);
  }
  return found;
}

RegistryEntry TreeRegistry::EntryFromPath(std::string_view path) {
  ++lookups_;
  constexpr std::string_view kPrefix = "IODeviceTree:";
  if (path.substr(0, kPrefix.size()) != kPrefix) return {};
  path.remove_prefix(kPrefix.size());
  for (const auto& [id, node] : nodes_) {
    if (!node.device_tree_path.empty() && node.device_tree_path == path) return RegistryEntry(id);
  }
  return {};
}

std::optional<Property> TreeRegistry::GetProperty(RegistryEntry entry, std::string_view key) {
  ++lookups_;
  const Node* node = Find(entry);
  if (node == nullptr) return {};
  auto it = node->properties.find(key);
  if (it == node->properties.end()) return {};
  return it->second;
}

std::optional<Property> TreeRegistry::SearchProperty(RegistryEntry entry, std::string_view key,
                                                     Plane, uint32_t options) {
  ++lookups_;
  for (const Node* node = Find(entry); node != nullptr; node = Find(RegistryEntry(node->parent))) {
    auto it = node->properties.find(key);
    if (it != node->properties.end()) return it->second;
    if ((options & platform::kIterateParents) == 0) break;
  }
  return {};
}

std::optional<platform::PropertyDictionary> TreeRegistry::GetProperties(RegistryEntry entry) {
  const Node* node = Find(entry);
  if (node == nullptr) return {};
  return node->properties;
}

std::optional<std::string> TreeRegistry::GetPath(RegistryEntry entry, Plane plane) {
  const Node* node = Find(entry);
  if (node == nullptr) return {};
  if (plane == Plane::kDeviceTree) {
    if (node->device_tree_path.empty()) return {};
    return "IODeviceTree:" + node->device_tree_path;
  }
  std::string path;
  for (const Node* n = node; n != nullptr; n = Find(RegistryEntry(n->parent))) {
    path = "/" + n->name + path;
  }
  return "IOService:" + path;
}

std::optional<std::string> TreeRegistry::GetName(RegistryEntry entry) {
  const Node* node = Find(entry);
  if (node == nullptr) return {};
  return node->name;
}

std::optional<std::string> TreeRegistry::GetClassName(RegistryEntry entry) {
  const Node* node = Find(entry);
  if (node == nullptr) return {};
  return node->class_name;
}

RegistryEntry TreeRegistry::GetParent(RegistryEntry entry, Plane) {
  const Node* node = Find(entry);
  return node == nullptr ? RegistryEntry() : RegistryEntry(node->parent);
}

std::vector<RegistryEntry> TreeRegistry::GetChildren(RegistryEntry entry, Plane) {
  std::vector<RegistryEntry> children;
  if (const Node* node = Find(entry)) {
    for (uint64_t child : node->children) children.emplace_back(child);
  }
  return children;
}

std::unique_ptr<platform::RegistryIterator> TreeRegistry::CreateIterator(Plane,
                                                                         uint32_t options) {
  std::vector<RegistryEntry> order;
  for (uint64_t root : Roots()) {
    DepthFirst(root, (options & platform::kIterateRecursively) != 0, &order);
  }
  return std::make_unique<ListIterator>(std::move(order));
}

}  // namespace common_testing
