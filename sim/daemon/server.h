#pragma once
// The machine's daemon: owns one machine root while it runs. It listens on the Unix
// socket <root>/run/machine.sock, serves every client connection (framed requests,
// replies and events), runs the machine's timers, notices disk images written by
// other processes (inotify), starts the machine's startup items and stops them
// again, and cleans up its socket, pid file and shared page when it ends.
//
// One thread does everything; a client that sends garbage, a frame that is too
// large, or that vanishes mid-request loses its connection and nothing else. What
// the daemon holds for clients is bounded: a request frame by wire::kMaxRequestBody
// and its decoded value by wire::kRequestLimits (beyond them: an E2BIG reply), a
// client's unsent output per connection, and unfinished input and unsent output of
// all connections together (beyond that the client holding the most is dropped).

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/sim/machine_wire.h"
#include "platform/sim/scaled_clock.h"
#include "sim/machine/machine.h"

namespace sim {

struct ServerOptions {
  double time_scale = 1.0;
  // When nonzero, the daemon ends once this process has gone (test fixtures).
  pid_t exit_with = 0;
};

class Server : public MachineEnv {
 public:
  Server(std::string root, ServerOptions options);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves until shut down by a request, SIGTERM or SIGINT. 0 after an orderly end;
  // otherwise an errno value with *error set (nothing was left behind).
  int Run(std::string* error);

  void Send(uint64_t client, PropertyDictionary event) override;
  uint64_t After(double machine_seconds, std::function<void()> fn) override;
  void Cancel(uint64_t timer) override;
  double Now() override { return clock_.AbsoluteTime(); }
  void RequestShutdown() override { shutdown_ = true; }

 private:
  struct Outgoing {
    std::string bytes;
    size_t sent = 0;
    int fd = -1;  // passed with the first byte, closed once sent
  };
  struct Connection {
    int fd = -1;
    platform::wire::FrameReader reader{platform::wire::kMaxRequestBody};
    std::deque<Outgoing> out;
    size_t out_bytes = 0;
    size_t in_held = 0;  // reader.held() as last counted in held_
    bool broken = false;
  };
  struct Timer {
    double due = 0;  // monotonic real seconds
    std::function<void()> fn;
  };

  int Prepare(std::string* error);
  void Cleanup();
  void Accept();
  void ReadFrom(uint64_t id);
  void HandleFrames(uint64_t id, Connection& c);
  void WriteTo(uint64_t id);
  void Queue(uint64_t id, std::string bytes, int fd);
  void Close(uint64_t id);
  // Counts what the reader of `c` holds now in held_.
  void CountInput(Connection& c);
  // Marks `c` broken and frees what it holds at once.
  void Drop(Connection& c);
  // Drops the clients holding the most until held_ is within its bound again.
  void Shed();
  void RunTimers();
  int PollTimeoutMs() const;
  void WatchImages();
  void DrainInotify();
  void StartItems();
  void StopItems();
  bool Orphaned();

  const std::string root_;
  const ServerOptions options_;
  platform::ScaledClock clock_;
  std::unique_ptr<Machine> machine_;
  int listen_fd_ = -1;
  int run_dir_fd_ = -1;
  int inotify_fd_ = -1;
  std::map<int, std::string> watches_;  // inotify watch -> image path
  uint64_t* generation_ = nullptr;
  std::map<uint64_t, Connection> connections_;
  uint64_t next_connection_ = 1;
  size_t held_ = 0;  // unfinished input and unsent output of every connection
  std::map<uint64_t, Timer> timers_;
  uint64_t next_timer_ = 1;
  std::map<std::string, double> pending_images_;  // image -> when to look again
  std::set<pid_t> items_;
  bool shutdown_ = false;
  double next_orphan_check_ = 0;
};

// Ends the serving loop of this process's server from a signal handler.
void StopServerFromSignal();

}  // namespace sim
