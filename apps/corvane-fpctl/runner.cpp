#include "runner.h"

#include <algorithm>
#include <memory>

#include "given_domain.h"
#include "host_log.h"
#include "human_output.h"
#include "platform/folders.h"
#include "printer.h"
#include "session.h"
#include "spinner.h"
#include "text.h"
#include "transfer_progress.h"

namespace corvane::fpctl {
namespace {

constexpr int kHostError = 3;

std::string waitLabel(const Command& command) {
  std::string label = "waiting: " + std::string(commandName(command.kind));
  if (!command.identifier.empty()) label += " " + printable(command.identifier);
  return label;
}

std::string commandText(const Command& command) {
  std::string text(commandName(command.kind));
  if (!command.identifier.empty()) text += " " + printable(command.identifier);
  if (command.kind == CommandKind::create) text += " " + printable(command.name);
  return text;
}

// The spinner's label for a command that moves a file's bytes: how many have
// moved; nothing for other commands. Made before the command starts, so that
// the file it writes is a new one.
Spinner::Label transferLabel(const Command& c, HostSession& session,
                             const std::optional<std::string>& domain) {
  try {
    if (c.kind == CommandKind::fetch && domain) {
      // A partial fetch may widen its range to the alignment: no total.
      const auto total = c.range ? std::nullopt : session.documentSize(c.identifier);
      auto file = std::make_shared<GrowingFile>(platform::hostTemporaryFolder(*domain));
      return [label = commandText(c), file, total](Spinner::Clock::duration elapsed) {
        return progressLine(label, file->size(), total, elapsed);
      };
    }
    if ((c.kind == CommandKind::create || c.kind == CommandKind::modify) && c.contents) {
      const auto total = static_cast<std::int64_t>(std::filesystem::file_size(*c.contents));
      auto file = std::make_shared<GrowingFile>(platform::temporaryFolder());
      return [label = commandText(c), file, total](Spinner::Clock::duration elapsed) {
        const std::int64_t done = file->size();
        std::string line = progressLine(label, done, total, elapsed);
        if (done >= total) line += "; the engine is storing it";
        return line;
      };
    }
  } catch (const std::exception&) {
    // No progress to show; the command itself reports what is wrong.
  }
  return {};
}

// The log's line for a finished command.
void logOutcome(const Outcome& outcome, Spinner::Clock::duration took) {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  std::string line = commandText(outcome.command);
  if (outcome.line > 0) line = "line " + std::to_string(outcome.line) + ": " + line;
  if (outcome.result.error) {
    std::string error = errorLine(*outcome.result.error, {}, outcome.result.advice);
    if (!error.empty() && error.back() == '\n') error.pop_back();
    hostlog::warning(line + ": " + error);
  } else {
    hostlog::info(line + ": done in " + std::to_string(millis) + " ms");
  }
}

}  // namespace

int runCommands(const Invocation& invocation, const std::vector<NumberedCommand>& commands) {
  Printer printer(invocation.json, invocation.batch);
  Spinner spinner(!invocation.json && standardErrorIsTerminal());

  auto needsDomain = [](const Command& c) { return c.kind != CommandKind::domains; };
  std::optional<std::string> domain;
  // What the user gave goes to the extension as it is; see GivenDomain.
  std::optional<GivenDomain> given;
  // Without --domain the first scope the engine serves is the domain. When
  // it cannot be found, the lines that need one fail with that error and
  // `domains` lines still run.
  std::optional<host::Error> noDomain;
  if (invocation.domain) {
    given.emplace(*invocation.domain);
    domain = given->current();
  } else if (std::any_of(commands.begin(), commands.end(),
                         [&](const auto& c) { return needsDomain(c.command); })) {
    spinner.begin("waiting: the engine's scopes");
    try {
      domain = firstDomain();
    } catch (const host::Error& error) {
      noDomain = error;
    }
    spinner.end();
    if (noDomain && !invocation.batch) {
      printer.printFailure(*noDomain);
      return kHostError;
    }
  }

  HostSession session(domain);
  int status = 0;
  auto report = [&](const Outcome& outcome, Spinner::Clock::time_point since) {
    logOutcome(outcome, Spinner::Clock::now() - since);
    printer.print(outcome);
    if (!outcome.result.succeeded()) status = kHostError;
  };
  auto cannotStart = [&](const NumberedCommand& c) {
    if (!noDomain || !needsDomain(c.command)) return false;
    printer.printFailure(*noDomain, c.line);
    status = kHostError;
    return true;
  };
  // The domain to run a finished command again on, when it failed for want
  // of the id that the given text names; the session goes there too.
  auto runAgainOn = [&](Outcome& outcome) -> bool {
    if (!given) return false;
    const auto again = given->review(outcome);
    if (!again) return false;
    if (session.domain() != again) session.useDomain(*again);
    return true;
  };

  if (!invocation.parallel) {
    for (const NumberedCommand& c : commands) {
      if (cannotStart(c)) continue;
      const auto since = Spinner::Clock::now();
      auto runOnce = [&] {
        Spinner::Label transfer = spinner.enabled()
                                      ? transferLabel(c.command, session, session.domain())
                                      : Spinner::Label();
        hostlog::debug("starting " + commandText(c.command));
        session.start(c.command, c.line);
        if (transfer) {
          spinner.begin(std::move(transfer), since);
        } else {
          spinner.begin(waitLabel(c.command), since);
        }
        Outcome outcome = session.next();
        spinner.end();
        return outcome;
      };
      Outcome outcome = runOnce();
      if (runAgainOn(outcome)) {
        outcome = runOnce();
        runAgainOn(outcome);  // only to add advice; the domain is settled
      }
      report(outcome, since);
    }
    return status;
  }

  const auto since = Spinner::Clock::now();
  std::size_t started = 0;
  for (const NumberedCommand& c : commands) {
    if (cannotStart(c)) continue;
    session.start(c.command, c.line);
    ++started;
  }
  for (std::size_t done = 0; done < started;) {
    spinner.begin("waiting: " + std::to_string(done) + " of " + std::to_string(started) + " done",
                  since);
    Outcome outcome = session.next();
    spinner.end();
    if (runAgainOn(outcome)) {
      session.start(outcome.command, outcome.line);
      continue;
    }
    report(outcome, since);
    ++done;
  }
  return status;
}

}  // namespace corvane::fpctl
