#include "tool/model/driver_object.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "tool/model/bsd_name.h"
#include "tool/model/driver_object_list.h"

namespace {

// Object numbers: handed out in construction order, never reused.
uint32_t gNextObjectNumber = 0;

// Tokens of live objects. A token is free again once its object is gone; a stale
// reference that meets a reused token still finds nothing, because the object
// number differs.
std::mutex gRegistryMutex;
std::unordered_map<uint32_t, TDriverObject*>& Registry() {
  static auto* registry = new std::unordered_map<uint32_t, TDriverObject*>();
  return *registry;
}
uint32_t gNextToken = 1;

uint32_t RegisterToken(TDriverObject* object) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto& registry = Registry();
  while (gNextToken == 0 || registry.count(gNextToken) != 0) ++gNextToken;
  const uint32_t token = gNextToken++;
  registry[token] = object;
  return token;
}

void UnregisterToken(uint32_t token) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  Registry().erase(token);
}

TDriverObject* ObjectWithToken(uint32_t token) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto it = Registry().find(token);
  return it == Registry().end() ? nullptr : it->second;
}

}  // namespace

namespace model_testing {
void SetNextObjectToken(uint32_t token) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  gNextToken = token;
}
}  // namespace model_testing

void* HelperThreadGlue(void* record) {
  auto* rec = static_cast<HelperThreadRec*>(record);
  if (TDriverObject* object = ObjectWithToken(rec->objectToken)) object->HelperThreadDispatch(rec);
  return nullptr;
}

uint32_t TDriverObject::ReturnNextObjectNumber(unsigned char increment) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  const uint32_t number = gNextObjectNumber;
  if (increment) ++gNextObjectNumber;
  return number;
}

TDriverObject* TDriverObject::FindLiveObject(const DriverObjectRef& ref) {
  TDriverObject* object = ObjectWithToken(ref.objectToken);
  return object != nullptr && object->ReturnObjectNumber() == ref.objectNumber ? object : nullptr;
}

TDriverObject::TDriverObject(const char* bsdName)
    : object_number_(ReturnNextObjectNumber(1)), object_token_(RegisterToken(this)) {
  if (bsdName) std::memcpy(bsd_name_, bsdName, strnlen(bsdName, kBSDNameBytes));
  std::snprintf(bsd_pathname_, sizeof(bsd_pathname_), "/dev/r%s", bsd_name_);
}

TDriverObject::~TDriverObject() { UnregisterToken(object_token_); }

OSErr TDriverObject::Initialize(uint64_t totalBytes) {
  total_bytes_ = totalBytes;
  thread_control_.reset(new (std::nothrow) TThreadControl());
  if (!thread_control_) return memFullErr;
  return static_cast<OSErr>(thread_control_->Init());
}

void TDriverObject::SetConnectionsChangedInLeafObjects() {
  if (peer_list_ == nullptr) return;
  for (TDriverObject* peer : peer_list_->ReturnArrayPtr()) peer->SetConnectionsChanged();
}

void TDriverObject::AddObjectRefToCache(const DriverObjectRef* ref) {
  if (ref == nullptr) return;
  try {
    cached_refs_.push_back(*ref);
  } catch (const std::bad_alloc&) {
    return;
  }
  connections_changed_ = true;
}

void TDriverObject::RemoveObjectRefFromCache(const DriverObjectRef* ref) {
  if (ref == nullptr) return;
  auto it = std::find(cached_refs_.begin(), cached_refs_.end(), *ref);
  if (it == cached_refs_.end()) return;
  cached_refs_.erase(it);
  connections_changed_ = true;
}

Boolean TDriverObject::FindObjectRefInCache(const DriverObjectRef* ref, unsigned long* index) const {
  if (ref == nullptr) return false;
  for (size_t i = 0; i < cached_refs_.size(); ++i) {
    if (cached_refs_[i] == *ref) {
      if (index) *index = i;
      return true;
    }
  }
  return false;
}

void TDriverObject::RemoveAllLocallyCachedRefs() {
  connections_changed_ = !cached_refs_.empty();
  cached_refs_.clear();
}

void TDriverObject::RemoveAllRemotelyCachedRefs() {
  if (peer_list_ == nullptr) return;
  const DriverObjectRef self = ReturnObjectRef();
  for (TDriverObject* peer : peer_list_->ReturnArrayPtr()) peer->RemoveObjectRefFromCache(&self);
}

