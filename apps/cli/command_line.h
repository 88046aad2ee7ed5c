// The command-line conventions of the three tools, on top of CLI11:
//
// - exit status 0 for success, 1 for a failure, 2 for a usage error;
// - a usage error is one line on standard error, "TOOL: what is wrong; what
//   to write instead", CLI11's own errors included;
// - --version prints "TOOL VERSION (git COMMIT)" and exits 0;
// - --config FILE reads options from FILE, by default the tool's file in
//   $XDG_CONFIG_HOME/CorvaneSync (see config_file.h); the command line wins.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::cli {

inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;
inline constexpr int kUsage = 2;

// Names `app` after the tool (the usage line shows it, never argv[0]) and
// gives it --version and --config, whose default is config file `configName`
// ("engine.conf"); an empty `configName` gives no config file.
void setUpTool(CLI::App& app, std::string_view tool, std::string_view configName);

// Parses the command line and the config file into `app`. Returns nothing
// when the tool should go on; otherwise the exit status after the help or
// the version was printed on standard output (0) or a usage error on
// standard error (2).
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv);

// The text of a usage error for a failed parse of `app`, without the tool's
// name: one line saying what is wrong and what to write instead.
std::string usageText(const CLI::App& app, const CLI::ParseError& error);

// Prints "TOOL: text" as one line on standard error.
void printUsageError(std::string_view tool, const std::string& text);

// The candidate closest to `word` if it is close enough to be a likely slip
// (a letter or two), else empty.
std::string closestWord(std::string_view word, const std::vector<std::string>& candidates);

// The long option of `app` closest to `word` ("--domian" -> "--domain"), if
// one is close enough to be a likely slip; empty otherwise.
std::string closestOption(const CLI::App& app, std::string_view word);

}  // namespace corvane::cli
