#include "platform/sim/machine_wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace platform::wire {
namespace {

void PutU32(std::string* out, uint32_t v) {
  char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
               static_cast<char>(v)};
  out->append(b, 4);
}

void PutU64(std::string* out, uint64_t v) {
  PutU32(out, static_cast<uint32_t>(v >> 32));
  PutU32(out, static_cast<uint32_t>(v));
}

void PutBytes(std::string* out, std::string_view bytes) {
  PutU32(out, static_cast<uint32_t>(bytes.size()));
  out->append(bytes);
}

// What decoded values cost, as the decoder charges it against DecodeLimits::max_bytes:
// a value's slot in its array (or the root), the shared block and header of an
// array or dictionary, a dictionary entry's tree node, and payload bytes.
// What a frame reader keeps of its buffer's capacity between frames.
constexpr size_t kRetainedBuffer = 64u << 10;

constexpr size_t kSlotCost = sizeof(Property);
constexpr size_t kContainerCost = 64;
constexpr size_t kEntryCost = sizeof(PropertyDictionary::value_type) + 4 * sizeof(void*);

// Reads values out of an untrusted buffer; every step checks what is left, and what
// decoding has cost so far against the limits.
class Decoder {
 public:
  Decoder(std::string_view bytes, const DecodeLimits& limits) : bytes_(bytes), limits_(limits) {}
  bool at_end() const { return position_ == bytes_.size(); }
  // Why Value() failed: EBADMSG or E2BIG.
  int error() const { return over_budget_ ? E2BIG : EBADMSG; }

  std::optional<Property> Root() {
    if (!Charge(0, kSlotCost)) return std::nullopt;
    return Value(0);
  }

  // The integer entry `key` of a dictionary body; the other entries are stepped over
  // without building anything.
  std::optional<int64_t> TopLevelInteger(std::string_view wanted) {
    uint8_t tag = 0;
    uint32_t count = 0;
    if (!U8(&tag) || tag != 'D' || !U32(&count) || count > left() / 5) return std::nullopt;
    for (uint32_t i = 0; i < count; ++i) {
      std::string_view key;
      if (!Bytes(&key)) return std::nullopt;
      if (key == wanted && left() >= 9 && bytes_[position_] == 'i') {
        ++position_;
        uint64_t v = 0;
        (void)U64(&v);  // nine bytes are there
        return static_cast<int64_t>(v);
      }
      if (!Skip(1)) return std::nullopt;
    }
    return std::nullopt;
  }

