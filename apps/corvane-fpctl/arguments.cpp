#include "arguments.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>

#include "log_options.h"
#include "cli/command_line.h"
#include "text.h"

namespace corvane::fpctl {
namespace {

constexpr const char* kToolName = "corvane-fpctl";

constexpr const char* kFooter =
    R"(Identifiers (IDENT, PARENT) are used unchanged, except :root, :working-set and
:trash, which stand for the host's root, working-set and trash containers.

Output: a readable form by default; with --json one JSON object per result on
standard output. Exit status: 0 when every result is a success, 3 when the
host received an error, 2 for a usage error, 1 for any other failure.

--domain takes a scope's id or its name, both as 'domains' shows them.
The config file holds the global options, such as: domain = docs

An identifier that begins with "-" goes after "--": corvane-fpctl item -- -x.txt

Run 'corvane-fpctl COMMAND --help' for the arguments of a command.)";

constexpr const char* kBatchFooter =
    R"(Reads one command per line from standard input, in the syntax of the other
commands without the global options, and runs them with one extension object.
Words are split as a shell does: blanks separate them, '...' and "..." quote,
a backslash escapes the next character. Blank lines are skipped, and so is
everything from an unquoted # at the start of a word to the end of the line.
Line numbers count every input line, skipped ones included.

The lines are checked first: a usage error in any line (reported with its
line number) runs nothing. Without --parallel the commands run one after
another in input order; with --parallel they are all submitted at once and
each result is printed as it completes. Every result carries its "line" in
JSON; the readable form prefixes each printed line with the line number.)";

const std::map<std::string, host::ItemFields>& fieldNames() {
  static const std::map<std::string, host::ItemFields> names = {
      {"contents", host::fields::kContents},
      {"filename", host::fields::kFilename},
      {"parentItemIdentifier", host::fields::kParentItemIdentifier},
      {"contentModificationDate", host::fields::kContentModificationDate},
      {"tagData", host::fields::kTagData},
      {"lastUsedDate", host::fields::kLastUsedDate},
      {"favoriteRank", host::fields::kFavoriteRank},
      {"extendedAttributes", host::fields::kExtendedAttributes},
      {"fileSystemFlags", host::fields::kFileSystemFlags},
      {"typeAndCreator", host::fields::kTypeAndCreator},
      {"creationDate", host::fields::kCreationDate},
  };
  return names;
}

host::ItemFields parseFieldList(const std::string& list) {
  host::ItemFields fields = 0;
  std::stringstream in(list);
  std::string name;
  while (std::getline(in, name, ',')) {
    if (name.empty()) continue;
    auto it = fieldNames().find(name);
    if (it == fieldNames().end()) {
      std::string known;
      for (const auto& [field, bit] : fieldNames()) known += (known.empty() ? "" : ", ") + field;
      throw UsageError("modify: unknown field '" + name + "' in --fields; write a comma list of " +
                       known);
    }
    fields |= it->second;
  }
  return fields;
}

std::string decodeHex(const std::string& text, const char* option) {
  auto bytes = fromHex(text);
  if (!bytes) throw UsageError(std::string(option) + " wants an even number of hex digits");
  return *bytes;
}

// A whole number of bytes: decimal digits only, at most the largest offset.
std::optional<std::int64_t> byteCount(std::string_view text) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// OFFSET:LENGTH, or OFFSET: for everything from OFFSET on.
host::ByteRange parseByteRange(const std::string& text) {
  const std::size_t colon = text.find(':');
  const std::string_view all(text);
  const auto offset = byteCount(all.substr(0, colon));
  const std::string_view lengthText =
      colon == std::string::npos ? std::string_view() : all.substr(colon + 1);
  const auto length = lengthText.empty()
                          ? std::optional<std::int64_t>(std::numeric_limits<std::int64_t>::max())
                          : byteCount(lengthText);
  if (colon == std::string::npos || !offset || !length) {
    throw UsageError("fetch: --range wants OFFSET:LENGTH in bytes, such as 0:4096, got '" + text +
                     "'");
  }
  return host::ByteRange{*offset, *length};
}

