#include "tool/frontend/tool_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace frontend_testing {

bool FakeAuthority::HoldsRight(const platform::AuthorizationExternalForm&,
                               std::string_view right, std::string_view value) {
  rights_asked.emplace_back(right);
  values_asked.emplace_back(value);
  return grant;
}

int FakeAuthority::ExecuteWithPrivileges(const platform::AuthorizationExternalForm&,
                                         const std::string& path,
                                         const std::vector<std::string>& args, pid_t* pid,
                                         int* stdin_fd) {
  executed_path = path;
  executed_args = args;
  if (execute_failure_ != 0) {
    ++execute_failures_fired;
    return execute_failure_;
  }
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::dup2(fds[0], 0);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                               const_cast<char*>(script.c_str()), const_cast<char*>("sh")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv("/bin/sh", argv.data());
    _exit(127);
  }
  ::close(fds[0]);
  *pid = child;
  *stdin_fd = fds[1];
  return 0;
}

int FakeAuthority::CopyPrivilegedReference(platform::AuthorizationExternalForm* form) {
  ++copy_calls;
  if (copy_failure_ != 0) {
    ++copy_failures_fired;
    return copy_failure_;
  }
  form->fill(0x5A);
  return 0;
}

namespace {
int TempFileWith(const std::string& content) {
  FILE* f = std::tmpfile();
  if (f == nullptr) return -1;
  int fd = ::dup(::fileno(f));
  std::fclose(f);
  if (!content.empty() && ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    return -1;
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}
}  // namespace

Streams::Streams(const std::string& input)
    : in_(TempFileWith(input)), out_(TempFileWith("")), err_(TempFileWith("")) {
  EXPECT_GE(in_, 0);
  EXPECT_GE(out_, 0);
  EXPECT_GE(err_, 0);
}

Streams::~Streams() {
  ::close(in_);
  ::close(out_);
  ::close(err_);
}

std::string Streams::ReadAll(int fd) {
  std::string all;
  char buf[4096];
  ssize_t n;
  off_t offset = 0;
  while ((n = ::pread(fd, buf, sizeof buf, offset)) > 0) {
    all.append(buf, static_cast<size_t>(n));
    offset += n;
  }
  return all;
}

std::string Streams::UnreadInput() const {
  std::string rest;
  char buf[4096];
  ssize_t n;
  off_t offset = ::lseek(in_, 0, SEEK_CUR);
  while ((n = ::pread(in_, buf, sizeof buf, offset)) > 0) {
    rest.append(buf, static_cast<size_t>(n));
    offset += n;
  }
  return rest;
}

std::unique_ptr<TMVToolTool> MakeTool(const std::vector<const char*>& words) {
  auto tool = std::make_unique<TMVToolTool>();
  framework_testing::Argv args(words);
  EXPECT_TRUE(tool->HandleArgs(args.argc(), args.argv()));
  return tool;
}

std::string Header(uint32_t command, uint32_t payloadSize, uint32_t replyCapacity) {
  uint32_t words[3] = {command, payloadSize, replyCapacity};
  return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

}  // namespace frontend_testing
