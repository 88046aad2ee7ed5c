// Printer: writes results in the chosen form, JSON objects or readable text,
// each result whole and flushed at once so that results of a parallel batch
// never mix. Readable results of a batch get their line number in front of
// every printed line. Owned by main and used from its thread.
#pragma once

#include "host/error.h"
#include "result.h"

namespace corvane::fpctl {

class Printer {
 public:
  Printer(bool json, bool batch) : json_(json), batch_(batch) {}

  void print(const Outcome& outcome);
  // A failure that happened before a command could start: the default
  // domain's resolution. In a batch it is printed for each line it stops,
  // with that line's number.
  void printFailure(const host::Error& error, int line = 0);

 private:
  const bool json_;
  const bool batch_;
};

}  // namespace corvane::fpctl