std::filesystem::path absolutePath(const std::string& text) {
  if (text.empty()) throw UsageError("an empty file name");
  return std::filesystem::absolute(std::filesystem::path(text));
}

// The nine commands on one CLI11 application, with the values they parse into.
// Only one command is parsed per application, so the commands share one set
// of raw values; each command's builder turns them into a Command.
class CommandSet {
 public:
  explicit CommandSet(CLI::App& app) {
    addDomains(app);
    addItem(app);
    addList(app);
    addChanges(app);
    addAnchor(app);
    addFetch(app);
    addCreate(app);
    addModify(app);
    addDelete(app);
  }

  // The command that was parsed; nothing when none was.
  std::optional<Command> parsed() const {
    for (const auto& [sub, build] : commands_) {
      if (sub->parsed()) return build();
    }
    return std::nullopt;
  }

  // The name of the command that was at least partly parsed, for messages.
  std::string current() const {
    for (const auto& [sub, build] : commands_) {
      if (sub->parsed()) return sub->get_name();
    }
    return {};
  }

  bool isCommand(const std::string& word) const {
    for (const auto& [sub, build] : commands_) {
      if (sub->get_name() == word) return true;
    }
    return false;
  }

  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto& [sub, build] : commands_) all.push_back(sub->get_name());
    return all;
  }

 private:
  CLI::App* add(CLI::App& app, CommandKind kind, const std::string& description,
                std::function<Command()> build) {
    CLI::App* sub = app.add_subcommand(std::string(commandName(kind)), description);
    sub->group("Commands");
    sub->fallthrough();
    commands_.emplace_back(sub, [kind, build = std::move(build)] {
      Command command = build();
      command.kind = kind;
      return command;
    });
    return sub;
  }

  void addIdent(CLI::App* sub, const std::string& what) {
    sub->add_option("IDENT", ident_, what)->required();
  }

  void addDomains(CLI::App& app) {
    add(app, CommandKind::domains, "List the engine's scopes (each is a domain).",
        [] { return Command{}; });
  }

  void addItem(CLI::App& app) {
    auto* sub = add(app, CommandKind::item, "Ask the extension for one item.", [this] {
      Command c;
      c.identifier = resolveIdentifier(ident_);
      return c;
    });
    addIdent(sub, "the item's identifier");
  }

  void addList(CLI::App& app) {
    auto* sub = add(app, CommandKind::list, "List a container through an enumerator.", [this] {
      Command c;
      c.identifier = resolveIdentifier(ident_);
      if (listPage_->count() > 0) c.page = page_;
      return c;
    });
    addIdent(sub, "the container's identifier");
    listPage_ = sub->add_option("--page", page_, "the page to start at (opaque text)");
  }

  void addChanges(CLI::App& app) {
    auto* sub = add(app, CommandKind::changes,
                    "Enumerate the changes of a container since a sync anchor.", [this] {
                      Command c;
                      c.identifier = resolveIdentifier(ident_);
                      if (changesAnchor_->count() > 0) {
                        c.anchor = anchor_;
                      } else if (changesAnchorHex_->count() > 0) {
                        c.anchor = decodeHex(anchorHex_, "--anchor-hex");
                      } else {
                        throw UsageError("changes: --anchor or --anchor-hex is required");
                      }
                      return c;
                    });
    addIdent(sub, "the container's identifier");
    changesAnchor_ = sub->add_option("--anchor", anchor_, "the anchor, as text");
    changesAnchorHex_ = sub->add_option("--anchor-hex", anchorHex_, "the anchor's bytes, in hex")
                            ->excludes(changesAnchor_);
  }

  void addAnchor(CLI::App& app) {
    auto* sub = add(app, CommandKind::anchor,
                    "Ask a container's enumerator for the current sync anchor.", [this] {
                      Command c;
                      c.identifier = resolveIdentifier(ident_);
                      return c;
                    });
    addIdent(sub, "the container's identifier");
  }

  void addFetch(CLI::App& app) {
    auto* sub = add(app, CommandKind::fetch, "Download an item's contents, or a range of them.",
                    [this] { return buildFetch(); });
    addIdent(sub, "the item's identifier");
    fetchVersion_ = sub->add_option("--version-hex", versionHex_,
                                    "the requested content version's bytes, in hex");
    fetchOutput_ =
        sub->add_option("--output", output_,
                        "move the received file to FILE, or into FILE when it is a folder; an "
                        "existing file is never replaced (printed as the url)");
    fetchRange_ = sub->add_option("--range", range_,
                                  "fetch only these bytes through the partial-contents entry "
                                  "point; OFFSET: reads to the end. The file holds the range "
                                  "that was delivered, which may be larger (printed as range)")
                      ->type_name("OFFSET:LENGTH");
    fetchAlignment_ = sub->add_option("--alignment", alignment_,
                                      "with --range: widen the range outward to multiples of "
                                      "BYTES (default 0: not at all)")
                          ->type_name("BYTES")
                          ->needs(fetchRange_);
  }

  Command buildFetch() const {
    Command c;
    c.identifier = resolveIdentifier(ident_);
    if (fetchVersion_->count() > 0) {
      c.requestedVersion = host::ItemVersion{decodeHex(versionHex_, "--version-hex"), {}};
    }
    if (fetchOutput_->count() > 0) c.output = absolutePath(output_);
    if (fetchRange_->count() > 0) {
      c.range = parseByteRange(range_);
      if (fetchAlignment_->count() > 0) {
        const auto alignment = byteCount(alignment_);
        if (!alignment) {
          throw UsageError("fetch: --alignment wants a whole number of bytes, got '" + alignment_ +
                           "'");
        }
        c.alignment = *alignment;
      }
    }
    return c;
  }

  // --type / --no-type and --contents, shared by create and modify.
  struct TemplateOptions {
    CLI::Option* type = nullptr;
    CLI::Option* noType = nullptr;
    CLI::Option* contents = nullptr;
  };

  TemplateOptions addTemplateOptions(CLI::App* sub) {
    TemplateOptions o;
    o.type = sub->add_option("--type", type_, "the template's content type (default public.data)");
    o.noType = sub->add_flag("--no-type", noType_, "the template provides no content type")
                   ->excludes(o.type);
    o.contents = sub->add_option("--contents", contents_, "a file with the item's contents");
    return o;
  }

  void applyTemplateOptions(const TemplateOptions& o, Command& c) const {
    if (o.noType->count() > 0) {
      c.contentType.reset();
    } else if (o.type->count() > 0) {
      c.contentType = type_;
    }
    if (o.contents->count() > 0) c.contents = absolutePath(contents_);
  }

  void addCreate(CLI::App& app) {
    auto* sub = add(app, CommandKind::create, "Create an item from a template.", [this] {
      Command c;
      c.parent = resolveIdentifier(parent_);
      c.name = name_;
      applyTemplateOptions(createTemplate_, c);
      return c;
    });
    sub->add_option("PARENT", parent_, "the parent folder's identifier")->required();
    sub->add_option("NAME", name_, "the new item's file name")->required();
    createTemplate_ = addTemplateOptions(sub);
  }

  void addModify(CLI::App& app) {
    auto* sub = add(app, CommandKind::modify, "Modify an item: contents, name, parent.", [this] {
      Command c;
      c.identifier = resolveIdentifier(ident_);
      c.parent = resolveIdentifier(parent_);
      c.name = name_;
      applyTemplateOptions(modifyTemplate_, c);
      if (modifyFields_->count() > 0) {
        c.fields = parseFieldList(fieldsList_);
      } else if (modifyMask_->count() > 0) {
        c.fields = fieldsMask_;
      } else {
        c.fields = c.contents ? host::fields::kContents : 0;
      }
      if (modifyBase_->count() > 0) {
        c.baseContentVersion = baseVersion_;
      } else if (modifyBaseHex_->count() > 0) {
        c.baseContentVersion = decodeHex(baseVersionHex_, "--base-version-hex");
      }
      return c;
    });
    sub->footer(
        "FIELDS: contents, filename, parentItemIdentifier, contentModificationDate, tagData,\n"
        "lastUsedDate, favoriteRank, extendedAttributes, fileSystemFlags, typeAndCreator,\n"
        "creationDate. Without --fields or --fields-mask the changed fields are contents\n"
        "when --contents is given, none otherwise. The base version's metadata version is\n"
        "empty.");
    addIdent(sub, "the item's identifier (before the change)");
    sub->add_option("--name", name_, "the item's file name after the change")->required();
    sub->add_option("--parent", parent_, "the parent's identifier after the change")->required();
    modifyTemplate_ = addTemplateOptions(sub);
    modifyFields_ =
        sub->add_option("--fields", fieldsList_, "the changed fields, a comma list of FIELDS");
    modifyMask_ =
        sub->add_option("--fields-mask", fieldsMask_, "the changed fields as a raw bit set")
            ->check(CLI::Validator(
                [](std::string& text) {
                  return text.empty() || text[0] == '-' ? std::string("must not be negative")
                                                        : std::string();
                },
                "", "NonNegative"))
            ->excludes(modifyFields_);
    modifyBase_ =
        sub->add_option("--base-version", baseVersion_, "the base content version, as text");
    modifyBaseHex_ = sub->add_option("--base-version-hex", baseVersionHex_,
                                     "the base content version's bytes, in hex")
                         ->excludes(modifyBase_);
  }

  void addDelete(CLI::App& app) {
    auto* sub = add(app, CommandKind::delete_, "Delete an item.", [this] {
      Command c;
      c.identifier = resolveIdentifier(ident_);
      c.recursive = deleteRecursive_->count() > 0;
      if (deleteBase_->count() > 0) c.baseContentVersion = baseVersion_;
      return c;
    });
    addIdent(sub, "the item's identifier");
    deleteRecursive_ =
        sub->add_flag("--recursive", recursive_, "set the recursive deletion option");
    deleteBase_ =
        sub->add_option("--base-version", baseVersion_, "the base content version, as text");
  }

  std::vector<std::pair<CLI::App*, std::function<Command()>>> commands_;

  std::string ident_, parent_, name_, page_, anchor_, anchorHex_, versionHex_, output_, type_,
      contents_, fieldsList_, baseVersion_, baseVersionHex_;
  std::string range_, alignment_;
  std::uint64_t fieldsMask_ = 0;
  bool noType_ = false;
  bool recursive_ = false;

  CLI::Option* listPage_ = nullptr;
  CLI::Option* changesAnchor_ = nullptr;
  CLI::Option* changesAnchorHex_ = nullptr;
  CLI::Option* fetchVersion_ = nullptr;
  CLI::Option* fetchOutput_ = nullptr;
  CLI::Option* fetchRange_ = nullptr;
  CLI::Option* fetchAlignment_ = nullptr;
  TemplateOptions createTemplate_, modifyTemplate_;
  CLI::Option* modifyFields_ = nullptr;
  CLI::Option* modifyMask_ = nullptr;
  CLI::Option* modifyBase_ = nullptr;
  CLI::Option* modifyBaseHex_ = nullptr;
  CLI::Option* deleteRecursive_ = nullptr;
  CLI::Option* deleteBase_ = nullptr;
};

