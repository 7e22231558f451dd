#pragma once
// The wire format between the simulated machine's daemon and its clients.
//
// A connection carries frames: a 4-byte big-endian body length, then the body. A body
// is one property value in a compact binary form (below); requests, replies and
// events are dictionaries. Nothing read from a peer is trusted: every length and
// count is checked against the bytes that are really there before it is used, and
// nesting is bounded.
//
// Value encoding, one tag byte then the payload (integers big-endian):
//   's' u32 length, bytes        string
//   'd' u32 length, bytes        data
//   'i' 8 bytes                  integer (two's complement)
//   't' / 'f'                    boolean true / false
//   'r' 8 bytes                  real (IEEE 754 bits)
//   'a' u32 count, values        array
//   'D' u32 count, (u32 key length, key bytes, value) per entry   dictionary

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/property.h"

namespace platform::wire {

// Bodies larger than this are refused (the connection is then dropped: a peer that
// sends one is broken or hostile, and its stream cannot be resynchronised).
inline constexpr uint32_t kMaxFrameBody = 32u << 20;
inline constexpr int kMaxNesting = 32;

// Appends the encoding of `value` to `out`.
void EncodeProperty(const Property& value, std::string* out);
// Decodes one value that must fill `bytes` exactly; nullopt for anything malformed.
std::optional<Property> DecodeProperty(std::string_view bytes);

// A whole frame (length prefix and body) for `message`.
std::string EncodeFrame(const Property& message);

// Cuts a byte stream into frame bodies. Feed() what arrives; Next() hands out
// complete bodies in order. A length above kMaxFrameBody puts the reader into the
// failed state for good. Owned and used by one connection's thread.
class FrameReader {
 public:
  void Feed(const char* bytes, size_t length);
  // The next complete body, or nullopt when none is complete yet (or failed()).
  std::optional<std::string> Next();
  bool failed() const { return failed_; }
  // Bytes received and not yet handed out.
  size_t buffered() const { return buffer_.size() - consumed_; }

 private:
  std::string buffer_;
  size_t consumed_ = 0;
  bool failed_ = false;
};

// Blocking helpers on a connected stream socket. Both retry on EINTR and give up with
// -1 (errno set) on any failure; `timeout_ms` < 0 waits without limit.
//
// Sends `bytes`, passing `fd_to_pass` (when >= 0) with the first byte (SCM_RIGHTS).
int SendAll(int socket_fd, std::string_view bytes, int fd_to_pass, int timeout_ms);
// Reads from the socket into `reader` until one complete body is available and
// returns it in *body. Descriptors that arrive with the bytes are appended to
// *received_fds (the caller owns them); when `received_fds` is null they are closed.
// 0 on success; -1 with errno (ECONNRESET at end of stream, EPROTO for a frame
// that is too large, ETIMEDOUT).
int ReadFrame(int socket_fd, FrameReader* reader, std::string* body,
              std::vector<int>* received_fds, int timeout_ms);
// Reads what is available now without blocking (the socket may be blocking or not).
// Returns bytes read (> 0), 0 at end of stream, or -1 with errno (EAGAIN when
// nothing is there).
ssize_t ReadAvailable(int socket_fd, FrameReader* reader, std::vector<int>* received_fds);

// Convenience access to message dictionaries.
const std::string* GetString(const PropertyDictionary& m, std::string_view key);
std::optional<int64_t> GetInteger(const PropertyDictionary& m, std::string_view key);
std::optional<bool> GetBoolean(const PropertyDictionary& m, std::string_view key);
const PropertyData* GetData(const PropertyDictionary& m, std::string_view key);
const PropertyDictionary* GetDictionary(const PropertyDictionary& m, std::string_view key);
const PropertyArray* GetArray(const PropertyDictionary& m, std::string_view key);

}  // namespace platform::wire
