// The hosts' and the engine's own log: what corvane-engine, corvane-mount and
// corvane-fpctl say about their work, beside the extension's file log (which
// keeps its own place and line format). Every line carries the time (UTC,
// milliseconds), the tool, its process id and a level:
//
//   2026-12-11T00:46:41.123Z corvane-engine[4242] info: serving 1 scope on ...
//
// Lines go to standard error and, once start() has found the folder, to
// $XDG_STATE_HOME/CorvaneSync/<tool>.log (else ~/.local/state/CorvaneSync),
// which is rotated by size: <tool>.1.log is the previous file, and so on.
// Several processes of one tool may share the file: each line is one append.
//
// One logger per process (the only global of this part), usable before
// start(): until then lines go to standard error only, at level info.
// Thread-safe.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::hostlog {

enum class Level { error, warning, info, debug };

// "error", "warning", "info", "debug"; nothing for another word.
std::optional<Level> parseLevel(std::string_view name);
std::string_view levelName(Level level);
// The names above, most severe first, for a command line's choices.
std::vector<std::string> levelNames();

struct Settings {
  std::string tool;  // "corvane-engine"; names the lines and the file
  Level level = Level::info;
  bool toStandardError = true;
  // The log file; empty: defaultFile(tool), or no file when there is no
  // state folder.
  std::filesystem::path file;
  std::size_t maxFileBytes = 8u << 20;
  std::size_t keptFiles = 3;  // rotated files besides the current one
};

// $XDG_STATE_HOME/CorvaneSync when that variable is an absolute path, else
// $HOME/.local/state/CorvaneSync; nothing when neither can be had.
std::optional<std::filesystem::path> stateFolder();
std::filesystem::path defaultFile(const std::string& tool);

// (Re)starts the process's log. A file that cannot be opened is said once on
// standard error; the log then goes on without it. Returns the file in use
// (empty when none).
std::filesystem::path start(const Settings& settings);
// The same with the default file and its limits.
std::filesystem::path start(std::string tool, Level level, bool toStandardError = true);

// Where a line goes: everywhere, or only into the file, for a message the
// tool prints in its own words as its last (a failure that ends it).
enum class Reach { everywhere, fileOnly };

void write(Level level, std::string_view message, Reach reach = Reach::everywhere);
inline void error(std::string_view m, Reach r = Reach::everywhere) { write(Level::error, m, r); }
inline void warning(std::string_view m) { write(Level::warning, m); }
inline void info(std::string_view m) { write(Level::info, m); }
inline void debug(std::string_view m) { write(Level::debug, m); }

// True when lines of `level` are written: spares building a costly message.
bool enabled(Level level);

// Writes out what is buffered.
void flush();

}  // namespace corvane::hostlog
