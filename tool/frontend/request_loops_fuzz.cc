// Feeds arbitrary bytes to the application protocol loop or to the console (chosen
// by the first byte) on a tool with a fake host.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "framework/testing_argv.h"
#include "platform/testing/fake_host.h"
#include "tool/frontend/mv_tool_tool.h"

namespace {

int MemoryFile(const uint8_t* data, size_t size) {
  int fd = ::memfd_create("fuzz", 0);
  if (fd < 0) return -1;
  if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return -1;
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One machine root for the whole run (making one takes milliseconds); removed when
  // the fuzzer exits.
  static platform::testing::FakeHost host;
  if (size == 0) return 0;
  bool binary = (data[0] & 1) != 0;
  int in = MemoryFile(data + 1, size - 1);
  int out = ::memfd_create("out", 0);
  int err = ::memfd_create("err", 0);
  if (in >= 0 && out >= 0 && err >= 0) {
    TMVToolTool tool;
    framework_testing::Argv args({"MirovaneTool", binary ? "-b" : "-nm"});
    if (tool.HandleArgs(args.argc(), args.argv()) && tool.InitTool() == noErr) {
      tool.SetStreams(in, out, err);
      (void)(binary ? tool.RunBinaryWorkLoop() : tool.RunAsciiWorkLoop());
    }
  }
  for (int fd : {in, out, err}) {
    if (fd >= 0) ::close(fd);
  }
  return 0;
}
