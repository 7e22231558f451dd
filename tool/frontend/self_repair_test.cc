#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "framework/testing_argv.h"
#include "platform/testing/fake_host.h"
#include "tool/frontend/mv_tool_tool.h"
#include "tool/frontend/tool_test_support.h"

namespace {

using frontend_testing::FakeAuthority;
using frontend_testing::Header;
using frontend_testing::MakeTool;
using frontend_testing::Streams;
using platform::testing::ReadFile;
using platform::testing::WriteFile;

class SelfRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.SetAuthority(&authority_);
    toolFile_ = host_.root() + "/Applications/MirovaneTool";
    ASSERT_TRUE(WriteFile(toolFile_, "#!/bin/sh\n"));
  }

  struct stat Stat(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  platform::testing::FakeHost host_;
  FakeAuthority authority_;
  std::string toolFile_;
};

TEST_F(SelfRepairTest, RestoresRootOwnershipAndSetUserIDWithoutGroupOrOtherWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner to root needs root";
  struct Case { uid_t uid; gid_t gid; mode_t mode; mode_t want; };
  const Case cases[] = {
      {1234, 1234, 0777, 04755},
      {1234, 0, 0750, 04750},
      {0, 0, 0666, 04644},   // already root's: only the mode changes
      {0, 20, 0700, 04700},  // root's with another group: group is left alone
  };
  for (const Case& tc : cases) {
    ASSERT_EQ(::chown(toolFile_.c_str(), tc.uid, tc.gid), 0);
    ASSERT_EQ(::chmod(toolFile_.c_str(), tc.mode), 0);
    auto tool = MakeTool({"MirovaneTool", "-s", "-p", toolFile_.c_str()});
    EXPECT_EQ(tool->InitTool(), noErr) << std::oct << tc.mode;
    struct stat st = Stat(toolFile_);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, tc.uid == 0 ? tc.gid : 0u);
    EXPECT_EQ(st.st_mode & 07777, tc.want) << std::oct << tc.mode;
  }
  EXPECT_EQ(authority_.copy_calls, 4);
}

TEST_F(SelfRepairTest, FailuresLeaveFilesAlone) {
  std::string target = host_.root() + "/elsewhere";
  ASSERT_TRUE(WriteFile(target, "x"));
  ASSERT_EQ(::chmod(target.c_str(), 0755), 0);
  std::string link = host_.root() + "/link-to-elsewhere";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  std::string folder = host_.root() + "/a-folder";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);

  struct Case { std::string path; int copyFailure; OSErr want; };
  const Case cases[] = {
      {host_.root() + "/missing", 0, fnfErr},
      {link, 0, fnfErr},
      {folder, 0, paramErr},
      {toolFile_, -25293, -25293},  // the authority's refusal is returned as it is
      {toolFile_, -70000, paramErr},  // a code beyond 16 bits becomes -50
  };
  ASSERT_EQ(::chmod(toolFile_.c_str(), 0777), 0);
  for (const Case& tc : cases) {
    FakeAuthority authority;
    host_.SetAuthority(&authority);
    if (tc.copyFailure != 0) authority.FailCopyReferenceWith(tc.copyFailure);
    auto tool = MakeTool({"MirovaneTool", "-s", "-p", tc.path.c_str()});
    EXPECT_EQ(tool->InitTool(), tc.want) << tc.path;
    EXPECT_EQ(authority.copy_failures_fired, tc.copyFailure != 0 ? 1 : 0);
    host_.SetAuthority(&authority_);
  }
  EXPECT_EQ(Stat(target).st_mode & 07777, 0755u);
  EXPECT_EQ(Stat(toolFile_).st_mode & 07777, 0777u);
}

