#include "common/testing/script.h"

#include <sys/stat.h>

#include "platform/testing/temp_dir.h"

namespace common_testing {

bool WriteShellScript(const std::string& path, const std::string& body) {
  if (!platform::testing::WriteFile(path, "#!/bin/sh\n" + body + "\n")) return false;
  return ::chmod(path.c_str(), 0755) == 0;
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace common_testing