 private:
  std::optional<Property> Value(int depth) {
    if (depth > kMaxNesting) {
      over_budget_ = true;
      return std::nullopt;
    }
    if (!Charge(1, 0)) return std::nullopt;
    uint8_t tag = 0;
    if (!U8(&tag)) return std::nullopt;
    switch (tag) {
      case 's': {
        std::string_view s;
        if (!Bytes(&s) || !Charge(0, s.size())) return std::nullopt;
        return Property::String(s);
      }
      case 'd': {
        std::string_view s;
        if (!Bytes(&s) || !Charge(0, s.size())) return std::nullopt;
        return Property::Data(s.data(), s.size());
      }
      case 'i': {
        uint64_t v = 0;
        if (!U64(&v)) return std::nullopt;
        return Property::Integer(static_cast<int64_t>(v));
      }
      case 't': return Property::Boolean(true);
      case 'f': return Property::Boolean(false);
      case 'r': {
        uint64_t v = 0;
        if (!U64(&v)) return std::nullopt;
        return Property::Real(std::bit_cast<double>(v));
      }
      case 'a': {
        uint32_t count = 0;
        // Every element takes at least one byte: a count beyond what is left is a lie.
        if (!U32(&count) || count > left()) return std::nullopt;
        // The slots are charged before they are reserved, and elements the budget
        // cannot hold refuse the body before any of them is decoded.
        if (!Fits(count) || !Charge(0, kContainerCost + size_t{count} * kSlotCost)) {
          return std::nullopt;
        }
        PropertyArray items;
        items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
          auto item = Value(depth + 1);
          if (!item) return std::nullopt;
          items.push_back(std::move(*item));
        }
        return Property::Array(std::move(items));
      }
      case 'D': {
        uint32_t count = 0;
        // Every entry takes at least five bytes (key length and a tag).
        if (!U32(&count) || count > left() / 5) return std::nullopt;
        if (!Fits(count) || !Charge(0, kContainerCost + size_t{count} * kEntryCost)) {
          return std::nullopt;
        }
        PropertyDictionary entries;
        for (uint32_t i = 0; i < count; ++i) {
          std::string_view key;
          if (!Bytes(&key) || !Charge(0, key.size())) return std::nullopt;
          auto item = Value(depth + 1);
          if (!item) return std::nullopt;
          entries.insert_or_assign(std::string(key), std::move(*item));
        }
        return Property::Dictionary(std::move(entries));
      }
      default: return std::nullopt;
    }
  }

  // Steps over one value, checking it as Value() does but building nothing.
  bool Skip(int depth) {
    uint8_t tag = 0;
    if (depth > kMaxNesting || !U8(&tag)) return false;
    std::string_view s;
    uint64_t v = 0;
    uint32_t count = 0;
    switch (tag) {
      case 's':
      case 'd': return Bytes(&s);
      case 'i':
      case 'r': return U64(&v);
      case 't':
      case 'f': return true;
      case 'a':
        if (!U32(&count) || count > left()) return false;
        for (uint32_t i = 0; i < count; ++i) {
          if (!Skip(depth + 1)) return false;
        }
        return true;
      case 'D':
        if (!U32(&count) || count > left() / 5) return false;
        for (uint32_t i = 0; i < count; ++i) {
          if (!Bytes(&s) || !Skip(depth + 1)) return false;
        }
        return true;
      default: return false;
    }
  }

  // Whether `values` more values stay within the limit (without charging them).
  bool Fits(size_t values) {
    if (values > limits_.max_values - values_) over_budget_ = true;
    return !over_budget_;
  }
  bool Charge(size_t values, size_t bytes) {
    if (values > limits_.max_values - values_ || bytes > limits_.max_bytes - bytes_used_) {
      over_budget_ = true;
      return false;
    }
    values_ += values;
    bytes_used_ += bytes;
    return true;
  }

  size_t left() const { return bytes_.size() - position_; }
  bool U8(uint8_t* v) {
    if (left() < 1) return false;
    *v = static_cast<uint8_t>(bytes_[position_++]);
    return true;
  }
  bool U32(uint32_t* v) {
    if (left() < 4) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes_.data() + position_);
    *v = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    position_ += 4;
    return true;
  }
  bool U64(uint64_t* v) {
    uint32_t hi = 0, lo = 0;
    if (!U32(&hi) || !U32(&lo)) return false;
    *v = (uint64_t{hi} << 32) | lo;
    return true;
  }
  bool Bytes(std::string_view* s) {
    uint32_t n = 0;
    if (!U32(&n) || n > left()) return false;
    *s = bytes_.substr(position_, n);
    position_ += n;
    return true;
  }

  std::string_view bytes_;
  const DecodeLimits limits_;
  size_t position_ = 0;
  size_t values_ = 0;
  size_t bytes_used_ = 0;
  bool over_budget_ = false;
};

int WaitFor(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeout_ms);
    if (n > 0) return 0;
    if (n == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (errno != EINTR) return -1;
  }
}

void TakeDescriptors(msghdr* message, std::vector<int>* received_fds) {
  for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      if (received_fds != nullptr) {
        received_fds->push_back(fd);
      } else {
        ::close(fd);
      }
    }
  }
}

}  // namespace

