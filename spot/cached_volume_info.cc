#include "spot/cached_volume_info.h"

#include <new>
#include <string_view>

namespace {

std::string_view TextOf(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

}  // namespace

int TCachedVolumeInfoArray::Initialize() {
  fRecords.clear();
  return 0;
}

CachedVolumeInfoRec* TCachedVolumeInfoArray::FindRecWithBSDName(const char* bsdName) {
  const std::string_view name = TextOf(bsdName);
  for (const auto& record : fRecords) {
    if (FieldText(record->bsdName) == name) return record.get();
  }
  return nullptr;
}

void TCachedVolumeInfoArray::AddNewRecToArray(const char* bsdName, const char* volumeName,
                                              const char* mountPoint, VolumeFormat format,
                                              Boolean journaled, Boolean bootable,
                                              uint64_t size, MVUID volumeID) {
  std::unique_ptr<CachedVolumeInfoRec> record(new (std::nothrow) CachedVolumeInfoRec());
  if (record == nullptr) return;
  SetFieldText(record->bsdName, TextOf(bsdName));
  SetFieldText(record->volumeName, TextOf(volumeName));
  SetFieldText(record->mountPoint, TextOf(mountPoint));
  record->format = format;
  record->journaled = journaled != 0 ? 1 : 0;
  record->bootable = bootable != 0 ? 1 : 0;
  record->size = size;
  record->volumeID = volumeID;
  fRecords.push_back(std::move(record));
}

void TCachedVolumeInfoArray::RemoveRecWithBSDName(const char* bsdName) {
  const std::string_view name = TextOf(bsdName);
  for (auto it = fRecords.begin(); it != fRecords.end(); ++it) {
    if (FieldText((*it)->bsdName) == name) {
      fRecords.erase(it);
      return;
    }
  }
}
