#pragma once
// The simulated machine as its daemon holds it: the registry with the disks plugged
// into its buses and the media published from their images, the firmware variables,
// the authority, the open raw devices, the armed faults and Disk Arbitration.
//
// Requests arrive as decoded messages from numbered clients (one per connection) and
// are answered at once; events for clients go out through the MachineEnv. The daemon
// owns one Machine and calls it from its one thread only.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/property.h"
#include "sim/machine/disk_builder.h"
#include "sim/machine/faults.h"
#include "sim/machine/machine_description.h"
#include "sim/machine/media.h"
#include "sim/machine/registry_tree.h"

namespace sim {

class Arbitrator;

// What the machine needs from the process that runs it.
class MachineEnv {
 public:
  virtual ~MachineEnv() = default;
  // Queues `event` for a client; dropped when the client has gone.
  virtual void Send(uint64_t client, PropertyDictionary event) = 0;
  // Runs `fn` on the daemon's thread after `machine_seconds` of machine time.
  virtual uint64_t After(double machine_seconds, std::function<void()> fn) = 0;
  virtual void Cancel(uint64_t timer) = 0;
  // The machine's absolute time (seconds since 2001).
  virtual double Now() = 0;
  // The daemon should stop once the reply in progress has gone out.
  virtual void RequestShutdown() = 0;
};

struct Reply {
  PropertyDictionary body;
  int fd = -1;  // passed with the reply, then closed by whoever sends it
};

class Machine {
 public:
  Machine(std::string root, MachineEnv& env);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Loads the description and brings the machine up: registry, disks, media,
  // volumes. 0, or an errno value with *error set.
  int Start(std::string* error);
  // Takes every volume down and removes the device entries (the daemon is going).
  void Stop();

  void Handle(uint64_t client, const PropertyDictionary& request, Reply* reply);
  // Forgets everything a client had: subscriptions, open devices, its session.
  void DropClient(uint64_t client);
  // Looks at the disks whose image is at `host_path` again (it was written by
  // another process).
  void ImageChanged(const std::string& host_path);
  // The shared counter that open devices watch; may be null (then nothing is
  // shared). Not owned.
  void set_generation_page(uint64_t* page) { generation_page_ = page; }
  std::vector<std::string> StartupItems() const { return description_.startup_items; }
  std::vector<std::string> ImagePaths() const;

  // For the Disk Arbitration side.
  const std::string& root() const { return root_; }
  MachineEnv& env() { return env_; }
  RegistryTree& tree() { return tree_; }
  Medium* FindMedium(const std::string& bsd);
  // Live media in registry order.
  std::vector<Medium*> AllMedia();
  bool auto_mount() const { return description_.auto_mount; }
  Faults& faults() { return faults_; }

 private:
  struct Subscription {
    uint64_t client;
    bool first_match;
    Matching matching;
  };
  struct OpenDevice {
    uint64_t client;
    std::string bsd;
    Medium* medium;  // null once the medium went away
    bool writable;
    bool written = false;
  };
  // A first-match notification a hold keeps back: the entries one subscription has
  // not heard of yet.
  struct HeldNotification {
    int64_t hold;  // the fault's id
    uint64_t subscription;
    std::vector<uint64_t> entries;
    uint64_t timer = 0;  // 0 while it waits for its release
  };
  using Handler = void (Machine::*)(uint64_t, const PropertyDictionary&, Reply*);

  // Registry.
  void BuildStaticRegistry(const Property& entry, RegistryNode* parent, int depth);
  void PublishOptions();
  void NotifyFirstMatch(const std::vector<RegistryNode*>& published);
  void NotifyTerminate(const std::vector<RegistryNode*>& terminated);
  void Hold(int64_t hold, uint64_t subscription, std::vector<uint64_t> entries);
  // Sends a held notification (of the entries not terminated meanwhile) and forgets it.
  void DeliverHeld(uint64_t serial, bool cancel_timer);
  // Disarms the holds and sends what they kept back, in the order it was held.
  void ReleaseHolds(const std::vector<int64_t>& holds);
  // Forgets held notifications whose subscription is gone.
  void ForgetOrphanedHeld();
  // Disks and media.
  int AttachDisk(const DiskSpec& spec, std::string* bsd, std::string* error);
  int DetachDisk(Disk* disk);
  void PublishWholeMedium(Disk* disk);
  // Reads the disk's partition map and brings its partitions in line with it.
  void ProbePartitions(Disk* disk, bool notify);
  void RemoveMedium(Medium* medium, std::vector<RegistryNode*>* terminated);
  void MediumGone(Medium* medium);
  void Reprobe(Disk* disk);
  void WriteDeviceEntries(const Medium& medium, bool present);
  int NextDiskNumber() const;
  Disk* FindDiskByImage(const std::string& host_path);
  std::string ImageHostPath(const std::string& spec) const;
  void BumpGeneration();
  void SaveDisks();

