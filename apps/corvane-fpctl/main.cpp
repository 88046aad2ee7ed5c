// corvane-fpctl: plays the file-provider host for one domain from the
// command line. See `corvane-fpctl --help`.
#include <cstdio>
#include <exception>
#include <iostream>

#include "arguments.h"
#include "batch.h"
#include "host_log.h"
#include "platform/log.h"
#include "runner.h"

namespace {

constexpr int kUsage = 2;
constexpr int kFailure = 1;  // 3 is for errors the host received (runner.h)

void printError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "corvane-fpctl: %s\n", message.c_str());
}

int run(int argc, char** argv) {
  using namespace corvane::fpctl;
  std::vector<NumberedCommand> commands;
  std::optional<Invocation> invocation;
  try {
    invocation = parseInvocation(argc, argv);
    if (!invocation) return 0;
    // The log is kept in its file; on standard error, where the results'
    // errors go, only when asked for.
    corvane::hostlog::start("corvane-fpctl",
                            invocation->logLevel.value_or(corvane::hostlog::Level::info),
                            invocation->logLevel.has_value());
    if (invocation->batch) {
      commands = readBatch(std::cin);
    } else {
      commands.push_back(NumberedCommand{0, invocation->command});
    }
  } catch (const UsageError& e) {
    // Messages that come with their own pointer to the help keep it.
    const std::string text = e.what();
    printError(text.find("--help") == std::string::npos ? text + " (see corvane-fpctl --help)"
                                                        : text);
    return kUsage;
  }
  return runCommands(*invocation, commands);
}

}  // namespace

int main(int argc, char** argv) {
  int status = kFailure;
  try {
    status = run(argc, argv);
  } catch (const std::exception& e) {
    printError(e.what());
  } catch (...) {
    printError("unexpected failure");
  }
  try {
    corvane::hostlog::flush();
    corvane::Log::flush();
  } catch (...) {
  }
  return status;
}
