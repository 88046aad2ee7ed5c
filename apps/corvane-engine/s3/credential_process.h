// Credentials from a helper program, the "credential_process" of a profile:
// a command line run without a shell, whose standard output is a JSON
// document (Version 1 with AccessKeyId, SecretAccessKey, and for temporary
// credentials SessionToken and Expiration).
//
// Pure functions; any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "s3/credential_source.h"

namespace corvane::s3 {

// The words of a command line as a POSIX shell splits it: blanks separate
// words; 'single quotes' keep everything; "double quotes" keep everything
// but \" \\ \$ \` ; a backslash outside quotes keeps the next character.
// Nothing else of the shell (variables, globs, pipes) is done. Throws
// CredentialError for an unclosed quote or an empty command.
std::vector<std::string> splitCommandLine(std::string_view text);

// The credentials of the helper's JSON answer; `what` names the helper in
// the CredentialError for an answer that does not fit.
TimedCredentials readProcessCredentials(std::string_view json, const std::string& what);

// Runs the command (standard input empty, standard error kept for the
// message) and reads its answer. A helper that exits with another status
// than 0, or runs longer than `timeout` (then it is killed), is a
// CredentialError with the first line it wrote to standard error.
TimedCredentials runCredentialProcess(const std::string& commandLine, const std::string& what,
                                      std::chrono::milliseconds timeout = std::chrono::minutes(1));

}  // namespace corvane::s3
