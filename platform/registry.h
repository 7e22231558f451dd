#pragma once
// The hardware registry: a tree of entries (buses, controllers, disks, media) in two
// planes, each entry with a class, a name and properties, found by matching and
// followed through first-match and terminate notifications.
//
// Entries are small values naming one registry entry. They need no release. An entry
// that has left the registry (terminated) has no path, no parent or children and
// never matches again, but still answers its own properties, its name and class, and
// property searches through its former parents, so that a terminate notification's
// handler can tell what went.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/property.h"

namespace platform {

class RegistryEntry {
 public:
  constexpr RegistryEntry() = default;
  constexpr explicit RegistryEntry(uint64_t id) : id_(id) {}
  constexpr uint64_t id() const { return id_; }
  constexpr explicit operator bool() const { return id_ != 0; }
  constexpr bool operator==(const RegistryEntry&) const = default;

 private:
  uint64_t id_ = 0;
};

enum class Plane { kService, kDeviceTree };

// Options of property searches and iterators.
inline constexpr uint32_t kIterateRecursively = 1;
inline constexpr uint32_t kIterateParents = 2;

// What a matching request asks for. Empty fields are not compared; every given field
// must match. `properties` must each be present on the entry with an equal value.
struct Matching {
  std::string class_name;  // the entry's class or one of its superclasses ("IOMedia")
  std::string bsd_name;    // the "BSD Name" property
  std::string of_path;     // the entry's path in the IODeviceTree plane, without "IODeviceTree:"
  PropertyDictionary properties;

  static Matching ServiceMatching(std::string_view class_name);
  static Matching BSDNameMatching(std::string_view bsd_name);
  static Matching OpenFirmwarePathMatching(std::string_view of_path);
};

// A cursor over entries. Iterators made by CreateIterator hold a snapshot; those of
// notifications receive entries as the registry changes.
class RegistryIterator {
 public:
  virtual ~RegistryIterator() = default;
  // The next entry, or an empty entry when there is none (for now).
  virtual RegistryEntry Next() = 0;
};

enum class NotificationKind { kFirstMatch, kTerminate };

class Registry {
 public:
  virtual ~Registry() = default;

  // The first entry that matches, or an empty entry.
  virtual RegistryEntry GetMatchingService(const Matching& matching) = 0;
  // Every entry that matches, in registry order.
  virtual std::vector<RegistryEntry> GetMatchingServices(const Matching& matching) = 0;
  // The entry at a plane path ("IODeviceTree:/options", "IOService:/..."); empty when
  // there is none.
  virtual RegistryEntry EntryFromPath(std::string_view path) = 0;

  // The entry's own property.
  virtual std::optional<Property> GetProperty(RegistryEntry entry, std::string_view key) = 0;
  // The property searched in `plane`: with kIterateParents the entry itself first,
  // then its ancestors; the first that has it gives it.
  virtual std::optional<Property> SearchProperty(RegistryEntry entry, std::string_view key,
                                                 Plane plane, uint32_t options) = 0;
  // Every own property of the entry.
  virtual std::optional<PropertyDictionary> GetProperties(RegistryEntry entry) = 0;
  // "IOService:/..." style path of the entry in `plane`; nullopt when the entry is not
  // in that plane or has gone.
  virtual std::optional<std::string> GetPath(RegistryEntry entry, Plane plane) = 0;
  virtual std::optional<std::string> GetName(RegistryEntry entry) = 0;
  virtual std::optional<std::string> GetClassName(RegistryEntry entry) = 0;
  virtual RegistryEntry GetParent(RegistryEntry entry, Plane plane) = 0;
  virtual std::vector<RegistryEntry> GetChildren(RegistryEntry entry, Plane plane) = 0;

  // Iterates over a plane from its root, depth first, in registry order
  // (kIterateRecursively), or over the root's children only (0).
  virtual std::unique_ptr<RegistryIterator> CreateIterator(Plane plane, uint32_t options) = 0;

  // Arms a notification. The returned iterator first yields the entries that match
  // now (first match) or nothing (terminate); afterwards `callback` is called from the
  // host's run loop with the same iterator whenever matching entries appeared or were
  // terminated, and must drain it. Dropping the iterator ends the notification.
  // nullptr when the notification cannot be armed.
  virtual std::unique_ptr<RegistryIterator> AddNotification(
      NotificationKind kind, const Matching& matching,
      std::function<void(RegistryIterator&)> callback) = 0;
};

}  // namespace platform
