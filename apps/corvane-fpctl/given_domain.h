// What --domain stands for, as a run learns it. The text goes to the
// extension unchanged, as the domain's identifier: whatever the extension
// reports, the user sees as it reported it. Only when a command fails the
// way an unknown domain fails (the extension's scope resolution found no
// such item) is the text looked up among the served scopes (one scope
// request, at most once a run). When it is a scope's name, and only that
// scope's, the commands that failed for want of the id run again with it;
// when it is neither an id nor a name, the failure gets the ids and names to
// choose from.
//
// Used from the runner's thread only; the look-up blocks it.
#pragma once

#include <optional>
#include <string>

#include "result.h"

namespace corvane::fpctl {

class GivenDomain {
 public:
  explicit GivenDomain(std::string text) : text_(text), current_(std::move(text)) {}

  // The domain that commands go to now: the text, or the id it was found
  // to name.
  const std::string& current() const { return current_; }

  // Looks at a finished command. Returns the domain to run it again on when
  // it failed for want of the id the text names; otherwise nothing, and an
  // unknown domain's failure carries the advice on what to write instead.
  std::optional<std::string> review(Outcome& outcome);

 private:
  std::string text_;
  std::string current_;
  // Settled: current_ is known to be a domain of the engine's, or the text
  // was looked up already.
  bool settled_ = false;
  std::string advice_;  // why the text names no scope, once that is known
};

// Whether a command failed the way it fails when the extension's domain is
// not among the engine's scopes. A missing item fails alike for an entry
// point, so this is only a suspicion.
bool mayBeUnknownDomain(const Outcome& outcome);

}  // namespace corvane::fpctl
