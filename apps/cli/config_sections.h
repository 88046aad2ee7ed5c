// A config-file reader that also takes sections named after things the tool
// serves, "[KIND.NAME]" (e.g. "[scope.photos]" in engine.conf), holding keys
// the tool lists. CLI11 maps sections onto subcommands, which cannot have
// names chosen by the user; this reader takes such sections out of the file
// before CLI11 sees the rest, so every other key is still checked as before.
//
// Owned by the tool's CLI::App (as its config formatter); read the sections
// after the parse. Not thread-safe.
#pragma once

#include <CLI/CLI.hpp>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::cli {

struct NamedSection {
  std::string name;
  std::map<std::string, std::string> values;  // key -> value, as written
};

class SectionedConfig : public CLI::ConfigTOML {
 public:
  // Sections "[kind.NAME]" whose keys are among `keys`.
  SectionedConfig(std::string kind, std::vector<std::string> keys);

  // Throws CLI::ConfigError for a key that is not listed, a key given twice,
  // a value that is a list, or a section nested deeper ("[kind.a.b]").
  std::vector<CLI::ConfigItem> from_config(std::istream& input) const override;

  // The sections of the file read, in their order (one per name).
  const std::vector<NamedSection>& sections() const { return sections_; }
  // The values of a top-level key in the file read; nothing when absent.
  std::optional<std::vector<std::string>> topLevel(const std::string& key) const;

 private:
  const std::string kind_;
  const std::vector<std::string> keys_;
  mutable std::vector<NamedSection> sections_;
  mutable std::map<std::string, std::vector<std::string>> topLevel_;
};

}  // namespace corvane::cli
