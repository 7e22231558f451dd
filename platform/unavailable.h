#pragma once
// Services that are not there: every request fails (kUnavailable, false, nullopt,
// an empty entry, nullptr with errno ENODEV). The starting point of fakes, which
// override what a test needs, and what a host offers before it is connected.

#include <cerrno>

#include "platform/host.h"

namespace platform {

inline constexpr int kUnavailable = -1;

class UnavailableRegistry : public Registry {
 public:
  RegistryEntry GetMatchingService(const Matching&) override { return {}; }
  std::vector<RegistryEntry> GetMatchingServices(const Matching&) override { return {}; }
  RegistryEntry EntryFromPath(std::string_view) override { return {}; }
  std::optional<Property> GetProperty(RegistryEntry, std::string_view) override { return {}; }
  std::optional<Property> SearchProperty(RegistryEntry, std::string_view, Plane,
                                         uint32_t) override {
    return {};
  }
  std::optional<PropertyDictionary> GetProperties(RegistryEntry) override { return {}; }
  std::optional<std::string> GetPath(RegistryEntry, Plane) override { return {}; }
  std::optional<std::string> GetName(RegistryEntry) override { return {}; }
  std::optional<std::string> GetClassName(RegistryEntry) override { return {}; }
  RegistryEntry GetParent(RegistryEntry, Plane) override { return {}; }
  std::vector<RegistryEntry> GetChildren(RegistryEntry, Plane) override { return {}; }
  std::unique_ptr<RegistryIterator> CreateIterator(Plane, uint32_t) override { return nullptr; }
  std::unique_ptr<RegistryIterator> AddNotification(NotificationKind, const Matching&,
                                                    std::function<void(RegistryIterator&)>) override {
    return nullptr;
  }
};

class UnavailableDiskArbitration : public DiskArbitration {
 public:
  int Start() override { return kUnavailable; }
  void OnDiskAppearedComplete(std::function<void(const DiskAppearedComplete&)>) override {}
  void OnDiskAppearedWithMountpoint(std::function<void(const DiskAppearedWithMountpoint&)>) override {}
  void OnDiskChanged(std::function<void(const DiskChanged&)>) override {}
  void OnUnmountPre(std::function<void(const std::string&, uint32_t)>) override {}
  void OnUnmountPost(std::function<void(const std::string&, int32_t, int32_t)>) override {}
  void OnEjectPre(std::function<void(const std::string&, uint32_t)>) override {}
  void OnEjectPost(std::function<void(const std::string&, int32_t, int32_t)>) override {}
  void OnNotificationComplete(std::function<void(uint32_t)>) override {}
  void OnUnrecognizedDisk(std::function<void(const UnrecognizedDisk&)>) override {}
  int UpdateClientFlags() override { return kUnavailable; }
  int ClientHandlesUnrecognizedDisks(uint32_t, int32_t) override { return kUnavailable; }
  int ClientWillHandleUnrecognizedDisk(std::string_view, int32_t) override { return kUnavailable; }
  int RequestMount(std::string_view) override { return kUnavailable; }
  int RequestUnmount(std::string_view, uint32_t) override { return kUnavailable; }
  int RequestDiskChange(std::string_view, std::string_view, uint32_t) override { return kUnavailable; }
  int UnmountPreNotifyAck(std::string_view, int32_t) override { return kUnavailable; }
  int EjectPreNotifyAck(std::string_view, int32_t) override { return kUnavailable; }
};

class UnavailableRawDevices : public RawDevices {
 public:
  std::unique_ptr<RawDevice> Open(std::string_view, int) override {
    errno = ENODEV;
    return nullptr;
  }
};

class UnavailableAuthority : public Authority {
 public:
  bool HoldsRight(const AuthorizationExternalForm&, std::string_view, std::string_view) override {
    return false;
  }
  int ExecuteWithPrivileges(const AuthorizationExternalForm&, const std::string&,
                            const std::vector<std::string>&, pid_t*, int*) override {
    return kUnavailable;
  }
  int CopyPrivilegedReference(AuthorizationExternalForm*) override { return kUnavailable; }
};

class UnavailableFirmware : public Firmware {
 public:
  std::optional<std::string> GetVariable(std::string_view) override { return {}; }
  int SetVariable(std::string_view, std::string_view) override { return kUnavailable; }
};

}  // namespace platform
