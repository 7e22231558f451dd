#include "tool/model/mvuid.h"

#include <cmath>
#include <mutex>

#include "platform/host.h"

namespace {
std::mutex gMVUIDMutex;
MVUID gLastMVUID = 0;  // guarded by gMVUIDMutex
}  // namespace

MVUID GetNewMVUID() {
  double nanoseconds = platform::GetHost().clock().AbsoluteTime() * 1000000000.0;
  // Truncation to a signed 64-bit count, as the identifier has always been made; a
  // clock outside that range counts as standing still.
  int64_t now = 0;
  if (std::isfinite(nanoseconds) && nanoseconds < 9.2e18 && nanoseconds > -9.2e18) {
    now = static_cast<int64_t>(nanoseconds);
  }
  std::lock_guard<std::mutex> lock(gMVUIDMutex);
  MVUID result = static_cast<MVUID>(now);
  if (result <= gLastMVUID) result = gLastMVUID + 1;
  gLastMVUID = result;
  return result;
}
