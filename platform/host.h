#pragma once
// The host: how a process reaches the platform's services. One host is installed per
// process (the default one talks to the simulated machine named by
// MIROVANE_MACHINE); unit tests install fakes, usually built on HostWrapper so that
// they replace only the services they change.
//
// Services are owned by the host. The host must outlive every use of its services.

#include "platform/authority.h"
#include "platform/clock.h"
#include "platform/disk_arbitration.h"
#include "platform/firmware.h"
#include "platform/paths.h"
#include "platform/raw_device.h"
#include "platform/registry.h"
#include "platform/run_loop.h"

namespace platform {

class Host {
 public:
  virtual ~Host() = default;
  virtual Paths& paths() = 0;
  virtual Clock& clock() = 0;
  virtual RunLoop& run_loop() = 0;
  virtual Registry& registry() = 0;
  virtual DiskArbitration& disk_arbitration() = 0;
  virtual RawDevices& raw_devices() = 0;
  virtual Authority& authority() = 0;
  virtual Firmware& firmware() = 0;
};

// Forwards every service to another host.
class HostWrapper : public Host {
 public:
  explicit HostWrapper(Host& target) : target_(target) {}
  Paths& paths() override { return target_.paths(); }
  Clock& clock() override { return target_.clock(); }
  RunLoop& run_loop() override { return target_.run_loop(); }
  Registry& registry() override { return target_.registry(); }
  DiskArbitration& disk_arbitration() override { return target_.disk_arbitration(); }
  RawDevices& raw_devices() override { return target_.raw_devices(); }
  Authority& authority() override { return target_.authority(); }
  Firmware& firmware() override { return target_.firmware(); }
  Host& target() { return target_; }

 private:
  Host& target_;
};

// The process's host: the installed one, or the default host, created on first use.
Host& GetHost();

// Installs `host` (not owned) for the whole process and returns the previous one
// (nullptr when the default was in use or none was made yet). Passing nullptr goes
// back to the default host. Not thread-safe: install before threads start.
Host* InstallHost(Host* host);

// The default host of this build (platform/sim for the simulated machine).
Host& DefaultHost();

// Installs a host for the lifetime of a scope; for tests.
class ScopedHost {
 public:
  explicit ScopedHost(Host& host) : previous_(InstallHost(&host)) {}
  ~ScopedHost() { InstallHost(previous_); }
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;

 private:
  Host* previous_;
};

}  // namespace platform
