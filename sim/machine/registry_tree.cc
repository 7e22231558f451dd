#include "sim/machine/registry_tree.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::string_view kServicePrefix = "IOService:";
constexpr std::string_view kTreePrefix = "IODeviceTree:";

std::string Component(const RegistryNode& node) {
  return node.location.empty() ? node.name : node.name + "@" + node.location;
}

std::string TreeComponent(const RegistryNode& node) {
  return node.tree_component.empty() ? Component(node) : node.tree_component;
}

}  // namespace

ClassHierarchy::ClassHierarchy() {
  // The classes the default machine and the published media use.
  const char* pairs[][2] = {
      {"IOService", "IORegistryEntry"},
      {"IOStorage", "IOService"},
      {"IOMedia", "IOStorage"},
      {"IOBlockStorageDriver", "IOStorage"},
      {"IOPartitionScheme", "IOStorage"},
      {"IOApplePartitionScheme", "IOPartitionScheme"},
      {"IOBlockStorageDevice", "IOService"},
      {"IOATABlockStorageDevice", "IOBlockStorageDevice"},
      {"IOSCSIPeripheralDeviceNub", "IOService"},
      {"IOSCSIPrimaryCommandsDevice", "IOService"},
      {"IOSCSIBlockCommandsDevice", "IOSCSIPrimaryCommandsDevice"},
      {"IOSCSIPeripheralDeviceType00", "IOSCSIBlockCommandsDevice"},
      {"IOBlockStorageServices", "IOBlockStorageDevice"},
      {"IOATADevice", "IOService"},
      {"ATADeviceNub", "IOATADevice"},
      {"IOATAController", "IOService"},
      {"AppleKauaiATA", "IOATAController"},
      {"ATAChannel", "IOService"},
      {"IOSCSIParallelController", "IOService"},
      {"IOSCSIParallelDevice", "IOService"},
      {"IOSCSIParallelInterfaceDevice", "IOService"},
      {"IOFireWireController", "IOService"},
      {"AppleFWOHCI", "IOFireWireController"},
      {"IOFireWireDevice", "IOService"},
      {"IOFireWireUnit", "IOService"},
      {"IOFireWireSBP2Target", "IOService"},
      {"IOFireWireSBP2LUN", "IOService"},
      {"IOUSBController", "IOService"},
      {"AppleUSBOHCI", "IOUSBController"},
      {"IOUSBDevice", "IOService"},
      {"IOUSBInterface", "IOService"},
      {"IOUSBMassStorageClass", "IOService"},
      {"IOPCIDevice", "IOService"},
      {"IOPCIBridge", "IOService"},
      {"AppleMacRiscPCI", "IOPCIBridge"},
      {"IOPlatformExpertDevice", "IOService"},
      {"IOPlatformDevice", "IOService"},
      {"AppleMacIODevice", "IOService"},
      {"IOUserClient", "IOService"},
  };
  for (const auto& p : pairs) superclass_[p[0]] = p[1];
}

void ClassHierarchy::Add(const std::string& class_name, const std::string& superclass) {
  if (class_name != superclass) superclass_[class_name] = superclass;
}

bool ClassHierarchy::IsA(const std::string& class_name, std::string_view ancestor) const {
  std::string current = class_name;
  // Bounded walk: a cycle in a machine description must not hang the daemon.
  for (int steps = 0; steps < 64; ++steps) {
    if (current == ancestor) return true;
    if (current == "IORegistryEntry") return false;
    auto it = superclass_.find(current);
    current = it != superclass_.end() ? it->second : "IOService";
  }
  return false;
}

RegistryTree::RegistryTree() {
  auto root = std::make_unique<RegistryNode>();
  root->id = next_id_++;
  root->name = "Root";
  root->class_name = "IORegistryEntry";
  root->in_device_tree = true;
  root_ = root.get();
  nodes_[root->id] = std::move(root);
}

RegistryNode* RegistryTree::Add(RegistryNode* service_parent, std::string name,
                                std::string location, std::string class_name,
                                PropertyDictionary properties, bool device_tree) {
  auto node = std::make_unique<RegistryNode>();
  node->id = next_id_++;
  node->name = std::move(name);
  node->location = std::move(location);
  node->class_name = std::move(class_name);
  node->properties = std::move(properties);
  node->service_parent = service_parent;
  RegistryNode* raw = node.get();
  nodes_[raw->id] = std::move(node);
  if (service_parent != nullptr) service_parent->service_children.push_back(raw);
  if (device_tree) {
    RegistryNode* tree_parent = service_parent;
    while (tree_parent != nullptr && !tree_parent->in_device_tree) {
      tree_parent = tree_parent->service_parent;
    }
    AttachToDeviceTree(raw, tree_parent != nullptr ? tree_parent : root_, '/', "");
  }
  return raw;
}

void RegistryTree::AttachToDeviceTree(RegistryNode* node, RegistryNode* tree_parent,
                                      char separator, std::string component) {
  node->in_device_tree = true;
  node->tree_parent = tree_parent;
  node->tree_separator = separator;
  node->tree_component = std::move(component);
  tree_parent->tree_children.push_back(node);
}

RegistryNode* RegistryTree::AddDeviceTreeOnly(RegistryNode* tree_parent, std::string name,
                                              std::string class_name,
                                              PropertyDictionary properties) {
  RegistryNode* node = Add(nullptr, std::move(name), "", std::move(class_name),
                           std::move(properties), false);
  AttachToDeviceTree(node, tree_parent, '/', "");
  return node;
}

