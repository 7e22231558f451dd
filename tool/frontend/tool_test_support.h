#pragma once
// For in-process tests of the tool object: a faked authority, streams backed by
// temporary files, and a tool made from a command line.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/testing_argv.h"
#include "platform/authority.h"
#include "tool/frontend/mv_tool_tool.h"

namespace frontend_testing {

// An authority whose answers the test sets. ExecuteWithPrivileges really starts
// /bin/sh -c `script` with the given arguments after it, its standard input on a
// pipe, so the caller's writing and waiting are real.
class FakeAuthority : public platform::Authority {
 public:
  bool HoldsRight(const platform::AuthorizationExternalForm& form, std::string_view right,
                  std::string_view value) override;
  int ExecuteWithPrivileges(const platform::AuthorizationExternalForm& form,
                            const std::string& path, const std::vector<std::string>& args,
                            pid_t* pid, int* stdin_fd) override;
  int CopyPrivilegedReference(platform::AuthorizationExternalForm* form) override;

  // What the next calls answer.
  bool grant = false;
  std::string script = "exit 0";
  // Fault switches: the call fails with `code`; counters say how often they fired.
  void FailExecuteWith(int code) { execute_failure_ = code; }
  void FailCopyReferenceWith(int code) { copy_failure_ = code; }
  int execute_failures_fired = 0;
  int copy_failures_fired = 0;

  // What was asked.
  std::vector<std::string> rights_asked;
  std::vector<std::string> values_asked;
  std::string executed_path;
  std::vector<std::string> executed_args;
  int copy_calls = 0;

 private:
  int execute_failure_ = 0;
  int copy_failure_ = 0;
};

// Input, output and error of a loop, as temporary files.
class Streams {
 public:
  explicit Streams(const std::string& input);
  ~Streams();
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;

  void AttachTo(TMVToolTool& tool) const { tool.SetStreams(in_, out_, err_); }
  std::string Output() const { return ReadAll(out_); }
  std::string Error() const { return ReadAll(err_); }
  // Bytes of the input not read yet.
  std::string UnreadInput() const;

 private:
  static std::string ReadAll(int fd);
  int in_, out_, err_;
};

// A tool whose command line has been parsed (asserting it was accepted).
std::unique_ptr<TMVToolTool> MakeTool(const std::vector<const char*>& words);

// The request header of the application protocol, in host byte order.
std::string Header(uint32_t command, uint32_t payloadSize, uint32_t replyCapacity);

}  // namespace frontend_testing
