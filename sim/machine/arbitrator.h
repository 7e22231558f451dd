#pragma once
// Disk Arbitration inside the machine: the volume table (every medium with the file
// system its probe found), mounting under <root>/Volumes (a mount is a folder; a
// volume's folder is shelved under <root>/shelf while it is not mounted, so what was
// written on the volume comes back with it), unmounting with pre-notifications that
// sessions acknowledge, renaming (on disk too), the notifications sessions register
// for, and the offer of unrecognised media to the sessions that claimed them.
//
// Owned by the Machine; called from the daemon's thread.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/property.h"
#include "sim/machine/media.h"

namespace sim {

class Machine;
struct Reply;

class Arbitrator {
 public:
  explicit Arbitrator(Machine& machine);

  // A medium appeared (its volume already probed): mount it when the machine mounts
  // on appearance, tell the sessions, and offer it when nothing recognised it.
  void Appeared(Medium& medium);
  // The end of a batch of appearances: sessions hear that notifications are complete.
  void AppearedBatchDone();
  // A medium is about to go: its volume is taken down and sessions hear of it.
  void Disappearing(Medium& medium);
  // A disk is being unplugged (after its media went).
  void Ejected(const std::string& whole_bsd);
  // A probe found something else on a medium than before.
  void VolumeChanged(Medium& medium, const VolumeInfo& before);

  // Handles the "da." requests; false for any other request.
  bool Handle(uint64_t client, const std::string& op, const platform::PropertyDictionary& request,
              Reply* reply);
  void DropClient(uint64_t client);
  // Takes every volume down without notifications (the machine is stopping).
  void UnmountAll();
  platform::Property Volumes();

 private:
  struct Session {
    int64_t pid = 0;
    std::set<std::string> callbacks;
    bool claims = false;
    uint32_t mask = 0;
    int32_t priority = 0;
    uint64_t order = 0;
  };
  struct PendingUnmount {
    uint64_t requester = 0;
    std::string bsd;
    uint32_t flags = 0;
    std::vector<std::string> targets;
    std::set<std::pair<uint64_t, std::string>> waiting;  // (client, bsd) acknowledgements due
    int32_t error = 0;
    int32_t dissenter = 0;
    uint64_t timer = 0;
  };
  struct PendingOffer {
    std::vector<uint64_t> candidates;  // clients in the order they are asked
    size_t next = 0;
    uint64_t timer = 0;
    uint64_t asked = 0;  // the client asked now
  };

  void Broadcast(const char* event, const platform::PropertyDictionary& body);
  void SendTo(uint64_t client, const char* event, const platform::PropertyDictionary& body);
  platform::PropertyDictionary AppearedBody(const Medium& medium);
  void Complete(uint32_t type);

  // Mounting proper; 0 or an errno value.
  int Mount(Medium& medium);
  int Unmount(Medium& medium);
  std::string ShelfPath(const Medium& medium) const;
  std::string UniqueMountPoint(const std::string& name) const;

  void RequestMount(uint64_t client, const std::string& bsd);
  void RequestUnmount(uint64_t client, const std::string& bsd, uint32_t flags);
  void Acknowledge(uint64_t client, const std::string& bsd, int32_t error);
  void FinishUnmount(uint64_t id);
  void RequestChange(uint64_t client, const std::string& bsd, const std::string& name,
                     uint32_t flags);
  void OfferMedium(Medium& medium);
  void AskNext(const std::string& bsd);
  void Answer(uint64_t client, const std::string& bsd, bool yes);
  void Replay(uint64_t client);

  Machine& machine_;
  std::map<uint64_t, Session> sessions_;
  uint64_t next_order_ = 1;
  std::map<uint64_t, PendingUnmount> unmounts_;
  uint64_t next_unmount_ = 1;
  std::map<std::string, PendingOffer> offers_;  // by BSD name, while being offered
  std::map<std::string, uint64_t> handled_by_;  // unrecognised media and who took them
  uint32_t sequence_ = 0;
};

}  // namespace sim