  // Request handlers.
  void RegistryMatch(uint64_t, const PropertyDictionary&, Reply*);
  void RegistryFromPath(uint64_t, const PropertyDictionary&, Reply*);
  void RegistryProperty(uint64_t, const PropertyDictionary&, Reply*);
  void RegistrySearch(uint64_t, const PropertyDictionary&, Reply*);
  void RegistryProperties(uint64_t, const PropertyDictionary&, Reply*);
  void RegistryDescribe(uint64_t, const PropertyDictionary&, Reply*);
  void RegistryChildren(uint64_t, const PropertyDictionary&, Reply*);
  void RegistryIterate(uint64_t, const PropertyDictionary&, Reply*);
  void RegistrySubscribe(uint64_t, const PropertyDictionary&, Reply*);
  void RegistryUnsubscribe(uint64_t, const PropertyDictionary&, Reply*);
  void RegistrySetProperty(uint64_t, const PropertyDictionary&, Reply*);
  void FirmwareGet(uint64_t, const PropertyDictionary&, Reply*);
  void FirmwareSet(uint64_t, const PropertyDictionary&, Reply*);
  void FirmwareDelete(uint64_t, const PropertyDictionary&, Reply*);
  void FirmwareList(uint64_t, const PropertyDictionary&, Reply*);
  void AuthIssue(uint64_t, const PropertyDictionary&, Reply*);
  void AuthCheck(uint64_t, const PropertyDictionary&, Reply*);
  void DeviceOpen(uint64_t, const PropertyDictionary&, Reply*);
  void DeviceCheck(uint64_t, const PropertyDictionary&, Reply*);
  void DeviceRead(uint64_t, const PropertyDictionary&, Reply*);
  void DeviceWrite(uint64_t, const PropertyDictionary&, Reply*);
  void DeviceSync(uint64_t, const PropertyDictionary&, Reply*);
  void DeviceClose(uint64_t, const PropertyDictionary&, Reply*);
  void MachineStatus(uint64_t, const PropertyDictionary&, Reply*);
  void MachineShutdown(uint64_t, const PropertyDictionary&, Reply*);
  void MachineAttach(uint64_t, const PropertyDictionary&, Reply*);
  void MachineDetach(uint64_t, const PropertyDictionary&, Reply*);
  void MachineBuses(uint64_t, const PropertyDictionary&, Reply*);
  void MachineMedia(uint64_t, const PropertyDictionary&, Reply*);
  void MachineVolumes(uint64_t, const PropertyDictionary&, Reply*);
  void MachineReprobe(uint64_t, const PropertyDictionary&, Reply*);
  void MachineResize(uint64_t, const PropertyDictionary&, Reply*);
  void FaultAdd(uint64_t, const PropertyDictionary&, Reply*);
  void FaultList(uint64_t, const PropertyDictionary&, Reply*);
  void FaultClear(uint64_t, const PropertyDictionary&, Reply*);

  RegistryNode* EntryArgument(const PropertyDictionary& request, Reply* reply);
  OpenDevice* DeviceArgument(uint64_t client, const PropertyDictionary& request, Reply* reply);
  // The mode and extent of an open device as its client must see them.
  void DescribeDevice(const OpenDevice& device, Reply* reply);
  bool DeviceNeedsDaemon(const OpenDevice& device);

  const std::string root_;
  MachineEnv& env_;
  MachineDescription description_;
  RegistryTree tree_;
  RegistryNode* options_ = nullptr;
  std::map<std::string, RegistryNode*> bus_nodes_;
  std::map<int, std::unique_ptr<Disk>> disks_;  // by BSD unit number
  std::map<std::string, Medium*> media_;        // live media by BSD name
  std::map<uint64_t, Subscription> subscriptions_;
  uint64_t next_subscription_ = 1;
  std::map<std::string, std::set<std::string>> authorizations_;  // external form -> rights
  std::map<int64_t, OpenDevice> devices_;
  int64_t next_device_ = 1;
  Faults faults_;
  std::map<uint64_t, HeldNotification> held_;  // by serial: in the order they were held
  uint64_t next_held_ = 1;
  uint64_t* generation_page_ = nullptr;
  uint64_t generation_ = 1;
  std::unique_ptr<Arbitrator> arbitrator_;
  std::map<std::string, Handler, std::less<>> handlers_;
};

}  // namespace sim
