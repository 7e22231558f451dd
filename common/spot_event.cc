#include "common/spot_event.h"

#include <cstring>

void SetFieldText(char* field, size_t width, std::string_view text) {
  if (field == nullptr || width == 0) return;
  const size_t n = text.size() < width ? text.size() : width;
  std::memset(field, 0, width);
  if (n > 0) std::memcpy(field, text.data(), n);
}

void SetFieldBytes(uint8_t* field, size_t width, const void* data, size_t size) {
  if (field == nullptr || width == 0) return;
  std::memset(field, 0, width);
  if (data == nullptr) return;
  std::memcpy(field, data, size < width ? size : width);
}

std::string_view FieldText(const char* field, size_t width) {
  if (field == nullptr) return {};
  const void* nul = std::memchr(field, '\0', width);
  const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
  return std::string_view(field, n);
}

void CopyFieldText(char* destination, size_t size, const char* field, size_t width) {
  if (destination == nullptr || size == 0) return;
  std::string_view text = FieldText(field, width);
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  if (n > 0) std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
}

SpotEventRec MakeSpotEvent(SpotEventType type, std::string_view bsd_name) {
  SpotEventRec rec;
  std::memset(&rec, 0, sizeof rec);
  rec.eventType = type;
  SetFieldText(rec.bsdName, bsd_name);
  return rec;
}

SpotEventRec MakeVolumeAppearedEvent(std::string_view bsd_name, MVUID volume_id,
                                     std::string_view volume_name,
                                     std::string_view mount_point, VolumeFormat format,
                                     bool journaled, bool bootable, uint64_t size) {
  SpotEventRec rec = MakeSpotEvent(kSpotVolumeAppeared, bsd_name);
  VolumeAppearedRec& v = rec.payload.volumeAppeared;
  v.volumeID = volume_id;
  SetFieldText(v.volumeName, volume_name);
  SetFieldText(v.mountPoint, mount_point);
  v.format = format;
  v.journaled = journaled ? 1 : 0;
  v.bootable = bootable ? 1 : 0;
  v.size = size;
  return rec;
}

SpotEventRec MakeVolumeChangedEvent(std::string_view bsd_name, std::string_view volume_name,
                                    std::string_view mount_point, VolumeFormat format,
                                    bool journaled, bool bootable, uint64_t size) {
  SpotEventRec rec = MakeSpotEvent(kSpotVolumeChanged, bsd_name);
  VolumeChangedRec& v = rec.payload.volumeChanged;
  SetFieldText(v.volumeName, volume_name);
  SetFieldText(v.mountPoint, mount_point);
  v.format = format;
  v.journaled = journaled ? 1 : 0;
  v.bootable = bootable ? 1 : 0;
  v.size = size;
  return rec;
}

SpotEventRec MakeDiskDisappearedEvent(std::string_view bsd_name, bool is_partition,
                                      uint64_t size) {
  SpotEventRec rec = MakeSpotEvent(kSpotDiskDisappeared, bsd_name);
  rec.payload.diskAppeared.isPartition = is_partition ? 1 : 0;
  rec.payload.diskAppeared.size = size;
  return rec;
}

namespace {

VolumeFormat KnownFormat(VolumeFormat format) {
  return format <= kVolumeFormatUnknown ? format : kVolumeFormatUnknown;
}

BusType KnownBusType(BusType bus) { return bus <= kBusTypeUnknown ? bus : kBusTypeUnknown; }

}  // namespace

bool ParseSpotEventRec(const void* bytes, size_t size, SpotEventRec* out) {
  if (out == nullptr) return false;
  std::memset(out, 0, sizeof *out);
  if (bytes == nullptr || size != sizeof(SpotEventRec)) return false;

  SpotEventRec rec;
  std::memcpy(&rec, bytes, sizeof rec);
  switch (rec.eventType) {
    case kSpotVolumeAppeared:
      rec.payload.volumeAppeared.format = KnownFormat(rec.payload.volumeAppeared.format);
      break;
    case kSpotVolumeChanged:
      rec.payload.volumeChanged.format = KnownFormat(rec.payload.volumeChanged.format);
      break;
    case kSpotDiskAppeared:
    case kSpotDiskDisappeared:
      rec.payload.diskAppeared.ident.busType = KnownBusType(rec.payload.diskAppeared.ident.busType);
      break;
    default:
      return false;
  }
  *out = rec;
  return true;
}
