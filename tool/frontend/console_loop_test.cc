#include <gtest/gtest.h>

#include <string>

#include "platform/testing/fake_host.h"
#include "tool/frontend/mv_tool_tool.h"
#include "tool/frontend/tool_test_support.h"

namespace {

using frontend_testing::MakeTool;
using frontend_testing::Streams;

struct Session {
  OSErr result;
  std::string output;
  std::string unread;
};

Session RunConsole(const std::string& input, bool menu = false) {
  auto tool = menu ? MakeTool({"MirovaneTool"}) : MakeTool({"MirovaneTool", "-NM"});
  EXPECT_EQ(tool->InitTool(), noErr);
  Streams streams(input);
  streams.AttachTo(*tool);
  OSErr result = tool->RunAsciiWorkLoop();
  return {result, streams.Output(), streams.UnreadInput()};
}

class ConsoleLoopTest : public ::testing::Test {
 protected:
  platform::testing::FakeHost host_;
};

TEST_F(ConsoleLoopTest, WordsAndTheirAnswers) {
  struct Case { const char* line; const char* answer; };
  const Case cases[] = {
      {"test Hello World", "Hello World\n"},
      {"t Hello", "Hello\n"},
      {"TEST  two blanks", " two blanks\n"},  // only one blank is consumed
      {"   t\tx", "\tx\n"},                    // leading blanks skipped before the word
      {"test", ""},                            // nothing to echo
      {"dzero", "Disk Zero\n"},
      {"DISKZERO", "Disk Zero\n"},
      {"disk zero", "unrecognized command\n"},
      {"dinit", "Disk Initialize\n"},
      {"dinitialize", "Disk Initialize\n"},
      {"db", "Disk Blink\n"},
      {"dblink  ", "Disk Blink\n"},  // blanks may end the command
      {"dp", "Disk Partitions\n"},
      {"dcio", "Disk Clear IO Counters\n"},
      {"dcleariocounters", "Disk Clear IO Counters\n"},
      {"dcancel", "Disk Cancel\n"},
      {"dc", "Disk Cancel\n"},
      {"dzero now", "unrecognized command\n"},
      {"dfoo", "unrecognized command\n"},
      {"vcr", "Volume Create\n"},
      {"volumedelete", "Volume Delete\n"},
      {"vdel", "Volume Delete\n"},
      {"ve", "Volume Erase\n"},
      {"vm", "Volume Mount\n"},
      {"vpartitions", "Volume Partitions\n"},
      {"vcio", "Volume Clear IO Counters\n"},
      {"vc2m", "Volume Convert to Mirror\n"},
      {"vconverttomirror", "Volume Convert to Mirror\n"},
      {"vr", "Volume Rebuild\n"},
      {"vsp", "Volume Set Primary\n"},
      {"vsplitmirror", "Volume Split Mirror\n"},
      {"vc", "Volume Cancel\n"},
      {"eg", "Event Get\n"},
      {"eventget", "Event Get\n"},
      {"ex", "unrecognized command\n"},
      {"help", "Help\n"},
      {"?", "Help\n"},
      {"help me", "unrecognized command\n"},
      {"r", ""},
      {"restart", ""},
      {"", "unrecognized command\n"},
      {"xyzzy", "unrecognized command\n"},
      {"quit now", "unrecognized command\n"},  // and the loop goes on
  };
  for (const Case& tc : cases) {
    Session s = RunConsole(std::string(tc.line) + "\nq\n");
    EXPECT_EQ(s.result, noErr) << tc.line;
    EXPECT_EQ(s.output, std::string(tc.answer) + "Quit\n") << tc.line;
  }
}

TEST_F(ConsoleLoopTest, WordsWhoseObjectsComeLaterAreAnsweredAsUnknown) {
  for (const char* line : {"gl", "getlist", "drgv", "driverisi", "ss", "startspot"}) {
    Session s = RunConsole(std::string(line) + "\nq\n");
    EXPECT_EQ(s.output, "unrecognized command\nQuit\n") << line;
  }
}

TEST_F(ConsoleLoopTest, QuitEndsTheLoopAndLeavesTheRestUnread) {
  Session s = RunConsole("QUIT\nt not reached\n");
  EXPECT_EQ(s.result, noErr);
  EXPECT_EQ(s.output, "Quit\n");
  EXPECT_EQ(s.unread, "t not reached\n");
}

TEST_F(ConsoleLoopTest, MenuFollowsEveryCommandExceptQuitUnlessSuppressed) {
  Session s = RunConsole("t a\nxyz\nq\n", true);
  EXPECT_EQ(s.output,
            "a\nMenu of commands:\nunrecognized command\nMenu of commands:\nQuit\n");
  s = RunConsole("t a\nxyz\nq\n", false);
  EXPECT_EQ(s.output.find("Menu"), std::string::npos);
}

TEST_F(ConsoleLoopTest, EndOfInputEndsTheLoopAfterALastLineWithoutLineFeed) {
  Session s = RunConsole("t first\nt last");
  EXPECT_EQ(s.result, noErr);
  EXPECT_EQ(s.output, "first\nlast\n");
  EXPECT_EQ(RunConsole("").output, "");
}

TEST_F(ConsoleLoopTest, ByteFFEndsALineAndOverlongLinesAreRefusedWhole) {
  Session s = RunConsole("t ab\xFFt cd\nq\n");
  EXPECT_EQ(s.output, "ab\ncd\nQuit\n");

  std::string overlong = "t " + std::string(3000, 'x');
  s = RunConsole(overlong + "\nt after\nq\n");
  EXPECT_EQ(s.output, "unrecognized command\nafter\nQuit\n");

  std::string longest = "t " + std::string(kConsoleLineSize - 4, 'y');  // 1022 bytes and LF
  s = RunConsole(longest + "\nq\n");
  EXPECT_EQ(s.output, std::string(kConsoleLineSize - 4, 'y') + "\nQuit\n");
}

TEST_F(ConsoleLoopTest, SetPathnameTakesThePathAsTyped) {
  auto tool = MakeTool({"MirovaneTool", "-nm"});
  ASSERT_EQ(tool->InitTool(), noErr);
  Streams streams("setpathname   /Apps/Mirovane Tools/\nsp\nq\n");
  streams.AttachTo(*tool);
  EXPECT_EQ(tool->RunAsciiWorkLoop(), noErr);
  EXPECT_STREQ(tool->ReturnPathname(), "/Apps/Mirovane Tools/");
  EXPECT_STREQ(tool->ReturnMVActionToolPathname(), "/Apps/Mirovane Tools/MirovaneAction");
  EXPECT_EQ(streams.Output(), "unrecognized command\nQuit\n");  // an empty path is refused
}

}  // namespace
