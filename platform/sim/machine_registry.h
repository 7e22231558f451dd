#pragma once
// The registry of the simulated machine, as a client sees it: every question is a
// request to the daemon; notifications arrive on the event channel and are handed
// to their callbacks from the run loop that channel belongs to.
//
// Lookups may be called from any thread. Notifications are armed, delivered and
// dropped on the run loop's thread.

#include <map>
#include <memory>
#include <mutex>

#include "platform/registry.h"
#include "platform/sim/machine_connection.h"

namespace platform {

class MachineRegistry : public Registry {
 public:
  MachineRegistry(MachineConnection& connection, std::shared_ptr<MachineEventChannel> events);
  ~MachineRegistry() override;

  RegistryEntry GetMatchingService(const Matching& matching) override;
  std::vector<RegistryEntry> GetMatchingServices(const Matching& matching) override;
  RegistryEntry EntryFromPath(std::string_view path) override;
  std::optional<Property> GetProperty(RegistryEntry entry, std::string_view key) override;
  std::optional<Property> SearchProperty(RegistryEntry entry, std::string_view key, Plane plane,
                                         uint32_t options) override;
  std::optional<PropertyDictionary> GetProperties(RegistryEntry entry) override;
  std::optional<std::string> GetPath(RegistryEntry entry, Plane plane) override;
  std::optional<std::string> GetName(RegistryEntry entry) override;
  std::optional<std::string> GetClassName(RegistryEntry entry) override;
  RegistryEntry GetParent(RegistryEntry entry, Plane plane) override;
  std::vector<RegistryEntry> GetChildren(RegistryEntry entry, Plane plane) override;
  std::unique_ptr<RegistryIterator> CreateIterator(Plane plane, uint32_t options) override;
  std::unique_ptr<RegistryIterator> AddNotification(
      NotificationKind kind, const Matching& matching,
      std::function<void(RegistryIterator&)> callback) override;

 private:
  class NotificationIterator;
  struct Subscriptions;

  std::vector<RegistryEntry> Entries(const PropertyDictionary& reply);
  std::optional<PropertyDictionary> Describe(RegistryEntry entry, Plane plane);

  MachineConnection& connection_;
  std::shared_ptr<MachineEventChannel> events_;
  std::shared_ptr<Subscriptions> subscriptions_;
};

}  // namespace platform
