#include "common/run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host.h"

namespace {

// The argument vector in the form exec wants, built before the fork.
class ExecArgs {
 public:
  explicit ExecArgs(const std::vector<std::string>& argv) {
    pointers_.reserve(argv.size() + 1);
    for (const std::string& a : argv) pointers_.push_back(const_cast<char*>(a.c_str()));
    pointers_.push_back(nullptr);
  }
  char* const* get() const { return pointers_.data(); }

 private:
  std::vector<char*> pointers_;
};

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(const ToolCommand& command, const ExecArgs& args, int out_fd,
                            bool errors_too) {
  // Give the tool a clean signal state: nothing blocked, a closed pipe ends it.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGPIPE, &dfl, nullptr);

  if (out_fd >= 0) {
    if (dup2(out_fd, STDOUT_FILENO) < 0) _exit(kToolCannotStartExitCode);
    if (errors_too && dup2(out_fd, STDERR_FILENO) < 0) _exit(kToolCannotStartExitCode);
  }
  if (command.as_root) {
    [[maybe_unused]] int refused = setuid(0);  // see ToolCommand::as_root
  }
  execv(command.path.c_str(), args.get());
  _exit(kToolCannotStartExitCode);
}

void CloseQuietly(int fd) {
  if (fd >= 0) (void)close(fd);  // nothing useful to do when a pipe end fails to close
}

void DrainAndClose(int fd) {
  char sink[4096];
  for (;;) {
    ssize_t n = read(fd, sink, sizeof sink);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  CloseQuietly(fd);
}

pid_t Start(const ToolCommand& command, bool pipe_output, bool errors_too, int* read_fd) {
  if (command.path.empty() || command.argv.empty()) return -1;
  const ExecArgs args(command.argv);

  int fds[2] = {-1, -1};
  if (pipe_output && pipe2(fds, O_CLOEXEC) != 0) return -1;

  const pid_t pid = fork();
  if (pid < 0) {
    CloseQuietly(fds[0]);
    CloseQuietly(fds[1]);
    return -1;
  }
  if (pid == 0) ExecChild(command, args, fds[1], errors_too);

  CloseQuietly(fds[1]);
  if (read_fd != nullptr) *read_fd = fds[0];
  return pid;
}

}  // namespace

ToolCommand MachineToolCommand(std::string_view machine_path, std::vector<std::string> argv) {
  ToolCommand command;
  command.path = platform::GetHost().paths().Resolve(machine_path);
  command.argv = std::move(argv);
  return command;
}

ToolResult WaitForTool(pid_t pid) {
  ToolResult result;
  if (pid <= 0) return result;
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid) {
    result.outcome = ToolOutcome::kWaitFailed;
  } else if (WIFEXITED(status)) {
    result.outcome = ToolOutcome::kExited;
    result.exit_code = WEXITSTATUS(status);
  } else {
    result.outcome = ToolOutcome::kSignaled;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  return result;
}

pid_t StartToolWithOutputPipe(const ToolCommand& command, int* stdout_fd) {
  if (stdout_fd == nullptr) return -1;
  *stdout_fd = -1;
  return Start(command, true, false, stdout_fd);
}

ToolResult RunTool(const ToolCommand& command) {
  int read_fd = -1;
  const pid_t pid =
      Start(command, command.discard_output, command.discard_output && command.discard_errors,
            &read_fd);
  if (pid < 0) return ToolResult{};
  if (read_fd >= 0) DrainAndClose(read_fd);
  return WaitForTool(pid);
}

bool RunSystemTool(std::string_view machine_path, std::vector<std::string> argv,
                   bool discard_output) {
  ToolCommand command = MachineToolCommand(machine_path, std::move(argv));
  command.discard_output = discard_output;
  return RunTool(command).succeeded();
}
