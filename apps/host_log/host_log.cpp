#include "host_log.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace corvane::hostlog {
namespace fs = std::filesystem;
namespace {

constexpr const char* kPattern = "%Y-%m-%dT%H:%M:%S.%eZ %n[%P] %l: %v";

spdlog::level::level_enum toSpdlog(Level level) {
  switch (level) {
    case Level::error:
      return spdlog::level::err;
    case Level::warning:
      return spdlog::level::warn;
    case Level::info:
      return spdlog::level::info;
    case Level::debug:
      return spdlog::level::debug;
  }
  return spdlog::level::info;
}

struct Loggers {
  std::shared_ptr<spdlog::logger> everywhere;
  std::shared_ptr<spdlog::logger> fileOnly;  // null without a file
};

std::shared_ptr<spdlog::logger> makeLogger(const std::string& tool,
                                           std::vector<spdlog::sink_ptr> sinks, Level level) {
  auto logger = std::make_shared<spdlog::logger>(tool, sinks.begin(), sinks.end());
  logger->set_formatter(
      std::make_unique<spdlog::pattern_formatter>(kPattern, spdlog::pattern_time_type::utc));
  logger->set_level(toSpdlog(level));
  // Every line is written out at once: a line must not wait in a buffer
  // when the process is killed, and two processes sharing the file must not
  // split each other's lines.
  logger->flush_on(spdlog::level::trace);
  return logger;
}

std::string programName() {
  const char* name = program_invocation_short_name;
  return name && *name ? name : "corvane";
}

std::mutex loggersMutex;

// Never destroyed: threads still logging at exit find it alive.
Loggers& loggers() {
  static Loggers* l = [] {
    auto* made = new Loggers;
    made->everywhere = makeLogger(
        programName(), {std::make_shared<spdlog::sinks::stderr_sink_mt>()}, Level::info);
    return made;
  }();
  return *l;
}

Loggers current() {
  std::lock_guard lock(loggersMutex);
  return loggers();
}

}  // namespace

std::optional<Level> parseLevel(std::string_view name) {
  for (Level level : {Level::error, Level::warning, Level::info, Level::debug}) {
    if (name == levelName(level)) return level;
  }
  return std::nullopt;
}

std::string_view levelName(Level level) {
  switch (level) {
    case Level::error:
      return "error";
    case Level::warning:
      return "warning";
    case Level::info:
      return "info";
    case Level::debug:
      return "debug";
  }
  return "info";
}

std::vector<std::string> levelNames() { return {"error", "warning", "info", "debug"}; }

std::optional<fs::path> stateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') return fs::path(state) / "CorvaneSync";
  const char* home = std::getenv("HOME");
  if (home && *home) return fs::path(home) / ".local" / "state" / "CorvaneSync";
  return std::nullopt;
}

fs::path defaultFile(const std::string& tool) {
  auto folder = stateFolder();
  return folder ? *folder / (tool + ".log") : fs::path();
}

fs::path start(const Settings& settings) {
  std::vector<spdlog::sink_ptr> sinks;
  if (settings.toStandardError) sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
  fs::path file = settings.file.empty() ? defaultFile(settings.tool) : settings.file;
  std::string problem;
  spdlog::sink_ptr fileSink;
  if (!file.empty()) {
    try {
      // The log may tell which files a user has: only the user reads it.
      std::error_code ec;
      if (fs::create_directories(file.parent_path(), ec)) {
        fs::permissions(file.parent_path(), fs::perms::owner_all, ec);
      }
      fileSink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
          file.string(), settings.maxFileBytes, settings.keptFiles);
      sinks.push_back(fileSink);
    } catch (const std::exception& e) {
      problem = "cannot write the log file " + file.string() + ": " + e.what();
      file.clear();
    }
  }
  Loggers made;
  made.everywhere = makeLogger(settings.tool, sinks, settings.level);
  if (fileSink) made.fileOnly = makeLogger(settings.tool, {fileSink}, settings.level);
  {
    std::lock_guard lock(loggersMutex);
    loggers() = std::move(made);
  }
  if (!problem.empty()) warning(problem);
  return file;
}

fs::path start(std::string tool, Level level, bool toStandardError) {
  Settings settings;
  settings.tool = std::move(tool);
  settings.level = level;
  settings.toStandardError = toStandardError;
  return start(settings);
}

void write(Level level, std::string_view message, Reach reach) {
  const Loggers l = current();
  const auto& logger = reach == Reach::fileOnly ? l.fileOnly : l.everywhere;
  if (!logger) return;
  try {
    logger->log(toSpdlog(level), spdlog::string_view_t(message.data(), message.size()));
  } catch (...) {
    // A log that cannot be written must not take its caller down.
  }
}

bool enabled(Level level) { return current().everywhere->should_log(toSpdlog(level)); }

void flush() {
  const Loggers l = current();
  l.everywhere->flush();
}

}  // namespace corvane::hostlog
