#pragma once
// Client connections to the simulated machine's daemon.
//
// MachineConnection carries synchronous requests: one request, one reply. It is
// shared by every thread of a process (calls are serialised), connects on first use,
// reconnects after the daemon restarted or the process forked, and never waits for
// a reply for ever.
//
// MachineEventChannel is a second connection on which the daemon pushes events
// (registry notifications, Disk Arbitration callbacks). Its descriptor is a source of
// a run loop, and events are handed to their handlers from that loop, one at a time.
// It is used from the run loop's thread (set-up may happen before the loop runs).

#include <sys/types.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/property.h"
#include "platform/run_loop.h"
#include "platform/sim/machine_wire.h"

namespace platform {

// Connects a stream socket to the Unix socket at `path` (long paths are reached
// through the folder's descriptor). Returns the descriptor (close-on-exec), or -1
// with errno set.
int ConnectUnixSocket(const std::string& path);

class MachineConnection {
 public:
  explicit MachineConnection(std::string root);
  ~MachineConnection();
  MachineConnection(const MachineConnection&) = delete;
  MachineConnection& operator=(const MachineConnection&) = delete;

  // Sends `request` (its "op" and arguments; "seq" is added) and waits for the
  // reply. Returns 0 with *reply filled; the reply's nonzero "status" (a positive
  // errno value) with *reply filled; or a transport error (ECONNREFUSED or ENOENT
  // when no daemon runs or no machine root is set, ETIMEDOUT, ECONNRESET, EPROTO;
  // E2BIG, without sending, for a request above wire::kMaxRequestBody) with *reply
  // empty. A descriptor passed with the reply goes to *received_fd
  // (owned by the caller; -1 when none), or is closed when `received_fd` is null.
  int Call(PropertyDictionary request, PropertyDictionary* reply, int* received_fd = nullptr);

  const std::string& root() const { return root_; }
  // How long Call() waits for a reply, in milliseconds.
  void set_timeout_ms(int ms) { timeout_ms_ = ms; }

 private:
  void DisconnectLocked();

  const std::string root_;
  std::mutex mutex_;
  int fd_ = -1;       // guarded by mutex_
  pid_t owner_ = 0;   // the process that opened fd_
  int64_t next_seq_ = 1;
  wire::FrameReader reader_;
  int timeout_ms_ = 120000;
};

class MachineEventChannel : public std::enable_shared_from_this<MachineEventChannel> {
 public:
  using Handler = std::function<void(const PropertyDictionary& event)>;

  MachineEventChannel(std::string root, RunLoop& run_loop);
  ~MachineEventChannel();
  MachineEventChannel(const MachineEventChannel&) = delete;
  MachineEventChannel& operator=(const MachineEventChannel&) = delete;

  // Sends a request on this connection (connecting and joining the run loop on
  // first use) and waits for its reply; events that arrive meanwhile are queued and
  // handed out later from the run loop. Results as MachineConnection::Call.
  int Request(PropertyDictionary request, PropertyDictionary* reply);
  // Sends a request whose reply is not awaited (it is dropped when it comes).
  int Send(PropertyDictionary request);

  // The handler of events named `event` (replaces an earlier one).
  void SetHandler(const std::string& event, Handler handler);
  bool connected() const { return fd_ >= 0; }

 private:
  int ConnectLocked();
  void DisconnectLocked();
  void OnReadable();
  // Queues the events among the complete frames read so far; when `awaited_seq` is
  // given, the reply of that number goes to *reply and true is returned.
  bool CollectFrames(int64_t awaited_seq, PropertyDictionary* reply);
  void ScheduleDispatch();
  void Dispatch();

  const std::string root_;
  RunLoop& run_loop_;
  std::recursive_mutex mutex_;
  int fd_ = -1;
  pid_t owner_ = 0;
  int source_id_ = -1;
  int64_t next_seq_ = 1;
  wire::FrameReader reader_;
  std::deque<PropertyDictionary> pending_;  // events not yet handed out
  std::map<std::string, Handler, std::less<>> handlers_;
  bool dispatch_scheduled_ = false;
};

}  // namespace platform