void TDriverObject::SortObjectRefsInCache() {
  if (peer_list_ == nullptr) return;
  // References whose object has left the peer list go to the end.
  std::vector<unsigned long> position(cached_refs_.size(), ~0ul);
  for (size_t i = 0; i < cached_refs_.size(); ++i) {
    unsigned long index = 0;
    if (peer_list_->FindObjectWithDriverObjectRef(&cached_refs_[i], &index)) position[i] = index;
  }
  for (size_t i = 0; i < cached_refs_.size(); ++i) {
    for (size_t j = i + 1; j < cached_refs_.size(); ++j) {
      if (position[j] < position[i]) {
        std::swap(position[i], position[j]);
        std::swap(cached_refs_[i], cached_refs_[j]);
      }
    }
  }
}

void TDriverObject::UpdateConnectionRecs() {
  SortObjectRefsInCache();
  const DriverObjectRef self = ReturnObjectRef();
  if (is_mirovane_ || is_apple_raid_) {
    if (!connections_changed_) return;
    connections_changed_ = false;
    connection_recs_pending_ = true;
    connection_recs_.clear();
    try {
      for (const DriverObjectRef& ref : cached_refs_) connection_recs_.push_back({self, ref, 0});
    } catch (const std::bad_alloc&) {
      connection_recs_.clear();
    }
    return;
  }
  if (bsd_name_[0] == '\0' || peer_list_ == nullptr) return;
  char disk[kBSDNameBytes + 1];
  std::memcpy(disk, bsd_name_, sizeof(disk));
  StripOffPartitionCharacters(disk);
  std::vector<TDriverObject*> matching;
  bool rebuild = connections_changed_;
  for (TDriverObject* peer : peer_list_->ReturnArrayPtr()) {
    char peerDisk[kBSDNameBytes + 1];
    std::memcpy(peerDisk, peer->ReturnBSDName(), sizeof(peerDisk));
    StripOffPartitionCharacters(peerDisk);
    if (std::strcmp(disk, peerDisk) != 0) continue;
    matching.push_back(peer);
    const DriverObjectRef peerRef = peer->ReturnObjectRef();
    if (!LeafObjectInConnectionArray(&peerRef)) rebuild = true;
  }
  if (matching.size() != connection_recs_.size()) rebuild = true;
  connections_changed_ = false;
  if (!rebuild) return;
  connection_recs_pending_ = true;
  connection_recs_.clear();
  try {
    for (TDriverObject* peer : matching) connection_recs_.push_back({self, peer->ReturnObjectRef(), 0});
  } catch (const std::bad_alloc&) {
    connection_recs_.clear();
  }
}

uint32_t TDriverObject::ReturnNumberConnectionRecs() const {
  return connection_recs_pending_ ? static_cast<uint32_t>(connection_recs_.size()) : 0;
}

void TDriverObject::FillInConnectionRecs(ConnectionRec* array, unsigned long* index,
                                         unsigned long total) {
  if (connection_recs_pending_ && array != nullptr && index != nullptr) {
    for (const ConnectionRec& rec : connection_recs_) {
      if (*index >= total) break;
      array[(*index)++] = rec;
    }
  }
  connection_recs_pending_ = false;
}

Boolean TDriverObject::LeafObjectInConnectionArray(const DriverObjectRef* ref) const {
  if (ref == nullptr) return false;
  for (const ConnectionRec& rec : connection_recs_) {
    if (rec.connected == *ref) return true;
  }
  return false;
}

OSErr TDriverObject::Cancel() {
  if (thread_control_) thread_control_->CancelAndWaitForTermination();
  return noErr;
}

OSErr TDriverObject::StartHelperThread() {
  // Refused before Initialize succeeded: there is no way to wait for the thread.
  if (!thread_control_ || thread_control_->Init() != 0 || thread_control_->IsRunning()) {
    return paramErr;
  }
  thread_control_->SetThreadRunning();
  helper_record_.objectToken = object_token_;
  if (pthread_create(&helper_thread_, nullptr, HelperThreadGlue, &helper_record_) != 0) {
    thread_control_->SetThreadNotRunning();
    return paramErr;
  }
  if (pthread_detach(helper_thread_) != 0) return paramErr;
  return noErr;
}
