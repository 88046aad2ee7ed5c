// The extension's file log: "corvane-sync.log" in the process's temporary
// folder, one line per call ("<UTC time> <message>\n"). write() only queues:
// a serial queue of the log's own appends the lines in call order, opening the
// file for appending (created when missing) for each line. Failures to write
// are dropped silently: the log never reports to its callers.
#pragma once

#include <filesystem>
#include <string>

namespace corvane::Log {

void write(std::string message);

// The log file of this process, fixed on first use.
std::filesystem::path file();

// Waits until every line queued before the call has been written. For tests
// and for hosts that are about to exit.
void flush();

}  // namespace corvane::Log
