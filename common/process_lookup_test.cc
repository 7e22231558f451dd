#include "common/process_lookup.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "common/testing/script.h"
#include "platform/testing/fake_host.h"
#include "platform/testing/temp_dir.h"

namespace {

using common_testing::ShellQuote;
using common_testing::WriteShellScript;
using platform::testing::ReadFile;
using platform::testing::WriteFile;

std::string Line(int pid, const std::string& command) {
  return "  " + std::to_string(pid) + " ??  Ss     0:00.01 " + command + "\n";
}

TEST(SearchBufferForPIDTest, MatchesTheCommandsLastPathComponentOnly) {
  const std::string self = std::to_string(getpid());
  struct Case {
    const char* name;
    std::string text;
    pid_t pid;
    std::string tail;
  };
  const Case cases[] = {
      {"full path", "  PID TT  STAT      TIME COMMAND\n" + Line(123, "/usr/sbin/kextd"), 123, ""},
      {"bare command with arguments", Line(126, "kextd -d"), 126, ""},
      {"longer name", Line(124, "/usr/sbin/kextd2"), 0, ""},
      {"name only among the arguments", Line(125, "/bin/sh -c kextd"), 0, ""},
      {"case counts", Line(130, "/usr/sbin/Kextd"), 0, ""},
      {"path ending in a slash", Line(131, "/usr/sbin/"), 0, ""},
      {"caller skipped", self + " ?? S 0:00 /x/kextd\n" + Line(200, "/y/kextd"), 200, ""},
      {"caller only", self + " ?? S 0:00 /x/kextd\n", 0, ""},
      {"first match wins", Line(301, "kextd") + Line(302, "kextd"), 301, ""},
      {"no pid", "abc ?? S 0:00 kextd\n", 0, ""},
      {"too few words", "  129 ?? S\n", 0, ""},
      {"negative pid", "  -5 ?? S 0:00 kextd\n", 0, ""},
      {"unfinished line kept", Line(1, "init") + "  128 ?? S 0:00 /usr/sb", 0,
       "  128 ?? S 0:00 /usr/sb"},
      {"no newline at all", "  127 ?? S 0:00 /usr/sbin/kextd", 0,
       "  127 ?? S 0:00 /usr/sbin/kextd"},
      {"empty", "", 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer(c.text.begin(), c.text.end());
    buffer.push_back('\0');
    size_t tail = 99;
    EXPECT_EQ(SearchBufferFor_PID(buffer.data(), &tail, "kextd"), c.pid) << c.name;
    EXPECT_EQ(tail, c.tail.size()) << c.name;
    if (c.pid == 0) {
      EXPECT_EQ(std::string(buffer.data()), c.tail) << c.name << ": the tail moves to the start";
    }
  }
}

TEST(SearchBufferForPIDTest, LinesLongerThan255CharactersAreSkipped) {
  const std::string prefix = "  555 ?? S 0:00 /usr/sbin/kextd ";
  for (size_t length : {254u, 255u, 256u, 400u}) {
    std::string text = prefix + std::string(length - prefix.size(), 'a') + "\n";
    size_t tail = 0;
    EXPECT_EQ(SearchBufferFor_PID(text.data(), &tail, "kextd"), length <= 255 ? 555 : 0)
        << length;
  }
}

TEST(SearchBufferForPIDTest, NullArgumentsFindNothing) {
  char text[] = "  1 ?? S 0:00 kextd\n";
  size_t tail = 5;
  EXPECT_EQ(SearchBufferFor_PID(nullptr, &tail, "kextd"), 0);
  EXPECT_EQ(tail, 0u);
  EXPECT_EQ(SearchBufferFor_PID(text, nullptr, "kextd"), 0);
  EXPECT_EQ(SearchBufferFor_PID(text, &tail, nullptr), 0);
}

// Get_ProcessID with a stand-in ps in the machine root.
class ProcessLookupTest : public ::testing::Test {
 protected:
  void InstallPs(const std::string& body) {
    ASSERT_TRUE(WriteShellScript(host_.Resolve("/bin/ps"), "[ \"$1\" = axww ] || exit 2\n" + body));
  }
  // ps printing exactly `listing`.
  void InstallPsListing(const std::string& listing) {
    const std::string file = host_.root() + "/listing";
    ASSERT_TRUE(WriteFile(file, listing));
    InstallPs("cat " + ShellQuote(file));
  }
  static std::string Filler(size_t bytes) {
    std::string text = "  PID TT  STAT      TIME COMMAND\n";
    for (int pid = 2; text.size() < bytes; ++pid) {
      text += Line(pid, "/usr/libexec/filler-" + std::to_string(pid) + " --option value");
    }
    return text;
  }

  platform::testing::FakeHost host_;
};

TEST_F(ProcessLookupTest, FindsAMatchAfterMoreThanOneBufferOfOutput) {
  InstallPsListing(Filler(100000) + Line(4001, "/usr/sbin/kextd"));
  EXPECT_EQ(Get_ProcessID("kextd"), 4001);
  EXPECT_EQ(Get_ProcessID("kext"), 0);
}

TEST_F(ProcessLookupTest, LineAcrossTheBufferBoundaryIsMatchedWhole) {
  // The matching line starts a little before byte 32767, where the first read of the
  // 32 KiB buffer ends when the pipe is full.
  std::string listing = Filler(32700);
  while (listing.size() < 32750) listing += "  7 ?? S 0:00 x\n";
  listing += Line(4002, "/usr/sbin/kextd");
  listing += Filler(1000);
  InstallPsListing(listing);
  EXPECT_EQ(Get_ProcessID("kextd"), 4002);
}

TEST_F(ProcessLookupTest, LineSplitOverTwoWritesIsMatchedOnceComplete) {
  InstallPs("printf '  4003 ?? S 0:00 /usr/sb'\nsleep 0.2\nprintf 'in/kextd -x\\n'");
  EXPECT_EQ(Get_ProcessID("kextd"), 4003);
}

TEST_F(ProcessLookupTest, OverlongLinesAreSkippedWithoutStoppingTheListing) {
  const std::string overlong_match =
      "  4004 ?? S 0:00 /usr/sbin/kextd " + std::string(300, 'a') + "\n";
  const std::string huge_line = "  9 ?? S 0:00 /bin/huge " + std::string(70000, 'z') + "\n";
  struct Case {
    const char* name;
    std::string listing;
    pid_t pid;
  };
  const Case cases[] = {
      {"only an overlong match", Filler(500) + overlong_match, 0},
      {"overlong then normal", overlong_match + Line(4005, "/usr/sbin/kextd"), 4005},
      {"line longer than the buffer, then a match", huge_line + Line(4006, "kextd"), 4006},
      {"overlong match longer than the buffer",
       "  4007 ?? S 0:00 /usr/sbin/kextd " + std::string(40000, 'b') + "\n", 0},
  };
  for (const Case& c : cases) {
    InstallPsListing(c.listing);
    EXPECT_EQ(Get_ProcessID("kextd"), c.pid) << c.name;
  }
}

TEST_F(ProcessLookupTest, ListingEdgeCases) {
  const std::string self = std::to_string(getpid());
  struct Case {
    const char* name;
    std::string listing;
    pid_t pid;
  };
  const Case cases[] = {
      {"empty listing", "", 0},
      {"last line without newline", Filler(100) + "  4008 ?? S 0:00 /usr/sbin/kextd", 4008},
      {"NUL bytes do not hide later lines",
       std::string("  3 ?? S 0:00 odd\0name\n", 23) + Line(4009, "/usr/sbin/kextd"), 4009},
      {"the caller is never returned", self + " ?? S 0:00 /x/kextd\n", 0},
      {"another process of the caller's name", self + " ?? S 0:00 /x/kextd\n" + Line(4010, "kextd"),
       4010},
  };
  for (const Case& c : cases) {
    InstallPsListing(c.listing);
    EXPECT_EQ(Get_ProcessID("kextd"), c.pid) << c.name;
  }
  EXPECT_EQ(Get_ProcessID(nullptr), 0);
}

TEST_F(ProcessLookupTest, FailingOrMissingPsFindsNothingOrWhatItPrinted) {
  EXPECT_EQ(Get_ProcessID("kextd"), 0) << "no ps";
  InstallPs("echo '  4011 ?? S 0:00 kextd'; exit 1");
  EXPECT_EQ(Get_ProcessID("kextd"), 4011) << "the lines read count, not ps's status";
}

TEST_F(ProcessLookupTest, EarlyMatchEndsAndReapsAPsThatKeepsWriting) {
  const std::string pid_file = host_.root() + "/ps.pid";
  InstallPs("echo $$ > " + ShellQuote(pid_file) +
            "\necho '  4012 ?? S 0:00 /usr/sbin/kextd'\n"
            "while :; do echo '  1 ?? S 0:00 /sbin/launchd with a long filler line'; done");

  auto lookup = std::async(std::launch::async, [] { return Get_ProcessID("kextd"); });
  if (lookup.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    const int ps = std::atoi(ReadFile(pid_file).c_str());
    if (ps > 0) ::kill(ps, SIGKILL);
    lookup.wait();
    FAIL() << "the lookup stayed blocked on a ps that was still writing";
  }
  EXPECT_EQ(lookup.get(), 4012);

  const int ps = std::atoi(ReadFile(pid_file).c_str());
  ASSERT_GT(ps, 0);
  errno = 0;
  EXPECT_EQ(::kill(ps, 0), -1) << "ps is still there (running or a zombie)";
  EXPECT_EQ(errno, ESRCH);
}

// With the machine's ps being the real one.
class RealProcessLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access("/bin/ps", X_OK), 0) << "procps is needed";
    ASSERT_EQ(::mkdir(host_.Resolve("/bin").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/bin/ps", host_.Resolve("/bin/ps").c_str()), 0);
  }

  // Starts a copy of sleep under `name`; returns once it runs the program.
  pid_t StartRenamedSleep(const std::string& name) {
    const std::string path = dir_.Sub(name);
    const std::string sleep_binary = ReadFile("/bin/sleep");
    EXPECT_FALSE(sleep_binary.empty());
    EXPECT_TRUE(WriteFile(path, sleep_binary));
    EXPECT_EQ(::chmod(path.c_str(), 0755), 0);

    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl(path.c_str(), path.c_str(), "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(fds[1]);
    char byte;
    // End of file once the exec closed the write end.
    while (::read(fds[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(fds[0]);
    return pid;
  }

  static void Stop(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

  platform::testing::FakeHost host_;
  platform::testing::TempDir dir_;
};

TEST_F(RealProcessLookupTest, FindsARunningProcessByName) {
  const std::string name = "mvsleep-" + std::to_string(getpid());
  const pid_t child = StartRenamedSleep(name);
  ASSERT_GT(child, 0);
  EXPECT_EQ(Get_ProcessID(name.c_str()), child);
  Stop(child);
  EXPECT_EQ(Get_ProcessID(name.c_str()), 0);
}

TEST_F(RealProcessLookupTest, NeverReturnsTheCaller) {
  // Other test processes of this name may be running; the caller is never the answer.
  EXPECT_NE(Get_ProcessID(program_invocation_short_name), getpid());
}

}  // namespace
