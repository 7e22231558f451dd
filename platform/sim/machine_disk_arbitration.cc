#include "platform/sim/machine_disk_arbitration.h"

#include <unistd.h>

#include <cerrno>

#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"

namespace platform {
namespace {

using machine::MakeRequest;

std::string Text(const PropertyDictionary& e, std::string_view key) {
  const std::string* s = wire::GetString(e, key);
  return s != nullptr ? *s : std::string();
}

int64_t Number(const PropertyDictionary& e, std::string_view key) {
  return wire::GetInteger(e, key).value_or(0);
}

}  // namespace

struct MachineDiskArbitration::Callbacks {
  std::function<void(const DiskAppearedComplete&)> appeared_complete;
  std::function<void(const DiskAppearedWithMountpoint&)> appeared_with_mountpoint;
  std::function<void(const DiskChanged&)> changed;
  std::function<void(const std::string&, uint32_t)> unmount_pre;
  std::function<void(const std::string&, int32_t, int32_t)> unmount_post;
  std::function<void(const std::string&, uint32_t)> eject_pre;
  std::function<void(const std::string&, int32_t, int32_t)> eject_post;
  std::function<void(uint32_t)> complete;
  std::function<void(const UnrecognizedDisk&)> unrecognized;
};

MachineDiskArbitration::MachineDiskArbitration(std::shared_ptr<MachineEventChannel> events)
    : events_(std::move(events)), callbacks_(std::make_shared<Callbacks>()) {
  std::weak_ptr<Callbacks> weak = callbacks_;
  auto on = [this, weak](const char* event, auto body) {
    events_->SetHandler(event, [weak, body](const PropertyDictionary& e) {
      if (auto c = weak.lock()) body(*c, e);
    });
  };
  on(machine::kDaAppearedComplete, [](Callbacks& c, const PropertyDictionary& e) {
    if (!c.appeared_complete) return;
    DiskAppearedComplete d;
    d.bsd_name = Text(e, "bsd");
    d.flags = static_cast<uint32_t>(Number(e, "flags"));
    d.mount_point = Text(e, "mount_point");
    d.io_content = Text(e, "content");
    d.device_tree_path = Text(e, "device_tree_path");
    d.sequence = static_cast<uint32_t>(Number(e, "sequence"));
    auto it = e.find("time");
    d.time_appeared = it != e.end() ? it->second.AsReal().value_or(0) : 0;
    d.fs_type = Text(e, "fs_type");
    d.volume_name = Text(e, "volume_name");
    c.appeared_complete(d);
  });
  on(machine::kDaAppearedWithMountpoint, [](Callbacks& c, const PropertyDictionary& e) {
    if (!c.appeared_with_mountpoint) return;
    DiskAppearedWithMountpoint d;
    d.bsd_name = Text(e, "bsd");
    d.flags = static_cast<uint32_t>(Number(e, "flags"));
    d.mount_point = Text(e, "mount_point");
    c.appeared_with_mountpoint(d);
  });
  on(machine::kDaChanged, [](Callbacks& c, const PropertyDictionary& e) {
    if (!c.changed) return;
    DiskChanged d;
    d.bsd_name = Text(e, "bsd");
    d.mount_point = Text(e, "mount_point");
    d.volume_name = Text(e, "volume_name");
    d.flags = static_cast<uint32_t>(Number(e, "flags"));
    d.success = static_cast<int32_t>(Number(e, "success"));
    c.changed(d);
  });
  on(machine::kDaUnmountPre, [](Callbacks& c, const PropertyDictionary& e) {
    if (c.unmount_pre) c.unmount_pre(Text(e, "bsd"), static_cast<uint32_t>(Number(e, "flags")));
  });
  on(machine::kDaUnmountPost, [](Callbacks& c, const PropertyDictionary& e) {
    if (c.unmount_post) {
      c.unmount_post(Text(e, "bsd"), static_cast<int32_t>(Number(e, "error")),
                     static_cast<int32_t>(Number(e, "dissenter")));
    }
  });
  on(machine::kDaEjectPre, [](Callbacks& c, const PropertyDictionary& e) {
    if (c.eject_pre) c.eject_pre(Text(e, "bsd"), static_cast<uint32_t>(Number(e, "flags")));
  });
  on(machine::kDaEjectPost, [](Callbacks& c, const PropertyDictionary& e) {
    if (c.eject_post) {
      c.eject_post(Text(e, "bsd"), static_cast<int32_t>(Number(e, "error")),
                   static_cast<int32_t>(Number(e, "dissenter")));
    }
  });
  on(machine::kDaComplete, [](Callbacks& c, const PropertyDictionary& e) {
    if (c.complete) c.complete(static_cast<uint32_t>(Number(e, "type")));
  });
  on(machine::kDaUnrecognized, [](Callbacks& c, const PropertyDictionary& e) {
    if (!c.unrecognized) return;
    UnrecognizedDisk d;
    d.bsd_name = Text(e, "bsd");
    d.disk_type = static_cast<int32_t>(Number(e, "disk_type"));
    d.fs_type = Text(e, "fs_type");
    d.device_type = Text(e, "device_type");
    d.is_writable = static_cast<int32_t>(Number(e, "writable"));
    d.is_removable = static_cast<int32_t>(Number(e, "removable"));
    d.is_whole = static_cast<int32_t>(Number(e, "whole"));
    c.unrecognized(d);
  });
}

MachineDiskArbitration::~MachineDiskArbitration() {
  for (const char* event :
       {machine::kDaAppearedComplete, machine::kDaAppearedWithMountpoint, machine::kDaChanged,
        machine::kDaUnmountPre, machine::kDaUnmountPost, machine::kDaEjectPre,
        machine::kDaEjectPost, machine::kDaComplete, machine::kDaUnrecognized}) {
    events_->SetHandler(event, nullptr);
  }
}

int MachineDiskArbitration::Call(const char* op, PropertyDictionary arguments) {
  if (!started_) return ENOTCONN;
  PropertyDictionary reply;
  return events_->Request(MakeRequest(op, std::move(arguments)), &reply);
}

void MachineDiskArbitration::Want(const char* event) {
  if (!wanted_.insert(event).second || !started_) return;
  PropertyArray names;
  for (const std::string& w : wanted_) names.push_back(Property::String(w));
  PropertyDictionary reply;
  (void)events_->Request(MakeRequest(machine::kDaCallbacks,
                                     {{"callbacks", Property::Array(std::move(names))}}),
                         &reply);
}

int MachineDiskArbitration::Start() {
  PropertyArray names;
  for (const std::string& w : wanted_) names.push_back(Property::String(w));
  PropertyDictionary reply;
  int status = events_->Request(MakeRequest(machine::kDaStart,
                                            {{"pid", Property::Integer(::getpid())},
                                             {"callbacks", Property::Array(std::move(names))}}),
                                &reply);
  started_ = status == 0;
  return status;
}

void MachineDiskArbitration::OnDiskAppearedComplete(
    std::function<void(const DiskAppearedComplete&)> fn) {
  callbacks_->appeared_complete = std::move(fn);
  Want(machine::kDaAppearedComplete);
}

void MachineDiskArbitration::OnDiskAppearedWithMountpoint(
    std::function<void(const DiskAppearedWithMountpoint&)> fn) {
  callbacks_->appeared_with_mountpoint = std::move(fn);
  Want(machine::kDaAppearedWithMountpoint);
}

void MachineDiskArbitration::OnDiskChanged(std::function<void(const DiskChanged&)> fn) {
  callbacks_->changed = std::move(fn);
  Want(machine::kDaChanged);
}

void MachineDiskArbitration::OnUnmountPre(std::function<void(const std::string&, uint32_t)> fn) {
  callbacks_->unmount_pre = std::move(fn);
  Want(machine::kDaUnmountPre);
}

void MachineDiskArbitration::OnUnmountPost(
    std::function<void(const std::string&, int32_t, int32_t)> fn) {
  callbacks_->unmount_post = std::move(fn);
  Want(machine::kDaUnmountPost);
}

void MachineDiskArbitration::OnEjectPre(std::function<void(const std::string&, uint32_t)> fn) {
  callbacks_->eject_pre = std::move(fn);
  Want(machine::kDaEjectPre);
}

void MachineDiskArbitration::OnEjectPost(
    std::function<void(const std::string&, int32_t, int32_t)> fn) {
  callbacks_->eject_post = std::move(fn);
  Want(machine::kDaEjectPost);
}

void MachineDiskArbitration::OnNotificationComplete(std::function<void(uint32_t)> fn) {
  callbacks_->complete = std::move(fn);
  Want(machine::kDaComplete);
}

void MachineDiskArbitration::OnUnrecognizedDisk(std::function<void(const UnrecognizedDisk&)> fn) {
  callbacks_->unrecognized = std::move(fn);
  Want(machine::kDaUnrecognized);
}

int MachineDiskArbitration::UpdateClientFlags() { return Call(machine::kDaUpdateFlags, {}); }

int MachineDiskArbitration::ClientHandlesUnrecognizedDisks(uint32_t mask, int32_t priority) {
  return Call(machine::kDaClaim,
              {{"mask", Property::Integer(mask)}, {"priority", Property::Integer(priority)}});
}

int MachineDiskArbitration::ClientWillHandleUnrecognizedDisk(std::string_view bsd_name,
                                                             int32_t yes) {
  return Call(machine::kDaWillHandle,
              {{"bsd", Property::String(bsd_name)}, {"yes", Property::Boolean(yes != 0)}});
}

int MachineDiskArbitration::RequestMount(std::string_view bsd_name) {
  return Call(machine::kDaMount, {{"bsd", Property::String(bsd_name)}});
}

int MachineDiskArbitration::RequestUnmount(std::string_view bsd_name, uint32_t flags) {
  return Call(machine::kDaUnmount,
              {{"bsd", Property::String(bsd_name)}, {"flags", Property::Integer(flags)}});
}

int MachineDiskArbitration::RequestDiskChange(std::string_view bsd_name, std::string_view new_name,
                                              uint32_t flags) {
  return Call(machine::kDaChange, {{"bsd", Property::String(bsd_name)},
                                   {"name", Property::String(new_name)},
                                   {"flags", Property::Integer(flags)}});
}

int MachineDiskArbitration::UnmountPreNotifyAck(std::string_view bsd_name, int32_t error) {
  return Call(machine::kDaUnmountAck,
              {{"bsd", Property::String(bsd_name)}, {"error", Property::Integer(error)}});
}

int MachineDiskArbitration::EjectPreNotifyAck(std::string_view bsd_name, int32_t error) {
  return Call(machine::kDaEjectAck,
              {{"bsd", Property::String(bsd_name)}, {"error", Property::Integer(error)}});
}

}  // namespace platform
