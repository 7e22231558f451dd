#include "platform/sim/poll_run_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

namespace platform {

PollRunLoop::PollRunLoop() {
  if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_pipe_[0] = wake_pipe_[1] = -1;
  }
}

PollRunLoop::~PollRunLoop() {
  if (wake_pipe_[0] >= 0) ::close(wake_pipe_[0]);
  if (wake_pipe_[1] >= 0) ::close(wake_pipe_[1]);
}

void PollRunLoop::Wake() {
  if (wake_pipe_[1] < 0) return;
  char byte = 1;
  // A full pipe already wakes the loop, so a failed write loses nothing.
  [[maybe_unused]] ssize_t n = ::write(wake_pipe_[1], &byte, 1);
}

void PollRunLoop::DrainWakePipe() {
  char buffer[64];
  while (::read(wake_pipe_[0], buffer, sizeof buffer) > 0) {
  }
}

void PollRunLoop::Stop() {
  stop_requested_.store(true);
  Wake();
}

void PollRunLoop::Perform(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(work_mutex_);
    work_.push_back(std::move(work));
  }
  Wake();
}

int PollRunLoop::AddDescriptorSource(int fd, std::function<void()> on_readable) {
  if (fd < 0) return -1;
  int id = next_id_++;
  sources_[id] = Source{fd, std::move(on_readable)};
  return id;
}

void PollRunLoop::RemoveSource(int source_id) { sources_.erase(source_id); }

int PollRunLoop::Run() {
  if (wake_pipe_[0] < 0) return -1;
  stop_requested_.store(false);
  std::vector<pollfd> fds;
  std::vector<int> ids;
  while (!stop_requested_.load()) {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> lock(work_mutex_);
      work.swap(work_);
    }
    for (size_t i = 0; i < work.size(); ++i) {
      if (stop_requested_.load()) {
        // Work not run yet is kept, in order, for the next Run().
        std::lock_guard<std::mutex> lock(work_mutex_);
        work_.insert(work_.begin(), std::make_move_iterator(work.begin() + static_cast<long>(i)),
                     std::make_move_iterator(work.end()));
        break;
      }
      work[i]();
    }
    if (stop_requested_.load()) break;

    fds.clear();
    ids.clear();
    fds.push_back(pollfd{wake_pipe_[0], POLLIN, 0});
    ids.push_back(0);
    for (const auto& [id, source] : sources_) {
      fds.push_back(pollfd{source.fd, POLLIN, 0});
      ids.push_back(id);
    }
    int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[0].revents != 0) DrainWakePipe();
    for (size_t i = 1; i < fds.size() && !stop_requested_.load(); ++i) {
      if (fds[i].revents == 0) continue;
      // A callback may remove sources, including this one.
      auto it = sources_.find(ids[i]);
      if (it == sources_.end()) continue;
      auto callback = it->second.on_readable;
      callback();
    }
  }
  return 0;
}

}  // namespace platform
