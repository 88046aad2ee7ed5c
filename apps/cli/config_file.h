// Where a tool's config file lives: $XDG_CONFIG_HOME/CorvaneSync/<name>, else
// $HOME/.config/CorvaneSync/<name>. The file holds the tool's long options
// without their dashes, one per line ("poll = 5", "scope = [\"a=/x\", \"b=/y\"]"),
// in the INI or TOML form CLI11 reads; options on the command line win.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace corvane::cli {

// The path for config file `name`; none when neither variable is set (or
// XDG_CONFIG_HOME is not absolute and HOME is unset). Read anew on every call;
// the file need not exist.
std::optional<std::filesystem::path> configFile(std::string_view name);

// The same path as the help shows it, with the variable unexpanded, so that
// help text (and the man pages made from it) is the same for every user.
std::string configFileShown(std::string_view name);

}  // namespace corvane::cli
