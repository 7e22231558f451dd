#include "sim/daemon/server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/sim/machine_connection.h"
#include "platform/sim/machine_protocol.h"

namespace sim {
namespace {

namespace m = platform::machine;
namespace wire = platform::wire;

constexpr size_t kMaxOutput = 64u << 20;  // bytes queued for one client before it is dropped
constexpr size_t kMaxConnections = 512;
// Unfinished input and unsent output of all clients together. Per client they are
// bounded already (a request frame, kMaxOutput), but not times kMaxConnections.
constexpr size_t kMaxHeld = 128u << 20;
constexpr double kImageSettleSeconds = 0.05;

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

double Monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Binds a listening socket at `path`, reaching long paths through `dir_fd`.
int Listen(const std::string& path, int dir_fd) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string target = path;
  if (target.size() >= sizeof address.sun_path) {
    target = "/proc/self/fd/" + std::to_string(dir_fd) + "/machine.sock";
  }
  if (target.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, target.c_str(), target.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

void StopServerFromSignal() { OnSignal(0); }

Server::Server(std::string root, ServerOptions options)
    : root_(std::move(root)), options_(options), clock_(options.time_scale) {}

Server::~Server() { Cleanup(); }

// ---------------------------------------------------------------------------------
// Set-up and clean-up.

int Server::Prepare(std::string* error) {
  std::string run = m::RunFolder(root_);
  if (::mkdir(run.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot make " + run + ": " + std::strerror(errno);
    return errno;
  }
  run_dir_fd_ = ::open(run.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (run_dir_fd_ < 0) {
    *error = "cannot open " + run;
    return errno;
  }
  std::string socket_path = m::SocketPath(root_);
  int probe = platform::ConnectUnixSocket(socket_path);
  if (probe >= 0) {
    ::close(probe);
    *error = "a daemon already serves " + root_;
    return EBUSY;
  }
  ::unlink(socket_path.c_str());  // left by a daemon that did not end cleanly

  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "cannot make a pipe";
    return errno;
  }
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  int gen = ::open(m::GenerationPath(root_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (gen < 0 || ::ftruncate(gen, 4096) != 0) {
    *error = "cannot make " + m::GenerationPath(root_);
    if (gen >= 0) ::close(gen);
    return EIO;
  }
  void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, gen, 0);
  ::close(gen);
  if (page == MAP_FAILED) {
    *error = "cannot map the change counter";
    return EIO;
  }
  generation_ = static_cast<uint64_t*>(page);

  ::setenv("MIROVANE_MACHINE", root_.c_str(), 1);
  machine_ = std::make_unique<Machine>(root_, *this);
  machine_->set_generation_page(generation_);
  if (int e = machine_->Start(error); e != 0) return e;

  listen_fd_ = Listen(socket_path, run_dir_fd_);
  if (listen_fd_ < 0) {
    *error = "cannot listen on " + socket_path + ": " + std::strerror(errno);
    return errno;
  }
  std::string pid_text = std::to_string(::getpid()) + "\n";
  int pid_fd = ::open(m::PidPath(root_).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (pid_fd >= 0) {
    [[maybe_unused]] ssize_t n = ::write(pid_fd, pid_text.data(), pid_text.size());
    ::close(pid_fd);
  }
  inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  WatchImages();
  StartItems();
  return 0;
}

void Server::Cleanup() {
  StopItems();
  for (auto& [id, c] : connections_) {
    for (Outgoing& o : c.out) {
      if (o.fd >= 0) ::close(o.fd);
    }
    ::close(c.fd);
  }
  connections_.clear();
  if (machine_) {
    machine_->Stop();
    machine_.reset();
  }
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(m::SocketPath(root_).c_str());
    ::unlink(m::PidPath(root_).c_str());
    listen_fd_ = -1;
  }
  if (generation_ != nullptr) {
    ::munmap(generation_, 4096);
    ::unlink(m::GenerationPath(root_).c_str());
    generation_ = nullptr;
  }
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
  inotify_fd_ = -1;
  if (run_dir_fd_ >= 0) ::close(run_dir_fd_);
  run_dir_fd_ = -1;
  for (int& fd : g_signal_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void Server::StartItems() {
  for (const std::string& item : machine_->StartupItems()) {
    std::string host = root_ + item;
    if (::access(host.c_str(), X_OK) != 0) continue;
    std::string name = host.substr(host.rfind('/') + 1);
    pid_t pid = ::fork();
    if (pid == 0) {
      int null = ::open("/dev/null", O_RDONLY);
      if (null >= 0) ::dup2(null, STDIN_FILENO);
      ::execl(host.c_str(), name.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid > 0) items_.insert(pid);
  }
}

void Server::StopItems() {
  for (pid_t pid : items_) ::kill(pid, SIGTERM);
  double deadline = Monotonic() + 2.0;
  while (!items_.empty() && Monotonic() < deadline) {
    for (auto it = items_.begin(); it != items_.end();) {
      it = ::waitpid(*it, nullptr, WNOHANG) != 0 ? items_.erase(it) : std::next(it);
    }
    if (!items_.empty()) ::usleep(10000);
  }
  for (pid_t pid : items_) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  items_.clear();
}

bool Server::Orphaned() {
  if (options_.exit_with != 0 && ::kill(options_.exit_with, 0) != 0 && errno == ESRCH) return true;
  struct stat st{};
  return ::stat(m::DescriptionPath(root_).c_str(), &st) != 0;
}

// ---------------------------------------------------------------------------------
// Images written by others.

void Server::WatchImages() {
  if (inotify_fd_ < 0) return;
  std::vector<std::string> images = machine_->ImagePaths();
  std::set<std::string> wanted(images.begin(), images.end());
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (wanted.count(it->second) == 0) {
      ::inotify_rm_watch(inotify_fd_, it->first);
      it = watches_.erase(it);
    } else {
      wanted.erase(it->second);
      ++it;
    }
  }
  for (const std::string& image : wanted) {
    int wd = ::inotify_add_watch(inotify_fd_, image.c_str(), IN_CLOSE_WRITE);
    if (wd >= 0) watches_[wd] = image;
  }
}

void Server::DrainInotify() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    ssize_t n = ::read(inotify_fd_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      auto* event = reinterpret_cast<inotify_event*>(buffer + at);
      auto it = watches_.find(event->wd);
      if (it != watches_.end()) pending_images_.emplace(it->second, Monotonic() + kImageSettleSeconds);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

// ---------------------------------------------------------------------------------
// Timers.

uint64_t Server::After(double machine_seconds, std::function<void()> fn) {
  uint64_t id = next_timer_++;
  timers_[id] = Timer{Monotonic() + clock_.ToRealSeconds(machine_seconds), std::move(fn)};
  return id;
}

void Server::Cancel(uint64_t timer) { timers_.erase(timer); }

void Server::RunTimers() {
  double now = Monotonic();
  for (;;) {
    auto due = std::find_if(timers_.begin(), timers_.end(),
                            [now](const auto& t) { return t.second.due <= now; });
    if (due == timers_.end()) break;
    auto fn = std::move(due->second.fn);
    timers_.erase(due);
    fn();
  }
  for (auto it = pending_images_.begin(); it != pending_images_.end();) {
    if (it->second <= now) {
      machine_->ImageChanged(it->first);
      it = pending_images_.erase(it);
    } else {
      ++it;
    }
  }
}

int Server::PollTimeoutMs() const {
  double next = Monotonic() + 0.5;  // the orphan check
  for (const auto& [id, t] : timers_) next = std::min(next, t.due);
  for (const auto& [image, due] : pending_images_) next = std::min(next, due);
  double wait = next - Monotonic();
  return wait <= 0 ? 0 : static_cast<int>(wait * 1000) + 1;
}

// ---------------------------------------------------------------------------------
// Connections.

void Server::Accept() {
  for (;;) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (connections_.size() >= kMaxConnections) {
      ::close(fd);
      continue;
    }
    uint64_t id = next_connection_++;
    connections_[id].fd = fd;
  }
}

void Server::Queue(uint64_t id, std::string bytes, int fd) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.broken) {
    if (fd >= 0) ::close(fd);
    return;
  }
  Connection& c = it->second;
  c.out_bytes += bytes.size();
  held_ += bytes.size();
  c.out.push_back(Outgoing{std::move(bytes), 0, fd});
  // A client that does not read its events is not allowed to eat the daemon's memory.
  if (c.out_bytes > kMaxOutput) {
    std::fprintf(stderr, "machine: client %llu dropped: it does not read what it is sent\n",
                 static_cast<unsigned long long>(id));
    Drop(c);
  }
  Shed();
}

void Server::Send(uint64_t client, PropertyDictionary event) {
  Queue(client, wire::EncodeFrame(Property::Dictionary(std::move(event))), -1);
}

void Server::CountInput(Connection& c) {
  held_ -= c.in_held;
  c.in_held = c.reader.held();
  held_ += c.in_held;
}

void Server::Drop(Connection& c) {
  c.broken = true;
  for (Outgoing& o : c.out) {
    if (o.fd >= 0) ::close(o.fd);
  }
  c.out.clear();
  held_ -= c.out_bytes;
  c.out_bytes = 0;
  c.reader.Reset();
  CountInput(c);
}

void Server::Shed() {
  while (held_ > kMaxHeld) {
    auto most = connections_.end();
    size_t most_held = 0;
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
      if (it->second.broken) continue;  // dropped already: holds nothing
      size_t held = it->second.in_held + it->second.out_bytes;
      if (held > most_held) {
        most = it;
        most_held = held;
      }
    }
    if (most == connections_.end()) return;  // held_ counts only live connections
    std::fprintf(stderr, "machine: client %llu dropped: it held %zu bytes of %zu held in all\n",
                 static_cast<unsigned long long>(most->first), most_held, held_);
    Drop(most->second);
  }
}

void Server::ReadFrom(uint64_t id) {
  Connection& c = connections_[id];
  // Frames are handled after each read, so the reader never holds more than one
  // unfinished frame and one read's worth of what follows it.
  for (int round = 0; round < 64 && !c.broken && !shutdown_; ++round) {
    ssize_t n = wire::ReadAvailable(c.fd, &c.reader, nullptr);
    int error = errno;
    CountInput(c);
    if (n == 0 || (n < 0 && error != EAGAIN && error != EWOULDBLOCK)) {
      Drop(c);
      break;
    }
    if (n < 0) break;
    Shed();
    HandleFrames(id, c);
  }
}

void Server::HandleFrames(uint64_t id, Connection& c) {
  while (!c.broken && !shutdown_) {
    auto body = c.reader.Next();
    if (!body) break;
    CountInput(c);
    Reply reply;
    Property message;
    int error = wire::DecodePropertyWithin(*body, wire::kRequestLimits, &message);
    if (error == 0 && message.is_dictionary()) {
      machine_->Handle(id, *message.AsDictionary(), &reply);
    } else {
      // Answered under the request's number when it can be found, so that the
      // client is not left waiting for a reply that never comes.
      reply.body = {{m::kStatus, Property::Integer(error == E2BIG ? E2BIG : EINVAL)},
                    {m::kError, Property::String(error == E2BIG ? "request too large"
                                                                : "malformed request")}};
      if (auto seq = wire::PeekInteger(*body, m::kSeq)) reply.body[m::kSeq] = Property::Integer(*seq);
    }
    body.reset();
    Queue(id, wire::EncodeFrame(Property::Dictionary(std::move(reply.body))), reply.fd);
  }
  // The stream cannot be resynchronised after a frame that is too large.
  if (c.reader.failed() && !c.broken) {
    std::fprintf(stderr, "machine: client %llu dropped: a frame above %u bytes\n",
                 static_cast<unsigned long long>(id), wire::kMaxRequestBody);
    Drop(c);
  }
  CountInput(c);
}

void Server::WriteTo(uint64_t id) {
  Connection& c = connections_[id];
  while (!c.out.empty() && !c.broken) {
    Outgoing& o = c.out.front();
    msghdr message{};
    iovec io{o.bytes.data() + o.sent, o.bytes.size() - o.sent};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (o.fd >= 0 && o.sent == 0) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* h = CMSG_FIRSTHDR(&message);
      h->cmsg_level = SOL_SOCKET;
      h->cmsg_type = SCM_RIGHTS;
      h->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(h), &o.fd, sizeof(int));
    }
    ssize_t n = ::sendmsg(c.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Drop(c);
      return;
    }
    if (n > 0 && o.fd >= 0) {
      ::close(o.fd);
      o.fd = -1;
    }
    o.sent += static_cast<size_t>(n);
    if (o.sent == o.bytes.size()) {
      c.out_bytes -= o.bytes.size();
      held_ -= o.bytes.size();
      c.out.pop_front();
    }
  }
}

void Server::Close(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Drop(it->second);
  held_ -= it->second.in_held;  // what even an empty reader holds
  ::close(it->second.fd);
  connections_.erase(it);
  machine_->DropClient(id);
}

// ---------------------------------------------------------------------------------

int Server::Run(std::string* error) {
  if (int e = Prepare(error); e != 0) {
    Cleanup();
    return e;
  }
  std::fprintf(stderr, "machine: serving %s (pid %d)\n", root_.c_str(), ::getpid());
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  while (!shutdown_) {
    fds.clear();
    ids.clear();
    fds.push_back({g_signal_pipe[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    fds.push_back({inotify_fd_, POLLIN, 0});
    for (auto& [id, c] : connections_) {
      fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
      ids.push_back(id);
    }
    int n = ::poll(fds.data(), fds.size(), PollTimeoutMs());
    if (n < 0 && errno != EINTR) break;
    if (n > 0) {
      if (fds[0].revents != 0) shutdown_ = true;
      if (fds[1].revents != 0) Accept();
      if (fds[2].revents != 0) DrainInotify();
      for (size_t i = 0; i < ids.size(); ++i) {
        short revents = fds[3 + i].revents;
        if (revents == 0 || connections_.count(ids[i]) == 0) continue;
        if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadFrom(ids[i]);
        if (connections_.count(ids[i]) != 0) WriteTo(ids[i]);
      }
    }
    RunTimers();
    // Replies and events queued by timers or other clients go out now.
    for (auto& [id, c] : connections_) {
      if (!c.out.empty()) WriteTo(id);
    }
    std::vector<uint64_t> broken;
    for (auto& [id, c] : connections_) {
      if (c.broken) broken.push_back(id);
    }
    for (uint64_t id : broken) Close(id);
    for (auto it = items_.begin(); it != items_.end();) {
      it = ::waitpid(*it, nullptr, WNOHANG) != 0 ? items_.erase(it) : std::next(it);
    }
    WatchImages();
    double now = Monotonic();
    if (now >= next_orphan_check_) {
      next_orphan_check_ = now + 0.5;
      if (Orphaned()) {
        std::fprintf(stderr, "machine: the machine's owner has gone; stopping\n");
        shutdown_ = true;
      }
    }
  }
  // The reply to a shutdown request (and anything else queued) gets a moment to go.
  double deadline = Monotonic() + 1.0;
  for (auto& [id, c] : connections_) {
    while (!c.out.empty() && !c.broken && Monotonic() < deadline) {
      WriteTo(id);
      if (!c.out.empty()) {
        pollfd p{c.fd, POLLOUT, 0};
        ::poll(&p, 1, 20);
      }
    }
  }
  std::fprintf(stderr, "machine: stopped\n");
  Cleanup();
  return 0;
}

}  // namespace sim
