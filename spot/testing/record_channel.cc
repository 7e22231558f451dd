#include "spot/testing/record_channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace spot_testing {

RecordChannel::RecordChannel() {
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_) != 0) {
    ADD_FAILURE() << "socketpair failed";
  }
}

RecordChannel::~RecordChannel() {
  for (int fd : fds_) {
    if (fd >= 0) ::close(fd);
  }
}

void RecordChannel::CloseWriter() {
  if (fds_[1] >= 0) ::close(fds_[1]);
  fds_[1] = -1;
}

std::optional<SpotEventRec> RecordChannel::Next(int timeout_ms) {
  pollfd p{fds_[0], POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  // One byte more than a record shows a packet that is too long.
  uint8_t packet[sizeof(SpotEventRec) + 1];
  const ssize_t got = ::recv(fds_[0], packet, sizeof packet, MSG_DONTWAIT);
  if (got <= 0) return std::nullopt;
  if (static_cast<size_t>(got) != sizeof(SpotEventRec)) {
    ++bad_packets_;
    ADD_FAILURE() << "a write of " << got << " bytes instead of one record";
    return std::nullopt;
  }
  SpotEventRec record;
  if (!ParseSpotEventRec(packet, sizeof(SpotEventRec), &record)) {
    ADD_FAILURE() << "a record the tool would refuse";
    return std::nullopt;
  }
  return record;
}

std::vector<SpotEventRec> RecordChannel::Drain() {
  std::vector<SpotEventRec> records;
  while (std::optional<SpotEventRec> record = Next(0)) records.push_back(*record);
  return records;
}

}  // namespace spot_testing
