// Runs the commands of one invocation against one extension object and
// prints each result as it comes: one after another in input order, or, for
// a parallel batch, all submitted at once and printed as they finish.
#pragma once

#include <vector>

#include "arguments.h"
#include "batch.h"

namespace corvane::fpctl {

// Returns the exit status: 0 when every result is a success, 3 otherwise.
int runCommands(const Invocation& invocation, const std::vector<NumberedCommand>& commands);

}  // namespace corvane::fpctl
