#include "framework/tool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/testing_argv.h"

namespace {

using framework_testing::Argv;

// A tool whose steps return chosen results and record that they ran.
class StepTool : public TTool {
 public:
  StepTool(OSErr init, OSErr work) : initResult(init), workResult(work) {}
  OSErr InitTool() override { ++initRuns; return initResult; }
  OSErr DoWork() override { ++workRuns; return workResult; }
  void ShowHelp() override { ++helpShown; }

  TFlag flag{"-f", false};
  OSErr initResult, workResult;
  int initRuns = 0, workRuns = 0, helpShown = 0;
};

// A tool that brings its own notice text.
class NoticeTool : public TTool {
 public:
  explicit NoticeTool(const char* text) : TTool(text) {}
  TFlag flag{"-f", false};
};

std::string Genuine() {
  unsigned char buf[kNoticeBufferSize];
  CopyrightNotice(buf);
  return reinterpret_cast<char*>(buf);
}

TEST(RunToolTest, ExitStatusFollowsTheFirstFailingStep) {
  struct Case {
    std::vector<const char*> words;
    OSErr init, work;
    int status, initRuns, workRuns, helpShown;
  };
  const Case cases[] = {
      {{"t"}, noErr, noErr, 0, 1, 1, 0},
      {{"t", "-F"}, noErr, noErr, 0, 1, 1, 0},
      {{"t", "bogus"}, noErr, noErr, 1, 0, 0, 1},  // command line refused: -50
      {{"t"}, paramErr, noErr, 1, 1, 0, 1},
      {{"t"}, memFullErr, noErr, 2, 1, 0, 1},
      {{"t"}, noErr, fnfErr, 2, 1, 1, 1},
      {{"t"}, noErr, paramErr, 1, 1, 1, 1},
      {{"t"}, noErr, 1, 2, 1, 1, 1},
  };
  for (const Case& tc : cases) {
    StepTool tool(tc.init, tc.work);
    Argv args(tc.words);
    ::testing::internal::CaptureStdout();
    int status = RunTool(tool, args.argc(), args.argv());
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, tc.status) << tc.init << " " << tc.work;
    EXPECT_EQ(tool.initRuns, tc.initRuns);
    EXPECT_EQ(tool.workRuns, tc.workRuns);
    EXPECT_EQ(tool.helpShown, tc.helpShown);
  }
}

TEST(TToolTest, DefaultStepsAndHelpText) {
  TTool tool;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(tool.InitTool(), noErr);
  EXPECT_EQ(tool.DoWork(), noErr);
  tool.ShowHelp();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "InitTool\nDoWork\nArgument List: \n### No Help String available for this tool"
            "(blame the programmer who subclassed the TTool base class).\n");
}

TEST(TToolTest, HandleErrorMessages) {
  struct Case { OSErr err; bool help; const char* first; };
  const Case cases[] = {
      {-43, false, "### Tool execution stopped. Error #: -43.\n"},
      {2, false, "### Tool execution stopped. Error #: 2.\n"},
      {paramErr, false, "### Syntax error in command line.\n"},
      {-43, true, ""},
  };
  for (const Case& tc : cases) {
    StepTool tool(noErr, noErr);
    if (tc.help) {
      Argv args({"t", "?"});
      EXPECT_FALSE(tool.HandleArgs(args.argc(), args.argv()));
    }
    ::testing::internal::CaptureStdout();
    tool.HandleError(tc.err);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::string(tc.first) + "### " + Genuine() + "\n\n") << tc.err;
    EXPECT_EQ(tool.helpShown, 1);
  }
}

TEST(NoticeTest, NoticeIsOneShortLineAndChecksOut) {
  unsigned char buf[kNoticeBufferSize];
  std::memset(buf, 0xFF, sizeof buf);
  CopyrightNotice(buf);
  size_t length = std::strlen(reinterpret_cast<char*>(buf));
  EXPECT_GT(length, 0u);
  EXPECT_LE(length, 63u);
  EXPECT_EQ(std::strchr(reinterpret_cast<char*>(buf), '\n'), nullptr);
  EXPECT_TRUE(IsCopyrightNoticeIntact(buf));
  CopyrightNotice(nullptr);  // harmless

  buf[3] ^= 0x20;
  EXPECT_FALSE(IsCopyrightNoticeIntact(buf));
  EXPECT_FALSE(IsCopyrightNoticeIntact(nullptr));
}

TEST(NoticeTest, AlteredNoticeRefusesEveryCommandLineSilently) {
  std::string genuine = Genuine();
  std::string altered = genuine;
  altered[0] = static_cast<char>(altered[0] ^ 1);
  std::string longer = genuine + "!";
  const char* notices[] = {altered.c_str(), "", longer.c_str()};
  for (const char* text : notices) {
    for (std::vector<const char*> words : {std::vector<const char*>{"t"}, {"t", "-f"}}) {
      NoticeTool tool(text);
      Argv args(words);
      ::testing::internal::CaptureStdout();
      int status = RunTool(tool, args.argc(), args.argv());
      std::string out = ::testing::internal::GetCapturedStdout();
      EXPECT_EQ(status, 1) << text;
      EXPECT_FALSE(tool.flag.ReturnFlag());
      // Only the default help, never a parsing message or the steps.
      EXPECT_EQ(out.find("###"), out.find("### No Help")) << out;
      EXPECT_EQ(out.find("InitTool"), std::string::npos);
    }
  }
  NoticeTool good(genuine.c_str());
  Argv args({"t", "-f"});
  EXPECT_TRUE(good.HandleArgs(args.argc(), args.argv()));
}

}  // namespace
