#pragma once
// The firmware boot path: the OpenFirmware variable "boot-device", read through the
// registry entry "IODeviceTree:/options" and written with the system tool
// "/usr/sbin/nvram". Both keep no state; any thread may call them.

#include <cstddef>

#include "framework/mac_types.h"

// Zeroes `buffer` and copies the current "boot-device" text into it (string or data
// value, ASCII). False, with the buffer left zeroed, when the entry or the property
// is missing, the value is neither string nor data, is not ASCII, or does not fit
// with its terminator: a cut path would name another device.
Boolean GetBootPath(char* buffer, size_t size);

// Runs nvram with "boot-device=" + `path` + ",\\:tbxi" (the boot file of the blessed
// folder), where a leading "IODeviceTree:" of `path` is dropped. The argument must
// fit the 1056-byte buffer it is built in (1055 characters and a NUL); a longer one
// is refused with false rather than cut. True only when nvram ended normally with
// exit status 0; a missing nvram is a failure.
Boolean SetBootPath(const char* path);

inline constexpr size_t kBootPathArgumentBufferSize = 1056;
