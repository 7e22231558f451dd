#pragma once
// For tests: an argv as a program receives it (mutable words, a null at the end).

#include <string>
#include <vector>

namespace framework_testing {

class Argv {
 public:
  explicit Argv(const std::vector<const char*>& words) {
    for (const char* w : words) store_.emplace_back(w);
    for (auto& s : store_) ptrs_.push_back(s.data());
    ptrs_.push_back(nullptr);
  }
  Argv(const Argv&) = delete;
  Argv& operator=(const Argv&) = delete;
  int argc() const { return static_cast<int>(store_.size()); }
  char** argv() { return ptrs_.data(); }

 private:
  std::vector<std::string> store_;
  std::vector<char*> ptrs_;
};

}  // namespace framework_testing
