#pragma once
// Where the framework's messages go: standard output, flushed at once so that they
// keep their place among output written straight to the descriptor.

#include <string_view>

void WriteToolOutput(std::string_view text);
