#include "tool/model/user_event_log.h"

#include <cstring>
#include <new>

void TUserEventLog::AddEvent(ApplicationCommandID command, const DriverObjectRef* first,
                             const DriverObjectRef* second, MirovaneError error, uint64_t value,
                             const char* text) {
  MirovaneEventRec event;
  std::memset(&event, 0, sizeof(event));
  event.command = command;
  if (first) event.first = *first;
  if (second) event.second = *second;
  event.error = error;
  event.value = value;
  if (text) std::memcpy(event.text, text, strnlen(text, sizeof(event.text)));
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    events_.push_back(event);
  } catch (const std::bad_alloc&) {
    // Dropped: the log has no room, and the event is not worth ending the tool for.
  }
}

OSErr TUserEventLog::CreateEventList(DiskVolumeListHeaderRec* header, MirovaneEventRec** list) {
  std::lock_guard<std::mutex> lock(mutex_);
  *list = nullptr;
  const size_t n = events_.size();
  if (n > 0) {
    event_list_.reset(new (std::nothrow) MirovaneEventRec[n]);
    if (!event_list_) return memFullErr;
    for (size_t i = 0; i < n; ++i) event_list_[i] = events_[i];
    events_.clear();
    *list = event_list_.get();
  }
  header->eventCount = static_cast<uint32_t>(n);
  return noErr;
}

void TUserEventLog::ReleaseEventList() {
  std::lock_guard<std::mutex> lock(mutex_);
  event_list_.reset();
}

size_t TUserEventLog::PendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}
