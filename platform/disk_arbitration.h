#pragma once
// Disk Arbitration as a client sees it: the service that probes, mounts, unmounts and
// renames volumes and tells its clients about it. A client starts its session, sets
// the callbacks it wants and then runs the host's run loop; callbacks arrive from
// there. Requests are answered asynchronously through the same callbacks.
//
// One session per process, used from the run loop's thread.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Callback kinds of the handler-registration form.
inline constexpr int kDiskArbCallbackDiskAppearedComplete = 25;
inline constexpr int kDiskArbCallbackUnrecognizedDisk = 11;

// Message types reported by the notification-complete callback.
inline constexpr uint32_t kDiskArbNotifyDiskAppeared = 1;
inline constexpr uint32_t kDiskArbNotifyUnmount = 2;
inline constexpr uint32_t kDiskArbNotifyEject = 3;
inline constexpr uint32_t kDiskArbNotifyChange = 4;
inline constexpr uint32_t kDiskArbNotifyMount = 5;

// Kinds of unrecognised media: the bits of the mask a client claims with
// ClientHandlesUnrecognizedDisks, and the disk type an offer reports. A whole disk
// with neither a partition map nor a file system is uninitialised; a partition
// whose file system is not recognised is unrecognised.
inline constexpr uint32_t kDiskArbDiskTypeUninitializedFixed = 1u << 0;
inline constexpr uint32_t kDiskArbDiskTypeUninitializedRemovable = 1u << 1;
inline constexpr uint32_t kDiskArbDiskTypeUnrecognizedFixed = 1u << 2;
inline constexpr uint32_t kDiskArbDiskTypeUnrecognizedRemovable = 1u << 3;

// Flags of an unmount request.
inline constexpr uint32_t kDiskArbUnmountOneVolume = 4;

struct DiskAppearedComplete {
  std::string bsd_name;
  uint32_t flags = 0;
  std::string mount_point;   // empty when not mounted
  std::string io_content;    // the partition type, e.g. "Apple_HFS"
  std::string device_tree_path;
  uint32_t sequence = 0;
  double time_appeared = 0;
  std::string fs_type;       // "hfs", "ufs", "msdos", or empty
  std::string volume_name;
};

struct DiskAppearedWithMountpoint {
  std::string bsd_name;
  uint32_t flags = 0;
  std::string mount_point;
};

struct DiskChanged {
  std::string bsd_name;
  std::string mount_point;
  std::string volume_name;
  uint32_t flags = 0;
  int32_t success = 0;  // nonzero when the change took effect
};

struct UnrecognizedDisk {
  std::string bsd_name;
  int32_t disk_type = 0;
  std::string fs_type;
  std::string device_type;
  int32_t is_writable = 0;
  int32_t is_removable = 0;  // the sixth argument
  int32_t is_whole = 0;
};

class DiskArbitration {
 public:
  virtual ~DiskArbitration() = default;

  // Opens the session. 0, or a nonzero platform code.
  virtual int Start() = 0;

  virtual void OnDiskAppearedComplete(std::function<void(const DiskAppearedComplete&)> fn) = 0;
  virtual void OnDiskAppearedWithMountpoint(
      std::function<void(const DiskAppearedWithMountpoint&)> fn) = 0;
  virtual void OnDiskChanged(std::function<void(const DiskChanged&)> fn) = 0;
  // Pre-notifications expect an acknowledgement (UnmountPreNotifyAck /
  // EjectPreNotifyAck); a client that does not answer delays the operation.
  virtual void OnUnmountPre(std::function<void(const std::string& bsd_name, uint32_t flags)> fn) = 0;
  virtual void OnUnmountPost(
      std::function<void(const std::string& bsd_name, int32_t error, int32_t dissenter)> fn) = 0;
  virtual void OnEjectPre(std::function<void(const std::string& bsd_name, uint32_t flags)> fn) = 0;
  virtual void OnEjectPost(
      std::function<void(const std::string& bsd_name, int32_t error, int32_t dissenter)> fn) = 0;
  virtual void OnNotificationComplete(std::function<void(uint32_t message_type)> fn) = 0;
  virtual void OnUnrecognizedDisk(std::function<void(const UnrecognizedDisk&)> fn) = 0;

  virtual int UpdateClientFlags() = 0;
  // Offers this client the unrecognised disks of the kinds in `mask`; among the
  // clients that claim a disk, the one of the highest priority gets it.
  virtual int ClientHandlesUnrecognizedDisks(uint32_t mask, int32_t priority) = 0;
  virtual int ClientWillHandleUnrecognizedDisk(std::string_view bsd_name, int32_t yes) = 0;

  virtual int RequestMount(std::string_view bsd_name) = 0;
  virtual int RequestUnmount(std::string_view bsd_name, uint32_t flags) = 0;
  virtual int RequestDiskChange(std::string_view bsd_name, std::string_view new_name,
                                uint32_t flags) = 0;
  virtual int UnmountPreNotifyAck(std::string_view bsd_name, int32_t error) = 0;
  virtual int EjectPreNotifyAck(std::string_view bsd_name, int32_t error) = 0;
};

}  // namespace platform
