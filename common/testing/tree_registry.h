#pragma once
// An in-memory registry for unit tests: a tree of entries, each with a class, a name,
// own properties and optionally a path in the IODeviceTree plane. Matching compares
// the class exactly, "BSD Name", the device-tree path and the given properties.
// Searches with kIterateParents walk up the one tree (both planes share it).
// Iterators over a plane walk the whole tree depth first. Notifications are not
// offered (nullptr). Counts the lookups it answers, so a test can check that a
// lookup happened. Not thread-safe: build the tree before the code under test runs.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/unavailable.h"

namespace common_testing {

class TreeRegistry : public platform::UnavailableRegistry {
 public:
  // Adds an entry under `parent` (empty: a root entry) and returns it. `name` is the
  // entry's name in the service plane; `device_tree_path` ("/options",
  // "/pci@f2000000/ata-6@d/disk@0") places it in the IODeviceTree plane.
  platform::RegistryEntry Add(platform::RegistryEntry parent, std::string class_name,
                              std::string name, platform::PropertyDictionary properties = {},
                              std::string device_tree_path = {});
  // Replaces (or adds) one own property.
  void SetProperty(platform::RegistryEntry entry, const std::string& key,
                   platform::Property value);
  // Takes an entry and its children out; their handles answer nothing afterwards.
  void Remove(platform::RegistryEntry entry);

  int lookups() const { return lookups_; }

  platform::RegistryEntry GetMatchingService(const platform::Matching& matching) override;
  std::vector<platform::RegistryEntry> GetMatchingServices(
      const platform::Matching& matching) override;
  platform::RegistryEntry EntryFromPath(std::string_view path) override;
  std::optional<platform::Property> GetProperty(platform::RegistryEntry entry,
                                                std::string_view key) override;
  std::optional<platform::Property> SearchProperty(platform::RegistryEntry entry,
                                                   std::string_view key, platform::Plane plane,
                                                   uint32_t options) override;
  std::optional<platform::PropertyDictionary> GetProperties(platform::RegistryEntry entry) override;
  std::optional<std::string> GetPath(platform::RegistryEntry entry, platform::Plane plane) override;
  std::optional<std::string> GetName(platform::RegistryEntry entry) override;
  std::optional<std::string> GetClassName(platform::RegistryEntry entry) override;
  platform::RegistryEntry GetParent(platform::RegistryEntry entry, platform::Plane plane) override;
  std::vector<platform::RegistryEntry> GetChildren(platform::RegistryEntry entry,
                                                   platform::Plane plane) override;
  std::unique_ptr<platform::RegistryIterator> CreateIterator(platform::Plane plane,
                                                             uint32_t options) override;

 private:
  struct Node {
    uint64_t parent = 0;
    std::string class_name;
    std::string name;
    platform::PropertyDictionary properties;
    std::string device_tree_path;
    std::vector<uint64_t> children;
  };
  const Node* Find(platform::RegistryEntry entry) const;
  bool Matches(const Node& node, const platform::Matching& matching) const;
  void DepthFirst(uint64_t id, bool recursive, std::vector<platform::RegistryEntry>* out) const;
  std::vector<uint64_t> Roots() const;

  std::map<uint64_t, Node> nodes_;
  uint64_t next_id_ = 1;
  int lookups_ = 0;
};

// An iterator over a fixed list of entries.
class ListIterator : public platform::RegistryIterator {
 public:
  explicit ListIterator(std::vector<platform::RegistryEntry> entries)
      : entries_(std::move(entries)) {}
  platform::RegistryEntry Next() override {
    ++calls_;
    return next_ < entries_.size() ? entries_[next_++] : platform::RegistryEntry();
  }
  int calls() const { return calls_; }

 private:
  std::vector<platform::RegistryEntry> entries_;
  size_t next_ = 0;
  int calls_ = 0;
};

}  // namespace common_testing
