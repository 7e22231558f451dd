#pragma once
// Big-endian integers as they lie in on-disk records. Each wrapper is a plain byte
// array (alignment 1), so records built from them are packed by construction and
// their field offsets can be checked with static_assert. Values are read and
// written only through get()/set(), never by casting host integers.

#include <cstddef>
#include <cstdint>



template <typename T>
struct BigEndian {
  uint8_t bytes[sizeof(T)];

  T get() const {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | bytes[i]);
    return value;
  }
  void set(T value) {
    for (size_t i = sizeof(T); i > 0; --i) {
      bytes[i - 1] = static_cast<uint8_t>(value & 0xFF);
      value = static_cast<T>(value >> 8);
    }
  }
};

using Be16 = BigEndian<uint16_t>;
using Be32 = BigEndian<uint32_t>;
using Be64 = BigEndian<uint64_t>;
static_assert(sizeof(Be16) == 2 && alignof(Be16) == 1);
static_assert(sizeof(Be32) == 4 && alignof(Be32) == 1);
static_assert(sizeof(Be64) == 8 && alignof(Be64) == 1);

// Reads and writes at a byte position of a buffer.
inline uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}


