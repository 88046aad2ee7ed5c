// The input of `batch`: one command per line, split into words as a shell
// does (words.h) and parsed like the command line (arguments.h). Blank lines
// and comment lines are skipped but counted, so line numbers are those of the
// input. Pure parsing: nothing runs here.
#pragma once

#include <istream>
#include <vector>

#include "command.h"

namespace corvane::fpctl {

struct NumberedCommand {
  int line = 0;  // 1-based input line; 0 for the command line's one command
  Command command;
};

// Reads all of `in`. Throws UsageError "line N: ..." for the first line that
// is not a valid command.
std::vector<NumberedCommand> readBatch(std::istream& in);

}  // namespace corvane::fpctl