std::vector<RegistryNode*> RegistryTree::Terminate(RegistryNode* node) {
  std::vector<RegistryNode*> out;
  if (node == nullptr || node->terminated || node == root_) return out;
  // Children first, then this entry; each leaves its parents' child lists but keeps
  // its own parent links for searches made while the termination is handled.
  for (RegistryNode* child : std::vector<RegistryNode*>(node->service_children)) {
    auto more = Terminate(child);
    out.insert(out.end(), more.begin(), more.end());
  }
  for (RegistryNode* child : std::vector<RegistryNode*>(node->tree_children)) {
    if (child->service_parent == nullptr || child->service_parent->terminated) {
      auto more = Terminate(child);
      out.insert(out.end(), more.begin(), more.end());
    }
  }
  node->terminated = true;
  auto drop = [node](std::vector<RegistryNode*>& v) { std::erase(v, node); };
  if (node->service_parent != nullptr) drop(node->service_parent->service_children);
  if (node->tree_parent != nullptr) drop(node->tree_parent->tree_children);
  out.push_back(node);
  return out;
}

RegistryNode* RegistryTree::Find(uint64_t id) const {
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : it->second.get();
}

void RegistryTree::Collect(RegistryNode* node, Plane plane, bool recursive,
                           std::vector<RegistryNode*>* out) const {
  const auto& children = plane == Plane::kService ? node->service_children : node->tree_children;
  for (RegistryNode* child : children) {
    out->push_back(child);
    if (recursive) Collect(child, plane, true, out);
  }
}

std::vector<RegistryNode*> RegistryTree::LiveEntries(RegistryNode* top) const {
  std::vector<RegistryNode*> out;
  if (top != nullptr) {
    if (top->terminated) return out;
    out.push_back(top);
    Collect(top, Plane::kService, true, &out);
    return out;
  }
  out.push_back(root_);
  Collect(root_, Plane::kService, true, &out);
  // Entries that live only in the device-tree plane.
  std::vector<RegistryNode*> tree;
  Collect(root_, Plane::kDeviceTree, true, &tree);
  for (RegistryNode* n : tree) {
    if (n->service_parent == nullptr) out.push_back(n);
  }
  return out;
}

bool RegistryTree::Matches(const RegistryNode& node, const Matching& matching) const {
  if (node.terminated) return false;
  if (!matching.class_name.empty() && !classes_.IsA(node.class_name, matching.class_name)) {
    return false;
  }
  if (!matching.bsd_name.empty()) {
    auto it = node.properties.find("BSD Name");
    if (it == node.properties.end() || it->second.AsString() == nullptr ||
        *it->second.AsString() != matching.bsd_name) {
      return false;
    }
  }
  if (!matching.of_path.empty()) {
    auto path = Path(node, Plane::kDeviceTree);
    if (!path || path->substr(kTreePrefix.size()) != matching.of_path) return false;
  }
  for (const auto& [key, value] : matching.properties) {
    auto it = node.properties.find(key);
    if (it == node.properties.end() || !(it->second == value)) return false;
  }
  return true;
}

std::vector<RegistryNode*> RegistryTree::Match(const Matching& matching, bool first_only) const {
  std::vector<RegistryNode*> out;
  for (RegistryNode* n : LiveEntries()) {
    if (!Matches(*n, matching)) continue;
    out.push_back(n);
    if (first_only) break;
  }
  return out;
}

std::optional<std::string> RegistryTree::Path(const RegistryNode& node, Plane plane) const {
  if (node.terminated) return std::nullopt;
  std::vector<std::pair<char, std::string>> parts;
  const RegistryNode* n = &node;
  if (plane == Plane::kService) {
    for (; n != root_; n = n->service_parent) {
      if (n == nullptr) return std::nullopt;
      parts.emplace_back('/', Component(*n));
    }
  } else {
    if (!node.in_device_tree) return std::nullopt;
    for (; n != root_; n = n->tree_parent) {
      if (n == nullptr) return std::nullopt;
      parts.emplace_back(n->tree_separator, TreeComponent(*n));
    }
  }
  std::string path(plane == Plane::kService ? kServicePrefix : kTreePrefix);
  if (parts.empty()) return path + "/";
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    path.push_back(it->first);
    path += it->second;
  }
  return path;
}

RegistryNode* RegistryTree::FromPath(std::string_view path) const {
  Plane plane = Plane::kService;
  if (path.starts_with(kTreePrefix)) {
    plane = Plane::kDeviceTree;
  } else if (!path.starts_with(kServicePrefix)) {
    return nullptr;
  }
  for (RegistryNode* n : LiveEntries()) {
    auto p = Path(*n, plane);
    if (p && *p == path) return n;
  }
  return nullptr;
}

RegistryNode* RegistryTree::Parent(const RegistryNode& node, Plane plane) const {
  if (node.terminated) return nullptr;
  return plane == Plane::kService ? node.service_parent
                                  : (node.in_device_tree ? node.tree_parent : nullptr);
}

std::vector<RegistryNode*> RegistryTree::Children(const RegistryNode& node, Plane plane) const {
  if (node.terminated) return {};
  return plane == Plane::kService ? node.service_children : node.tree_children;
}

const Property* RegistryTree::Search(const RegistryNode& node, std::string_view key, Plane plane,
                                     uint32_t options) const {
  const RegistryNode* n = &node;
  for (int depth = 0; n != nullptr && depth < 256; ++depth) {
    auto it = n->properties.find(key);
    if (it != n->properties.end()) return &it->second;
    if ((options & platform::kIterateParents) == 0) return nullptr;
    // Terminated entries keep their former parents for exactly this search.
    n = plane == Plane::kService ? n->service_parent : n->tree_parent;
  }
  return nullptr;
}

std::vector<RegistryNode*> RegistryTree::Iterate(Plane plane, uint32_t options) const {
  std::vector<RegistryNode*> out;
  Collect(root_, plane, (options & platform::kIterateRecursively) != 0, &out);
  return out;
}

}  // namespace sim