void EncodeProperty(const Property& value, std::string* out) {
  switch (value.type()) {
    case Property::Type::kString:
      out->push_back('s');
      PutBytes(out, *value.AsString());
      break;
    case Property::Type::kData: {
      const PropertyData& d = *value.AsData();
      out->push_back('d');
      PutBytes(out, std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
      break;
    }
    case Property::Type::kInteger:
      out->push_back('i');
      PutU64(out, static_cast<uint64_t>(*value.AsInteger()));
      break;
    case Property::Type::kBoolean: out->push_back(*value.AsBoolean() ? 't' : 'f'); break;
    case Property::Type::kReal:
      out->push_back('r');
      PutU64(out, std::bit_cast<uint64_t>(*value.AsReal()));
      break;
    case Property::Type::kArray: {
      const PropertyArray& a = *value.AsArray();
      out->push_back('a');
      PutU32(out, static_cast<uint32_t>(a.size()));
      for (const Property& item : a) EncodeProperty(item, out);
      break;
    }
    case Property::Type::kDictionary: {
      const PropertyDictionary& d = *value.AsDictionary();
      out->push_back('D');
      PutU32(out, static_cast<uint32_t>(d.size()));
      for (const auto& [key, item] : d) {
        PutBytes(out, key);
        EncodeProperty(item, out);
      }
      break;
    }
  }
}

int DecodePropertyWithin(std::string_view bytes, const DecodeLimits& limits, Property* out) {
  Decoder decoder(bytes, limits);
  auto value = decoder.Root();
  if (!value) return decoder.error();
  if (!decoder.at_end()) return EBADMSG;
  *out = std::move(*value);
  return 0;
}

std::optional<int64_t> PeekInteger(std::string_view body, std::string_view key) {
  return Decoder(body, kMessageLimits).TopLevelInteger(key);
}

std::optional<Property> DecodeProperty(std::string_view bytes, const DecodeLimits& limits) {
  Property value;
  if (DecodePropertyWithin(bytes, limits, &value) != 0) return std::nullopt;
  return value;
}

std::string EncodeFrame(const Property& message) {
  std::string frame(4, '\0');
  EncodeProperty(message, &frame);
  uint32_t n = static_cast<uint32_t>(frame.size() - 4);
  frame[0] = static_cast<char>(n >> 24);
  frame[1] = static_cast<char>(n >> 16);
  frame[2] = static_cast<char>(n >> 8);
  frame[3] = static_cast<char>(n);
  return frame;
}

void FrameReader::Feed(const char* bytes, size_t length) {
  if (failed_) return;
  // Drop what was handed out before growing the buffer.
  if (consumed_ > 0 && consumed_ >= buffer_.size() / 2) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  buffer_.append(bytes, length);
}

void FrameReader::Reset() {
  std::string().swap(buffer_);  // assigning an empty string would keep the capacity
  consumed_ = 0;
  failed_ = false;
}

std::optional<std::string> FrameReader::Next() {
  if (failed_ || buffered() < 4) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data() + consumed_);
  uint32_t n = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  if (n > max_body_) {
    Reset();
    failed_ = true;
    return std::nullopt;
  }
  if (buffered() - 4 < n) return std::nullopt;
  std::string body = buffer_.substr(consumed_ + 4, n);
  consumed_ += 4 + size_t{n};
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  }
  // A large frame grew the buffer; an idle connection should not keep that memory.
  if (buffer_.capacity() > kRetainedBuffer && buffer_.capacity() / 4 > buffered()) {
    std::string(buffer_, consumed_).swap(buffer_);  // what is left, in its own size
    consumed_ = 0;
  }
  return body;
}

int SendAll(int socket_fd, std::string_view bytes, int fd_to_pass, int timeout_ms) {
  size_t sent = 0;
  bool fd_sent = fd_to_pass < 0;
  while (sent < bytes.size() || !fd_sent) {
    msghdr message{};
    iovec io{const_cast<char*>(bytes.data() + sent), bytes.size() - sent};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (!fd_sent) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&message);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &fd_to_pass, sizeof(int));
    }
    ssize_t n = ::sendmsg(socket_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (WaitFor(socket_fd, POLLOUT, timeout_ms) != 0) return -1;
        continue;
      }
      return -1;
    }
    if (n > 0) fd_sent = true;
    sent += static_cast<size_t>(n);
  }
  return 0;
}

ssize_t ReadAvailable(int socket_fd, FrameReader* reader, std::vector<int>* received_fds) {
  char buffer[64 * 1024];
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  for (;;) {
    msghdr message{};
    iovec io{buffer, sizeof buffer};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(socket_fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    TakeDescriptors(&message, received_fds);
    if (n > 0) reader->Feed(buffer, static_cast<size_t>(n));
    return n;
  }
}

int ReadFrame(int socket_fd, FrameReader* reader, std::string* body,
              std::vector<int>* received_fds, int timeout_ms) {
  for (;;) {
    if (auto next = reader->Next()) {
      *body = std::move(*next);
      return 0;
    }
    if (reader->failed()) {
      errno = EPROTO;
      return -1;
    }
    if (WaitFor(socket_fd, POLLIN, timeout_ms) != 0) return -1;
    ssize_t n = ReadAvailable(socket_fd, reader, received_fds);
    if (n == 0) {
      errno = ECONNRESET;
      return -1;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  }
}

const std::string* GetString(const PropertyDictionary& m, std::string_view key) {
  auto it = m.find(key);
  return it == m.end() ? nullptr : it->second.AsString();
}

std::optional<int64_t> GetInteger(const PropertyDictionary& m, std::string_view key) {
  auto it = m.find(key);
  return it == m.end() ? std::nullopt : it->second.AsInteger();
}

std::optional<bool> GetBoolean(const PropertyDictionary& m, std::string_view key) {
  auto it = m.find(key);
  return it == m.end() ? std::nullopt : it->second.AsBoolean();
}

const PropertyData* GetData(const PropertyDictionary& m, std::string_view key) {
  auto it = m.find(key);
  return it == m.end() ? nullptr : it->second.AsData();
}

const PropertyDictionary* GetDictionary(const PropertyDictionary& m, std::string_view key) {
  auto it = m.find(key);
  return it == m.end() ? nullptr : it->second.AsDictionary();
}

const PropertyArray* GetArray(const PropertyDictionary& m, std::string_view key) {
  auto it = m.find(key);
  return it == m.end() ? nullptr : it->second.AsArray();
}

}  // namespace platform::wire
