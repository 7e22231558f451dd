#include "framework/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/testing_argv.h"
#include "framework/tool.h"

namespace {

using framework_testing::Argv;

// The argument shape of the privileged tool: flags, an option, two positional words.
class ShapedTool : public TTool {
 public:
  TFlag binary{"-b", false};
  TFlag noMenu{"-NM", false};  // declared in capitals: matching is on lower case
  TStrOption path{"-p", "", false};
  TStrParam first{"", false};
  TStrParam second{"", false};
};

class RequiredTool : public TTool {
 public:
  TFlag verbose{"-v", true};
  TStrParam source{"src-default", true};
  TStrParam target{true};
};

class ArgsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(TArg::gArgList.Count(), 0); }
  void TearDown() override { EXPECT_EQ(TArg::gArgList.Count(), 0); }

  // Parses and returns what the framework wrote.
  static std::string Parse(TTool& tool, const std::vector<const char*>& words, bool* accepted) {
    Argv args(words);
    ::testing::internal::CaptureStdout();
    *accepted = tool.HandleArgs(args.argc(), args.argv());
    return ::testing::internal::GetCapturedStdout();
  }
};

TEST_F(ArgsTest, DeclarationOrderIsListOrderAndOptionValueIsNotInTheList) {
  ShapedTool tool;
  EXPECT_EQ(TArg::gArgList.Count(), 5);
  EXPECT_EQ(TArg::gArgList.list.ReturnNth(0), static_cast<TArg*>(&tool.binary));
  EXPECT_EQ(TArg::gArgList.list.ReturnNth(2), static_cast<TArg*>(&tool.path));
  EXPECT_EQ(TArg::gArgList.list.ReturnNth(3), static_cast<TArg*>(&tool.first));
}

TEST_F(ArgsTest, ShapedCommandLines) {
  struct Case {
    std::vector<const char*> words;
    bool accepted;
    bool binary, noMenu;
    const char *path, *first, *second;
    const char* output;
  };
  const Case cases[] = {
      {{"tool"}, true, false, false, "", "", "", ""},
      {{"tool", "-B", "-nM"}, true, true, true, "", "", "", ""},
      {{"tool", "-P", "/Some/Path"}, true, false, false, "/Some/Path", "", "", ""},
      // The value may begin with '-' and keeps its case.
      {{"tool", "-p", "-B"}, true, false, false, "-B", "", "", ""},
      {{"tool", "DriverInstall", "X"}, true, false, false, "", "DriverInstall", "X", ""},
      // Positional words may come before options.
      {{"tool", "one", "-b"}, true, true, false, "", "one", "", ""},
      // A repeated flag falls through to the next free string parameter...
      {{"tool", "-b", "-B"}, true, true, false, "", "-B", "", ""},
      // ...and is unrecognised once none is free.
      {{"tool", "-b", "x", "y", "-b"}, false, true, false, "", "x", "y",
       "### Unrecognized argument: -b.\n"},
      {{"tool", "a", "b", "C"}, false, false, false, "", "a", "b",
       "### Unrecognized argument: C.\n"},
      // "help" is ordinary after the first word.
      {{"tool", "-b", "help"}, true, true, false, "", "help", "", ""},
  };
  for (const Case& tc : cases) {
    ShapedTool tool;
    bool accepted = false;
    std::string out = Parse(tool, tc.words, &accepted);
    std::string line = tc.words.size() > 1 ? tc.words[1] : "(none)";
    EXPECT_EQ(accepted, tc.accepted) << line;
    EXPECT_EQ(tool.binary.ReturnFlag(), tc.binary) << line;
    EXPECT_EQ(tool.noMenu.ReturnFlag(), tc.noMenu) << line;
    EXPECT_STREQ(tool.path.ReturnString(), tc.path) << line;
    EXPECT_STREQ(tool.first.ReturnValue(), tc.first) << line;
    EXPECT_STREQ(tool.second.ReturnValue(), tc.second) << line;
    EXPECT_EQ(out, tc.output) << line;
  }
}

TEST_F(ArgsTest, OptionAsLastWordIsReportedAndRefused) {
  ShapedTool tool;
  bool accepted = true;
  std::string out = Parse(tool, {"tool", "-b", "-P"}, &accepted);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(out,
            "### Required argument for option \"-P\" not found.\n"
            "### Unrecognized argument: -P.\n");
  // The free positional word did not take the option's name.
  EXPECT_STREQ(tool.first.ReturnValue(), "");
}

TEST_F(ArgsTest, HelpOrQuestionMarkAsFirstWordStopsParsing) {
  for (const char* word : {"help", "HeLp", "?"}) {
    ShapedTool tool;
    bool accepted = true;
    std::string out = Parse(tool, {"tool", word, "-b"}, &accepted);
    EXPECT_FALSE(accepted) << word;
    EXPECT_TRUE(tool.IsHelpRequested()) << word;
    EXPECT_FALSE(tool.binary.ReturnFlag()) << word;
    EXPECT_EQ(out, "") << word;
  }
}

TEST_F(ArgsTest, EveryMissingRequiredArgumentIsReported) {
  RequiredTool tool;
  bool accepted = true;
  std::string out = Parse(tool, {"tool"}, &accepted);
  EXPECT_FALSE(accepted);
  // The flag fails silently; each string parameter reports itself.
  EXPECT_EQ(out,
            "### Required string parameter missing.\n"
            "### Required string parameter missing.\n");
  EXPECT_STREQ(tool.source.ReturnValue(), "src-default");
}

TEST_F(ArgsTest, RequiredArgumentsAllGiven) {
  RequiredTool tool;
  bool accepted = false;
  std::string out = Parse(tool, {"tool", "-V", "Src", "Dst"}, &accepted);
  EXPECT_TRUE(accepted);
  EXPECT_EQ(out, "");
  EXPECT_STREQ(tool.target.ReturnValue(), "Dst");
}

TEST_F(ArgsTest, EmptyArgumentListAcceptsOnlyAnEmptyCommandLine) {
  TTool tool;  // declares no arguments
  bool accepted = false;
  EXPECT_EQ(Parse(tool, {"tool"}, &accepted), "");
  EXPECT_TRUE(accepted);
  EXPECT_EQ(Parse(tool, {"tool", "word"}, &accepted), "");
  EXPECT_FALSE(accepted);
}

TEST_F(ArgsTest, DescriptionsForHelp) {
  class DescribedTool : public TTool {
   public:
    TFlag flag{"-B", false};
    TStrOption option{"-p", "", false};
    TStrParam required{"def", true};
  } tool;
  ::testing::internal::CaptureStdout();
  TArg::ListArgDescriptions();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "-b [BOOLEAN] -p [STRING, DEFAULT=\"\"] [STRING, REQUIRED, DEFAULT=\"def\"] ");
}

}  // namespace
