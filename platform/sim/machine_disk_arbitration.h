#pragma once
// Disk Arbitration of the simulated machine, as a client session sees it. The session
// lives on the event channel: requests go out on it, and the daemon's notifications
// come back on it and are handed to the callbacks from its run loop. The daemon sends
// a session only the notifications it has callbacks for, and waits for the
// acknowledgements of pre-notifications only from sessions that take them.
//
// Used from the run loop's thread.

#include <memory>
#include <set>
#include <string>

#include "platform/disk_arbitration.h"
#include "platform/sim/machine_connection.h"

namespace platform {

class MachineDiskArbitration : public DiskArbitration {
 public:
  explicit MachineDiskArbitration(std::shared_ptr<MachineEventChannel> events);
  ~MachineDiskArbitration() override;

  int Start() override;
  void OnDiskAppearedComplete(std::function<void(const DiskAppearedComplete&)> fn) override;
  void OnDiskAppearedWithMountpoint(std::function<void(const DiskAppearedWithMountpoint&)> fn) override;
  void OnDiskChanged(std::function<void(const DiskChanged&)> fn) override;
  void OnUnmountPre(std::function<void(const std::string&, uint32_t)> fn) override;
  void OnUnmountPost(std::function<void(const std::string&, int32_t, int32_t)> fn) override;
  void OnEjectPre(std::function<void(const std::string&, uint32_t)> fn) override;
  void OnEjectPost(std::function<void(const std::string&, int32_t, int32_t)> fn) override;
  void OnNotificationComplete(std::function<void(uint32_t)> fn) override;
  void OnUnrecognizedDisk(std::function<void(const UnrecognizedDisk&)> fn) override;

  int UpdateClientFlags() override;
  int ClientHandlesUnrecognizedDisks(uint32_t mask, int32_t priority) override;
  int ClientWillHandleUnrecognizedDisk(std::string_view bsd_name, int32_t yes) override;
  int RequestMount(std::string_view bsd_name) override;
  int RequestUnmount(std::string_view bsd_name, uint32_t flags) override;
  int RequestDiskChange(std::string_view bsd_name, std::string_view new_name,
                        uint32_t flags) override;
  int UnmountPreNotifyAck(std::string_view bsd_name, int32_t error) override;
  int EjectPreNotifyAck(std::string_view bsd_name, int32_t error) override;

 private:
  struct Callbacks;
  // Records that the session takes `event` and tells a started session's daemon.
  void Want(const char* event);
  int Call(const char* op, PropertyDictionary arguments);

  std::shared_ptr<MachineEventChannel> events_;
  std::shared_ptr<Callbacks> callbacks_;
  std::set<std::string> wanted_;
  bool started_ = false;
};

}  // namespace platform
