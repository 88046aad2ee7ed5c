#include "cli/command_line.h"

#include <algorithm>
#include <iostream>

#include "cli/config_file.h"
#include "cli/version.h"

namespace corvane::cli {
namespace {

std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string toolOf(const CLI::App& app) {
  const CLI::App* root = &app;
  while (root->get_parent() != nullptr) root = root->get_parent();
  return root->get_name();
}

// The command the parse got into: a subcommand's own help and options are
// the ones that apply.
const CLI::App& deepestParsed(const CLI::App& app) {
  const CLI::App* at = &app;
  while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
  return *at;
}

// " (see TOOL [COMMAND] --help)" for the command the parse got into.
std::string helpPointer(const CLI::App& app) {
  std::string words;
  for (const CLI::App* at = &deepestParsed(app); at != nullptr; at = at->get_parent()) {
    words = at->get_name() + " " + words;
  }
  return " (see " + words + "--help)";
}

// CLI11 starts some messages with a capital ("The following ..."); ours
// continue a line that already began with the tool's name.
std::string lowerFirst(std::string text) {
  if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

// The config file the parse read or tried to read.
std::string configInUse(const CLI::App& app) {
  const CLI::Option* config = app.get_config_ptr();
  if (config == nullptr) return "the config file";
  if (config->count() > 0 && !config->results().empty()) return config->results().back();
  return config->get_default_str();
}

// Edits between `a` and `b`: letters inserted, removed, replaced, or two
// neighbours swapped ("lsit" is one edit from "list").
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::string unexpectedText(const CLI::App& app) {
  const auto left = app.remaining(true);
  if (left.empty()) return "an unexpected argument" + helpPointer(app);
  const std::string& word = left.front();
  if (word.size() > 1 && word[0] == '-') {
    const std::string option = word.substr(0, word.find('='));
    const std::string guess = closestOption(deepestParsed(app), option);
    if (!guess.empty()) return "unknown option " + option + "; did you mean " + guess + "?";
    return "unknown option " + option + helpPointer(app);
  }
  return "unexpected argument '" + word + "'" + helpPointer(app);
}

// "--poll: 1 required SECONDS missing" -> "--poll needs a value: write --poll SECONDS".
std::string missingValueText(const CLI::App& app, const std::string& message) {
  const std::size_t colon = message.find(": ");
  const std::size_t required = message.find(" required ");
  if (colon == std::string::npos || required == std::string::npos ||
      !message.ends_with(" missing")) {
    return lowerFirst(message) + helpPointer(app);
  }
  const std::string name = message.substr(0, colon);
  const std::size_t typeStart = required + std::string_view(" required ").size();
  std::string type = message.substr(typeStart, message.size() - typeStart - 8);
  type = type.substr(0, type.find(':'));  // without the check's description
  return name + " needs a value; write " + name + " " + (type.empty() ? "VALUE" : type);
}

std::string configErrorText(const CLI::App& app, const std::string& message) {
  const std::string file = configInUse(app);
  constexpr std::string_view kUnknown = "INI was not able to parse ";
  constexpr std::string_view kNotAllowed = ": This option is not allowed in a configuration file";
  if (message.starts_with(kUnknown)) {
    const std::string key = message.substr(kUnknown.size());
    if (key.ends_with(".++")) {
      return file + ": unknown section [" + key.substr(0, key.size() - 3) +
             "]; write the options at the top, outside any section";
    }
    std::string text = file + ": unknown option '" + key + "'";
    const std::string guess = closestOption(app, "--" + key.substr(key.rfind('.') + 1));
    if (!guess.empty()) return text + "; did you mean '" + guess.substr(2) + "'?";
    return text + "; write a long option without its dashes" + helpPointer(app);
  }
  if (message.ends_with(kNotAllowed)) {
    return file + ": '" + message.substr(0, message.size() - kNotAllowed.size()) +
           "' cannot be set in a config file; give it on the command line";
  }
  return file + ": " + lowerFirst(message);
}

}  // namespace

void setUpTool(CLI::App& app, std::string_view tool, std::string_view configName) {
  app.name(std::string(tool));
  app.set_version_flag("--version", versionText(tool), "Print the version and exit");
  if (configName.empty()) return;
  // A misspelt key must not be dropped in silence: the user would believe
  // the option set.
  app.allow_config_extras(CLI::config_extras_mode::error);
  const auto file = configFile(configName);
  app.set_config("--config", file ? file->string() : std::string(),
                 "Read options from FILE, written as 'option = value' lines (default: " +
                     configFileShown(configName) + ", else ~/.config/CorvaneSync/" +
                     std::string(configName) + "); options on the command line win")
      ->type_name("FILE");
}

std::optional<int> parse(CLI::App& app, int argc, const char* const* argv) {
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::Success& e) {
    // The help names the config file by its variables, the same for every
    // user, not as this user's path.
    if (CLI::Option* config = app.get_config_ptr()) config->default_str("");
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    printUsageError(toolOf(app), usageText(app, e));
    return kUsage;
  }
}

std::string usageText(const CLI::App& app, const CLI::ParseError& error) {
  // By type: CLI11 names some errors after the application, not their kind.
  const std::string message = oneLine(error.what());
  if (dynamic_cast<const CLI::ExtrasError*>(&error)) return unexpectedText(app);
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) return missingValueText(app, message);
  if (dynamic_cast<const CLI::ConfigError*>(&error)) return configErrorText(app, message);
  if (dynamic_cast<const CLI::FileError*>(&error)) {
    return "cannot read the config file " + configInUse(app) +
           "; name a readable file after --config";
  }
  if (dynamic_cast<const CLI::ExcludesError*>(&error)) {
    const std::size_t at = message.find(" excludes ");
    if (at != std::string::npos) {
      return "give " + message.substr(0, at) + " or " + message.substr(at + 10) + ", not both";
    }
  }
  // Our own checks already say what to write; CLI11's other messages get a
  // pointer to the help.
  if (dynamic_cast<const CLI::ValidationError*>(&error) &&
      message.find("; write ") != std::string::npos) {
    return message;
  }
  return lowerFirst(message) + helpPointer(app);
}

void printUsageError(std::string_view tool, const std::string& text) {
  std::cout.flush();
  std::cerr << tool << ": " << oneLine(text) << std::endl;
}

std::string closestWord(std::string_view word, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t bestDistance = 0;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = editDistance(word, candidate);
    if (best.empty() || distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  // A slip is a letter or two; anything further is another word.
  const std::size_t allowed = word.size() <= 5 ? 1 : 2;
  return !best.empty() && bestDistance <= allowed ? best : std::string();
}

std::string closestOption(const CLI::App& app, std::string_view word) {
  if (!word.starts_with("--") || word.size() < 4) return {};
  // A command's parents' options may be given after it as well.
  std::vector<std::string> names;
  for (const CLI::App* at = &app; at != nullptr; at = at->get_parent()) {
    for (const CLI::Option* option : at->get_options()) {
      for (const std::string& name : option->get_lnames()) names.push_back(name);
    }
  }
  const std::string best = closestWord(word.substr(2), names);
  return best.empty() ? best : "--" + best;
}

}  // namespace corvane::cli
