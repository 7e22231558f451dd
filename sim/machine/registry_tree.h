#pragma once
// The machine's registry as the daemon holds it: entries with a class, a name, an
// optional location and properties, in two planes. Every entry with a parent in the
// service plane is in that plane; entries marked as device-tree nodes are also in the
// device-tree plane, under their nearest device-tree ancestor (or the root), and
// entries may join the device-tree plane under a given parent with ':' before their
// location (how partitions appear below their disk: ".../@0:3").
//
// Terminated entries leave both planes and never match again, but keep their
// properties, names and former parents, so that a client handling their terminate
// notification can still read and search them.
//
// Owned by the daemon's machine; used from the daemon's one thread.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/property.h"
#include "platform/registry.h"

namespace sim {

using platform::Matching;
using platform::Plane;
using platform::Property;
using platform::PropertyDictionary;

struct RegistryNode {
  uint64_t id = 0;
  std::string name;
  std::string location;  // empty: none
  std::string class_name;
  PropertyDictionary properties;
  bool terminated = false;

  RegistryNode* service_parent = nullptr;
  std::vector<RegistryNode*> service_children;
  bool in_device_tree = false;
  RegistryNode* tree_parent = nullptr;
  std::vector<RegistryNode*> tree_children;
  char tree_separator = '/';   // before this node's component in its device-tree path
  std::string tree_component;  // the component in device-tree paths; empty: name@location
};

// Class names and their superclasses. Unknown classes derive from IOService.
class ClassHierarchy {
 public:
  ClassHierarchy();
  void Add(const std::string& class_name, const std::string& superclass);
  // Whether `class_name` is `ancestor` or derives from it.
  bool IsA(const std::string& class_name, std::string_view ancestor) const;

 private:
  std::map<std::string, std::string, std::less<>> superclass_;
};

class RegistryTree {
 public:
  RegistryTree();

  RegistryNode* root() { return root_; }
  ClassHierarchy& classes() { return classes_; }

  // Adds an entry below `service_parent` (which must be live). `device_tree` puts it
  // in the device-tree plane under its nearest device-tree ancestor.
  RegistryNode* Add(RegistryNode* service_parent, std::string name, std::string location,
                    std::string class_name, PropertyDictionary properties, bool device_tree);
  // Puts `node` in the device-tree plane below `tree_parent`, its path component
  // `component` joined with `separator`.
  void AttachToDeviceTree(RegistryNode* node, RegistryNode* tree_parent, char separator,
                          std::string component);
  // An entry that is only in the device-tree plane (such as "options").
  RegistryNode* AddDeviceTreeOnly(RegistryNode* tree_parent, std::string name,
                                  std::string class_name, PropertyDictionary properties);

  // Terminates `node` and everything below it in the service plane. Returns the
  // terminated entries, children before their parents.
  std::vector<RegistryNode*> Terminate(RegistryNode* node);

  // Any entry, live or terminated; nullptr when the id was never handed out.
  RegistryNode* Find(uint64_t id) const;
  // Live entries in registry order (depth first through the service plane; then the
  // device-tree-only entries), optionally only those below `top`.
  std::vector<RegistryNode*> LiveEntries(RegistryNode* top = nullptr) const;
  bool Matches(const RegistryNode& node, const Matching& matching) const;
  std::vector<RegistryNode*> Match(const Matching& matching, bool first_only) const;

  // "IOService:/pci@f2000000/..." or "IODeviceTree:/..."; nullopt when not in the plane.
  std::optional<std::string> Path(const RegistryNode& node, Plane plane) const;
  RegistryNode* FromPath(std::string_view path) const;
  RegistryNode* Parent(const RegistryNode& node, Plane plane) const;
  std::vector<RegistryNode*> Children(const RegistryNode& node, Plane plane) const;
  // Own property, or searched through the parents in `plane` (with kIterateParents);
  // terminated entries search their former parents.
  const Property* Search(const RegistryNode& node, std::string_view key, Plane plane,
                         uint32_t options) const;
  // Depth-first order from the plane's root: the root's children only without
  // kIterateRecursively.
  std::vector<RegistryNode*> Iterate(Plane plane, uint32_t options) const;

 private:
  void Collect(RegistryNode* node, Plane plane, bool recursive, std::vector<RegistryNode*>* out) const;

  std::map<uint64_t, std::unique_ptr<RegistryNode>> nodes_;
  uint64_t next_id_ = 0x1000;
  RegistryNode* root_ = nullptr;
  ClassHierarchy classes_;
};

}  // namespace sim
