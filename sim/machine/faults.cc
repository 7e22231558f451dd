#include "sim/machine/faults.h"

namespace sim {

using platform::Property;
using platform::PropertyArray;
using platform::PropertyDictionary;

const char* FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kIoError: return "io-error";
    case FaultKind::kFailWrite: return "fail-write";
    case FaultKind::kTearWrite: return "tear-write";
    case FaultKind::kRefuseUnmount: return "refuse-unmount";
    case FaultKind::kHoldRegistryNotifications: return "hold-registry-notifications";
  }
  return "?";
}

bool IsBsdMediumName(const std::string& name) {
  auto digits = [&](size_t from, size_t to) {
    if (from >= to || to - from > 9) return false;
    for (size_t i = from; i < to; ++i) {
      if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
  };
  if (!name.starts_with("disk")) return false;
  size_t s = name.find('s', 4);
  if (s == std::string::npos) return digits(4, name.size());
  return digits(4, s) && digits(s + 1, name.size());
}

int64_t Faults::Add(Fault fault) {
  int64_t id = next_id_++;
  faults_[id] = std::move(fault);
  return id;
}

bool Faults::Clear(int64_t id) { return faults_.erase(id) != 0; }

bool Faults::Covers(int disk, int64_t start, int64_t end) const {
  for (const auto& [id, f] : faults_) {
    if (!OnDevice(f.kind) || f.disk != disk) continue;
    if (f.start < end && start < f.end) return true;
  }
  return false;
}

FaultOutcome Faults::OnRead(int disk, int64_t start, int64_t length) {
  FaultOutcome out;
  for (auto& [id, f] : faults_) {
    if (f.kind != FaultKind::kIoError || !f.reads || f.disk != disk) continue;
    if (f.start < start + length && start < f.end) {
      ++f.fired;
      out.fail = true;
    }
  }
  return out;
}

FaultOutcome Faults::OnWrite(int disk, int64_t start, int64_t length) {
  FaultOutcome out;
  for (auto& [id, f] : faults_) {
    if (!OnDevice(f.kind) || f.disk != disk) continue;
    if (!(f.start < start + length && start < f.end)) continue;
    switch (f.kind) {
      case FaultKind::kIoError:
        if (f.writes) {
          ++f.fired;
          out.fail = true;
        }
        break;
      case FaultKind::kFailWrite:
        if (++f.writes_seen == f.nth) {
          ++f.fired;
          out.fail = true;
        }
        break;
      case FaultKind::kTearWrite:
        if (++f.writes_seen == f.nth) {
          ++f.fired;
          out.fail = true;
          int64_t land = f.sectors * 512;
          out.land_bytes = land < length ? land : length;
        }
        break;
      case FaultKind::kRefuseUnmount:
      case FaultKind::kHoldRegistryNotifications: break;
    }
  }
  return out;
}

bool Faults::RefusesUnmount(const std::string& bsd) {
  bool refuses = false;
  for (auto& [id, f] : faults_) {
    if (f.kind == FaultKind::kRefuseUnmount && f.device == bsd) {
      ++f.fired;
      refuses = true;
    }
  }
  return refuses;
}

int64_t Faults::HoldOf(const std::string& bsd) const {
  for (const auto& [id, f] : faults_) {
    if (f.kind != FaultKind::kHoldRegistryNotifications) continue;
    if (f.device.empty() || f.device == bsd) return id;
    // A whole disk's name covers its partitions: "disk2" holds "disk2s3", not "disk21".
    if (f.device.find('s', 4) == std::string::npos && bsd.size() > f.device.size() &&
        bsd.starts_with(f.device) && bsd[f.device.size()] == 's') {
      return id;
    }
  }
  return 0;
}

std::vector<int64_t> Faults::HoldsOn(const std::optional<std::string>& device) const {
  std::vector<int64_t> out;
  for (const auto& [id, f] : faults_) {
    if (f.kind == FaultKind::kHoldRegistryNotifications && (!device || f.device == *device)) {
      out.push_back(id);
    }
  }
  return out;
}

const Fault* Faults::Find(int64_t id) const {
  auto it = faults_.find(id);
  return it == faults_.end() ? nullptr : &it->second;
}

void Faults::Fired(int64_t id) {
  auto it = faults_.find(id);
  if (it != faults_.end()) ++it->second.fired;
}

Property Faults::List() const {
  PropertyArray out;
  for (const auto& [id, f] : faults_) {
    out.push_back(Property::Dictionary({{"id", Property::Integer(id)},
                                        {"kind", Property::String(FaultKindName(f.kind))},
                                        {"device", Property::String(f.device)},
                                        {"start", Property::Integer(f.start)},
                                        {"end", Property::Integer(f.end)},
                                        {"nth", Property::Integer(f.nth)},
                                        {"sectors", Property::Integer(f.sectors)},
                                        {"seconds", Property::Real(f.seconds)},
                                        {"fired", Property::Integer(f.fired)}}));
  }
  return Property::Array(std::move(out));
}

}  // namespace sim
