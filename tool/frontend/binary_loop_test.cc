#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "platform/testing/fake_host.h"
#include "tool/frontend/mv_tool_tool.h"
#include "tool/frontend/tool_test_support.h"

namespace {

using frontend_testing::Header;
using frontend_testing::MakeTool;
using frontend_testing::Streams;
using platform::testing::ReadFile;
using platform::testing::WriteFile;

struct Exchange {
  OSErr result;
  std::string output;
  std::string error;
};

// Runs the protocol loop over `input` on a tool started with -b.
Exchange RunExchange(const std::string& input, TMVToolTool* tool = nullptr) {
  std::unique_ptr<TMVToolTool> owned;
  if (tool == nullptr) {
    owned = MakeTool({"MirovaneTool", "-b"});
    tool = owned.get();
    EXPECT_EQ(tool->InitTool(), noErr);
  }
  Streams streams(input);
  streams.AttachTo(*tool);
  OSErr result = tool->RunBinaryWorkLoop();
  return {result, streams.Output(), streams.Error()};
}

std::string LogLine(uint32_t command, int error) {
  return " Mirovane tool log: The command " + std::to_string(command) +
         " encountered the error " + std::to_string(error) + ".\n";
}

void ExpectLogLine(const std::string& error, uint32_t command, int code) {
  std::regex shape(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\.\d{3})" +
                   std::regex_replace(LogLine(command, code), std::regex(R"([.+])"), R"(\$&)") + "$");
  EXPECT_TRUE(std::regex_match(error, shape)) << error;
}

class BinaryLoopTest : public ::testing::Test {
 protected:
  platform::testing::FakeHost host_;
};

TEST_F(BinaryLoopTest, CommandsNotBuiltYetAndUnassignedCodesEndWithParamErr) {
  const uint32_t codes[] = {0, 5, 8, 10, 11, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                            26, 27, 28, 29, 30, 33, 40, 41, 45, 49, 50, 55, 57, 66, 70, 71,
                            0xFFFFFFFF};
  for (uint32_t code : codes) {
    // The payload is read before the command is refused; what follows is not.
    Exchange e = RunExchange(Header(code, 3, 4) + "abc" + Header(6, 0, 4));
    EXPECT_EQ(e.result, paramErr) << code;
    EXPECT_EQ(e.output, "") << code;
    ExpectLogLine(e.error, code, paramErr);
  }
}

TEST_F(BinaryLoopTest, NoReplyCommandsKeepTheExchangeGoing) {
  // 3 and 56 do nothing, then 2 answers one zero byte and 9 ends with status 0.
  Exchange e = RunExchange(Header(3, 5, 0) + "12345" + Header(56, 0, 0) + Header(2, 0, 1) +
                           Header(9, 0, 0) + Header(6, 0, 4));
  EXPECT_EQ(e.result, noErr);
  EXPECT_EQ(e.output, std::string("\x01\x00\x00\x00\x00", 5));
  EXPECT_EQ(e.error, "");
}

TEST_F(BinaryLoopTest, SetPathnameNeedsATerminatedPath) {
  auto tool = MakeTool({"MirovaneTool", "-b"});
  ASSERT_EQ(tool->InitTool(), noErr);
  std::string path = "/Library/Mirovane/";
  Exchange e = RunExchange(Header(4, static_cast<uint32_t>(path.size() + 1), 0) + path +
                               std::string(1, '\0') + Header(9, 0, 0),
                           tool.get());
  EXPECT_EQ(e.result, noErr);
  EXPECT_STREQ(tool->ReturnPathname(), "/Library/Mirovane/");
  EXPECT_STREQ(tool->ReturnMVActionToolPathname(), "/Library/Mirovane/MirovaneAction");

  e = RunExchange(Header(4, 4, 0) + "/abc", tool.get());  // no terminator inside
  EXPECT_EQ(e.result, paramErr);
  ExpectLogLine(e.error, 4, paramErr);
  EXPECT_STREQ(tool->ReturnPathname(), "/Library/Mirovane/");
}

