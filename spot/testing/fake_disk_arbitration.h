#pragma once
// A Disk Arbitration session for unit tests: it keeps the callbacks a client sets so
// that a test can deliver notifications itself, and records the client's requests
// (the unrecognised-disk offer and answers). FailStart makes Start fail. Not
// thread-safe; the test delivers on its own thread.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/unavailable.h"

namespace spot_testing {

class FakeDiskArbitration : public platform::UnavailableDiskArbitration {
 public:
  void FailStart(int code) { start_result_ = code; }

  int Start() override {
    ++starts_;
    return start_result_;
  }
  void OnDiskAppearedComplete(
      std::function<void(const platform::DiskAppearedComplete&)> fn) override {
    appeared_ = std::move(fn);
    order_.push_back("appeared");
  }
  void OnDiskChanged(std::function<void(const platform::DiskChanged&)> fn) override {
    changed_ = std::move(fn);
    order_.push_back("changed");
  }
  void OnUnmountPost(std::function<void(const std::string&, int32_t, int32_t)> fn) override {
    unmount_post_ = std::move(fn);
    order_.push_back("unmount-post");
  }
  void OnEjectPost(std::function<void(const std::string&, int32_t, int32_t)> fn) override {
    eject_post_ = std::move(fn);
    order_.push_back("eject-post");
  }
  void OnUnrecognizedDisk(std::function<void(const platform::UnrecognizedDisk&)> fn) override {
    unrecognized_ = std::move(fn);
    order_.push_back("unrecognized");
  }
  int UpdateClientFlags() override {
    order_.push_back("update-flags");
    return 0;
  }
  int ClientHandlesUnrecognizedDisks(uint32_t mask, int32_t priority) override {
    order_.push_back("handles-unrecognized");
    offer_mask_ = mask;
    offer_priority_ = priority;
    return 0;
  }
  int ClientWillHandleUnrecognizedDisk(std::string_view bsd_name, int32_t yes) override {
    answers_.emplace_back(std::string(bsd_name), yes);
    return 0;
  }

  // Delivering notifications as the service would.
  void DiskAppearedComplete(const std::string& bsd_name, const std::string& volume_name,
                            const std::string& mount_point, const std::string& fs_type) {
    platform::DiskAppearedComplete d;
    d.bsd_name = bsd_name;
    d.volume_name = volume_name;
    d.mount_point = mount_point;
    d.fs_type = fs_type;
    if (appeared_) appeared_(d);
  }
  void DiskChanged(const std::string& bsd_name, const std::string& volume_name,
                   const std::string& mount_point, int32_t success) {
    platform::DiskChanged c;
    c.bsd_name = bsd_name;
    c.volume_name = volume_name;
    c.mount_point = mount_point;
    c.success = success;
    if (changed_) changed_(c);
  }
  void UnmountPost(const std::string& bsd_name, int32_t error) {
    if (unmount_post_) unmount_post_(bsd_name, error, 0);
  }
  void EjectPost(const std::string& bsd_name, int32_t error) {
    if (eject_post_) eject_post_(bsd_name, error, 0);
  }
  void UnrecognizedDisk(const std::string& bsd_name, int32_t sixth_argument) {
    platform::UnrecognizedDisk u;
    u.bsd_name = bsd_name;
    u.is_removable = sixth_argument;
    if (unrecognized_) unrecognized_(u);
  }

  int starts() const { return starts_; }
  // The registrations and requests, in the order the client made them.
  const std::vector<std::string>& order() const { return order_; }
  uint32_t offer_mask() const { return offer_mask_; }
  int32_t offer_priority() const { return offer_priority_; }
  const std::vector<std::pair<std::string, int32_t>>& answers() const { return answers_; }

 private:
  int start_result_ = 0;
  int starts_ = 0;
  std::vector<std::string> order_;
  uint32_t offer_mask_ = 0;
  int32_t offer_priority_ = 0;
  std::vector<std::pair<std::string, int32_t>> answers_;
  std::function<void(const platform::DiskAppearedComplete&)> appeared_;
  std::function<void(const platform::DiskChanged&)> changed_;
  std::function<void(const std::string&, int32_t, int32_t)> unmount_post_;
  std::function<void(const std::string&, int32_t, int32_t)> eject_post_;
  std::function<void(const platform::UnrecognizedDisk&)> unrecognized_;
};

}  // namespace spot_testing
