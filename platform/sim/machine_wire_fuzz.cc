// Feeds arbitrary bytes to the frame reader and the value decoder, in pieces whose
// sizes come from the input, and checks that whatever decodes encodes back to a body
// that decodes and encodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/sim/machine_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace platform::wire;
  const char* bytes = reinterpret_cast<const char*>(data);
  if (auto value = DecodeProperty(std::string_view(bytes, size))) {
    std::string again;
    EncodeProperty(*value, &again);
    // Compared as bytes: a NaN real is not equal to itself.
    auto round = DecodeProperty(again);
    if (!round) std::abort();
    std::string third;
    EncodeProperty(*round, &third);
    if (third != again) std::abort();
  }
  FrameReader reader;
  size_t position = 0;
  while (position < size) {
    size_t piece = 1 + data[position] % 64;
    if (piece > size - position) piece = size - position;
    reader.Feed(bytes + position, piece);
    position += piece;
    while (auto body = reader.Next()) (void)DecodeProperty(*body);
  }
  return 0;
}
