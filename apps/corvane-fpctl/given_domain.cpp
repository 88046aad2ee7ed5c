#include "given_domain.h"

#include <vector>

#include "cli/domain_choice.h"
#include "host/domains.h"
#include "host_log.h"
#include "platform/unicode.h"

namespace corvane::fpctl {
namespace {

// The form in which the enumerator factory hands on a failed scope
// resolution: the engine's error unmapped, whose case 4 is "no such item".
constexpr std::string_view kUnmappedEngineErrorDomain = "CorvaneSyncFileProvider.EngineError";
constexpr std::int64_t kUnmappedNotFound = 4;

}  // namespace

bool mayBeUnknownDomain(const Outcome& outcome) {
  const auto& error = outcome.result.error;
  if (!error) return false;
  switch (outcome.command.kind) {
    case CommandKind::domains:
      return false;
    case CommandKind::list:
    case CommandKind::changes:
    case CommandKind::anchor:
      // The factory's own refusal (the trash) and a failed listing come
      // mapped; only the scope resolution comes unmapped.
      return error->domain == kUnmappedEngineErrorDomain && error->code == kUnmappedNotFound;
    default:
      return error->domain == host::kFileProviderErrorDomain &&
             error->code == host::codes::kNoSuchItem;
  }
}

std::optional<std::string> GivenDomain::review(Outcome& outcome) {
  const bool suspect = mayBeUnknownDomain(outcome);
  if (outcome.domain != current_) {
    // Started before the text was found to be a name.
    if (suspect) return current_;
    return std::nullopt;
  }
  if (!suspect) {
    if (outcome.result.succeeded() && outcome.command.kind != CommandKind::domains) {
      settled_ = true;
    }
    return std::nullopt;
  }
  if (settled_) {
    if (!advice_.empty()) outcome.result.advice = advice_;
    return std::nullopt;
  }
  settled_ = true;
  std::vector<host::ServedDomain> domains;
  try {
    domains = host::servedDomains();
  } catch (...) {
    return std::nullopt;  // the extension's own failure is all there is to say
  }
  for (const auto& d : domains) {
    // An id, compared as the extension compares it: the item is what is
    // missing, not the domain.
    if (platform::canonicallyEqual(d.domain.identifier, text_)) return std::nullopt;
  }
  try {
    current_ = cli::chooseDomain(domains, text_).domain.identifier;
  } catch (const cli::DomainChoiceError& e) {
    advice_ = e.what();
    outcome.result.advice = advice_;
    return std::nullopt;
  }
  hostlog::info("--domain " + text_ + " is the name of the scope " + current_);
  return current_;
}

}  // namespace corvane::fpctl
