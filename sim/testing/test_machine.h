#pragma once
// A simulated machine for end-to-end tests: a machine root in its own temporary
// folder, the default machine created in it, its daemon started (as a child of the
// test process that ends by itself should the test process die), and helpers to
// plug disks in and out, issue authorisations, arm faults, run programs on the
// machine and reach it from inside the test. The destructor stops the daemon and
// removes the folder.
//
// Used from the test's thread.

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/authority.h"
#include "platform/property.h"
#include "platform/sim/machine_host.h"
#include "platform/testing/temp_dir.h"
#include "sim/control/machine_control.h"

namespace sim::testing {

struct TestMachineOptions {
  int disk_count = 4;                // blank disks of the default machine
  int64_t disk_size = 64ll << 20;    // bytes each (sparse)
  double time_scale = 1.0;           // MIROVANE_TIME_SCALE of the daemon and of programs run
  bool start = true;                 // start the daemon in the constructor
};

struct RunResult {
  int exit_status = -1;  // the exit status when the program exited, else -1
  int signal = 0;        // the signal that ended it, else 0
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs `host`'s run loop until `done()` holds (checked on the loop's thread every
// few milliseconds) or `timeout_seconds` of real time passed. Whether `done()` held.
bool RunUntil(platform::Host& host, const std::function<bool()>& done, double timeout_seconds);

class TestMachine {
 public:
  explicit TestMachine(TestMachineOptions options = {});
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  // Whether the daemon is up (the constructor records a test failure when it could
  // not be started).
  bool up() const { return daemon_ != 0; }
  bool Start();
  bool Stop();
  pid_t daemon_pid() const { return daemon_; }

  const std::string& root() const { return dir_.path(); }
  std::string Resolve(const std::string& machine_path) const { return root() + machine_path; }
  MachineControl& control() { return *control_; }

  // A blank sparse image <root>/disks/<name> of `size` bytes; its host path.
  std::string CreateImage(const std::string& name, int64_t size);
  // Plugs `image` into `bus` ("ata0", "ata1", "scsi0", "firewire0", "usb0"); the
  // disk's BSD name, or "" with a test failure.
  std::string AttachDisk(const std::string& image, const std::string& bus,
                         std::optional<int64_t> unit = std::nullopt,
                         const platform::PropertyDictionary& properties = {});
  bool DetachDisk(const std::string& bsd);
  platform::AuthorizationExternalForm IssueAuthorization(
      const std::vector<std::string>& rights = {platform::kRightAdmin});
  // Arms a fault (see MachineControl::AddFault); its id, or 0 with a test failure.
  int64_t AddFault(const platform::PropertyDictionary& spec);
  // How often the fault fired so far.
  int64_t FaultFired(int64_t id);
  // Holds back the registry's first-match notifications of the medium `bsd` (of a
  // whole disk and its partitions when `bsd` names a disk; of every new medium when
  // empty) while Disk Arbitration goes on, until released or, when `seconds` > 0,
  // for that many machine seconds each. The medium need not exist yet. The hold's
  // id, or 0 with a test failure.
  int64_t HoldRegistryNotifications(const std::string& bsd = "", double seconds = 0);
  // Releases the holds armed on `bsd` (every hold when empty): what they kept back
  // is sent in its order. False with a test failure when no such hold was armed.
  bool ReleaseRegistryNotifications(const std::string& bsd = "");

  // MIROVANE_TIME_SCALE for programs run from now on and for the daemon when it is
  // next started.
  void SetTimeScale(double scale) { options_.time_scale = scale; }
  double time_scale() const { return options_.time_scale; }

  // Runs `program` with `args` (argument zero excluded) on this machine
  // (MIROVANE_MACHINE and MIROVANE_TIME_SCALE set, plus `env`), feeding it `input`
  // and collecting its output; killed after `timeout_seconds`.
  RunResult Run(const std::string& program, const std::vector<std::string>& args,
                const std::string& input = "", double timeout_seconds = 60,
                const std::map<std::string, std::string>& env = {});

  // A new client host on this machine (its own connections, run loop and sessions).
  std::unique_ptr<platform::MachineHost> NewHost() const;

  // What the daemon wrote to its log (for failure messages).
  std::string DaemonLog() const { return platform::testing::ReadFile(root() + "/var/log/machine.log"); }

  // The path of the control command.
  static std::string ControlProgram();

 private:
  TestMachineOptions options_;
  platform::testing::TempDir dir_;
  std::unique_ptr<MachineControl> control_;
  pid_t daemon_ = 0;
};

}  // namespace sim::testing
