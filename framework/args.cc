#include "framework/args.h"

#include <new>
#include <string>

#include "framework/mac_roman.h"
#include "framework/tool_output.h"

// Constant-initialised, so it exists before any constructor of a static object runs.
constinit TArgList TArg::gArgList;
bool TArg::sWordRefused = false;

TArg::TArg(unsigned char isRequired) : required(isRequired) { gArgList.Append(this); }

// Not leaving a dangling pointer behind keeps a later tool object (tests, or a
// program that makes a second one) from parsing into freed memory.
TArg::~TArg() { gArgList.Remove(this); }

Boolean TArg::ProcessArg(short& remaining, short& index, char** /*argv*/, char** lowered) {
  if (found) return false;
  if (!IsItMe(lowered[index])) return false;
  found = true;
  ++index;
  --remaining;
  return true;
}

Boolean TArg::ParseArgs(short& remaining, char** argv, char** lowered) {
  short index = 1;
  if (gArgList.Count() == 0) return remaining == 0;
  while (remaining > 0) {
    sWordRefused = false;
    bool taken = false;
    TArgIterator it(&gArgList);
    for (TArg* arg = it.ReturnArg(); arg != nullptr && !sWordRefused;
         arg = static_cast<TArg*>(it.ReturnNextNodeData())) {
      if (arg->ProcessArg(remaining, index, argv, lowered)) {
        taken = true;
        break;
      }
    }
    if (!taken) {
      WriteToolOutput("### Unrecognized argument: ");
      WriteToolOutput(argv[index]);
      WriteToolOutput(".\n");
      return false;
    }
  }
  return RequiredArgs();
}

Boolean TArg::RequiredArgs() {
  bool allFound = true;
  TArgIterator it(&gArgList);
  for (TArg* arg = it.ReturnArg(); arg != nullptr; arg = static_cast<TArg*>(it.ReturnNextNodeData())) {
    if (arg->required && !arg->found) {
      arg->MissingArg();
      allFound = false;
    }
  }
  return allFound;
}

void TArg::ListArgDescriptions() {
  TArgIterator it(&gArgList);
  for (TArg* arg = it.ReturnArg(); arg != nullptr; arg = static_cast<TArg*>(it.ReturnNextNodeData())) {
    arg->ArgDescription();
  }
}

TFlag::TFlag(const char* name, unsigned char isRequired)
    : TArg(isRequired), name_(name != nullptr ? name : "") {
  ToLowerCStr(name_.data());
}

Boolean TFlag::IsItMe(char* word) { return word != nullptr && name_ == word; }

void TFlag::DumpFlag() {
  WriteToolOutput(name_);
  WriteToolOutput(" ");
}

void TFlag::ArgDescription() {
  DumpFlag();
  WriteToolOutput("[BOOLEAN] ");
}

TStrParam::TStrParam(unsigned char isRequired) : TArg(isRequired) {}

TStrParam::TStrParam(const char* defaultText, unsigned char isRequired)
    : TArg(isRequired),
      value_(defaultText != nullptr ? defaultText : ""),
      default_(defaultText != nullptr ? defaultText : "") {}

Boolean TStrParam::IsItMe(char* word) {
  value_ = word != nullptr ? word : "";
  return true;
}

void TStrParam::MissingArg() { WriteToolOutput("### Required string parameter missing.\n"); }

Boolean TStrParam::ProcessArg(short& remaining, short& index, char** argv, char** /*lowered*/) {
  if (found) return false;
  if (!IsItMe(argv[index])) return false;
  found = true;
  ++index;
  --remaining;
  return true;
}

void TStrParam::ArgDescription() {
  WriteToolOutput("[STRING");
  if (required) WriteToolOutput(", REQUIRED");
  WriteToolOutput(", DEFAULT=\"");
  WriteToolOutput(default_);
  WriteToolOutput("\"] ");
}

TStrOption::TStrOption(const char* name, const char* defaultText, unsigned char isRequired)
    : TFlag(name, isRequired), param_(defaultText, isRequired) {
  // Only the option itself takes part in parsing; its value is taken by ProcessArg.
  gArgList.Remove(&param_);
}

Boolean TStrOption::ProcessArg(short& remaining, short& index, char** argv, char** lowered) {
  if (found || !IsItMe(lowered[index])) return false;
  if (remaining > 1) {
    (void)param_.IsItMe(argv[index + 1]);  // a string parameter takes any word
    found = true;
    index = static_cast<short>(index + 2);
    remaining = static_cast<short>(remaining - 2);
    return true;
  }
  WriteToolOutput("### Required argument for option \"");
  WriteToolOutput(argv[index]);
  WriteToolOutput("\" not found.\n");
  // The option's name with nothing after it is a broken command line; a positional
  // string must not take the name as its value.
  RefuseWord();
  return false;
}

void TStrOption::ArgDescription() {
  DumpFlag();
  param_.ArgDescription();
}

void TArgList::Append(TArg* arg) {
  if (arg == nullptr) return;
  list.Append(new (std::nothrow) TArgNode(arg));
}

void TArgList::Prepend(TArg* arg) {
  if (arg == nullptr) return;
  list.Prepend(new (std::nothrow) TArgNode(arg));
}
