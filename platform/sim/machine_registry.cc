#include "platform/sim/machine_registry.h"

#include <deque>

#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"

namespace platform {
namespace {

using machine::MakeRequest;

Property EntryValue(RegistryEntry entry) {
  return Property::Integer(static_cast<int64_t>(entry.id()));
}

class SnapshotIterator : public RegistryIterator {
 public:
  explicit SnapshotIterator(std::vector<RegistryEntry> entries) : entries_(std::move(entries)) {}
  RegistryEntry Next() override {
    return next_ < entries_.size() ? entries_[next_++] : RegistryEntry();
  }

 private:
  std::vector<RegistryEntry> entries_;
  size_t next_ = 0;
};

}  // namespace

// The live notifications of this registry, by subscription number.
struct MachineRegistry::Subscriptions {
  std::mutex mutex;
  std::map<int64_t, NotificationIterator*> live;
};

class MachineRegistry::NotificationIterator : public RegistryIterator {
 public:
  NotificationIterator(std::shared_ptr<Subscriptions> subscriptions,
                       std::weak_ptr<MachineEventChannel> events, int64_t id,
                       std::function<void(RegistryIterator&)> callback)
      : subscriptions_(std::move(subscriptions)), events_(std::move(events)), id_(id),
        callback_(std::move(callback)) {
    std::lock_guard<std::mutex> lock(subscriptions_->mutex);
    subscriptions_->live[id_] = this;
  }
  ~NotificationIterator() override {
    {
      std::lock_guard<std::mutex> lock(subscriptions_->mutex);
      subscriptions_->live.erase(id_);
    }
    if (auto events = events_.lock()) {
      // Best effort: a daemon that is gone has forgotten the subscription anyway.
      (void)events->Send(MakeRequest(machine::kRegistryUnsubscribe,
                                     {{"sub", Property::Integer(id_)}}));
    }
  }
  RegistryEntry Next() override {
    if (queue_.empty()) return {};
    RegistryEntry e = queue_.front();
    queue_.pop_front();
    return e;
  }
  void Push(RegistryEntry e) { queue_.push_back(e); }
  void Notify() { callback_(*this); }

 private:
  std::shared_ptr<Subscriptions> subscriptions_;
  std::weak_ptr<MachineEventChannel> events_;
  int64_t id_;
  std::function<void(RegistryIterator&)> callback_;
  std::deque<RegistryEntry> queue_;
};

MachineRegistry::MachineRegistry(MachineConnection& connection,
                                 std::shared_ptr<MachineEventChannel> events)
    : connection_(connection), events_(std::move(events)),
      subscriptions_(std::make_shared<Subscriptions>()) {
  std::weak_ptr<Subscriptions> weak = subscriptions_;
  events_->SetHandler(machine::kRegistryNotifyEvent, [weak](const PropertyDictionary& event) {
    auto subscriptions = weak.lock();
    if (!subscriptions) return;
    auto id = wire::GetInteger(event, "sub");
    const PropertyArray* entries = wire::GetArray(event, "entries");
    if (!id || entries == nullptr) return;
    NotificationIterator* target = nullptr;
    {
      std::lock_guard<std::mutex> lock(subscriptions->mutex);
      auto it = subscriptions->live.find(*id);
      if (it != subscriptions->live.end()) target = it->second;
    }
    if (target == nullptr) return;
    for (const Property& p : *entries) {
      if (auto v = p.AsInteger()) target->Push(RegistryEntry(static_cast<uint64_t>(*v)));
    }
    target->Notify();
  });
}

MachineRegistry::~MachineRegistry() {
  events_->SetHandler(machine::kRegistryNotifyEvent, nullptr);
}

std::vector<RegistryEntry> MachineRegistry::Entries(const PropertyDictionary& reply) {
  std::vector<RegistryEntry> out;
  if (const PropertyArray* a = wire::GetArray(reply, "entries")) {
    for (const Property& p : *a) {
      if (auto v = p.AsInteger()) out.emplace_back(static_cast<uint64_t>(*v));
    }
  }
  return out;
}

RegistryEntry MachineRegistry::GetMatchingService(const Matching& matching) {
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistryMatch,
                                   {{"matching", machine::EncodeMatching(matching)},
                                    {"first", Property::Boolean(true)}}),
                       &reply) != 0) {
    return {};
  }
  auto entries = Entries(reply);
  return entries.empty() ? RegistryEntry() : entries.front();
}

std::vector<RegistryEntry> MachineRegistry::GetMatchingServices(const Matching& matching) {
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistryMatch,
                                   {{"matching", machine::EncodeMatching(matching)}}),
                       &reply) != 0) {
    return {};
  }
  return Entries(reply);
}

RegistryEntry MachineRegistry::EntryFromPath(std::string_view path) {
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistryFromPath, {{"path", Property::String(path)}}),
                       &reply) != 0) {
    return {};
  }
  auto id = wire::GetInteger(reply, "entry");
  return id ? RegistryEntry(static_cast<uint64_t>(*id)) : RegistryEntry();
}

