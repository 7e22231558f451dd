// Registry first-match notifications kept back by the hold-registry-notifications
// fault: queued per subscription in the order they were held, sent when the hold is
// released or their time is up, never for an entry that went meanwhile.
#include <set>

#include "platform/sim/machine_protocol.h"
#include "sim/machine/machine.h"

namespace sim {
namespace {

namespace m = platform::machine;
using platform::PropertyArray;

Property Ids(const std::vector<RegistryNode*>& nodes) {
  PropertyArray out;
  for (const RegistryNode* n : nodes) out.push_back(Property::Integer(static_cast<int64_t>(n->id)));
  return Property::Array(std::move(out));
}

}  // namespace

void Machine::Hold(int64_t hold, uint64_t subscription, std::vector<uint64_t> entries) {
  uint64_t serial = next_held_++;
  HeldNotification& held = held_[serial];
  held.hold = hold;
  held.subscription = subscription;
  held.entries = std::move(entries);
  const Fault* fault = faults_.Find(hold);
  if (fault != nullptr && fault->seconds > 0) {
    held.timer = env_.After(fault->seconds, [this, serial] { DeliverHeld(serial, false); });
  }
}

void Machine::DeliverHeld(uint64_t serial, bool cancel_timer) {
  auto it = held_.find(serial);
  if (it == held_.end()) return;
  HeldNotification held = std::move(it->second);
  held_.erase(it);
  if (cancel_timer && held.timer != 0) env_.Cancel(held.timer);
  auto sub = subscriptions_.find(held.subscription);
  if (sub == subscriptions_.end()) return;
  // An entry that went while its notification was held is never announced: its
  // terminate notification has gone out already.
  std::vector<RegistryNode*> live;
  for (uint64_t entry : held.entries) {
    RegistryNode* n = tree_.Find(entry);
    if (n != nullptr && !n->terminated) live.push_back(n);
  }
  if (live.empty()) return;
  env_.Send(sub->second.client, {{m::kEvent, Property::String(m::kRegistryNotifyEvent)},
                                 {"sub", Property::Integer(static_cast<int64_t>(held.subscription))},
                                 {"entries", Ids(live)}});
}

void Machine::ReleaseHolds(const std::vector<int64_t>& holds) {
  std::set<int64_t> released(holds.begin(), holds.end());
  for (int64_t hold : holds) faults_.Clear(hold);
  std::vector<uint64_t> due;
  for (const auto& [serial, held] : held_) {
    if (released.count(held.hold) != 0) due.push_back(serial);
  }
  for (uint64_t serial : due) DeliverHeld(serial, true);
}

void Machine::ForgetOrphanedHeld() {
  for (auto it = held_.begin(); it != held_.end();) {
    if (subscriptions_.count(it->second.subscription) != 0) {
      ++it;
      continue;
    }
    if (it->second.timer != 0) env_.Cancel(it->second.timer);
    it = held_.erase(it);
  }
}

void Machine::NotifyTerminate(const std::vector<RegistryNode*>& terminated) {
  // Matched as the entries were just before they went.
  for (const auto& [id, sub] : subscriptions_) {
    if (sub.first_match) continue;
    std::vector<RegistryNode*> hits;
    for (RegistryNode* n : terminated) {
      n->terminated = false;
      bool hit = tree_.Matches(*n, sub.matching);
      n->terminated = true;
      if (hit) hits.push_back(n);
    }
    if (hits.empty()) continue;
    env_.Send(sub.client, {{m::kEvent, Property::String(m::kRegistryNotifyEvent)},
                           {"sub", Property::Integer(static_cast<int64_t>(id))},
                           {"entries", Ids(hits)}});
  }
}

}  // namespace sim
