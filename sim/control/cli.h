#pragma once
// The control command of the simulated machine, `mirovane-machine`: every command
// takes the machine root as its first argument. RunCommand() is the whole program
// except for process start-up, so that it can be tested.

#include <iosfwd>
#include <string>
#include <vector>

namespace sim {

// `args` excludes the program name. Returns the exit status: 0 success, 1 a usage
// error, 2 a failure reported by the machine or the system.
int RunCommand(const std::vector<std::string>& args, const std::string& self_path,
               std::ostream& out, std::ostream& err);

// "4096", "64k", "256M", "2G" -> bytes; -1 when it is not a size.
int64_t ParseSize(const std::string& text);

}  // namespace sim
