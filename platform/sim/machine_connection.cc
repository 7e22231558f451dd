#include "platform/sim/machine_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/machine_protocol.h"

namespace platform {
namespace {

// Decodes a frame body that must be a dictionary.
std::optional<PropertyDictionary> DecodeMessage(const std::string& body) {
  auto value = wire::DecodeProperty(body);
  if (!value || !value->is_dictionary()) return std::nullopt;
  return *value->AsDictionary();
}

// The frame of a request, or E2BIG for one the daemon would refuse by dropping the
// connection: refusing it here keeps the connection and says why.
int EncodeRequest(PropertyDictionary request, std::string* frame) {
  *frame = wire::EncodeFrame(Property::Dictionary(std::move(request)));
  return frame->size() - 4 > wire::kMaxRequestBody ? E2BIG : 0;
}

int ReplyStatus(const PropertyDictionary& reply) {
  auto status = wire::GetInteger(reply, machine::kStatus);
  if (!status) return EPROTO;
  return static_cast<int>(*status);
}

}  // namespace

int ConnectUnixSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  int dir_fd = -1;
  std::string target = path;
  if (target.size() >= sizeof address.sun_path) {
    // Too long for sun_path: go through the folder's descriptor instead.
    size_t slash = target.rfind('/');
    if (slash == std::string::npos) {
      errno = ENAMETOOLONG;
      return -1;
    }
    dir_fd = ::open(target.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return -1;
    target = "/proc/self/fd/" + std::to_string(dir_fd) + target.substr(slash);
    if (target.size() >= sizeof address.sun_path) {
      ::close(dir_fd);
      errno = ENAMETOOLONG;
      return -1;
    }
  }
  std::memcpy(address.sun_path, target.c_str(), target.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int result = -1;
  if (fd >= 0) {
    for (;;) {
      result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
      if (result == 0 || errno != EINTR) break;
    }
  }
  int saved = errno;
  if (dir_fd >= 0) ::close(dir_fd);
  if (result != 0) {
    if (fd >= 0) ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// ---------------------------------------------------------------------------------

MachineConnection::MachineConnection(std::string root) : root_(std::move(root)) {}

MachineConnection::~MachineConnection() {
  std::lock_guard<std::mutex> lock(mutex_);
  DisconnectLocked();
}

void MachineConnection::DisconnectLocked() {
  // A descriptor inherited across fork belongs to the parent's stream: the child
  // closes its copy and never reads from it.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  reader_.Reset();
}

int MachineConnection::Call(PropertyDictionary request, PropertyDictionary* reply,
                            int* received_fd) {
  reply->clear();
  if (received_fd != nullptr) *received_fd = -1;
  // Without a machine root there is no machine to ask (and no socket to guess at).
  if (root_.empty()) return ENOENT;
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0 && owner_ != ::getpid()) DisconnectLocked();
  if (fd_ < 0) {
    fd_ = ConnectUnixSocket(machine::SocketPath(root_));
    if (fd_ < 0) return errno;
    owner_ = ::getpid();
  }
  int64_t seq = next_seq_++;
  request.insert_or_assign(machine::kSeq, Property::Integer(seq));
  std::string frame;
  if (int error = EncodeRequest(std::move(request), &frame); error != 0) return error;
  if (wire::SendAll(fd_, frame, -1, timeout_ms_) != 0) {
    int error = errno;
    DisconnectLocked();
    return error;
  }
  std::vector<int> fds;
  for (;;) {
    std::string body;
    if (wire::ReadFrame(fd_, &reader_, &body, &fds, timeout_ms_) != 0) {
      int error = errno;
      for (int fd : fds) ::close(fd);
      DisconnectLocked();
      return error;
    }
    auto message = DecodeMessage(body);
    if (!message) {
      for (int fd : fds) ::close(fd);
      DisconnectLocked();
      return EPROTO;
    }
    // Replies come in order; one that is not ours belongs to a request abandoned
    // after a time-out, and its descriptors go with it.
    if (wire::GetInteger(*message, machine::kSeq) != seq) {
      for (int fd : fds) ::close(fd);
      fds.clear();
      continue;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (i == 0 && received_fd != nullptr) {
        *received_fd = fds[0];
      } else {
        ::close(fds[i]);
      }
    }
    *reply = std::move(*message);
    return ReplyStatus(*reply);
  }
}

// ---------------------------------------------------------------------------------

MachineEventChannel::MachineEventChannel(std::string root, RunLoop& run_loop)
    : root_(std::move(root)), run_loop_(run_loop) {}

MachineEventChannel::~MachineEventChannel() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  DisconnectLocked();
}

int MachineEventChannel::ConnectLocked() {
  if (fd_ >= 0 && owner_ != ::getpid()) {
    // Forked: the parent's run loop source is not ours to remove.
    ::close(fd_);
    fd_ = -1;
    source_id_ = -1;
  }
  if (fd_ >= 0) return 0;
  if (root_.empty()) return ENOENT;
  fd_ = ConnectUnixSocket(machine::SocketPath(root_));
  if (fd_ < 0) return errno;
  owner_ = ::getpid();
  reader_.Reset();
  source_id_ = run_loop_.AddDescriptorSource(fd_, [this] { OnReadable(); });
  return 0;
}

void MachineEventChannel::DisconnectLocked() {
  if (source_id_ >= 0 && owner_ == ::getpid()) run_loop_.RemoveSource(source_id_);
  source_id_ = -1;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool MachineEventChannel::CollectFrames(int64_t awaited_seq, PropertyDictionary* reply) {
  bool found = false;
  while (auto body = reader_.Next()) {
    auto message = DecodeMessage(*body);
    if (!message) continue;  // a damaged event is dropped, the stream stays in step
    if (message->count(machine::kEvent) != 0) {
      pending_.push_back(std::move(*message));
    } else if (!found && awaited_seq > 0 && wire::GetInteger(*message, machine::kSeq) == awaited_seq) {
      *reply = std::move(*message);
      found = true;
    }
  }
  return found;
}

int MachineEventChannel::Request(PropertyDictionary request, PropertyDictionary* reply) {
  reply->clear();
  int result = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (int error = ConnectLocked(); error != 0) return error;
    int64_t seq = next_seq_++;
    request.insert_or_assign(machine::kSeq, Property::Integer(seq));
    std::string frame;
    if (int error = EncodeRequest(std::move(request), &frame); error != 0) return error;
    if (wire::SendAll(fd_, frame, -1, 120000) != 0) {
      int error = errno;
      DisconnectLocked();
      return error;
    }
    bool found = CollectFrames(seq, reply);
    while (!found) {
      pollfd p{fd_, POLLIN, 0};
      int n = ::poll(&p, 1, 120000);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        DisconnectLocked();
        return n == 0 ? ETIMEDOUT : errno;
      }
      ssize_t got = wire::ReadAvailable(fd_, &reader_, nullptr);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || reader_.failed()) {
        int error = got == 0 ? ECONNRESET : (reader_.failed() ? EPROTO : errno);
        DisconnectLocked();
        return error;
      }
      found = CollectFrames(seq, reply);
    }
    result = ReplyStatus(*reply);
    if (!pending_.empty()) ScheduleDispatch();
  }
  return result;
}

