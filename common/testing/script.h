#pragma once
// Small shell scripts standing in for system tools in unit tests.

#include <string>

namespace common_testing {

// Writes an executable "#!/bin/sh" script with `body` to `path` (parents are made).
// False when it cannot be written.
bool WriteShellScript(const std::string& path, const std::string& body);

// Quotes `text` for a shell command line.
std::string ShellQuote(const std::string& text);

}  // namespace common_testing
