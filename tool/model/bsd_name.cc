#include "tool/model/bsd_name.h"

#include <cstring>

void StripOffPartitionCharacters(char* bsdName) {
  if (bsdName == nullptr) return;
  size_t length = std::strlen(bsdName);
  for (size_t i = length; i > 0; --i) {
    const size_t pos = i - 1;
    if (bsdName[pos] == 'k') return;
    if (bsdName[pos] == 's') {
      std::memset(bsdName + pos, 0, length - pos);
      return;
    }
  }
}
