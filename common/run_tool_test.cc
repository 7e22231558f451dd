#include "common/run_tool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <string>

#include "common/testing/script.h"
#include "platform/testing/fake_host.h"
#include "platform/testing/temp_dir.h"

namespace {

using common_testing::ShellQuote;
using common_testing::WriteShellScript;
using platform::testing::ReadFile;

class RunToolTest : public ::testing::Test {
 protected:
  // A tool at machine path /usr/bin/<name> running `body`; returns its command.
  ToolCommand Tool(const std::string& name, const std::string& body) {
    EXPECT_TRUE(WriteShellScript(host_.Resolve("/usr/bin/" + name), body));
    return MachineToolCommand("/usr/bin/" + name, {name});
  }

  platform::testing::FakeHost host_;
};

TEST_F(RunToolTest, OnlyANormalExitWithStatusZeroSucceeds) {
  struct Case {
    const char* name;
    const char* body;  // nullptr: no such tool
    ToolOutcome outcome;
    int exit_code;
    int signal;
  };
  const Case cases[] = {
      {"ok", "exit 0", ToolOutcome::kExited, 0, 0},
      {"fails", "exit 3", ToolOutcome::kExited, 3, 0},
      {"killed", "kill -TERM $$", ToolOutcome::kSignaled, 0, SIGTERM},
      {"missing", nullptr, ToolOutcome::kExited, kToolCannotStartExitCode, 0},
  };
  for (const Case& c : cases) {
    ToolCommand command = c.body ? Tool(c.name, c.body)
                                 : MachineToolCommand(std::string("/usr/bin/") + c.name, {c.name});
    const ToolResult result = RunTool(command);
    EXPECT_EQ(result.outcome, c.outcome) << c.name;
    EXPECT_EQ(result.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(result.signal, c.signal) << c.name;
    EXPECT_EQ(result.succeeded(), c.outcome == ToolOutcome::kExited && c.exit_code == 0) << c.name;
  }
}

TEST_F(RunToolTest, ToolThatCannotStartIsAFailure) {
  ToolCommand not_executable = Tool("plain", "exit 0");
  ASSERT_EQ(::chmod(not_executable.path.c_str(), 0644), 0);
  ToolCommand directory = MachineToolCommand("/usr/bin", {"bin"});

  for (const ToolCommand& command : {not_executable, directory}) {
    const ToolResult result = RunTool(command);
    EXPECT_EQ(result.outcome, ToolOutcome::kExited) << command.path;
    EXPECT_EQ(result.exit_code, kToolCannotStartExitCode) << command.path;
    EXPECT_FALSE(result.succeeded());
  }
  EXPECT_FALSE(RunSystemTool("/usr/bin/nothing-here", {"nothing-here"}));
}

TEST_F(RunToolTest, EmptyCommandsAreNotStarted) {
  EXPECT_EQ(RunTool(ToolCommand{}).outcome, ToolOutcome::kNotStarted);
  ToolCommand no_argv = Tool("noargv", "exit 0");
  no_argv.argv.clear();
  EXPECT_EQ(RunTool(no_argv).outcome, ToolOutcome::kNotStarted);
  int fd = 7;
  EXPECT_EQ(StartToolWithOutputPipe(ToolCommand{}, &fd), -1);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(WaitForTool(-1).outcome, ToolOutcome::kNotStarted);
}

TEST_F(RunToolTest, MachinePathsAreResolvedUnderTheMachineRoot) {
  const std::string record = host_.root() + "/args";
  Tool("recorder", "for a in \"$@\"; do printf '[%s]' \"$a\"; done > " + ShellQuote(record));
  EXPECT_TRUE(RunSystemTool("/usr/bin/recorder", {"recorder", "one two", "", "-x"}));
  EXPECT_EQ(ReadFile(record), "[one two][][-x]");
  // The host's own /bin/true is not the machine's.
  EXPECT_FALSE(RunSystemTool("/bin/true", {"true"}));
}

TEST_F(RunToolTest, DiscardedOutputNeverReachesTheCallersStreams) {
  // More than a pipe holds, so an undrained pipe would block the tool.
  const std::string body =
      "i=0; while [ $i -lt 3000 ]; do echo 'output line of a chatty system tool......'; "
      "i=$((i+1)); done; echo to-stderr >&2";
  ToolCommand command = Tool("chatty", body);

  struct Case {
    bool discard_output;
    bool discard_errors;
    bool stdout_seen;
    bool stderr_seen;
  };
  const Case cases[] = {
      {false, false, true, true},
      {true, false, false, true},
      {true, true, false, false},
      {false, true, true, true},  // errors are discarded only with the output
  };
  for (const Case& c : cases) {
    command.discard_output = c.discard_output;
    command.discard_errors = c.discard_errors;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const ToolResult result = RunTool(command);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(result.succeeded());
    EXPECT_EQ(out.find("chatty system tool") != std::string::npos, c.stdout_seen)
        << c.discard_output << c.discard_errors;
    EXPECT_EQ(err.find("to-stderr") != std::string::npos, c.stderr_seen)
        << c.discard_output << c.discard_errors;
  }
}

void IgnoreAlarm(int) {}

TEST_F(RunToolTest, InterruptingSignalsDoNotEndTheWaitEarly) {
  ToolCommand command = Tool("slow", "sleep 0.3; echo done; exit 4");
  command.discard_output = true;

  struct sigaction action {};
  action.sa_handler = IgnoreAlarm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: read and waitpid see EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  itimerval every_5ms{{0, 5000}, {0, 5000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every_5ms, nullptr), 0);

  const ToolResult result = RunTool(command);

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(result.outcome, ToolOutcome::kExited);
  EXPECT_EQ(result.exit_code, 4);
}

TEST_F(RunToolTest, ToolStartsWithDefaultSignalHandling) {
  // The caller blocks SIGTERM and ignores SIGPIPE; the tool must not inherit either.
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction old_pipe {};
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old_pipe), 0);

  const ToolResult term = RunTool(Tool("term", "kill -TERM $$; exit 0"));
  const ToolResult pipe = RunTool(Tool("pipe", "kill -PIPE $$; exit 0"));

  sigaction(SIGPIPE, &old_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  EXPECT_EQ(term.outcome, ToolOutcome::kSignaled);
  EXPECT_EQ(term.signal, SIGTERM);
  EXPECT_EQ(pipe.outcome, ToolOutcome::kSignaled);
  EXPECT_EQ(pipe.signal, SIGPIPE);
}

TEST_F(RunToolTest, RefusedRootPrivilegeStillRunsTheTool) {
  ToolCommand command = Tool("privileged", "exit 0");
  command.as_root = true;
  EXPECT_TRUE(RunTool(command).succeeded());
}

}  // namespace
