// Runs the real MirovaneTool program on a machine root of its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/temp_dir.h"

namespace {

using platform::testing::ReadFile;
using platform::testing::TempDir;
using platform::testing::WriteFile;

constexpr int kTimeoutMs = 10000;

// MirovaneTool as a child with its three standard streams on pipes.
class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& args, const std::string& machineRoot,
              const std::string& workingDirectory = "") {
    int in[2], out[2], err[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
      if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) _exit(126);
      ::setenv("MIROVANE_MACHINE", machineRoot.c_str(), 1);
      std::vector<char*> argv = {const_cast<char*>(MIROVANE_TOOL_PATH)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(MIROVANE_TOOL_PATH, argv.data());
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }

  ~ToolProcess() {
    CloseInput();
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  pid_t pid() const { return pid_; }

  void Write(const std::string& bytes) {
    ASSERT_EQ(::write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // Up to n bytes of standard output, fewer when it ends or the time is up.
  std::string ReadOutput(size_t n) { return ReadFrom(out_, n); }
  std::string ReadAllOutput() { return ReadFrom(out_, SIZE_MAX); }
  std::string ReadAllError() { return ReadFrom(err_, SIZE_MAX); }

  // The exit status, or -1 when the child did not exit normally within the time.
  int Wait() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t got = ::waitpid(pid_, &status, WNOHANG);
      if (got == pid_) {
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

 private:
  static std::string ReadFrom(int fd, size_t n) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (got.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p = {fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[4096];
      size_t want = std::min(sizeof buf, n - got.size());
      ssize_t r = ::read(fd, buf, want);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  bool waited_ = false;
};

std::string Header(uint32_t command, uint32_t payloadSize, uint32_t replyCapacity) {
  uint32_t words[3] = {command, payloadSize, replyCapacity};
  return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

std::string Word(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

class MirovaneToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"/tmp", "/var", "/var/log"}) ::mkdir(root_.Sub(dir + 1).c_str(), 0755);
  }
  TempDir root_;
};

TEST_F(MirovaneToolTest, ConsoleByDefaultEchoesAndQuitsWithMenu) {
  ToolProcess tool({}, root_.path());
  tool.Write("t Hello\nq\n");
  EXPECT_EQ(tool.ReadAllOutput(), "Hello\nMenu of commands:\nQuit\n");
  EXPECT_EQ(tool.Wait(), 0);
}

TEST_F(MirovaneToolTest, NoMenuFlagAndEndOfInput) {
  ToolProcess tool({"-NM"}, root_.path());
  tool.Write("test one\nbogus\n");
  tool.CloseInput();
  EXPECT_EQ(tool.ReadAllOutput(), "one\nunrecognized command\n");
  EXPECT_EQ(tool.Wait(), 0);
}

TEST_F(MirovaneToolTest, BinaryLoopAnswersTestRestartProcessIDAndQuit) {
  ToolProcess tool({"-b"}, root_.path());
  tool.Write(Header(1, 10, 10) + "0123456789");
  EXPECT_EQ(tool.ReadOutput(14), Word(10) + "0123456789");
  tool.Write(Header(2, 0, 1));
  EXPECT_EQ(tool.ReadOutput(5), Word(1) + std::string(1, '\0'));
  tool.Write(Header(6, 0, 4));
  EXPECT_EQ(tool.ReadOutput(8), Word(4) + Word(static_cast<uint32_t>(tool.pid())));
  tool.Write(Header(9, 0, 0));
  EXPECT_EQ(tool.ReadAllOutput(), "");
  EXPECT_EQ(tool.ReadAllError(), "");
  EXPECT_EQ(tool.Wait(), 0);
}

TEST_F(MirovaneToolTest, UnassignedCommandEndsWithTheLogLineAndStatusOne) {
  ToolProcess tool({"-b"}, root_.path());
  tool.Write(Header(45, 0, 0) + Header(6, 0, 4));
  EXPECT_EQ(tool.ReadAllOutput(), "");
  std::string error = tool.ReadAllError();
  EXPECT_NE(error.find(" Mirovane tool log: The command 45 encountered the error -50.\n"),
            std::string::npos)
      << error;
  EXPECT_EQ(tool.Wait(), 1);
}

TEST_F(MirovaneToolTest, HostilePayloadSizeIsRefusedWithoutACrash) {
  for (uint32_t size : {0xFFFFFFF0u, 0x7FFFFFFFu}) {
    ToolProcess tool({"-b"}, root_.path());
    tool.Write(Header(1, size, 0) + "some bytes");
    EXPECT_EQ(tool.ReadAllOutput(), "");
    EXPECT_NE(tool.ReadAllError().find("The command 1 encountered the error -50.\n"),
              std::string::npos);
    EXPECT_EQ(tool.Wait(), 1);  // a normal exit, not a signal
  }
}

TEST_F(MirovaneToolTest, EndOfInputEndsTheBinaryLoopCleanly) {
  ToolProcess tool({"-b"}, root_.path());
  tool.Write(Header(2, 0, 1));
  tool.CloseInput();
  EXPECT_EQ(tool.ReadAllOutput(), Word(1) + std::string(1, '\0'));
  EXPECT_EQ(tool.ReadAllError(), "");
  EXPECT_EQ(tool.Wait(), 0);
}

TEST_F(MirovaneToolTest, DriverInstallWithoutSecondWordExitsAtOnce) {
  ToolProcess tool({"driverinstall"}, root_.path());  // the input stays open and unread
  EXPECT_EQ(tool.Wait(), 0);
  EXPECT_EQ(tool.ReadAllOutput(), "");
}

TEST_F(MirovaneToolTest, UnrecognisedArgumentExitsOneWithTheFrameworkMessage) {
  ToolProcess tool({"first", "second", "Third"}, root_.path());
  EXPECT_EQ(tool.ReadAllOutput(), "### Unrecognized argument: Third.\n");
  EXPECT_EQ(tool.Wait(), 1);
}

TEST_F(MirovaneToolTest, TerminationSignalEndsTheToolWithStatusZero) {
  for (int signal : {SIGTERM, SIGINT}) {
    ToolProcess tool({"-nm"}, root_.path());
    tool.Write("t ready\n");
    ASSERT_EQ(tool.ReadOutput(6), "ready\n");  // the tool is in its loop
    ASSERT_EQ(::kill(tool.pid(), signal), 0);
    EXPECT_EQ(tool.Wait(), 0) << signal;
  }
}

TEST_F(MirovaneToolTest, KextsScratchFolderIsRemovedAtStartWithoutFollowingLinks) {
  std::string kexts = root_.Sub("tmp/Mirovane_Kexts");
  ASSERT_TRUE(WriteFile(kexts + "/Mirovane.kext/Contents/MacOS/Mirovane", "driver"));
  ASSERT_TRUE(WriteFile(root_.Sub("keep/file"), "kept"));
  ASSERT_EQ(::symlink(root_.Sub("keep").c_str(), (kexts + "/link").c_str()), 0);
  ToolProcess tool({"-nm"}, root_.path());
  tool.Write("q\n");
  EXPECT_EQ(tool.ReadAllOutput(), "Quit\n");
  EXPECT_EQ(tool.Wait(), 0);
  EXPECT_FALSE(Exists(kexts));
  EXPECT_EQ(ReadFile(root_.Sub("keep/file")), "kept");
}

TEST_F(MirovaneToolTest, SelfRepairWithBinaryFlagNeverEntersTheLoop) {
  // The privileged copy takes its parent's authorisation (32 bytes) from its input.
  // Without a running machine no authority knows that form, so the repair fails:
  // status 2, the file untouched, and the request after the form gets no reply.
  std::string copy = root_.Sub("Applications/MirovaneTool");
  ASSERT_TRUE(WriteFile(copy, ReadFile(MIROVANE_TOOL_PATH)));
  ASSERT_EQ(::chmod(copy.c_str(), 0775), 0);
  ToolProcess tool({"-s", "-b", "-p", copy}, root_.path());
  tool.Write(std::string(32, '\x42') + Header(6, 0, 4));
  tool.CloseInput();
  EXPECT_EQ(tool.Wait(), 2);
  EXPECT_EQ(tool.ReadAllOutput(), "");
  struct stat st{};
  ASSERT_EQ(::stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0775u);
}

}  // namespace
