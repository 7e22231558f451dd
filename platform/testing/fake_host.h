#pragma once
// A host for unit tests: a machine root in its own temporary folder, a manual clock,
// a real run loop, and machine services that are unavailable until a test sets its
// own (Set...). Installs itself for its lifetime.

#include <memory>

#include "platform/host.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/poll_run_loop.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/temp_dir.h"
#include "platform/unavailable.h"

namespace platform::testing {

class FakeHost : public Host {
 public:
  FakeHost();
  ~FakeHost() override;
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  Paths& paths() override { return paths_; }
  Clock& clock() override { return *clock_; }
  RunLoop& run_loop() override { return run_loop_; }
  Registry& registry() override { return *registry_; }
  DiskArbitration& disk_arbitration() override { return *disk_arbitration_; }
  RawDevices& raw_devices() override { return *raw_devices_; }
  Authority& authority() override { return *authority_; }
  Firmware& firmware() override { return *firmware_; }

  // Replacements are not owned and must outlive the host's use.
  void SetClock(Clock* c) { clock_ = c ? c : &manual_clock_; }
  void SetRegistry(Registry* r) { registry_ = r ? r : &no_registry_; }
  void SetDiskArbitration(DiskArbitration* d) { disk_arbitration_ = d ? d : &no_disk_arbitration_; }
  void SetRawDevices(RawDevices* r) { raw_devices_ = r ? r : &no_raw_devices_; }
  void SetAuthority(Authority* a) { authority_ = a ? a : &no_authority_; }
  void SetFirmware(Firmware* f) { firmware_ = f ? f : &no_firmware_; }

  ManualClock& manual_clock() { return manual_clock_; }
  // The machine root (a temporary folder) and a machine path inside it.
  const std::string& root() const { return root_.path(); }
  std::string Resolve(std::string_view machine_path) { return paths_.Resolve(machine_path); }

 private:
  TempDir root_;
  MachinePaths paths_;
  ManualClock manual_clock_;
  PollRunLoop run_loop_;
  UnavailableRegistry no_registry_;
  UnavailableDiskArbitration no_disk_arbitration_;
  UnavailableRawDevices no_raw_devices_;
  UnavailableAuthority no_authority_;
  UnavailableFirmware no_firmware_;
  Clock* clock_ = &manual_clock_;
  Registry* registry_ = &no_registry_;
  DiskArbitration* disk_arbitration_ = &no_disk_arbitration_;
  RawDevices* raw_devices_ = &no_raw_devices_;
  Authority* authority_ = &no_authority_;
  Firmware* firmware_ = &no_firmware_;
  Host* previous_ = nullptr;
};

}  // namespace platform::testing