TEST_F(BinaryLoopTest, CreateSystemLogFileMakesItOnceAndNeverFails) {
  std::string log = host_.Resolve("/var/log/system.log");
  Exchange e = RunExchange(Header(13, 0, 0) + Header(9, 0, 0));
  EXPECT_EQ(e.result, noErr);
  EXPECT_EQ(e.output, "");
  struct stat st{};
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  ASSERT_TRUE(WriteFile(log, "earlier lines\n"));
  e = RunExchange(Header(13, 0, 0) + Header(9, 0, 0));
  EXPECT_EQ(e.result, noErr);
  EXPECT_EQ(ReadFile(log), "earlier lines\n");

  // A link in its place is not followed, and the command still succeeds.
  std::string target = host_.root() + "/target";
  ASSERT_TRUE(WriteFile(target, "keep"));
  ASSERT_EQ(::unlink(log.c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), log.c_str()), 0);
  e = RunExchange(Header(13, 0, 0) + Header(9, 0, 0));
  EXPECT_EQ(e.result, noErr);
  EXPECT_EQ(ReadFile(target), "keep");
}

TEST_F(BinaryLoopTest, HostileSizesAreRefusedBeforeAnythingIsRead) {
  struct Case { uint32_t payload, capacity; };
  const Case cases[] = {{kMaxRequestBufferSize + 1, 0}, {0, kMaxRequestBufferSize + 1},
                        {0xFFFFFFFF, 0}, {0, 0xFFFFFFFF}};
  for (const Case& tc : cases) {
    Exchange e = RunExchange(Header(1, tc.payload, tc.capacity) + "tail");
    EXPECT_EQ(e.result, paramErr);
    EXPECT_EQ(e.output, "");
    ExpectLogLine(e.error, 1, paramErr);
  }
}

TEST_F(BinaryLoopTest, InputEndingPartWayIsAnErrorButAtARequestBoundaryIsClean) {
  struct Case { std::string input; OSErr result; uint32_t command; };
  const Case cases[] = {
      {"", noErr, 0},
      {Header(2, 0, 1), noErr, 0},
      {Header(2, 0, 1).substr(0, 7), ioErr, 0},  // the header itself is cut
      {Header(1, 10, 10) + "12345", ioErr, 1},    // the payload is cut
  };
  for (const Case& tc : cases) {
    Exchange e = RunExchange(tc.input);
    EXPECT_EQ(e.result, tc.result) << tc.input.size();
    if (tc.result == noErr) {
      EXPECT_EQ(e.error, "");
    } else {
      ExpectLogLine(e.error, tc.command, tc.result);
    }
  }
}

TEST_F(BinaryLoopTest, EchoOfLargePayloadIsWholeAndBuffersOnlyGrow) {
  std::string big(100000, 'q');
  big[99999] = 'z';
  Exchange e = RunExchange(Header(1, 100000, 0) + big + Header(1, 3, 0) + "abc" + Header(9, 0, 0));
  EXPECT_EQ(e.result, noErr);
  uint32_t first = 100000, second = 3;
  EXPECT_EQ(e.output, std::string(reinterpret_cast<char*>(&first), 4) + big +
                          std::string(reinterpret_cast<char*>(&second), 4) + "abc");
}

TEST(CheckBufferSizeTest, GrowsToWholePagesOnlyWhenNeededAndRefusesHugeSizes) {
  platform::testing::FakeHost host;
  TMVToolTool tool;
  BufferRec buf;
  struct Case { uint32_t ask; OSErr result; uint32_t capacity; };
  const Case cases[] = {
      {0, noErr, 0},
      {1, noErr, 4096},
      {4096, noErr, 4096},  // already big enough: kept
      {4097, noErr, 8192},
      {100, noErr, 8192},   // never shrinks
      {kMaxRequestBufferSize, noErr, kMaxRequestBufferSize},
      {kMaxRequestBufferSize + 1, paramErr, 0},
      {1, noErr, 4096},
  };
  for (const Case& tc : cases) {
    EXPECT_EQ(tool.CheckBufferSize(&buf, tc.ask), tc.result) << tc.ask;
    EXPECT_EQ(buf.capacity, tc.capacity) << tc.ask;
    EXPECT_EQ(buf.buffer == nullptr, tc.capacity == 0) << tc.ask;
  }
  std::free(buf.buffer);
}

}  // namespace
