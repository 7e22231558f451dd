#include "spot/testing/spot_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace spot_testing {
namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int Milliseconds(double seconds) { return seconds <= 0 ? 0 : static_cast<int>(seconds * 1000); }

}  // namespace

std::string NameOf(const SpotEventRec& record) { return std::string(FieldText(record.bsdName)); }

SpotProcess::SpotProcess(const std::string& program, const std::string& machine_root) {
  const std::string err_path = dir_.Sub("stderr");
  // The environment is built before the fork: the child only calls what is safe there.
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (entry.starts_with("MIROVANE_MACHINE=") || entry.starts_with("MIROVANE_TIME_SCALE=")) {
      continue;
    }
    environment.push_back(entry);
  }
  environment.push_back("MIROVANE_MACHINE=" + machine_root);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char name[] = "MirovaneSpot";
  char* argv[] = {name, nullptr};

  pid_ = ::fork();
  if (pid_ == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || err < 0 || ::dup2(in, STDIN_FILENO) < 0 ||
        ::dup2(channel_.writer(), STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) {
      ::_exit(126);
    }
    // The watcher gets default signal handling, whatever the test runner set.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program.c_str(), argv, envp.data());
    ::_exit(127);
  }
  if (pid_ < 0) ADD_FAILURE() << "fork failed";
  channel_.CloseWriter();
}

SpotProcess::~SpotProcess() {
  if (pid_ > 0 && !ending_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    (void)::waitpid(pid_, &status, 0);
  }
}

std::optional<SpotEventRec> SpotProcess::Next(double seconds) {
  return channel_.Next(Milliseconds(seconds));
}

std::vector<SpotEventRec> SpotProcess::ReadUntil(
    const std::function<bool(const SpotEventRec&)>& wanted, double seconds) {
  std::vector<SpotEventRec> records;
  const double deadline = Now() + seconds;
  while (Now() < deadline) {
    std::optional<SpotEventRec> record = Next(deadline - Now());
    if (!record) break;
    records.push_back(*record);
    if (wanted(*record)) break;
  }
  return records;
}

std::vector<SpotEventRec> SpotProcess::ReadUntilQuiet(double quiet, double seconds) {
  std::vector<SpotEventRec> records;
  const double deadline = Now() + seconds;
  while (Now() < deadline) {
    std::optional<SpotEventRec> record = Next(std::min(quiet, deadline - Now()));
    if (!record) break;
    records.push_back(*record);
  }
  return records;
}

Ending SpotProcess::Wait(double seconds) {
  if (ending_) return *ending_;
  Ending ending;
  const double deadline = Now() + seconds;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      ending.exited = WIFEXITED(status);
      ending.status = ending.exited ? WEXITSTATUS(status) : -1;
      ending.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      ending_ = ending;
      return ending;
    }
    if (done < 0 || Now() > deadline) break;
    ::usleep(5000);
  }
  ending.timed_out = true;
  return ending;
}

Ending SpotProcess::Signal(int signal, double seconds) {
  if (!ending_ && pid_ > 0) ::kill(pid_, signal);
  return Wait(seconds);
}

std::string SpotProcess::ErrorOutput() const {
  return platform::testing::ReadFile(dir_.Sub("stderr"));
}

}  // namespace spot_testing
