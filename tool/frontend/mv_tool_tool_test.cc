#include "tool/frontend/mv_tool_tool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "framework/testing_argv.h"
#include "platform/testing/fake_host.h"
#include "tool/frontend/tool_test_support.h"

namespace {

using frontend_testing::FakeAuthority;
using frontend_testing::MakeTool;
using frontend_testing::Streams;
using platform::testing::ReadFile;
using platform::testing::TempDir;
using platform::testing::WriteFile;

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Runs the test body in another working directory.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::string& dir) {
    char buf[4096];
    previous_ = ::getcwd(buf, sizeof buf) != nullptr ? buf : "/";
    EXPECT_EQ(::chdir(dir.c_str()), 0);
  }
  ~ScopedWorkingDirectory() { (void)::chdir(previous_.c_str()); }

 private:
  std::string previous_;
};

class TMVToolToolTest : public ::testing::Test {
 protected:
  void SetUp() override { host_.SetAuthority(&authority_); }
  platform::testing::FakeHost host_;
  FakeAuthority authority_;
};

TEST_F(TMVToolToolTest, InitToolTakesTheWorkingDirectoryAndClearsTheKextsScratch) {
  TempDir folder;
  std::string deep = folder.Sub(std::string(100, 'd'));  // longer than the first getcwd buffer
  ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
  std::string outside = host_.root() + "/outside/keep";
  ASSERT_TRUE(WriteFile(outside, "k"));
  std::string kexts = host_.Resolve("/tmp/Mirovane_Kexts");
  ASSERT_TRUE(WriteFile(kexts + "/Mirovane.kext/Contents/Info.plist", "x"));
  ASSERT_EQ(::symlink((host_.root() + "/outside").c_str(), (kexts + "/escape").c_str()), 0);

  ScopedWorkingDirectory cwd(deep);
  auto tool = MakeTool({"MirovaneTool", "-p", "/Apps/MirovaneTool"});
  EXPECT_EQ(TMVToolTool::gMVToolPtr, tool.get());
  ASSERT_EQ(tool->InitTool(), noErr);
  EXPECT_EQ(std::string(tool->ReturnPathname()), deep + "/");
  EXPECT_EQ(std::string(tool->ReturnMVActionToolPathname()), deep + "/MirovaneAction");
  EXPECT_STREQ(tool->ReturnMVToolPathname(), "/Apps/MirovaneTool");
  EXPECT_FALSE(Exists(kexts));
  EXPECT_EQ(ReadFile(outside), "k");
  EXPECT_NE(tool->ReturnEventLogPtr(), nullptr);
  tool.reset();
  EXPECT_EQ(TMVToolTool::gMVToolPtr, nullptr);
}

TEST_F(TMVToolToolTest, DriverInstallWithoutSecondWordDoesNothing) {
  for (std::vector<const char*> words : {std::vector<const char*>{"MirovaneTool", "driverinstall"},
                                         {"MirovaneTool", "driverinstall", "now"}}) {
    auto tool = MakeTool(words);
    Streams streams("q\n");  // would be read by the console
    streams.AttachTo(*tool);
    ASSERT_EQ(tool->InitTool(), noErr);
    EXPECT_EQ(tool->DoWork(), noErr);
    EXPECT_EQ(streams.UnreadInput(), "q\n");
    EXPECT_EQ(streams.Output(), "");
  }
  // Compared as typed: another spelling runs the console.
  auto tool = MakeTool({"MirovaneTool", "DriverInstall"});
  Streams streams("q\n");
  streams.AttachTo(*tool);
  ASSERT_EQ(tool->InitTool(), noErr);
  EXPECT_EQ(tool->DoWork(), noErr);
  EXPECT_EQ(streams.Output(), "Quit\n");
}

