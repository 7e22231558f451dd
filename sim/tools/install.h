#pragma once
// Puts the system tools a machine's programs run at the machine paths they use:
// the stand-ins built in `tools_dir` (symbolic links to the executables) and the
// Linux tools that behave as the Mac ones do for what the programs ask of them
// (ps, cp, mv, rm, chmod, chown, touch). Creates the folders that hold them.
//
// Links already there are replaced, so a machine can be pointed at a new build;
// anything else at one of the places is left alone and reported (EEXIST).

#include <string>

namespace sim {

// 0, or an errno value with *error (when given) saying what failed. ENOENT when a
// stand-in is missing from `tools_dir` or a Linux tool from the host.
int InstallStandInTools(const std::string& machine_root, const std::string& tools_dir,
                        std::string* error = nullptr);

// Only the Linux tools, for a machine without stand-ins.
int InstallLinuxTools(const std::string& machine_root, std::string* error = nullptr);

// Where each stand-in goes: its file name in the tools folder, its machine path.
struct StandInTool {
  const char* file;
  const char* machine_path;
};
extern const StandInTool kStandInTools[];
extern const size_t kStandInToolCount;

}  // namespace sim
