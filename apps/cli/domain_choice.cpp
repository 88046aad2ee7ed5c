#include "cli/domain_choice.h"

#include <filesystem>

#include "platform/folders.h"

namespace corvane::cli {
namespace {

std::string described(const host::ServedDomain& d) {
  const std::string& id = d.domain.identifier;
  const std::string& name = d.domain.displayName;
  return name.empty() || name == id ? id : id + " (" + name + ")";
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

}  // namespace

host::ServedDomain chooseDomain(const std::vector<host::ServedDomain>& domains,
                                const std::optional<std::string>& given) {
  if (domains.empty()) {
    throw DomainChoiceError((given ? "--domain " + *given + ": " : std::string()) +
                            "the engine serves no scope; start it with --scope NAME=DIR");
  }
  if (!given) return domains.front();
  // An id is unique and wins over a name that happens to read like one.
  for (const auto& d : domains) {
    if (d.domain.identifier == *given) return d;
  }
  std::vector<const host::ServedDomain*> named;
  for (const auto& d : domains) {
    if (d.domain.displayName == *given) named.push_back(&d);
  }
  if (named.size() == 1) return *named.front();
  if (named.empty()) {
    std::vector<std::string> all;
    for (const auto& d : domains) all.push_back(described(d));
    throw DomainChoiceError("--domain " + *given +
                            ": the engine has no scope of that id or name; write one of " +
                            joined(all));
  }
  std::vector<std::string> ids;
  for (const auto* d : named) ids.push_back(d->domain.identifier);
  throw DomainChoiceError("--domain " + *given + ": " + std::to_string(named.size()) +
                          " scopes have that name; write one of their ids: " + joined(ids));
}

bool isUnreachable(const host::Error& error) {
  return error.domain == host::kFileProviderErrorDomain &&
         error.code == host::codes::kServerUnreachable;
}

std::string engineAdvice() {
  const auto folder = platform::applicationSupportFolder();
  if (!folder) {
    return "no engine answers: neither XDG_DATA_HOME nor HOME is set, so its discovery file "
           "cannot be found";
  }
  const std::filesystem::path file = *folder / "engine.json";
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    return "no engine answers: " + file.string() + " does not exist; start corvane-engine";
  }
  return "no engine answers at the port named in " + file.string() +
         "; start corvane-engine (or wait for it to finish starting)";
}

}  // namespace corvane::cli
