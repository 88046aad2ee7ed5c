// The command line of corvane-fpctl:
//
//   corvane-fpctl [--domain ID] [--json] COMMAND [ARGS...]
//   corvane-fpctl [--domain ID] [--json] [--parallel] batch < commands
//
// and the same command syntax for the lines of a batch (without the global
// options). Parsing only: nothing is contacted. Every usage problem is thrown
// as a UsageError whose text is one line.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "command.h"
#include "host_log.h"

namespace corvane::fpctl {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Invocation {
  std::optional<std::string> domain;
  bool json = false;
  bool parallel = false;
  bool batch = false;  // when false, `command` is the one command to run
  // --log-level: given, the log is shown on standard error too.
  std::optional<hostlog::Level> logLevel;
  Command command;
};

// Parses the process's arguments. Prints the help on standard output and
// returns nothing when help was asked for.
std::optional<Invocation> parseInvocation(int argc, const char* const* argv);

// Parses the words of one batch line.
Command parseCommandWords(std::vector<std::string> words);

}  // namespace corvane::fpctl