int MachineEventChannel::Send(PropertyDictionary request) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (int error = ConnectLocked(); error != 0) return error;
  request.insert_or_assign(machine::kSeq, Property::Integer(next_seq_++));
  std::string frame;
  if (int error = EncodeRequest(std::move(request), &frame); error != 0) return error;
  if (wire::SendAll(fd_, frame, -1, 120000) != 0) {
    int error = errno;
    DisconnectLocked();
    return error;
  }
  return 0;
}

void MachineEventChannel::SetHandler(const std::string& event, Handler handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  handlers_[event] = std::move(handler);
}

void MachineEventChannel::OnReadable() {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (fd_ < 0) return;
    ssize_t got = wire::ReadAvailable(fd_, &reader_, nullptr);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || reader_.failed()) {
      DisconnectLocked();
    } else {
      CollectFrames(0, nullptr);
    }
  }
  Dispatch();
}

void MachineEventChannel::ScheduleDispatch() {
  if (dispatch_scheduled_) return;
  dispatch_scheduled_ = true;
  std::weak_ptr<MachineEventChannel> weak = weak_from_this();
  run_loop_.Perform([weak] {
    if (auto self = weak.lock()) {
      self->dispatch_scheduled_ = false;
      self->Dispatch();
    }
  });
}

void MachineEventChannel::Dispatch() {
  for (;;) {
    PropertyDictionary event;
    Handler handler;
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      if (pending_.empty()) return;
      event = std::move(pending_.front());
      pending_.pop_front();
      const std::string* name = wire::GetString(event, machine::kEvent);
      if (name == nullptr) continue;
      auto it = handlers_.find(*name);
      if (it == handlers_.end()) continue;
      handler = it->second;
    }
    // Handlers may send requests (acknowledgements), which queue further events.
    handler(event);
  }
}

}  // namespace platform