std::optional<Property> MachineRegistry::GetProperty(RegistryEntry entry, std::string_view key) {
  if (!entry) return std::nullopt;
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistryProperty,
                                   {{"entry", EntryValue(entry)}, {"key", Property::String(key)}}),
                       &reply) != 0) {
    return std::nullopt;
  }
  auto it = reply.find("value");
  if (it == reply.end()) return std::nullopt;
  return it->second;
}

std::optional<Property> MachineRegistry::SearchProperty(RegistryEntry entry, std::string_view key,
                                                        Plane plane, uint32_t options) {
  if (!entry) return std::nullopt;
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistrySearch,
                                   {{"entry", EntryValue(entry)},
                                    {"key", Property::String(key)},
                                    {"plane", Property::String(machine::PlaneName(plane))},
                                    {"options", Property::Integer(options)}}),
                       &reply) != 0) {
    return std::nullopt;
  }
  auto it = reply.find("value");
  if (it == reply.end()) return std::nullopt;
  return it->second;
}

std::optional<PropertyDictionary> MachineRegistry::GetProperties(RegistryEntry entry) {
  if (!entry) return std::nullopt;
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistryProperties, {{"entry", EntryValue(entry)}}),
                       &reply) != 0) {
    return std::nullopt;
  }
  const PropertyDictionary* properties = wire::GetDictionary(reply, "properties");
  if (properties == nullptr) return std::nullopt;
  return *properties;
}

std::optional<PropertyDictionary> MachineRegistry::Describe(RegistryEntry entry, Plane plane) {
  if (!entry) return std::nullopt;
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistryDescribe,
                                   {{"entry", EntryValue(entry)},
                                    {"plane", Property::String(machine::PlaneName(plane))}}),
                       &reply) != 0) {
    return std::nullopt;
  }
  return reply;
}

std::optional<std::string> MachineRegistry::GetPath(RegistryEntry entry, Plane plane) {
  auto d = Describe(entry, plane);
  if (!d) return std::nullopt;
  const std::string* path = wire::GetString(*d, "path");
  if (path == nullptr) return std::nullopt;
  return *path;
}

std::optional<std::string> MachineRegistry::GetName(RegistryEntry entry) {
  auto d = Describe(entry, Plane::kService);
  if (!d) return std::nullopt;
  const std::string* name = wire::GetString(*d, "name");
  if (name == nullptr) return std::nullopt;
  return *name;
}

std::optional<std::string> MachineRegistry::GetClassName(RegistryEntry entry) {
  auto d = Describe(entry, Plane::kService);
  if (!d) return std::nullopt;
  const std::string* name = wire::GetString(*d, "class");
  if (name == nullptr) return std::nullopt;
  return *name;
}

RegistryEntry MachineRegistry::GetParent(RegistryEntry entry, Plane plane) {
  auto d = Describe(entry, plane);
  if (!d) return {};
  auto parent = wire::GetInteger(*d, "parent");
  return parent ? RegistryEntry(static_cast<uint64_t>(*parent)) : RegistryEntry();
}

std::vector<RegistryEntry> MachineRegistry::GetChildren(RegistryEntry entry, Plane plane) {
  if (!entry) return {};
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistryChildren,
                                   {{"entry", EntryValue(entry)},
                                    {"plane", Property::String(machine::PlaneName(plane))}}),
                       &reply) != 0) {
    return {};
  }
  return Entries(reply);
}

std::unique_ptr<RegistryIterator> MachineRegistry::CreateIterator(Plane plane, uint32_t options) {
  PropertyDictionary reply;
  if (connection_.Call(MakeRequest(machine::kRegistryIterate,
                                   {{"plane", Property::String(machine::PlaneName(plane))},
                                    {"options", Property::Integer(options)}}),
                       &reply) != 0) {
    return nullptr;
  }
  return std::make_unique<SnapshotIterator>(Entries(reply));
}

std::unique_ptr<RegistryIterator> MachineRegistry::AddNotification(
    NotificationKind kind, const Matching& matching,
    std::function<void(RegistryIterator&)> callback) {
  if (!callback) return nullptr;
  PropertyDictionary reply;
  const char* kind_name = kind == NotificationKind::kFirstMatch ? "first-match" : "terminate";
  if (events_->Request(MakeRequest(machine::kRegistrySubscribe,
                                   {{"kind", Property::String(kind_name)},
                                    {"matching", machine::EncodeMatching(matching)}}),
                       &reply) != 0) {
    return nullptr;
  }
  auto id = wire::GetInteger(reply, "sub");
  if (!id) return nullptr;
  auto iterator = std::make_unique<NotificationIterator>(subscriptions_, events_, *id,
                                                         std::move(callback));
  for (RegistryEntry e : Entries(reply)) iterator->Push(e);
  return iterator;
}

}  // namespace platform
