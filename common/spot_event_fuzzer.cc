// Feeds arbitrary bytes to the watcher record parser and checks what a reader relies
// on: only whole records of a known type are accepted, their enumerations are known
// values, and every text read stays inside its field.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/spot_event.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

template <size_t N>
void CheckText(const char (&field)[N]) {
  std::string_view text = FieldText(field);
  Check(text.size() <= N);
  Check(text.find('\0') == std::string_view::npos);
  char copy[N + 1];
  CopyFieldText(copy, sizeof copy, field, N);
  Check(std::strlen(copy) == text.size());
}

void CheckOne(const uint8_t* data, size_t size) {
  SpotEventRec rec;
  const bool ok = ParseSpotEventRec(data, size, &rec);
  if (!ok) {
    static const SpotEventRec kZero{};
    Check(std::memcmp(&rec, &kZero, sizeof rec) == 0);
    return;
  }
  Check(size == kSpotEventRecSize);
  Check(rec.eventType <= kSpotDiskDisappeared);
  CheckText(rec.bsdName);
  switch (rec.eventType) {
    case kSpotVolumeAppeared:
      Check(rec.payload.volumeAppeared.format <= kVolumeFormatUnknown);
      CheckText(rec.payload.volumeAppeared.volumeName);
      CheckText(rec.payload.volumeAppeared.mountPoint);
      break;
    case kSpotVolumeChanged:
      Check(rec.payload.volumeChanged.format <= kVolumeFormatUnknown);
      CheckText(rec.payload.volumeChanged.volumeName);
      CheckText(rec.payload.volumeChanged.mountPoint);
      break;
    default:
      Check(rec.payload.diskAppeared.ident.busType <= kBusTypeUnknown);
      CheckText(rec.payload.diskAppeared.vendorText);
      CheckText(rec.payload.diskAppeared.identityText);
      break;
  }
  // A parsed record parses again to itself.
  SpotEventRec again;
  Check(ParseSpotEventRec(&rec, sizeof rec, &again));
  Check(std::memcmp(&rec, &again, sizeof rec) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckOne(data, size);
  // Most inputs are not one record long; their first 252 bytes still make a candidate,
  // as a reader reassembling records from a pipe would see them.
  if (size > kSpotEventRecSize) CheckOne(data, kSpotEventRecSize);
  return 0;
}
