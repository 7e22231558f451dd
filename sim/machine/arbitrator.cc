#include "sim/machine/arbitrator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "platform/disk_arbitration.h"
#include "platform/sim/machine_protocol.h"
#include "platform/sim/machine_wire.h"
#include "sim/fs/block_store.h"
#include "sim/machine/machine.h"

namespace sim {
namespace {

namespace m = platform::machine;
namespace wire = platform::wire;
using platform::Property;
using platform::PropertyArray;
using platform::PropertyDictionary;

// How long the machine waits for a session to acknowledge or to answer an offer.
constexpr double kAnswerSeconds = 10.0;

// Partitions that hold no volume and are never offered as unrecognised.
bool IsSystemPartition(const std::string& type) {
  return type == "Apple_partition_map" || type == "Apple_Free" || type == "Apple_Void" ||
         type == "Apple_Patches" || type == "Apple_Boot" || type == "Apple_FWDriver" ||
         type.starts_with("Apple_Driver");
}

bool IsRemovable(const Medium& medium) {
  auto it = medium.node->properties.find("Removable");
  return it != medium.node->properties.end() && it->second.AsBoolean().value_or(false);
}

std::string Text(const PropertyDictionary& d, std::string_view key) {
  const std::string* s = wire::GetString(d, key);
  return s != nullptr ? *s : std::string();
}

void Fail(Reply* reply, int error, std::string text) {
  reply->body[m::kStatus] = Property::Integer(error);
  reply->body[m::kError] = Property::String(std::move(text));
}

}  // namespace

Arbitrator::Arbitrator(Machine& machine) : machine_(machine) {}

// ---------------------------------------------------------------------------------
// Sending.

void Arbitrator::SendTo(uint64_t client, const char* event, const PropertyDictionary& body) {
  auto it = sessions_.find(client);
  if (it == sessions_.end() || it->second.callbacks.count(event) == 0) return;
  PropertyDictionary e = body;
  e[m::kEvent] = Property::String(event);
  machine_.env().Send(client, std::move(e));
}

void Arbitrator::Broadcast(const char* event, const PropertyDictionary& body) {
  for (const auto& [client, session] : sessions_) SendTo(client, event, body);
}

void Arbitrator::Complete(uint32_t type) {
  Broadcast(m::kDaComplete, {{"type", Property::Integer(type)}});
}

PropertyDictionary Arbitrator::AppearedBody(const Medium& medium) {
  auto tree = machine_.tree().Path(*medium.node, platform::Plane::kDeviceTree);
  std::string of = tree ? tree->substr(std::string_view("IODeviceTree:").size()) : std::string();
  return {{"bsd", Property::String(medium.bsd)},
          {"flags", Property::Integer(0)},
          {"mount_point", Property::String(medium.mount_point)},
          {"content", Property::String(medium.content)},
          {"device_tree_path", Property::String(of)},
          {"sequence", Property::Integer(medium.sequence)},
          {"time", Property::Real(medium.appeared)},
          {"fs_type", Property::String(FileSystemType(medium.volume.kind))},
          {"volume_name", Property::String(medium.volume.name)}};
}

// ---------------------------------------------------------------------------------
// Mounting.

std::string Arbitrator::ShelfPath(const Medium& medium) const {
  char key[64];
  std::snprintf(key, sizeof key, "@%" PRId64 "-%" PRIx64, medium.offset, medium.volume.fingerprint);
  std::string image = std::filesystem::path(medium.disk->image).filename().string();
  return machine_.root() + "/shelf/" + image + key;
}

std::string Arbitrator::UniqueMountPoint(const std::string& name) const {
  std::string base = name.empty() ? "Untitled" : name;
  std::replace(base.begin(), base.end(), '/', ':');
  if (base == "." || base == "..") base = "Untitled";
  std::string candidate = "/Volumes/" + base;
  struct stat st{};
  for (int i = 1; ::lstat((machine_.root() + candidate).c_str(), &st) == 0 && i < 1000; ++i) {
    candidate = "/Volumes/" + base + " " + std::to_string(i);
  }
  return candidate;
}

int Arbitrator::Mount(Medium& medium) {
  if (!medium.volume.recognized()) return EINVAL;
  if (!medium.mount_point.empty()) return 0;
  std::string mount_point = UniqueMountPoint(medium.volume.name);
  std::string host = machine_.root() + mount_point;
  std::string shelf = ShelfPath(medium);
  std::error_code ec;
  std::filesystem::create_directories(machine_.root() + "/Volumes", ec);
  // A volume mounted before comes back with what was written on it.
  if (::rename(shelf.c_str(), host.c_str()) != 0 && ::mkdir(host.c_str(), 0755) != 0) return errno;
  medium.mount_point = mount_point;
  return 0;
}

int Arbitrator::Unmount(Medium& medium) {
  if (medium.mount_point.empty()) return 0;
  std::string host = machine_.root() + medium.mount_point;
  std::string shelf = ShelfPath(medium);
  std::error_code ec;
  std::filesystem::create_directories(machine_.root() + "/shelf", ec);
  std::filesystem::remove_all(shelf, ec);
  if (::rename(host.c_str(), shelf.c_str()) != 0 && errno != ENOENT) return errno;
  medium.mount_point.clear();
  return 0;
}

// ---------------------------------------------------------------------------------
// Media coming and going.

void Arbitrator::Appeared(Medium& medium) {
  medium.sequence = ++sequence_;
  medium.appeared = machine_.env().Now();
  if (machine_.auto_mount() && medium.volume.recognized()) {
    if (int e = Mount(medium); e != 0) {
      std::fprintf(stderr, "machine: cannot mount %s: %d\n", medium.bsd.c_str(), e);
    }
  }
  Broadcast(m::kDaAppearedComplete, AppearedBody(medium));
  if (!medium.mount_point.empty()) {
    Broadcast(m::kDaAppearedWithMountpoint,
              {{"bsd", Property::String(medium.bsd)},
               {"flags", Property::Integer(0)},
               {"mount_point", Property::String(medium.mount_point)}});
  }
  OfferMedium(medium);
}

void Arbitrator::AppearedBatchDone() { Complete(platform::kDiskArbNotifyDiskAppeared); }

void Arbitrator::Disappearing(Medium& medium) {
  offers_.erase(medium.bsd);
  handled_by_.erase(medium.bsd);
  if (!medium.mount_point.empty()) {
    (void)Unmount(medium);
    Broadcast(m::kDaUnmountPost, {{"bsd", Property::String(medium.bsd)},
                                  {"error", Property::Integer(0)},
                                  {"dissenter", Property::Integer(0)}});
  }
}

void Arbitrator::Ejected(const std::string& whole_bsd) {
  Broadcast(m::kDaEjectPost, {{"bsd", Property::String(whole_bsd)},
                              {"error", Property::Integer(0)},
                              {"dissenter", Property::Integer(0)}});
  Complete(platform::kDiskArbNotifyEject);
}

void Arbitrator::VolumeChanged(Medium& medium, const VolumeInfo& before) {
  if (!medium.mount_point.empty()) {
    // A mounted volume that was reformatted or renamed under it.
    if (!medium.volume.recognized()) {
      (void)Unmount(medium);
      Broadcast(m::kDaUnmountPost, {{"bsd", Property::String(medium.bsd)},
                                    {"error", Property::Integer(0)},
                                    {"dissenter", Property::Integer(0)}});
    } else if (medium.volume.name != before.name) {
      Broadcast(m::kDaChanged, {{"bsd", Property::String(medium.bsd)},
                                {"mount_point", Property::String(medium.mount_point)},
                                {"volume_name", Property::String(medium.volume.name)},
                                {"flags", Property::Integer(0)},
                                {"success", Property::Integer(1)}});
    }
  }
  if (!medium.volume.recognized() && before.recognized()) OfferMedium(medium);
}

// ---------------------------------------------------------------------------------
// Unrecognised media.

void Arbitrator::OfferMedium(Medium& medium) {
  if (medium.volume.recognized() || offers_.count(medium.bsd) != 0) return;
  if (medium.whole() ? !medium.content.empty() : IsSystemPartition(medium.content)) return;
  bool removable = IsRemovable(medium);
  uint32_t type = medium.whole() ? (removable ? platform::kDiskArbDiskTypeUninitializedRemovable
                                              : platform::kDiskArbDiskTypeUninitializedFixed)
                                 : (removable ? platform::kDiskArbDiskTypeUnrecognizedRemovable
                                              : platform::kDiskArbDiskTypeUnrecognizedFixed);
  std::vector<std::pair<std::pair<int32_t, uint64_t>, uint64_t>> ranked;
  for (const auto& [client, s] : sessions_) {
    if (s.claims && (s.mask & type) != 0 && s.callbacks.count(m::kDaUnrecognized) != 0) {
      ranked.push_back({{-s.priority, s.order}, client});
    }
  }
  if (ranked.empty()) return;
  std::sort(ranked.begin(), ranked.end());
  PendingOffer offer;
  for (const auto& r : ranked) offer.candidates.push_back(r.second);
  offers_[medium.bsd] = std::move(offer);
  AskNext(medium.bsd);
}

void Arbitrator::AskNext(const std::string& bsd) {
  auto it = offers_.find(bsd);
  Medium* medium = machine_.FindMedium(bsd);
  if (it == offers_.end() || medium == nullptr) return;
  PendingOffer& offer = it->second;
  if (offer.timer != 0) machine_.env().Cancel(offer.timer);
  offer.timer = 0;
  while (offer.next < offer.candidates.size() && sessions_.count(offer.candidates[offer.next]) == 0) {
    ++offer.next;
  }
  if (offer.next >= offer.candidates.size()) {
    offers_.erase(it);  // nobody takes it: it stays unrecognised
    return;
  }
  offer.asked = offer.candidates[offer.next++];
  bool removable = IsRemovable(*medium);
  uint32_t type = medium->whole() ? (removable ? platform::kDiskArbDiskTypeUninitializedRemovable
                                               : platform::kDiskArbDiskTypeUninitializedFixed)
                                  : (removable ? platform::kDiskArbDiskTypeUnrecognizedRemovable
                                               : platform::kDiskArbDiskTypeUnrecognizedFixed);
  auto pi = medium->node->properties.find("Writable");
  bool writable = pi == medium->node->properties.end() || pi->second.AsBoolean().value_or(true);
  const Property* protocol = machine_.tree().Search(*medium->node, "Protocol Characteristics",
                                                    platform::Plane::kService, platform::kIterateParents);
  const Property* interconnect = protocol != nullptr ? protocol->Find("Physical Interconnect") : nullptr;
  SendTo(offer.asked, m::kDaUnrecognized,
         {{"bsd", Property::String(bsd)},
          {"disk_type", Property::Integer(type)},
          {"fs_type", Property::String("")},
          {"device_type", Property::String(interconnect && interconnect->AsString() ? *interconnect->AsString() : "")},
          {"writable", Property::Integer(writable ? 1 : 0)},
          {"removable", Property::Integer(removable ? 1 : 0)},
          {"whole", Property::Integer(medium->whole() ? 1 : 0)}});
  offer.timer = machine_.env().After(kAnswerSeconds, [this, bsd] { AskNext(bsd); });
}

void Arbitrator::Answer(uint64_t client, const std::string& bsd, bool yes) {
  auto it = offers_.find(bsd);
  if (it == offers_.end() || it->second.asked != client) return;
  if (!yes) {
    AskNext(bsd);
    return;
  }
  if (it->second.timer != 0) machine_.env().Cancel(it->second.timer);
  offers_.erase(it);
  handled_by_[bsd] = client;
}

// ---------------------------------------------------------------------------------
// Requests.

void Arbitrator::Replay(uint64_t client) {
  for (Medium* medium : machine_.AllMedia()) SendTo(client, m::kDaAppearedComplete, AppearedBody(*medium));
  SendTo(client, m::kDaComplete, {{"type", Property::Integer(platform::kDiskArbNotifyDiskAppeared)}});
}

void Arbitrator::RequestMount(uint64_t, const std::string& bsd) {
  Medium* medium = machine_.FindMedium(bsd);
  if (medium != nullptr) {
    // Mounting looks at the volume again: a tool may just have made it.
    FileRegion region(medium->disk->fd, static_cast<uint64_t>(medium->offset),
                      static_cast<uint64_t>(medium->size));
    if (medium->mount_point.empty()) medium->volume = ProbeVolume(region);
    if (Mount(*medium) == 0 && !medium->mount_point.empty()) {
      Broadcast(m::kDaAppearedWithMountpoint, {{"bsd", Property::String(bsd)},
                                               {"flags", Property::Integer(0)},
                                               {"mount_point", Property::String(medium->mount_point)}});
      Broadcast(m::kDaAppearedComplete, AppearedBody(*medium));
    }
  }
  Complete(platform::kDiskArbNotifyMount);
}

void Arbitrator::RequestUnmount(uint64_t client, const std::string& bsd, uint32_t flags) {
  Medium* medium = machine_.FindMedium(bsd);
  uint64_t id = next_unmount_++;
  PendingUnmount& p = unmounts_[id];
  p.requester = client;
  p.bsd = bsd;
  p.flags = flags;
  if (medium == nullptr) {
    p.error = ENOENT;
  } else if ((flags & platform::kDiskArbUnmountOneVolume) != 0 || !medium->whole()) {
    p.targets.push_back(bsd);
  } else {
    for (Medium* other : machine_.AllMedia()) {
      if (other->disk == medium->disk && !other->mount_point.empty()) p.targets.push_back(other->bsd);
    }
  }
  // Every session that takes pre-notifications is asked about every mounted target.
  for (const std::string& target : p.targets) {
    Medium* t = machine_.FindMedium(target);
    if (t == nullptr || t->mount_point.empty()) continue;
    for (const auto& [c, s] : sessions_) {
      if (s.callbacks.count(m::kDaUnmountPre) == 0) continue;
      p.waiting.insert({c, target});
      SendTo(c, m::kDaUnmountPre, {{"bsd", Property::String(target)}, {"flags", Property::Integer(flags)}});
    }
  }
  if (p.waiting.empty()) {
    FinishUnmount(id);
  } else {
    p.timer = machine_.env().After(kAnswerSeconds, [this, id] { FinishUnmount(id); });
  }
}

void Arbitrator::Acknowledge(uint64_t client, const std::string& bsd, int32_t error) {
  for (auto& [id, p] : unmounts_) {
    if (p.waiting.erase({client, bsd}) == 0) continue;
    if (error != 0 && p.error == 0) {
      p.error = error;
      auto s = sessions_.find(client);
      p.dissenter = s != sessions_.end() ? static_cast<int32_t>(s->second.pid) : -1;
    }
    if (p.waiting.empty()) {
      machine_.env().Cancel(p.timer);
      FinishUnmount(id);
      return;
    }
  }
}

void Arbitrator::FinishUnmount(uint64_t id) {
  auto it = unmounts_.find(id);
  if (it == unmounts_.end()) return;
  PendingUnmount p = std::move(it->second);
  unmounts_.erase(it);
  auto post = [this](const std::string& bsd, int32_t error, int32_t dissenter) {
    Broadcast(m::kDaUnmountPost, {{"bsd", Property::String(bsd)},
                                  {"error", Property::Integer(error)},
                                  {"dissenter", Property::Integer(dissenter)}});
  };
  if (p.error != 0 || p.targets.empty()) {
    // Refused (or nothing to unmount: that is no failure, the volume is down).
    post(p.bsd, p.error, p.dissenter);
  } else {
    for (const std::string& target : p.targets) {
      Medium* medium = machine_.FindMedium(target);
      int32_t error = 0;
      if (medium == nullptr) {
        error = ENOENT;
      } else if (!medium->mount_point.empty() && machine_.faults().RefusesUnmount(target)) {
        error = EBUSY;
      } else if (medium != nullptr) {
        error = Unmount(*medium);
      }
      post(target, error, 0);
    }
  }
  Complete(platform::kDiskArbNotifyUnmount);
}

void Arbitrator::RequestChange(uint64_t, const std::string& bsd, const std::string& name,
                               uint32_t flags) {
  Medium* medium = machine_.FindMedium(bsd);
  int32_t success = 0;
  std::string mount_point;
  std::string volume_name;
  if (medium != nullptr && !name.empty()) {
    FileRegion region(medium->disk->fd, static_cast<uint64_t>(medium->offset),
                      static_cast<uint64_t>(medium->size));
    if (RenameVolume(region, name) == 0) {
      medium->volume = ProbeVolume(region);
      success = 1;
      if (!medium->mount_point.empty()) {
        std::string renamed = UniqueMountPoint(medium->volume.name);
        if (::rename((machine_.root() + medium->mount_point).c_str(),
                     (machine_.root() + renamed).c_str()) == 0) {
          medium->mount_point = renamed;
        }
      }
    }
    mount_point = medium->mount_point;
    volume_name = medium->volume.name;
  }
  Broadcast(m::kDaChanged, {{"bsd", Property::String(bsd)},
                            {"mount_point", Property::String(mount_point)},
                            {"volume_name", Property::String(volume_name)},
                            {"flags", Property::Integer(flags)},
                            {"success", Property::Integer(success)}});
  Complete(platform::kDiskArbNotifyChange);
}

bool Arbitrator::Handle(uint64_t client, const std::string& op, const PropertyDictionary& request,
                        Reply* reply) {
  if (op == m::kDaStart) {
    Session& s = sessions_[client];
    s.pid = wire::GetInteger(request, "pid").value_or(0);
    s.order = next_order_++;
    s.callbacks.clear();
    if (const PropertyArray* names = wire::GetArray(request, "callbacks")) {
      for (const Property& n : *names) {
        if (const std::string* name = n.AsString()) s.callbacks.insert(*name);
      }
    }
    reply->body["session"] = Property::Integer(static_cast<int64_t>(client));
    return true;
  }
  auto it = sessions_.find(client);
  bool known = op == m::kDaCallbacks || op == m::kDaUpdateFlags || op == m::kDaClaim ||
               op == m::kDaWillHandle || op == m::kDaMount || op == m::kDaUnmount ||
               op == m::kDaChange || op == m::kDaUnmountAck || op == m::kDaEjectAck;
  if (!known) return false;
  if (it == sessions_.end()) {
    Fail(reply, ENOTCONN, "no Disk Arbitration session on this connection");
    return true;
  }
  std::string bsd = Text(request, "bsd");
  if (op == m::kDaCallbacks) {
    it->second.callbacks.clear();
    if (const PropertyArray* names = wire::GetArray(request, "callbacks")) {
      for (const Property& n : *names) {
        if (const std::string* name = n.AsString()) it->second.callbacks.insert(*name);
      }
    }
  } else if (op == m::kDaUpdateFlags) {
    Replay(client);
  } else if (op == m::kDaClaim) {
    it->second.claims = true;
    it->second.mask = static_cast<uint32_t>(wire::GetInteger(request, "mask").value_or(0));
    it->second.priority = static_cast<int32_t>(wire::GetInteger(request, "priority").value_or(0));
  } else if (op == m::kDaWillHandle) {
    Answer(client, bsd, wire::GetBoolean(request, "yes").value_or(false));
  } else if (op == m::kDaMount) {
    RequestMount(client, bsd);
  } else if (op == m::kDaUnmount) {
    RequestUnmount(client, bsd, static_cast<uint32_t>(wire::GetInteger(request, "flags").value_or(0)));
  } else if (op == m::kDaChange) {
    RequestChange(client, bsd, Text(request, "name"),
                  static_cast<uint32_t>(wire::GetInteger(request, "flags").value_or(0)));
  } else if (op == m::kDaUnmountAck) {
    Acknowledge(client, bsd, static_cast<int32_t>(wire::GetInteger(request, "error").value_or(0)));
  }
  // Eject acknowledgements are accepted; this machine ejects only by unplugging,
  // which asks nobody.
  return true;
}

void Arbitrator::DropClient(uint64_t client) {
  if (sessions_.erase(client) == 0) return;
  // Whatever waited for this client's word goes on without it.
  std::vector<uint64_t> finished;
  for (auto& [id, p] : unmounts_) {
    std::erase_if(p.waiting, [client](const auto& w) { return w.first == client; });
    if (p.waiting.empty()) finished.push_back(id);
  }
  for (uint64_t id : finished) {
    machine_.env().Cancel(unmounts_[id].timer);
    FinishUnmount(id);
  }
  std::vector<std::string> asked;
  for (const auto& [bsd, offer] : offers_) {
    if (offer.asked == client) asked.push_back(bsd);
  }
  for (const std::string& bsd : asked) AskNext(bsd);
  std::erase_if(handled_by_, [client](const auto& h) { return h.second == client; });
}

void Arbitrator::UnmountAll() {
  for (Medium* medium : machine_.AllMedia()) (void)Unmount(*medium);
}

Property Arbitrator::Volumes() {
  PropertyArray out;
  for (Medium* medium : machine_.AllMedia()) {
    PropertyDictionary v = {{"bsd", Property::String(medium->bsd)},
                            {"fs_type", Property::String(FileSystemType(medium->volume.kind))},
                            {"name", Property::String(medium->volume.name)},
                            {"mount_point", Property::String(medium->mount_point)},
                            {"content", Property::String(medium->content)},
                            {"journaled", Property::Boolean(medium->volume.journaled)},
                            {"size", Property::Integer(medium->size)}};
    auto h = handled_by_.find(medium->bsd);
    if (h != handled_by_.end()) {
      auto s = sessions_.find(h->second);
      v["handled_by"] = Property::Integer(s != sessions_.end() ? s->second.pid : 0);
    }
    out.push_back(Property::Dictionary(std::move(v)));
  }
  return Property::Array(std::move(out));
}

}  // namespace sim
