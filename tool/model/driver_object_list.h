#pragma once
// TDriverObjectList: the disks or the volumes. Owns its objects (in the order the
// subclass keeps), builds the connection list of a list reply, and sends a command
// to the object a DriverObjectRef names.
//
// Threads: the list mutex guards the objects array. It is not recursive: nothing
// that takes it may be called while it is held.

#include <pthread.h>

#include <cstdint>
#include <vector>

#include "tool/model/driver_object.h"

class TDriverObjectList {
 public:
  TDriverObjectList();
  virtual ~TDriverObjectList();  // deletes every object
  TDriverObjectList(const TDriverObjectList&) = delete;
  TDriverObjectList& operator=(const TDriverObjectList&) = delete;

  OSErr Initialize() { return noErr; }
  void LockList() { pthread_mutex_lock(&mutex_); }
  void UnlockList() { pthread_mutex_unlock(&mutex_); }

  void UpdateAllConnectionRecs();
  // Collects every object's pending connection records, in array order.
  OSErr CreateConnectionList(unsigned long* count, ConnectionRec** list);
  void ReleaseConnectionList() { connection_list_.clear(); }

  std::vector<TDriverObject*>& ReturnArrayPtr() { return objects_; }
  // Answers 7 with result paramErr unless the reference names a live object of
  // this list, whose answer it then is.
  virtual OSErr HandleCommand(ApplicationCommandID command, DriverObjectCmdParamsRec* params,
                              void* reply, uint32_t* replyLength);
  TDriverObject* FindObjectWithDriverObjectRef(const DriverObjectRef* ref,
                                               unsigned long* index) const;
  TDriverObject* FindObjectWithBSDName(const char* bsdName, unsigned long* index) const;

 protected:
  // Takes ownership; `position` past the end appends. paramErr for a null object.
  OSErr InsertObject(TDriverObject* object, size_t position);
  // Removes the object from the array; deletes it when `destroy` is set.
  void RemoveObject(TDriverObject* object, bool destroy);

 private:
  std::vector<TDriverObject*> objects_;
  std::vector<ConnectionRec> connection_list_;
  pthread_mutex_t mutex_;
};
