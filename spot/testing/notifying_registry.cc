#include "spot/testing/notifying_registry.h"

#include <deque>

namespace spot_testing {

using platform::NotificationKind;
using platform::RegistryEntry;

// The live subscriptions; shared with them so that a subscription outliving the
// registry (or the reverse) stays safe.
struct NotifyingRegistry::Shared {
  std::set<Subscription*> subscriptions;
};

class NotifyingRegistry::Subscription : public platform::RegistryIterator {
 public:
  Subscription(std::shared_ptr<Shared> shared, NotificationKind kind, platform::Matching matching,
               std::function<void(platform::RegistryIterator&)> callback)
      : shared_(std::move(shared)),
        kind_(kind),
        matching_(std::move(matching)),
        callback_(std::move(callback)) {
    shared_->subscriptions.insert(this);
  }
  ~Subscription() override { shared_->subscriptions.erase(this); }

  RegistryEntry Next() override {
    if (queue_.empty()) return {};
    const RegistryEntry entry = queue_.front();
    queue_.pop_front();
    return entry;
  }

  NotificationKind kind() const { return kind_; }
  const platform::Matching& matching() const { return matching_; }
  void Push(RegistryEntry entry) { queue_.push_back(entry); }
  void Deliver() { callback_(*this); }
  bool pending() const { return !queue_.empty(); }

 private:
  std::shared_ptr<Shared> shared_;
  NotificationKind kind_;
  platform::Matching matching_;
  std::function<void(platform::RegistryIterator&)> callback_;
  std::deque<RegistryEntry> queue_;
};

NotifyingRegistry::NotifyingRegistry() : shared_(std::make_shared<Shared>()) {}
NotifyingRegistry::~NotifyingRegistry() = default;

int NotifyingRegistry::live_notifications() const {
  return static_cast<int>(shared_->subscriptions.size());
}

bool NotifyingRegistry::Matches(RegistryEntry entry, const platform::Matching& matching) {
  if (!matching.class_name.empty() && GetClassName(entry) != matching.class_name) return false;
  if (!matching.bsd_name.empty()) {
    const auto name = GetProperty(entry, "BSD Name");
    if (!name || name->AsString() == nullptr || *name->AsString() != matching.bsd_name) {
      return false;
    }
  }
  for (const auto& [key, value] : matching.properties) {
    const auto own = GetProperty(entry, key);
    if (!own || !(*own == value)) return false;
  }
  return true;
}

std::unique_ptr<platform::RegistryIterator> NotifyingRegistry::AddNotification(
    NotificationKind kind, const platform::Matching& matching,
    std::function<void(platform::RegistryIterator&)> callback) {
  if (failing_.count(kind) != 0) return nullptr;
  auto subscription =
      std::make_unique<Subscription>(shared_, kind, matching, std::move(callback));
  if (kind == NotificationKind::kFirstMatch) {
    for (RegistryEntry entry : GetMatchingServices(matching)) subscription->Push(entry);
  }
  return subscription;
}

std::unique_ptr<platform::RegistryIterator> NotifyingRegistry::CreateIterator(
    platform::Plane plane, uint32_t options) {
  if (fail_iterators_) return nullptr;
  return TreeRegistry::CreateIterator(plane, options);
}

void NotifyingRegistry::Fire(NotificationKind kind, const std::vector<RegistryEntry>& entries) {
  // Copied: a callback may end its own or another subscription.
  const std::set<Subscription*> subscriptions = shared_->subscriptions;
  for (Subscription* subscription : subscriptions) {
    if (subscription->kind() != kind) continue;
    for (RegistryEntry entry : entries) {
      if (Matches(entry, subscription->matching())) subscription->Push(entry);
    }
  }
  for (Subscription* subscription : subscriptions) {
    if (shared_->subscriptions.count(subscription) != 0 && subscription->kind() == kind &&
        subscription->pending()) {
      subscription->Deliver();
    }
  }
}

RegistryEntry NotifyingRegistry::Publish(RegistryEntry parent, std::string class_name,
                                         std::string name,
                                         platform::PropertyDictionary properties) {
  const RegistryEntry entry = Add(parent, std::move(class_name), std::move(name),
                                  std::move(properties));
  Fire(NotificationKind::kFirstMatch, {entry});
  return entry;
}

void NotifyingRegistry::Subtree(RegistryEntry entry, std::vector<RegistryEntry>* out) {
  for (RegistryEntry child : GetChildren(entry, platform::Plane::kService)) Subtree(child, out);
  out->push_back(entry);
}

void NotifyingRegistry::Terminate(RegistryEntry entry) {
  std::vector<RegistryEntry> gone;
  Subtree(entry, &gone);
  Fire(NotificationKind::kTerminate, gone);
  Remove(entry);
}

}  // namespace spot_testing
