#pragma once
// Control of a simulated machine from outside: starting and stopping its daemon, and
// the requests of the control command and of test fixtures (disks, registry
// properties, authorisations, faults, listings). Each MachineControl has its own
// connection; it may be used from any thread.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/authority.h"
#include "platform/property.h"
#include "platform/sim/machine_connection.h"

namespace sim {

using platform::Property;
using platform::PropertyArray;
using platform::PropertyDictionary;

struct StartOptions {
  std::string executable;  // the mirovane-machine program, which serves with "serve"
  double time_scale = 1.0;
  pid_t exit_with = 0;  // the daemon ends when this process has gone
  bool detach = true;   // a session of its own, not a child of the caller
  double timeout_seconds = 20;
};

// Starts the daemon of `root` and waits until it answers. 0 with *pid; otherwise an
// errno value with *error (including the end of the daemon's log).
int StartDaemon(const std::string& root, const StartOptions& options, pid_t* pid, std::string* error);
// Asks the daemon to stop and waits for it to end; a daemon that does not end in
// `timeout_seconds` is killed. 0 once no daemon serves the root (also when none did).
int StopDaemon(const std::string& root, double timeout_seconds, std::string* error);
// The pid in <root>/run/machine.pid, or 0.
pid_t DaemonPid(const std::string& root);

class MachineControl {
 public:
  explicit MachineControl(std::string root) : connection_(std::move(root)) {}

  // Any request: 0 with *reply, or the status with *error set.
  int Call(const std::string& op, PropertyDictionary arguments, PropertyDictionary* reply,
           std::string* error);

  int Attach(const std::string& image, const std::string& bus, std::optional<int64_t> unit,
             const PropertyDictionary& properties, std::string* bsd, std::string* error);
  // `disk` is a whole disk's BSD name or an image path.
  int Detach(const std::string& disk, std::string* error);
  // Sets (or with no value removes) a registry property of the medium `bsd`.
  int SetProperty(const std::string& bsd, const std::string& key, std::optional<Property> value,
                  std::string* error);
  int IssueAuthorization(const std::vector<std::string>& rights,
                         platform::AuthorizationExternalForm* form, std::string* error);
  // `spec`: "kind" (io-error, fail-write, tear-write, refuse-unmount,
  // hold-registry-notifications), "device", and "start"/"length", "reads"/"writes",
  // "nth", "sectors", "seconds" as the kind needs. A hold without a device holds
  // every new medium's first-match notifications.
  int AddFault(const PropertyDictionary& spec, int64_t* id, std::string* error);
  // Releases the holds armed on exactly `device` (every hold when none is given):
  // what they kept back is sent, in its order. ENOENT when no such hold is armed.
  int ReleaseRegistryNotifications(const std::optional<std::string>& device, std::string* error);
  // Every armed fault with its "fired" count.
  PropertyArray Faults();
  int ClearFaults(std::string* error);
  int Reprobe(const std::string& bsd, std::string* error);
  int Resize(const std::string& disk, int64_t size, std::string* error);
  PropertyArray Media();
  PropertyArray Volumes();
  PropertyArray Buses();

  platform::MachineConnection& connection() { return connection_; }

 private:
  PropertyArray List(const std::string& op, const char* key);
  platform::MachineConnection connection_;
};

// Text forms for people: an external form in hex, and property values as the
// control command takes them ("integer:5", "string:x", "bool:true", "data:00ff").
std::string ToHex(const uint8_t* bytes, size_t n);
std::optional<Property> ParseTypedValue(const std::string& text);
std::string DescribeValue(const Property& value);

}  // namespace sim
