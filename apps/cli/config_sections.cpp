#include "cli/config_sections.h"

#include <algorithm>
#include <utility>

namespace corvane::cli {

SectionedConfig::SectionedConfig(std::string kind, std::vector<std::string> keys)
    : kind_(std::move(kind)), keys_(std::move(keys)) {}

std::vector<CLI::ConfigItem> SectionedConfig::from_config(std::istream& input) const {
  sections_.clear();
  topLevel_.clear();
  std::vector<CLI::ConfigItem> rest;
  for (CLI::ConfigItem& item : CLI::ConfigTOML::from_config(input)) {
    if (item.parents.empty() || item.parents.front() != kind_) {
      if (item.parents.empty()) topLevel_[item.name] = item.inputs;
      rest.push_back(std::move(item));
      continue;
    }
    // The reader's own markers of where sections open and close.
    if (item.name == "++" || item.name == "--") continue;
    if (item.parents.size() != 2) {
      std::string path;
      for (const std::string& p : item.parents) path += (path.empty() ? "" : ".") + p;
      throw CLI::ConfigError("the section [" + path + "] (or the key " + item.name +
                             ") is not of the form [" + kind_ +
                             ".NAME]; a name in a section has no dot");
    }
    const std::string& name = item.parents[1];
    const std::string where = "[" + kind_ + "." + name + "]";
    if (std::find(keys_.begin(), keys_.end(), item.name) == keys_.end()) {
      std::string known;
      for (const std::string& k : keys_) known += (known.empty() ? "" : ", ") + k;
      throw CLI::ConfigError("unknown key '" + item.name + "' in " + where + "; write one of " +
                             known);
    }
    if (item.inputs.size() != 1) {
      throw CLI::ConfigError("the key '" + item.name + "' in " + where + " takes one value");
    }
    auto section = std::find_if(sections_.begin(), sections_.end(),
                                [&](const NamedSection& s) { return s.name == name; });
    if (section == sections_.end()) {
      sections_.push_back({name, {}});
      section = sections_.end() - 1;
    }
    if (!section->values.emplace(item.name, item.inputs.front()).second) {
      throw CLI::ConfigError("the key '" + item.name + "' is given twice in " + where);
    }
  }
  return rest;
}

std::optional<std::vector<std::string>> SectionedConfig::topLevel(const std::string& key) const {
  auto it = topLevel_.find(key);
  if (it == topLevel_.end()) return std::nullopt;
  return it->second;
}

}  // namespace corvane::cli
