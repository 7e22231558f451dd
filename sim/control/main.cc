// mirovane-machine: create, start, stop and control a simulated machine.
#include <unistd.h>

#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "sim/control/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  char self[PATH_MAX] = {};
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string self_path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
  return sim::RunCommand(args, self_path, std::cout, std::cerr);
}
