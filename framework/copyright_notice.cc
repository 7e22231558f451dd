#include "framework/copyright_notice.h"

#include <array>
#include <cstdint>

namespace {

// The plain text appears only in these constant expressions: the program holds the
// scrambled bytes and a checksum of the plain text, never the text itself.
constexpr uint8_t Key(size_t i) { return static_cast<uint8_t>(0xA7u ^ (i * 29u + 11u)); }

constexpr uint32_t Checksum(const uint8_t* text, size_t length) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < length; ++i) hash = (hash ^ text[i]) * 16777619u;
  return hash ^ static_cast<uint32_t>(length);
}

template <size_t N>
struct Scrambled {
  std::array<uint8_t, N - 1> bytes{};
  uint32_t checksum = 0;
};

template <size_t N>
consteval Scrambled<N> Scramble(const char (&text)[N]) {
  static_assert(N - 1 < kNoticeBufferSize, "the notice is at most 63 characters");
  Scrambled<N> out;
  std::array<uint8_t, N - 1> plain{};
  for (size_t i = 0; i + 1 < N; ++i) {
    plain[i] = static_cast<uint8_t>(text[i]);
    out.bytes[i] = static_cast<uint8_t>(plain[i] ^ Key(i));
  }
  out.checksum = Checksum(plain.data(), N - 1);
  return out;
}

constexpr auto kNotice = Scramble("Mirovane tool framework. All rights reserved.");

}  // namespace

void CopyrightNotice(unsigned char* buf) {
  if (buf == nullptr) return;
  // Read through a volatile view so the compiler cannot fold the text back into
  // plain constants.
  const volatile uint8_t* scrambled = kNotice.bytes.data();
  size_t i = 0;
  for (; i < kNotice.bytes.size(); ++i) buf[i] = static_cast<unsigned char>(scrambled[i] ^ Key(i));
  buf[i] = '\0';
}

bool IsCopyrightNoticeIntact(const unsigned char* buf) {
  if (buf == nullptr) return false;
  size_t length = 0;
  while (length < kNoticeBufferSize && buf[length] != 0) ++length;
  if (length != kNotice.bytes.size()) return false;
  return Checksum(buf, length) == kNotice.checksum;
}
