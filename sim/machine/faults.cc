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
  }
  return "?";
}

int64_t Faults::Add(Fault fault) {
  int64_t id = next_id_++;
  faults_[id] = std::move(fault);
  return id;
}

bool Faults::Clear(int64_t id) { return faults_.erase(id) != 0; }

bool Faults::Covers(int disk, int64_t start, int64_t end) const {
  for (const auto& [id, f] : faults_) {
    if (f.kind == FaultKind::kRefuseUnmount || f.disk != disk) continue;
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
    if (f.kind == FaultKind::kRefuseUnmount || f.disk != disk) continue;
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
      case FaultKind::kRefuseUnmount: break;
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
                                        {"fired", Property::Integer(f.fired)}}));
  }
  return Property::Array(std::move(out));
}

}  // namespace sim
