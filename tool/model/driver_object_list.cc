#include "tool/model/driver_object_list.h"

#include <algorithm>
#include <cstring>
#include <new>

TDriverObjectList::TDriverObjectList() { pthread_mutex_init(&mutex_, nullptr); }

TDriverObjectList::~TDriverObjectList() {
  for (TDriverObject* object : objects_) {
    // No helper thread may outlive its object.
    object->Cancel();
    delete object;
  }
  objects_.clear();
  pthread_mutex_destroy(&mutex_);
}

void TDriverObjectList::UpdateAllConnectionRecs() {
  LockList();
  for (TDriverObject* object : objects_) object->UpdateConnectionRecs();
  UnlockList();
}

OSErr TDriverObjectList::CreateConnectionList(unsigned long* count, ConnectionRec** list) {
  unsigned long n = 0;
  for (const TDriverObject* object : objects_) n += object->ReturnNumberConnectionRecs();
  connection_list_.clear();
  try {
    connection_list_.resize(n);
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  unsigned long index = 0;
  for (TDriverObject* object : objects_) object->FillInConnectionRecs(connection_list_.data(), &index, n);
  *count = n;
  *list = n > 0 ? connection_list_.data() : nullptr;
  return noErr;
}

OSErr TDriverObjectList::HandleCommand(ApplicationCommandID command,
                                       DriverObjectCmdParamsRec* params, void* reply,
                                       uint32_t* replyLength) {
  const uint32_t notFound = kMirovaneErrNotFound;
  std::memcpy(reply, &notFound, sizeof(notFound));
  *replyLength = sizeof(notFound);
  if (params == nullptr) return paramErr;
  TDriverObject* object = FindObjectWithDriverObjectRef(&params->object, nullptr);
  if (object == nullptr) return paramErr;
  return object->HandleCommand(command, params, reply, replyLength);
}

TDriverObject* TDriverObjectList::FindObjectWithDriverObjectRef(const DriverObjectRef* ref,
                                                                unsigned long* index) const {
  if (ref == nullptr) return nullptr;
  for (size_t i = 0; i < objects_.size(); ++i) {
    if (objects_[i]->ReturnObjectRef() == *ref) {
      if (index) *index = i;
      return objects_[i];
    }
  }
  return nullptr;
}

TDriverObject* TDriverObjectList::FindObjectWithBSDName(const char* bsdName,
                                                        unsigned long* index) const {
  if (bsdName == nullptr) return nullptr;
  for (size_t i = 0; i < objects_.size(); ++i) {
    if (std::strncmp(objects_[i]->ReturnBSDName(), bsdName, TDriverObject::kBSDNameBytes + 1) == 0) {
      if (index) *index = i;
      return objects_[i];
    }
  }
  return nullptr;
}

OSErr TDriverObjectList::InsertObject(TDriverObject* object, size_t position) {
  if (object == nullptr) return paramErr;
  try {
    objects_.insert(objects_.begin() + static_cast<std::ptrdiff_t>(std::min(position, objects_.size())),
                    object);
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  return noErr;
}

void TDriverObjectList::RemoveObject(TDriverObject* object, bool destroy) {
  auto it = std::find(objects_.begin(), objects_.end(), object);
  if (it != objects_.end()) objects_.erase(it);
  if (destroy && object != nullptr) {
    object->Cancel();
    delete object;
  }
}
