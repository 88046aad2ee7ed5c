// The version the tools report: the project's version, and the git commit
// they were built from when they were built from a checkout.
#pragma once

#include <string>
#include <string_view>

namespace corvane::cli {

// Set by the build (build_info.cpp.in): the project version, and the short
// commit id with "-dirty" for uncommitted changes, or "" outside a checkout.
extern const char* const kProjectVersion;
extern const char* const kGitCommit;

// "corvane-engine 0.1.0 (git 2b0e111dc3b6)", or without the parenthesis when
// the commit is unknown.
std::string versionText(std::string_view tool, std::string_view version = kProjectVersion,
                        std::string_view commit = kGitCommit);

}  // namespace corvane::cli