// CLI11's message for a failed parse, as one line, with the command named.
std::string usageMessage(const CLI::App& app, const CLI::ParseError& e,
                         const std::string& command) {
  const std::string text = cli::usageText(app, e);
  // The config file's errors belong to no command.
  const bool aboutConfig = dynamic_cast<const CLI::ConfigError*>(&e) != nullptr ||
                           dynamic_cast<const CLI::FileError*>(&e) != nullptr;
  return command.empty() || aboutConfig ? text : command + ": " + text;
}

std::string unknownCommand(const std::string& word, const std::vector<std::string>& commands) {
  const std::string guess = cli::closestWord(word, commands);
  if (!guess.empty()) return "unknown command '" + word + "'; did you mean " + guess + "?";
  std::string all;
  for (const auto& c : commands) all += (all.empty() ? "" : ", ") + c;
  return "unknown command '" + word + "'; write one of " + all;
}

}  // namespace

std::optional<Invocation> parseInvocation(int argc, const char* const* argv) {
  CLI::App app(
      "Plays the file-provider host for one domain: calls one entry point or\n"
      "enumerator operation of the extension and prints what the host received.");
  cli::setUpTool(app, kToolName, "fpctl.conf");
  app.footer(kFooter);
  app.require_subcommand(1);
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  app.get_formatter()->label("Subcommands", "Commands");

  Invocation invocation;
  std::string domain;
  auto* domainOption = app.add_option("--domain", domain,
                                      "the domain: a scope's id (local-2) or name (docs); "
                                      "default: the first scope the engine lists")
                           ->type_name("ID|NAME");
  app.add_flag("--json", invocation.json, "print one JSON object per result");
  app.add_flag("--parallel", invocation.parallel, "batch: submit all commands at once");
  hostlog::Level logLevel = hostlog::Level::info;
  auto* logLevelOption = hostlog::addLogLevelOption(app, logLevel, kToolName);

  CommandSet commands(app);
  CLI::App* batch =
      app.add_subcommand("batch", "Run commands read from standard input, one per line.");
  batch->group("Commands");
  batch->fallthrough();
  batch->footer(kBatchFooter);
  // The config file holds the global options only: a command's options
  // belong to the one call they are given for.
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    for (CLI::Option* option : sub->get_options()) option->configurable(false);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    if (CLI::Option* config = app.get_config_ptr()) config->default_str("");
    app.exit(e);
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    std::string command = commands.current();
    if (command.empty() && batch->parsed()) command = "batch";
    if (command.empty()) {
      // Name the word that should have been a command, if there is one.
      for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--domain" || word == "--log-level" || word == "--config") {
          ++i;
          continue;
        }
        if (word.rfind("-", 0) == 0) {
          const std::string option = word.substr(0, word.find('='));
          if (word == "--" || app.get_option_no_throw(option) != nullptr) continue;
          const std::string guess = cli::closestOption(app, option);
          throw UsageError("unknown option " + option +
                           (guess.empty() ? std::string() : "; did you mean " + guess + "?"));
        }
        if (!commands.isCommand(word) && word != "batch") {
          auto names = commands.names();
          names.push_back("batch");
          throw UsageError(unknownCommand(word, names));
        }
        break;
      }
      if (app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e)) {
        throw UsageError("no command given");
      }
    }
    throw UsageError(usageMessage(app, e, command));
  }

  if (logLevelOption->count() > 0) invocation.logLevel = logLevel;
  if (domainOption->count() > 0) {
    if (domain.empty()) throw UsageError("--domain wants a scope's id or name, such as local-1");
    invocation.domain = domain;
  }
  invocation.batch = batch->parsed();
  if (invocation.parallel && !invocation.batch) {
    throw UsageError("--parallel applies only to batch");
  }
  if (!invocation.batch) {
    auto command = commands.parsed();
    if (!command) throw UsageError("no command given");
    invocation.command = std::move(*command);
  }
  return invocation;
}

Command parseCommandWords(std::vector<std::string> words) {
  if (words.empty()) throw UsageError("no command given");
  CLI::App app(std::string(), kToolName);
  app.require_subcommand(1);
  // Help is for the command line, not for batch lines; commands added after
  // this inherit no help flag.
  app.set_help_flag();
  CommandSet commands(app);
  if (!commands.isCommand(words.front())) {
    throw UsageError(unknownCommand(words.front(), commands.names()));
  }
  try {
    std::reverse(words.begin(), words.end());  // CLI11 takes the words last first
    app.parse(words);
  } catch (const CLI::ParseError& e) {
    throw UsageError(usageMessage(app, e, commands.current()));
  }
  auto command = commands.parsed();
  if (!command) throw UsageError("no command given");
  return *command;
}

}  // namespace corvane::fpctl
