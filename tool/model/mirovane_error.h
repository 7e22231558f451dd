#pragma once
// Result codes that travel to the application in the first word of disk and volume
// command replies and in events, and the RAID level and optimisation values.

#include <cstdint>

enum MirovaneError : int32_t {
  kMirovaneNoError = 0,
  kMirovaneErrNotFound = 7,
  kMirovaneErrUnmountFailed = 8,
  kMirovaneErrVolumeUnmountFailed = 9,
  kMirovaneErrReadFailed = 10,
  kMirovaneErrWriteFailed = 11,
  kMirovaneErrNotAuthorized = 12,
  kMirovaneErrNoSpace = 13,
  kMirovaneErrNotRelated = 15,
  kMirovaneErrFileSystemFailed = 16,
  kMirovaneErrNoSpaceForStatus = 17,
  kMirovaneErrStripeInPlace = 18,
  kMirovaneErrAppleRAIDMirrorOutOfDate = 19,
  kMirovaneErrConversionFailed = 20,
  kMirovaneErrJournalingOnFailed = 21,
  kMirovaneErrJournalingOffFailed = 22,
  kMirovanePartitionInfoReady = 24,
  kMirovaneZeroComplete = 25,
};

enum VolumeRAIDLevel : int32_t {
  kRAIDLevelNone = -1,
  kRAIDLevelStripe = 0,
  kRAIDLevelMirror = 1,
  kRAIDLevelParity = 4,
  kRAIDLevelDistributedParity = 5,
  kRAIDLevelStripedMirrors = 10,
};

enum VolumeOptimization : uint32_t {
  kOptimizationWorkstation = 0,
  kOptimizationServer = 1,
  kOptimizationDigitalVideo = 2,
  kOptimizationDigitalAudio = 3,
};
