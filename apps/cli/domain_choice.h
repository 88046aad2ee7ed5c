// The domain a host works on, from what the user wrote after --domain: a
// scope's id ("local-2") or its name ("docs"), as `corvane-fpctl domains`
// shows both; and the words for an engine that does not answer. Pure apart
// from engineAdvice(), which looks at the discovery file's folder.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/domains.h"
#include "host/error.h"

namespace corvane::cli {

// The user named no scope the engine serves, or a name several scopes share.
// Its text is one line that starts with "--domain GIVEN:" and lists what the
// user may write instead.
class DomainChoiceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The domain `given` stands for among `domains` (the engine's, in its order):
// the one with that id, else the one with that name; without `given`, the
// first. Throws DomainChoiceError when none matches, when `domains` is empty,
// or when several share the name.
host::ServedDomain chooseDomain(const std::vector<host::ServedDomain>& domains,
                                const std::optional<std::string>& given);

// True for the host error of an engine that could not be reached.
bool isUnreachable(const host::Error& error);

// What the user reads when no engine answers: that none does, which
// discovery file was read, and to start corvane-engine. One line, starting
// "no engine answers".
std::string engineAdvice();

}  // namespace corvane::cli
