#pragma once
// Command-line argument objects. A program declares its arguments as data members of
// its TTool subclass; each one enters itself into TArg::gArgList when constructed, so
// the list's order is the declaration order, and the framework matches the command
// line against that list (flags and options first, positional strings last).
//
// Ownership: the arguments belong to the tool object; the list holds plain pointers
// and an argument takes itself out of the list when it is destroyed. Parsing runs on
// the main thread before any other thread exists.

#include <string>

#include "framework/link_list.h"
#include "framework/mac_types.h"

class TArgList;

class TArg {
 public:
  explicit TArg(unsigned char required);
  virtual ~TArg();
  TArg(const TArg&) = delete;
  TArg& operator=(const TArg&) = delete;

  // Does this word select the argument.
  virtual Boolean IsItMe(char* word) = 0;
  // Reports a required argument that was never found.
  virtual void MissingArg() = 0;
  // Tries to consume the word at `index`; on success advances index and lowers
  // remaining. `lowered` holds the words lower-cased, argv as typed.
  virtual Boolean ProcessArg(short& remaining, short& index, char** argv, char** lowered);
  // Writes the argument's entry of the help text.
  virtual void ArgDescription() = 0;

  Boolean WasFound() const { return found; }

  static TArgList gArgList;
  // Matches argv[1..] against gArgList; true when every word was taken and every
  // required argument found.
  static Boolean ParseArgs(short& remaining, char** argv, char** lowered);
  static Boolean RequiredArgs();
  static void ListArgDescriptions();

 protected:
  // Set by an argument that recognised the word as its own but cannot take it; the
  // word is then offered to nobody else.
  static void RefuseWord() { sWordRefused = true; }

  unsigned char found = false;
  unsigned char required = false;

 private:
  static bool sWordRefused;
};

// A word that is present or not, matched case-insensitively.
class TFlag : public TArg {
 public:
  TFlag(const char* name, unsigned char required);

  Boolean IsItMe(char* word) override;
  void MissingArg() override {}  // a missing required flag fails parsing silently
  void ArgDescription() override;
  void DumpFlag();

  Boolean ReturnFlag() const { return found; }

 private:
  std::string name_;  // lower-cased
};

// A positional string; takes the first word offered to it, as typed.
class TStrParam : public TArg {
 public:
  explicit TStrParam(unsigned char required);
  TStrParam(const char* defaultText, unsigned char required);

  Boolean IsItMe(char* word) override;
  void MissingArg() override;
  Boolean ProcessArg(short& remaining, short& index, char** argv, char** lowered) override;
  void ArgDescription() override;

  // The current value: the word given, or the default text (never null).
  const char* ReturnValue() const { return value_.c_str(); }

 private:
  std::string value_;
  std::string default_;
};

// A named option followed by one string value ("-p path"). The value is taken as
// typed, even when it begins with '-'.
class TStrOption : public TFlag {
 public:
  TStrOption(const char* name, const char* defaultText, unsigned char required);

  Boolean ProcessArg(short& remaining, short& index, char** argv, char** lowered) override;
  void ArgDescription() override;

  // The option's value, or its default when it was not given (never null).
  const char* ReturnString() const { return param_.ReturnValue(); }

 private:
  TStrParam param_;
};

class TArgNode : public TListNode {
 public:
  explicit TArgNode(TArg* arg) { data = arg; }
};

class TArgList {
 public:
  constexpr TArgList() = default;

  void Append(TArg* arg);
  void Prepend(TArg* arg);
  // Takes arg's node out of the list; nothing when it is not there.
  void Remove(TArg* arg) { list.Unlink(arg); }
  short Count() const { return list.Count(); }

  TLinkList list;
};

class TArgIterator : public TIterator {
 public:
  explicit TArgIterator(TArgList* args) : TIterator(&args->list) {}
  TArg* ReturnArg() const { return static_cast<TArg*>(ReturnNodeData()); }
};
