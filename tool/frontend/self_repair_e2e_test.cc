// Self repair on a running simulated machine: the real MirovaneTool runs a copy of
// itself with administrator rights, and that copy takes the authorisation from its
// input through the machine's authority.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/testing/temp_dir.h"
#include "sim/testing/test_machine.h"

namespace {

using platform::testing::ReadFile;
using platform::testing::WriteFile;

std::string Header(uint32_t command, uint32_t payloadSize, uint32_t replyCapacity) {
  uint32_t words[3] = {command, payloadSize, replyCapacity};
  return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

std::string Bytes(const platform::AuthorizationExternalForm& form) {
  return std::string(form.begin(), form.end());
}

class SelfRepairOnMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.up());
    if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner to root needs root";
    toolCopy_ = machine_.root() + "/Applications/MirovaneTool";
    ASSERT_TRUE(WriteFile(toolCopy_, ReadFile(MIROVANE_TOOL_PATH)));
    ASSERT_EQ(::chown(toolCopy_.c_str(), 1234, 1234), 0);
    ASSERT_EQ(::chmod(toolCopy_.c_str(), 0775), 0);
  }

  struct stat Stat() {
    struct stat st{};
    EXPECT_EQ(::stat(toolCopy_.c_str(), &st), 0);
    return st;
  }

  sim::testing::TestMachine machine_;
  std::string toolCopy_;
};

TEST_F(SelfRepairOnMachineTest, CommandSevenRepairsTheToolFileAndRepliesOne) {
  platform::AuthorizationExternalForm form = machine_.IssueAuthorization();
  sim::testing::RunResult r = machine_.Run(
      toolCopy_, {"-b", "-p", toolCopy_}, Header(7, 32, 1) + Bytes(form) + Header(9, 0, 0), 30);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("\x01\x00\x00\x00\x01", 5));
  EXPECT_EQ(r.err, "");
  struct stat st = Stat();
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
}

TEST_F(SelfRepairOnMachineTest, FormWithoutTheAdminRightRepairsNothingAndEndsTheExchange) {
  platform::AuthorizationExternalForm form = machine_.IssueAuthorization({});
  sim::testing::RunResult r = machine_.Run(
      toolCopy_, {"-b", "-p", toolCopy_}, Header(7, 32, 1) + Bytes(form) + Header(9, 0, 0), 30);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, std::string("\x01\x00\x00\x00\x00", 5));
  EXPECT_NE(r.err.find(" Mirovane tool log: The command 7 encountered the error "),
            std::string::npos)
      << r.err;
  struct stat st = Stat();
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_mode & 07777, 0775u);
}

TEST_F(SelfRepairOnMachineTest, SelfRepairFlagWithBinaryFlagDoesOnlySelfRepair) {
  platform::AuthorizationExternalForm form = machine_.IssueAuthorization();
  // The request after the form would be answered by the protocol loop.
  sim::testing::RunResult r = machine_.Run(toolCopy_, {"-s", "-b", "-p", toolCopy_},
                                           Bytes(form) + Header(6, 0, 4), 30);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  struct stat st = Stat();
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
}

TEST_F(SelfRepairOnMachineTest, UnknownFormGivesStatusTwoAndLeavesTheFile) {
  platform::AuthorizationExternalForm forged{};
  forged.fill(0x42);
  sim::testing::RunResult r =
      machine_.Run(toolCopy_, {"-s", "-b", "-p", toolCopy_}, Bytes(forged), 30);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Stat().st_mode & 07777, 0775u);
}

}  // namespace
