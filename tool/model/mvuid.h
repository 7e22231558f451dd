#pragma once
// Identifiers of RAID volumes and of disk status areas: the machine's clock in
// nanoseconds since 2001, strictly increasing within the process even when the
// clock stands still or goes back. Safe from any thread.

#include "framework/mac_types.h"

MVUID GetNewMVUID();
