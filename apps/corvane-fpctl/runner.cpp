#include "runner.h"

#include <algorithm>

#include "printer.h"
#include "session.h"
#include "spinner.h"
#include "text.h"

namespace corvane::fpctl {
namespace {

constexpr int kHostError = 3;

std::string waitLabel(const Command& command) {
  std::string label = "waiting: " + std::string(commandName(command.kind));
  if (!command.identifier.empty()) label += " " + printable(command.identifier);
  return label;
}

}  // namespace

int runCommands(const Invocation& invocation, const std::vector<NumberedCommand>& commands) {
  Printer printer(invocation.json, invocation.batch);
  Spinner spinner(!invocation.json && standardErrorIsTerminal());

  auto needsDomain = [](const Command& c) { return c.kind != CommandKind::domains; };
  std::optional<std::string> domain;
  // When the domain cannot be found, the lines that need one fail with that
  // error and `domains` lines still run.
  std::optional<host::Error> noDomain;
  if (std::any_of(commands.begin(), commands.end(),
                  [&](const auto& c) { return needsDomain(c.command); })) {
    spinner.begin("waiting: the engine's scopes");
    try {
      domain = chosenDomain(invocation.domain);
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
  auto report = [&](const Outcome& outcome) {
    printer.print(outcome);
    if (!outcome.result.succeeded()) status = kHostError;
  };
  auto cannotStart = [&](const NumberedCommand& c) {
    if (!noDomain || !needsDomain(c.command)) return false;
    printer.printFailure(*noDomain, c.line);
    status = kHostError;
    return true;
  };

  if (!invocation.parallel) {
    for (const NumberedCommand& c : commands) {
      if (cannotStart(c)) continue;
      session.start(c.command, c.line);
      spinner.begin(waitLabel(c.command));
      Outcome outcome = session.next();
      spinner.end();
      report(outcome);
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
  for (std::size_t done = 0; done < started; ++done) {
    spinner.begin("waiting: " + std::to_string(done) + " of " + std::to_string(started) + " done",
                  since);
    Outcome outcome = session.next();
    spinner.end();
    report(outcome);
  }
  return status;
}

}  // namespace corvane::fpctl
