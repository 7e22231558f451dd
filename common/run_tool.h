#pragma once
// Running a system tool as a child process: fork, exec of the tool's path with
// argument zero and the arguments, and a wait for that child. A run counts as
// successful only when the child ended normally with exit status 0.
//
// A child that cannot start its tool ends at once with kToolCannotStartExitCode
// (127, as shells do), so that a missing or unusable tool is always a failure.
//
// Everything the child needs is prepared before the fork, so these functions may be
// called from any thread of a multithreaded process. Pipes are made close-on-exec,
// so a child started by another thread at the same time never holds them open.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

inline constexpr int kToolCannotStartExitCode = 127;

struct ToolCommand {
  std::string path;               // host path of the executable
  std::vector<std::string> argv;  // argument zero first
  bool discard_output = false;    // standard output read from a pipe and dropped
  bool discard_errors = false;    // standard error too (with discard_output only)
  // The child asks for user ID 0 before the exec. A refusal is not fatal: the tool
  // then runs as the caller and fails by itself if it needs the privilege.
  bool as_root = false;
};

// A command for a fixed machine path ("/usr/sbin/nvram"), resolved under the
// machine root through the platform.
ToolCommand MachineToolCommand(std::string_view machine_path, std::vector<std::string> argv);

enum class ToolOutcome {
  kNotStarted,  // no pipe, no fork, or an empty command
  kExited,      // ended normally; see exit_code
  kSignaled,    // ended by a signal; see signal
  kWaitFailed,  // the child could not be waited for (it was reaped elsewhere)
};

struct ToolResult {
  ToolOutcome outcome = ToolOutcome::kNotStarted;
  int exit_code = 0;
  int signal = 0;
  bool succeeded() const { return outcome == ToolOutcome::kExited && exit_code == 0; }
};

// Runs the command to its end.
ToolResult RunTool(const ToolCommand& command);

// RunTool of a machine path; true only for a normal exit with status 0.
bool RunSystemTool(std::string_view machine_path, std::vector<std::string> argv,
                   bool discard_output = false);

// Starts the command with its standard output on a pipe (discard_output and
// discard_errors decide nothing here; standard error stays the caller's). Returns the
// child's pid and stores the pipe's read end in *stdout_fd (owned by the caller, who
// closes it before WaitForTool so a child still writing is never left blocked), or
// returns -1 when no child was started.
pid_t StartToolWithOutputPipe(const ToolCommand& command, int* stdout_fd);

// Waits for a child started above, retrying when a signal interrupts the wait.
ToolResult WaitForTool(pid_t pid);
