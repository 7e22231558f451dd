#include "framework/mac_roman.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array<unsigned char, 256> MakeLowerTable() {
  std::array<unsigned char, 256> table{};
  for (int i = 0; i < 256; ++i) table[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
  for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<size_t>(c)] = static_cast<unsigned char>(c + 0x20);
  constexpr unsigned char kAccented[][2] = {
      {0x80, 0x8A}, {0x81, 0x8C}, {0x82, 0x8D}, {0x83, 0x8E}, {0x84, 0x96},
      {0x85, 0x9A}, {0x86, 0x9F}, {0xAE, 0xBE}, {0xAF, 0xBF}, {0xCB, 0x88},
      {0xCC, 0x8B}, {0xCD, 0x9B}, {0xCE, 0xCF}};
  for (const auto& pair : kAccented) table[pair[0]] = pair[1];
  return table;
}

constexpr std::array<unsigned char, 256> kLowerTable = MakeLowerTable();

}  // namespace

unsigned char MacRomanLower(unsigned char c) { return kLowerTable[c]; }

void ToLower(unsigned char* c) {
  if (c != nullptr) *c = kLowerTable[*c];
}

void ToLowerCStr(unsigned char* s) {
  if (s == nullptr) return;
  for (; *s != 0; ++s) *s = kLowerTable[*s];
}

void ToLowerPStr(unsigned char* s) {
  if (s == nullptr) return;
  ToLowerStr(s + 1, s[0]);
}

void ToLowerStr(unsigned char* s, short len) {
  if (s == nullptr) return;
  for (short i = 0; i < len; ++i) s[i] = kLowerTable[s[i]];
}
