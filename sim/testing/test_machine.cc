#include "sim/testing/test_machine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "sim/machine/machine_description.h"

namespace sim::testing {
namespace {

double Monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

bool RunUntil(platform::Host& host, const std::function<bool()>& done, double timeout_seconds) {
  // Work queued on the loop may outlive this call (it runs on the next Run()), so it
  // holds the state it needs and does nothing once the wait is over.
  struct State {
    std::atomic<bool> finished{false};
    bool held = false;
    std::function<bool()> done;
    double deadline = 0;
  };
  auto state = std::make_shared<State>();
  state->done = done;
  state->deadline = Monotonic() + timeout_seconds;
  platform::RunLoop& loop = host.run_loop();
  std::thread ticker([state, &loop] {
    while (!state->finished.load()) {
      loop.Perform([state, &loop] {
        if (state->finished.load()) return;
        state->held = state->done();
        if (state->held || Monotonic() > state->deadline) {
          state->finished.store(true);
          loop.Stop();
        }
      });
      ::usleep(5000);
    }
  });
  loop.Run();
  state->finished.store(true);
  ticker.join();
  return state->held;
}

std::string TestMachine::ControlProgram() { return MIROVANE_MACHINE_PROGRAM; }

TestMachine::TestMachine(TestMachineOptions options)
    : options_(options), control_(std::make_unique<MachineControl>(dir_.path())) {
  CreateOptions create;
  create.disk_count = options_.disk_count;
  create.disk_size = options_.disk_size;
  std::string tools = ControlProgram();
  create.tools_folder = tools.substr(0, tools.rfind('/')) + "/tools";
  std::string error;
  if (CreateMachineRoot(dir_.path(), create, &error) != 0) {
    ADD_FAILURE() << "cannot create the machine: " << error;
    return;
  }
  if (options_.start) Start();
}

TestMachine::~TestMachine() { Stop(); }

bool TestMachine::Start() {
  if (daemon_ != 0) return true;
  StartOptions start;
  start.executable = ControlProgram();
  start.time_scale = options_.time_scale;
  start.exit_with = ::getpid();
  start.detach = false;
  std::string error;
  pid_t pid = 0;
  if (StartDaemon(dir_.path(), start, &pid, &error) != 0) {
    ADD_FAILURE() << "cannot start the machine: " << error;
    return false;
  }
  daemon_ = pid;
  return true;
}

bool TestMachine::Stop() {
  if (daemon_ == 0) return true;
  std::string error;
  int status = StopDaemon(dir_.path(), 15, &error);
  ::waitpid(daemon_, nullptr, 0);
  daemon_ = 0;
  if (status != 0) ADD_FAILURE() << "the machine did not stop cleanly: " << error;
  return status == 0;
}

std::string TestMachine::CreateImage(const std::string& name, int64_t size) {
  std::string path = dir_.Sub("disks/" + name);
  int e = CreateBlankImage(path, size);
  if (e != 0) ADD_FAILURE() << "cannot create " << path << ": " << std::strerror(e);
  return path;
}

std::string TestMachine::AttachDisk(const std::string& image, const std::string& bus,
                                    std::optional<int64_t> unit,
                                    const platform::PropertyDictionary& properties) {
  std::string bsd, error;
  if (control_->Attach(image, bus, unit, properties, &bsd, &error) != 0) {
    ADD_FAILURE() << "cannot attach " << image << " to " << bus << ": " << error;
    return "";
  }
  return bsd;
}

bool TestMachine::DetachDisk(const std::string& bsd) {
  std::string error;
  if (control_->Detach(bsd, &error) != 0) {
    ADD_FAILURE() << "cannot detach " << bsd << ": " << error;
    return false;
  }
  return true;
}

platform::AuthorizationExternalForm TestMachine::IssueAuthorization(
    const std::vector<std::string>& rights) {
  platform::AuthorizationExternalForm form{};
  std::string error;
  if (control_->IssueAuthorization(rights, &form, &error) != 0) {
    ADD_FAILURE() << "cannot issue an authorisation: " << error;
  }
  return form;
}

int64_t TestMachine::AddFault(const platform::PropertyDictionary& spec) {
  int64_t id = 0;
  std::string error;
  if (control_->AddFault(spec, &id, &error) != 0) ADD_FAILURE() << "cannot arm the fault: " << error;
  return id;
}

int64_t TestMachine::FaultFired(int64_t id) {
  for (const platform::Property& f : control_->Faults()) {
    const platform::Property* fid = f.Find("id");
    const platform::Property* fired = f.Find("fired");
    if (fid != nullptr && fired != nullptr && fid->AsInteger() == id) return fired->AsInteger().value_or(0);
  }
  return 0;
}

int64_t TestMachine::HoldRegistryNotifications(const std::string& bsd, double seconds) {
  platform::PropertyDictionary spec = {
      {"kind", platform::Property::String("hold-registry-notifications")}};
  if (!bsd.empty()) spec["device"] = platform::Property::String(bsd);
  if (seconds > 0) spec["seconds"] = platform::Property::Real(seconds);
  return AddFault(spec);
}

bool TestMachine::ReleaseRegistryNotifications(const std::string& bsd) {
  std::string error;
  std::optional<std::string> device;
  if (!bsd.empty()) device = bsd;
  if (control_->ReleaseRegistryNotifications(device, &error) != 0) {
    ADD_FAILURE() << "cannot release the registry notifications: " << error;
    return false;
  }
  return true;
}

RunResult TestMachine::Run(const std::string& program, const std::vector<std::string>& args,
                           const std::string& input, double timeout_seconds,
                           const std::map<std::string, std::string>& env) {
  RunResult result;
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::map<std::string, std::string> environment = env;
  environment["MIROVANE_MACHINE"] = dir_.path();
  environment["MIROVANE_TIME_SCALE"] = std::to_string(options_.time_scale);
  std::vector<std::string> pairs;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string pair = *e;
    std::string key = pair.substr(0, pair.find('='));
    if (environment.count(key) == 0) pairs.push_back(pair);
  }
  for (const auto& [k, v] : environment) pairs.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& p : pairs) envp.push_back(p.data());
  envp.push_back(nullptr);

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "no pipes";
    return result;
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ::signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (input.empty()) {
    ::close(in[1]);
    in[1] = -1;
  } else {
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  }
  double deadline = Monotonic() + timeout_seconds;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    double left = deadline - Monotonic();
    if (left <= 0) {
      result.timed_out = true;
      ::kill(child, SIGKILL);
      break;
    }
    pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                     {err_open ? err[0] : -1, POLLIN, 0},
                     {in[1], POLLOUT, 0}};
    if (::poll(fds, 3, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR) break;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      } else {
        (i == 0 ? out_open : err_open) = false;
      }
    }
    if (in[1] >= 0 && fds[2].revents != 0) {
      ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        ::close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) ::close(in[1]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::unique_ptr<platform::MachineHost> TestMachine::NewHost() const {
  return std::make_unique<platform::MachineHost>(dir_.path(), options_.time_scale);
}

}  // namespace sim::testing
