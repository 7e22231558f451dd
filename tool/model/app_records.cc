#include "tool/model/app_records.h"

bool IsAssignedCommand(uint32_t value) {
  if (value == 0 || value == 10 || value == 18 || value == 19 || value == 28 || value == 29) {
    return false;
  }
  if (value >= 41 && value <= 49) return false;
  return value >= kCmdTest && value <= kCmdCancelVolumeCommand;
}
