#include "batch.h"

#include <string>

#include "arguments.h"
#include "words.h"

namespace corvane::fpctl {

std::vector<NumberedCommand> readBatch(std::istream& in) {
  std::vector<NumberedCommand> commands;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    try {
      auto words = splitWords(text);
      if (words.empty()) continue;
      commands.push_back(NumberedCommand{number, parseCommandWords(std::move(words))});
    } catch (const std::exception& e) {
      throw UsageError("line " + std::to_string(number) + ": " + e.what());
    }
  }
  return commands;
}

}  // namespace corvane::fpctl
