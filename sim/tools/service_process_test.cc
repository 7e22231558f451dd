// The long-running stand-ins as real processes: found by name in `ps axww`, taking
// SIGHUP, ending with status 0 on SIGTERM.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/testing/temp_dir.h"

namespace {

using platform::testing::ReadFile;
using platform::testing::TempDir;

const std::string kToolsDir = SIM_TOOLS_DIR;

// Polls `done` every 10 ms for at most 20 s.
bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class ServiceProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(std::system(("mkdir -p " + root_.Sub("var/log")).c_str()), 0); }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Starts `program` from the tools folder as its machine would, by name.
  void Start(const std::string& program, bool with_machine = true) {
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      if (with_machine) {
        ::setenv("MIROVANE_MACHINE", root_.path().c_str(), 1);
      } else {
        ::unsetenv("MIROVANE_MACHINE");
      }
      std::string path = kToolsDir + "/" + program;
      ::execl(path.c_str(), program.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }

  // Whether `log` (under the machine root) says the process is up: it writes the
  // line once it waits for its signals.
  bool Started(const std::string& log, const std::string& name) {
    std::string line = name + "[" + std::to_string(pid_) + "]: started";
    return ReadFile(root_.Sub(log)).find(line) != std::string::npos;
  }

  // The process's exit status, or -1 when it did not exit normally.
  int Reap() {
    int status = 0;
    pid_t done = 0;
    bool ended = WaitFor([&] { return (done = ::waitpid(pid_, &status, WNOHANG)) == pid_; });
    if (!ended) return -2;
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Log() { return ReadFile(root_.Sub("var/log/kextd.log")); }

  TempDir root_;
  pid_t pid_ = 0;
};

TEST_F(ServiceProcessTest, KextdIsListedByNameAndLogsEachHangup) {
  Start("kextd");
  std::string tag = "kextd[" + std::to_string(pid_) + "]: ";
  ASSERT_TRUE(WaitFor([&] { return Started("var/log/kextd.log", "kextd"); })) << Log();

  // ps axww shows the process under its own name, as process lookup expects.
  std::string listing;
  FILE* ps = ::popen("ps axww", "r");
  ASSERT_NE(ps, nullptr);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, ps)) > 0) listing.append(buffer, n);
  ::pclose(ps);
  std::istringstream lines(listing);
  std::string line, command;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    int pid = 0;
    std::string tty, state, time;
    if (words >> pid >> tty >> state >> time >> command && pid == pid_) break;
    command.clear();
  }
  EXPECT_EQ(command, "kextd");

  ASSERT_EQ(::kill(pid_, SIGHUP), 0);
  ASSERT_TRUE(WaitFor([&] { return Log().find(tag + "SIGHUP 1") != std::string::npos; }));
  ASSERT_EQ(::kill(pid_, SIGHUP), 0);
  ASSERT_TRUE(WaitFor([&] { return Log().find(tag + "SIGHUP 2") != std::string::npos; }));
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(Reap(), 0);
  EXPECT_EQ(Log(), tag + "started\n" + tag + "SIGHUP 1\n" + tag + "SIGHUP 2\n" + tag + "stopped\n");
}

TEST_F(ServiceProcessTest, KextdWithoutAMachineFails) {
  Start("kextd", false);
  EXPECT_EQ(Reap(), 1);
}

TEST_F(ServiceProcessTest, SystemUiServerOutlivesHangupsAndEndsOnTerm) {
  Start("SystemUIServer");
  ASSERT_TRUE(WaitFor([&] { return Started("var/log/SystemUIServer.log", "SystemUIServer"); }));
  ASSERT_EQ(::kill(pid_, SIGHUP), 0);
  ASSERT_EQ(::kill(pid_, SIGINT), 0);
  EXPECT_EQ(Reap(), 0);

  Start("SystemUIServer");
  ASSERT_TRUE(WaitFor([&] { return Started("var/log/SystemUIServer.log", "SystemUIServer"); }));
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(Reap(), 0);
}

}  // namespace
