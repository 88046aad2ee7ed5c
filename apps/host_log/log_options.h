// The command-line option every tool takes for its log: --log-level LEVEL.
#pragma once

#include <CLI/CLI.hpp>

#include "host_log.h"

namespace corvane::hostlog {

// Adds --log-level to `app` of `tool`; a valid word sets `level`, another is
// a usage error that lists the words.
CLI::Option* addLogLevelOption(CLI::App& app, Level& level, const std::string& tool);

}  // namespace corvane::hostlog
