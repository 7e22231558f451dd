#include "framework/tool_output.h"

#include <cstdio>

void WriteToolOutput(std::string_view text) {
  // A failed write of a message cannot be reported anywhere better.
  (void)std::fwrite(text.data(), 1, text.size(), stdout);
  (void)std::fflush(stdout);
}
