#pragma once
// An in-memory registry with first-match and terminate notifications, for the
// watcher's unit tests: the common test tree, plus Publish (an entry appears and the
// first-match notifications that match it fire) and Terminate (an entry and its
// children go; the terminate notifications fire while they can still be read, as a
// real registry lets a client read a terminated entry). Notifications are delivered
// at once on the calling thread. Not thread-safe.

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/testing/tree_registry.h"

namespace spot_testing {

class NotifyingRegistry : public common_testing::TreeRegistry {
 public:
  NotifyingRegistry();
  ~NotifyingRegistry() override;

  // Adds an entry and fires the first-match notifications it matches.
  platform::RegistryEntry Publish(platform::RegistryEntry parent, std::string class_name,
                                  std::string name, platform::PropertyDictionary properties = {});
  // Fires the terminate notifications of `entry` and everything below it (children
  // first), then takes them out.
  void Terminate(platform::RegistryEntry entry);

  // Makes AddNotification fail (nullptr) for one kind.
  void FailNotification(platform::NotificationKind kind) { failing_.insert(kind); }
  // Makes CreateIterator fail (nullptr), as a registry that cannot be walked.
  void FailIterators() { fail_iterators_ = true; }
  int live_notifications() const;

  std::unique_ptr<platform::RegistryIterator> AddNotification(
      platform::NotificationKind kind, const platform::Matching& matching,
      std::function<void(platform::RegistryIterator&)> callback) override;
  std::unique_ptr<platform::RegistryIterator> CreateIterator(platform::Plane plane,
                                                             uint32_t options) override;

 private:
  class Subscription;
  struct Shared;
  bool Matches(platform::RegistryEntry entry, const platform::Matching& matching);
  void Subtree(platform::RegistryEntry entry, std::vector<platform::RegistryEntry>* out);
  void Fire(platform::NotificationKind kind, const std::vector<platform::RegistryEntry>& entries);

  std::shared_ptr<Shared> shared_;
  std::set<platform::NotificationKind> failing_;
  bool fail_iterators_ = false;
};

}  // namespace spot_testing
