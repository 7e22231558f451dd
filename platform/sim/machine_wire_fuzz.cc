// Feeds arbitrary bytes to the frame reader and the value decoder, in pieces whose
// sizes come from the input, and checks that whatever decodes encodes back to a body
// that decodes and encodes to the same bytes. The decoding limits and the reader's
// largest body come from the input too (kept small, so that inputs of fuzzing size
// reach them): a value refused as too large must not be half-built into a crash, and
// one that decodes within small limits decodes the same within the client's.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/sim/machine_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace platform::wire;
  if (size < 2) return 0;
  const DecodeLimits limits{.max_values = 1u + data[0] % 64u * 16u,
                            .max_bytes = 64u + size_t{data[1]} * 64u};
  const uint32_t max_body = 1u + uint32_t{data[0]} * 64u;
  data += 2;
  size -= 2;
  const char* bytes = reinterpret_cast<const char*>(data);
  std::string_view body(bytes, size);

  platform::Property value;
  int result = DecodePropertyWithin(body, limits, &value);
  if (result != 0 && result != EBADMSG && result != E2BIG) std::abort();
  if (result == 0) {
    std::string again;
    EncodeProperty(value, &again);
    // Compared as bytes: a NaN real is not equal to itself.
    platform::Property round;
    if (DecodePropertyWithin(again, limits, &round) != 0) std::abort();
    std::string third;
    EncodeProperty(round, &third);
    if (third != again) std::abort();
    auto wide = DecodeProperty(body, kMessageLimits);
    if (!wide) std::abort();
    std::string fourth;
    EncodeProperty(*wide, &fourth);
    if (fourth != again) std::abort();
  }
  (void)PeekInteger(body, "seq");

  FrameReader reader(max_body);
  size_t position = 0;
  while (position < size) {
    size_t piece = 1 + data[position] % 64;
    if (piece > size - position) piece = size - position;
    reader.Feed(bytes + position, piece);
    position += piece;
    while (auto next = reader.Next()) {
      if (next->size() > max_body) std::abort();
      (void)DecodeProperty(*next, limits);
    }
  }
  return 0;
}
