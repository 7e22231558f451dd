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

// Frame bodies are limited by direction: a longer length puts the reader into the
// failed state and the connection is dropped (a peer that sends one is broken or
// hostile, and its stream cannot be resynchronised).
//
// Device transfers through the daemon go in pieces of at most this many bytes.
inline constexpr size_t kDeviceTransferPiece = 1u << 20;
// Client to daemon: requests are small except a device write, which carries one piece.
inline constexpr uint32_t kMaxRequestBody = 2u << 20;
static_assert(kMaxRequestBody >= kDeviceTransferPiece + (64u << 10),
              "a device write of one piece must fit in a request with room to spare");
// Daemon to client: replies (a device read, a registry's properties) and events.
inline constexpr uint32_t kMaxMessageBody = 32u << 20;
inline constexpr int kMaxNesting = 32;

// What one decoded body may cost. A byte on the wire can become a value of tens of
// bytes in memory (a dictionary entry more than a hundred), so the frame limit alone
// does not bound what decoding takes; these do.
struct DecodeLimits {
  size_t max_values;  // values of any kind, containers and their elements alike
  size_t max_bytes;   // estimated memory of the decoded value: slots, entries, payloads
};
// What the daemon accepts from a client: a device write of one piece and little else.
inline constexpr DecodeLimits kRequestLimits{16u << 10, kMaxRequestBody};
// What a client accepts from the daemon.
inline constexpr DecodeLimits kMessageLimits{1u << 18, 64u << 20};

// Appends the encoding of `value` to `out`.
void EncodeProperty(const Property& value, std::string* out);
// Decodes one value that must fill `bytes` exactly. 0 with *out set; EBADMSG for
// anything malformed; E2BIG for a value beyond `limits` or nested deeper than
// kMaxNesting (decoding stops as soon as that is known).
int DecodePropertyWithin(std::string_view bytes, const DecodeLimits& limits, Property* out);
// The same, nullopt for either failure.
std::optional<Property> DecodeProperty(std::string_view bytes,
                                       const DecodeLimits& limits = kMessageLimits);

// The integer entry `key` of a dictionary body, found without decoding the other
// entries (nothing is built), so that a refused request can still be answered under
// its "seq". nullopt when the body is no dictionary, has no such integer entry, or is
// malformed before it.
std::optional<int64_t> PeekInteger(std::string_view body, std::string_view key);

// A whole frame (length prefix and body) for `message`.
std::string EncodeFrame(const Property& message);

// Cuts a byte stream into frame bodies. Feed() what arrives; Next() hands out
// complete bodies in order. A length above `max_body` puts the reader into the
// failed state for good (and frees what it held). Owned and used by one
// connection's thread.
class FrameReader {
 public:
  explicit FrameReader(uint32_t max_body = kMaxMessageBody) : max_body_(max_body) {}
  void Feed(const char* bytes, size_t length);
  // The next complete body, or nullopt when none is complete yet (or failed()).
  std::optional<std::string> Next();
  bool failed() const { return failed_; }
  // Bytes received and not yet handed out.
  size_t buffered() const { return buffer_.size() - consumed_; }
  // Forgets everything, frees its memory and leaves the failed state.
  void Reset();
  // Memory the reader holds now (its buffer's capacity); it shrinks again once a
  // large frame has been handed out.
  size_t held() const { return buffer_.capacity(); }

 private:
  uint32_t max_body_;
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
// that is too large for the reader, ETIMEDOUT).
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
