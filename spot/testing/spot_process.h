#pragma once
// A running MirovaneSpot for end-to-end tests: started on a machine with its standard
// output on a RecordChannel (each write one packet) and its standard error in a
// file, with bounded waits for its records and its end. The destructor kills a
// watcher that is still running. Used from the test's thread.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/temp_dir.h"
#include "spot/testing/record_channel.h"

namespace spot_testing {

struct Ending {
  bool exited = false;     // ended by exit(); then `status` holds its exit status
  int status = -1;
  int signal = 0;          // the signal that ended it, else 0
  bool timed_out = false;  // still running when the wait ended
};

class SpotProcess {
 public:
  // Starts `program` on the machine at `machine_root`.
  SpotProcess(const std::string& program, const std::string& machine_root);
  ~SpotProcess();
  SpotProcess(const SpotProcess&) = delete;
  SpotProcess& operator=(const SpotProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The next record, waiting at most `seconds`.
  std::optional<SpotEventRec> Next(double seconds);
  // Records until one satisfies `wanted` (included) or `seconds` passed. The last
  // record is the wanted one when it came.
  std::vector<SpotEventRec> ReadUntil(const std::function<bool(const SpotEventRec&)>& wanted,
                                      double seconds);
  // Every record until none came for `quiet` seconds (at most `seconds` in all).
  std::vector<SpotEventRec> ReadUntilQuiet(double quiet, double seconds);

  // Sends `signal` and waits at most `seconds` for the end.
  Ending Signal(int signal, double seconds);
  Ending Wait(double seconds);
  // What the watcher wrote on its standard error.
  std::string ErrorOutput() const;
  int bad_packets() const { return channel_.bad_packets(); }

 private:
  platform::testing::TempDir dir_;
  RecordChannel channel_;
  pid_t pid_ = -1;
  std::optional<Ending> ending_;
};

// The BSD name of a record as text.
std::string NameOf(const SpotEventRec& record);

}  // namespace spot_testing
