#pragma once
// Names shared by the simulated machine's daemon and its clients: where the daemon
// listens, the request and event names, and the keys of their messages.
//
// Every request is a dictionary with "op" and "seq"; its reply carries the same "seq"
// and "status" (0, or a positive errno value such as ENOENT) and, on failure, "error"
// (a text for people). Events carry "event" instead of "seq".

#include <string>

namespace platform::machine {

// Files under the machine root.
inline std::string RunFolder(const std::string& root) { return root + "/run"; }
inline std::string SocketPath(const std::string& root) { return root + "/run/machine.sock"; }
inline std::string PidPath(const std::string& root) { return root + "/run/machine.pid"; }
// A shared page whose first 8 bytes count changes that open devices must notice
// (faults armed or cleared, media that went away); clients map it read-only.
inline std::string GenerationPath(const std::string& root) { return root + "/run/generation"; }
inline std::string DescriptionPath(const std::string& root) { return root + "/machine.plist"; }

// Message keys.
inline constexpr char kOp[] = "op";
inline constexpr char kSeq[] = "seq";
inline constexpr char kStatus[] = "status";
inline constexpr char kError[] = "error";
inline constexpr char kEvent[] = "event";

// Registry requests. Entries travel as integer ids ("entry"); planes as "service" or
// "devicetree"; a matching as a dictionary with optional "class", "bsd", "of" and
// "properties".
inline constexpr char kRegistryMatch[] = "registry.match";          // matching, first -> entries
inline constexpr char kRegistryFromPath[] = "registry.from_path";   // path -> entry
inline constexpr char kRegistryProperty[] = "registry.property";    // entry, key -> value
inline constexpr char kRegistrySearch[] = "registry.search";        // entry, key, plane, options -> value
inline constexpr char kRegistryProperties[] = "registry.properties";  // entry -> properties
inline constexpr char kRegistryDescribe[] = "registry.describe";    // entry, plane -> name, class, path, parent
inline constexpr char kRegistryChildren[] = "registry.children";    // entry, plane -> entries
inline constexpr char kRegistryIterate[] = "registry.iterate";      // plane, options -> entries
inline constexpr char kRegistrySubscribe[] = "registry.subscribe";  // kind, matching -> sub, entries
inline constexpr char kRegistryUnsubscribe[] = "registry.unsubscribe";  // sub
inline constexpr char kRegistrySetProperty[] = "registry.set_property";  // bsd|entry, key, value
inline constexpr char kRegistryNotifyEvent[] = "registry.notify";        // sub, entries

// Firmware and authority.
inline constexpr char kFirmwareGet[] = "firmware.get";        // name -> value
inline constexpr char kFirmwareSet[] = "firmware.set";        // name, value
inline constexpr char kFirmwareDelete[] = "firmware.delete";  // name
inline constexpr char kFirmwareList[] = "firmware.list";      // -> variables
inline constexpr char kAuthIssue[] = "auth.issue";            // rights -> form
inline constexpr char kAuthCheck[] = "auth.check";            // form, right -> holds

// Raw devices.
inline constexpr char kDeviceOpen[] = "dev.open";    // path, flags -> handle, mode, offset, size (+ fd)
inline constexpr char kDeviceCheck[] = "dev.check";  // handle -> mode, offset, size
inline constexpr char kDeviceRead[] = "dev.read";    // handle, offset, length -> data
inline constexpr char kDeviceWrite[] = "dev.write";  // handle, offset, data -> count
inline constexpr char kDeviceSync[] = "dev.sync";    // handle, written
inline constexpr char kDeviceClose[] = "dev.close";  // handle, written
inline constexpr char kModeDirect[] = "direct";      // the client reads and writes the image itself
inline constexpr char kModeDaemon[] = "daemon";      // every transfer goes through the daemon

// Disk Arbitration (requests on the event connection of the session).
inline constexpr char kDaStart[] = "da.start";                // pid, callbacks -> session
inline constexpr char kDaCallbacks[] = "da.callbacks";        // callbacks
inline constexpr char kDaUpdateFlags[] = "da.update_flags";
inline constexpr char kDaClaim[] = "da.claim";                // mask, priority
inline constexpr char kDaWillHandle[] = "da.will_handle";     // bsd, yes
inline constexpr char kDaMount[] = "da.mount";                // bsd
inline constexpr char kDaUnmount[] = "da.unmount";            // bsd, flags
inline constexpr char kDaChange[] = "da.change";              // bsd, name, flags
inline constexpr char kDaUnmountAck[] = "da.unmount_ack";     // bsd, error
inline constexpr char kDaEjectAck[] = "da.eject_ack";         // bsd, error
// Disk Arbitration events (and the callback names a session registers for).
inline constexpr char kDaAppearedComplete[] = "da.appeared_complete";
inline constexpr char kDaAppearedWithMountpoint[] = "da.appeared_mountpoint";
inline constexpr char kDaChanged[] = "da.changed";
inline constexpr char kDaUnmountPre[] = "da.unmount_pre";
inline constexpr char kDaUnmountPost[] = "da.unmount_post";
inline constexpr char kDaEjectPre[] = "da.eject_pre";
inline constexpr char kDaEjectPost[] = "da.eject_post";
inline constexpr char kDaComplete[] = "da.complete";
inline constexpr char kDaUnrecognized[] = "da.unrecognized";

// Machine control (the control command and test fixtures).
inline constexpr char kMachineStatus[] = "machine.status";      // -> pid, root, disks
inline constexpr char kMachineShutdown[] = "machine.shutdown";
inline constexpr char kMachineAttach[] = "machine.attach";      // image, bus, unit?, properties -> bsd
inline constexpr char kMachineDetach[] = "machine.detach";      // bsd | image
inline constexpr char kMachineBuses[] = "machine.buses";        // -> buses
inline constexpr char kMachineMedia[] = "machine.media";        // -> media
inline constexpr char kMachineVolumes[] = "machine.volumes";    // -> volumes
inline constexpr char kMachineReprobe[] = "machine.reprobe";    // bsd
inline constexpr char kMachineResize[] = "machine.resize";      // bsd | image, size
inline constexpr char kFaultAdd[] = "fault.add";                // kind, device, ... -> id
inline constexpr char kFaultList[] = "fault.list";              // -> faults
inline constexpr char kFaultClear[] = "fault.clear";            // id? (all when absent)

}  // namespace platform::machine
