#pragma once
// TUserEventLog: the outcomes of long-running operations, kept until the next list
// reply takes them. Each event is delivered exactly once, in the order it was
// added.
//
// Threads: helper threads add events while the main thread takes them; a mutex of
// the log guards both. The event list handed out by CreateEventList is owned by
// the log and belongs to the main thread until ReleaseEventList.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "tool/model/app_records.h"

class TUserEventLog {
 public:
  TUserEventLog() = default;
  TUserEventLog(const TUserEventLog&) = delete;
  TUserEventLog& operator=(const TUserEventLog&) = delete;

  OSErr Initialize() { return noErr; }
  // Null references or text leave their fields zero; the text is cut to 64 bytes.
  // An event that cannot be stored is dropped.
  void AddEvent(ApplicationCommandID command, const DriverObjectRef* first,
                const DriverObjectRef* second, MirovaneError error, uint64_t value,
                const char* text);
  // Takes every pending event into the event list (oldest first), stores their
  // number in the header and hands out the list (null when there are none).
  // memFullErr when the list cannot be allocated: then nothing is taken.
  OSErr CreateEventList(DiskVolumeListHeaderRec* header, MirovaneEventRec** list);
  void ReleaseEventList();
  size_t PendingCount() const;

 private:
  mutable std::mutex mutex_;
  std::deque<MirovaneEventRec> events_;
  std::unique_ptr<MirovaneEventRec[]> event_list_;
};
