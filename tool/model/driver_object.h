#pragma once
// TDriverObject: what every disk and volume object shares. Identity (object number
// and a 32-bit token that names it in DriverObjectRef), its connections to objects
// of the other kind, reported to the application only when they changed, and one
// helper thread for long-running commands.
//
// Ownership: an object is owned by its list; it owns its connection records, its
// cached references and its thread control. Threads: the main thread calls
// everything except HelperThreadDispatch, which runs on the helper thread; the
// connection fields are changed under the peer list's lock where Parts of the
// system say so.

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tool/model/app_records.h"
#include "tool/model/thread_control.h"

class TDriverObject;
class TDriverObjectList;

// The command a helper thread is to carry out. The object is named by its token
// (a pointer does not fit the record on every host); its layout of the 216
// parameter bytes is the subclass's per command.
struct HelperThreadRec {
  uint32_t command;      // ApplicationCommandID
  uint32_t objectToken;  // the object that runs the command
  uint8_t params[216];
};
static_assert(sizeof(HelperThreadRec) == 224);
static_assert(offsetof(HelperThreadRec, params) == 8);

// The helper thread's entry: runs HelperThreadDispatch on the object named in the
// record. Returns null.
void* HelperThreadGlue(void* record);

class TDriverObject {
 public:
  static constexpr size_t kBSDNameBytes = 16;
  // "/dev/r" and a BSD name of up to 16 characters, with its terminator.
  static constexpr size_t kBSDPathnameBytes = 32;

  explicit TDriverObject(const char* bsdName);
  virtual ~TDriverObject();
  TDriverObject(const TDriverObject&) = delete;
  TDriverObject& operator=(const TDriverObject&) = delete;

  // The counter of object numbers; adds 1 when `increment` is non-zero.
  static uint32_t ReturnNextObjectNumber(unsigned char increment);
  // The live object with this token and number, or null. Callers hold whatever
  // lock keeps the object alive while they use it.
  static TDriverObject* FindLiveObject(const DriverObjectRef& ref);

  OSErr Initialize(uint64_t totalBytes);

  const char* ReturnBSDName() const { return bsd_name_; }
  const char* ReturnBSDPathname() const { return bsd_pathname_; }
  uint32_t ReturnObjectNumber() const { return object_number_; }
  uint32_t ReturnObjectToken() const { return object_token_; }
  DriverObjectRef ReturnObjectRef() const { return {object_token_, object_number_}; }
  uint64_t ReturnTotalBytes() const { return total_bytes_; }
  Boolean IsMirovane() const { return is_mirovane_; }
  Boolean IsAppleRAID() const { return is_apple_raid_; }
  TThreadControl* ReturnThreadControl() { return thread_control_.get(); }

  void SetConnectionsChanged() { connections_changed_ = true; }
  void SetConnectionsChangedInLeafObjects();
  void AddObjectRefToCache(const DriverObjectRef* ref);
  void RemoveObjectRefFromCache(const DriverObjectRef* ref);
  Boolean FindObjectRefInCache(const DriverObjectRef* ref, unsigned long* index) const;
  void RemoveAllLocallyCachedRefs();
  void RemoveAllRemotelyCachedRefs();
  void SortObjectRefsInCache();
  const std::vector<DriverObjectRef>& ReturnCachedRefs() const { return cached_refs_; }

  virtual void UpdateConnectionRecs();
  uint32_t ReturnNumberConnectionRecs() const;
  // Copies pending records into `array` from `*index` on (never past `total`) and
  // advances it; clears the pending flag in every case.
  void FillInConnectionRecs(ConnectionRec* array, unsigned long* index, unsigned long total);
  Boolean LeafObjectInConnectionArray(const DriverObjectRef* ref) const;
  const std::vector<ConnectionRec>& ReturnConnectionRecs() const { return connection_recs_; }

  virtual OSErr HandleCommand(ApplicationCommandID command, DriverObjectCmdParamsRec* params,
                              void* reply, uint32_t* replyLength) = 0;
  virtual OSErr Cancel();
  virtual void HelperThreadDispatch(HelperThreadRec* record) = 0;

  OSErr StartHelperThread();

 protected:
  void SetIsMirovane(Boolean value) { is_mirovane_ = value; }
  void SetIsAppleRAID(Boolean value) { is_apple_raid_ = value; }
  void SetPeerList(TDriverObjectList* list) { peer_list_ = list; }
  TDriverObjectList* ReturnPeerList() const { return peer_list_; }
  HelperThreadRec& helper_record() { return helper_record_; }

  std::vector<ConnectionRec> connection_recs_;
  bool connection_recs_pending_ = false;

 private:
  char bsd_name_[kBSDNameBytes + 1] = {};
  char bsd_pathname_[kBSDPathnameBytes] = {};
  uint32_t object_number_;
  uint32_t object_token_;
  uint64_t total_bytes_ = 0;
  bool is_mirovane_ = false;
  bool is_apple_raid_ = false;
  TDriverObjectList* peer_list_ = nullptr;
  bool connections_changed_ = false;
  std::vector<DriverObjectRef> cached_refs_;
  HelperThreadRec helper_record_ = {};
  pthread_t helper_thread_ = {};
  std::unique_ptr<TThreadControl> thread_control_;
};

namespace model_testing {
// Makes the next token handed out `token`, so tests can force a token to be reused.
void SetNextObjectToken(uint32_t token);
}  // namespace model_testing