TEST_F(TMVToolToolTest, AuthorizeAsksForTheAdminRightOnTheToolPath) {
  auto tool = MakeTool({"MirovaneTool", "-b", "-p", "/Apps/MirovaneTool"});
  ASSERT_EQ(tool->InitTool(), noErr);
  platform::AuthorizationExternalForm form{};
  EXPECT_FALSE(tool->Authorize(form));
  authority_.grant = true;
  EXPECT_TRUE(tool->Authorize(form));
  ASSERT_EQ(authority_.rights_asked.size(), 2u);
  EXPECT_EQ(authority_.rights_asked[0], "system.privilege.admin");
  EXPECT_EQ(authority_.values_asked[1], "/Apps/MirovaneTool");
}

TEST_F(TMVToolToolTest, UninstallMovesDriverAndToolToTmp) {
  std::string kext = host_.Resolve("/System/Library/Extensions/Mirovane.kext");
  ASSERT_TRUE(WriteFile(kext + "/Contents/Info.plist", "plist"));
  std::string toolFile = host_.root() + "/Applications/MirovaneTool";
  ASSERT_TRUE(WriteFile(toolFile, "binary"));
  auto tool = MakeTool({"MirovaneTool", "-b", "-p", toolFile.c_str()});
  ASSERT_EQ(tool->InitTool(), noErr);
  EXPECT_EQ(tool->HandleUninstallMirovane(), noErr);
  EXPECT_FALSE(Exists(kext));
  EXPECT_EQ(ReadFile(host_.Resolve("/tmp/Mirovane.kext/Contents/Info.plist")), "plist");
  EXPECT_EQ(ReadFile(host_.Resolve("/tmp/MirovaneTool")), "binary");
  // Nothing left to move: still no error.
  EXPECT_EQ(tool->HandleUninstallMirovane(), noErr);
}

TEST_F(TMVToolToolTest, SetPathnameCompletesTheSlashAndRefusesEmptyOrOverlongPaths) {
  auto tool = MakeTool({"MirovaneTool", "-b"});
  ASSERT_EQ(tool->InitTool(), noErr);
  struct Case { std::string path; OSErr result; const char* pathname; };
  const Case cases[] = {
      {"/a/b/", noErr, "/a/b/"},
      {"/a/c", noErr, "/a/c/"},
      {"", paramErr, "/a/c/"},
      {"/" + std::string(1020, 'x') + "/", paramErr, "/a/c/"},
  };
  for (const Case& tc : cases) {
    EXPECT_EQ(tool->HandleSetPathnameCommand(tc.path.c_str()), tc.result) << tc.path.size();
    EXPECT_STREQ(tool->ReturnPathname(), tc.pathname);
  }
  EXPECT_EQ(tool->HandleSetPathnameCommand(nullptr), paramErr);
}

TEST_F(TMVToolToolTest, GetNewMVUIDFollowsTheMachineClockAndNeverRepeats) {
  auto tool = MakeTool({"MirovaneTool", "-b"});
  host_.manual_clock().Set(3000.0);
  MVUID a = tool->GetNewMVUID();
  MVUID b = tool->GetNewMVUID();
  EXPECT_GE(a, 3000000000000ULL);
  EXPECT_EQ(b, a + 1);
}

TEST_F(TMVToolToolTest, KillSpotSignalsOnlyAWatcherThatWasStarted) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    _exit(3);
  }
  auto tool = MakeTool({"MirovaneTool", "-b"});
  tool->KillSpot();  // nothing started: nothing sent
  EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), 0);

  tool->SetSpotProcessForTesting(child);
  tool->KillSpot();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST_F(TMVToolToolTest, DiskArbMutexSerialisesHolders) {
  auto tool = MakeTool({"MirovaneTool", "-b"});
  ASSERT_EQ(tool->InitTool(), noErr);
  tool->LockDiskArbMutex();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    tool->LockDiskArbMutex();
    entered = true;
    tool->UnlockDiskArbMutex();
  });
  // Give the other thread time to get in if the lock did not hold it back; a slow
  // machine can only make this check weaker, never make it fail wrongly.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered.load());
  tool->UnlockDiskArbMutex();
  other.join();
  EXPECT_TRUE(entered.load());
}

}  // namespace
