#include "printer.h"

#include <cstdio>
#include <string>

#include "human_output.h"
#include "json_output.h"

namespace corvane::fpctl {
namespace {

void write(std::FILE* stream, const std::string& text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void Printer::print(const Outcome& outcome) {
  if (json_) {
    write(stdout,
          resultJson(outcome.result, batch_ ? std::optional<int>(outcome.line) : std::nullopt) +
              "\n");
    return;
  }
  HumanText text = resultText(outcome);
  if (batch_) {
    const std::string prefix = std::to_string(outcome.line) + ": ";
    text.out = prefixLines(text.out, prefix);
    text.err = prefixLines(text.err, prefix);
  }
  write(stdout, text.out);
  write(stderr, text.err);
}

void Printer::printFailure(const host::Error& error, int line) {
  const bool numbered = batch_ && line > 0;
  if (json_) {
    write(stdout, failureJson(error, numbered ? std::optional<int>(line) : std::nullopt) + "\n");
  } else {
    write(stderr,
          numbered ? prefixLines(errorLine(error), std::to_string(line) + ": ") : errorLine(error));
  }
}

}  // namespace corvane::fpctl
