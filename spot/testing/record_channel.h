#pragma once
// Where a test lets the watcher write its records: a sequenced-packet socket pair, so
// that every write arrives as one packet and a record written in pieces, or two
// records in one write, shows up as a wrong packet size. Not thread-safe.

#include <optional>
#include <vector>

#include "common/spot_event.h"

namespace spot_testing {

class RecordChannel {
 public:
  RecordChannel();
  ~RecordChannel();
  RecordChannel(const RecordChannel&) = delete;
  RecordChannel& operator=(const RecordChannel&) = delete;

  // The end the watcher writes to.
  int writer() const { return fds_[1]; }
  // Closes the writer end here (after handing it to a child process).
  void CloseWriter();

  // The next record, waiting at most `timeout_ms`; nullopt when none came or the
  // writer closed. A packet of any size but 252 bytes fails the test.
  std::optional<SpotEventRec> Next(int timeout_ms = 0);
  // Every record that has arrived, without waiting.
  std::vector<SpotEventRec> Drain();
  // Packets that were not exactly one record.
  int bad_packets() const { return bad_packets_; }

 private:
  int fds_[2] = {-1, -1};
  int bad_packets_ = 0;
};

}  // namespace spot_testing
