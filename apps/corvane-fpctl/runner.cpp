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

  std::optional<std::string> domain = invocation.domain;
  const bool needsDomain = std::any_of(commands.begin(), commands.end(), [](const auto& c) {
    return c.command.kind != CommandKind::domains;
  });
  if (needsDomain && !domain) {
    spinner.begin("waiting: the engine's scopes");
    try {
      domain = defaultDomain();
    } catch (const host::Error& error) {
      spinner.end();
      printer.printFailure(error);
      return kHostError;
    }
    spinner.end();
  }

  HostSession session(domain);
  int status = 0;
  auto report = [&](const Outcome& outcome) {
    printer.print(outcome);
    if (!outcome.result.succeeded()) status = kHostError;
  };

  if (!invocation.parallel) {
    for (const auto& [line, command] : commands) {
      session.start(command, line);
      spinner.begin(waitLabel(command));
      Outcome outcome = session.next();
      spinner.end();
      report(outcome);
    }
    return status;
  }

  const auto since = Spinner::Clock::now();
  for (const auto& [line, command] : commands) session.start(command, line);
  for (std::size_t done = 0; done < commands.size(); ++done) {
    spinner.begin(
        "waiting: " + std::to_string(done) + " of " + std::to_string(commands.size()) + " done",
        since);
    Outcome outcome = session.next();
    spinner.end();
    report(outcome);
  }
  return status;
}

}  // namespace corvane::fpctl