TEST_F(SelfRepairTest, SelfRepairFlagWithBinaryFlagDoesOnlySelfRepair) {
  ASSERT_EQ(::chmod(toolFile_.c_str(), 0775), 0);
  std::string kexts = host_.Resolve("/tmp/Mirovane_Kexts");
  ASSERT_TRUE(WriteFile(kexts + "/Leftover.kext/Info.plist", "x"));
  std::string request = Header(6, 0, 4) + Header(9, 0, 0);
  Streams streams(request);

  TMVToolTool tool;
  streams.AttachTo(tool);
  framework_testing::Argv args({"MirovaneTool", "-s", "-b", "-p", toolFile_.c_str()});
  EXPECT_EQ(RunTool(tool, args.argc(), args.argv()), 0);

  EXPECT_EQ(streams.Output(), "");
  EXPECT_EQ(streams.UnreadInput(), request);  // the binary loop never read a request
  EXPECT_EQ(tool.ReturnEventLogPtr(), nullptr);  // no model objects were built
  EXPECT_EQ(Stat(toolFile_).st_mode & 07777, 04755u);
  EXPECT_NE(::access(kexts.c_str(), F_OK), 0);  // start-up cleaning still happens
}

TEST_F(SelfRepairTest, FailedSelfRepairEndsWithStatusTwoAndNothingElse) {
  authority_.FailCopyReferenceWith(-25293);
  Streams streams(Header(6, 0, 4));
  TMVToolTool tool;
  streams.AttachTo(tool);
  framework_testing::Argv args({"MirovaneTool", "-s", "-b", "-p", toolFile_.c_str()});
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunTool(tool, args.argc(), args.argv()), 2);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(streams.Output(), "");
  EXPECT_EQ(authority_.copy_failures_fired, 1);
}

TEST_F(SelfRepairTest, HandleSelfRepairRunsThePrivilegedCopyAndPassesTheForm) {
  std::string received = host_.root() + "/received";
  struct Case { std::string script; OSErr want; };
  const Case cases[] = {
      {"cat > '" + received + "'; exit 0", noErr},
      {"cat > '" + received + "'; exit 2", 2},
      {"cat > '" + received + "'; kill -TERM $$", paramErr},  // ended by a signal
  };
  platform::AuthorizationExternalForm form;
  for (size_t i = 0; i < form.size(); ++i) form[i] = static_cast<uint8_t>(i * 7 + 1);
  for (const Case& tc : cases) {
    ::unlink(received.c_str());
    authority_.script = tc.script;
    auto tool = MakeTool({"MirovaneTool", "-b", "-p", toolFile_.c_str()});
    ASSERT_EQ(tool->InitTool(), noErr);
    EXPECT_EQ(tool->HandleSelfRepair(form), tc.want) << tc.script;
    EXPECT_EQ(ReadFile(received), std::string(form.begin(), form.end()));
    EXPECT_EQ(authority_.executed_path, toolFile_);
    EXPECT_EQ(authority_.executed_args, (std::vector<std::string>{"-s", "-p", toolFile_}));
  }

  authority_.FailExecuteWith(-25294);
  auto tool = MakeTool({"MirovaneTool", "-b", "-p", toolFile_.c_str()});
  ASSERT_EQ(tool->InitTool(), noErr);
  EXPECT_EQ(tool->HandleSelfRepair(form), -25294);
  EXPECT_EQ(authority_.execute_failures_fired, 1);
}

TEST_F(SelfRepairTest, ProtocolRepliesOneOnSuccessAndEndsOnFailure) {
  std::string form(32, '\x11');
  {
    authority_.script = "cat >/dev/null; exit 0";
    Streams streams(Header(7, 32, 1) + form + Header(9, 0, 0));
    auto tool = MakeTool({"MirovaneTool", "-b", "-p", toolFile_.c_str()});
    streams.AttachTo(*tool);
    ASSERT_EQ(tool->InitTool(), noErr);
    EXPECT_EQ(tool->DoWork(), noErr);
    EXPECT_EQ(streams.Output(), std::string("\x01\x00\x00\x00\x01", 5));
    EXPECT_EQ(streams.Error(), "");
  }
  {
    authority_.script = "cat >/dev/null; exit 2";
    Streams streams(Header(7, 32, 1) + form + Header(9, 0, 0));
    auto tool = MakeTool({"MirovaneTool", "-b", "-p", toolFile_.c_str()});
    streams.AttachTo(*tool);
    ASSERT_EQ(tool->InitTool(), noErr);
    EXPECT_EQ(tool->DoWork(), 2);
    EXPECT_EQ(streams.Output(), std::string("\x01\x00\x00\x00\x00", 5));
    EXPECT_NE(streams.Error().find("The command 7 encountered the error 2.\n"), std::string::npos);
  }
}

}  // namespace
