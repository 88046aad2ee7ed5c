#include "words.h"

namespace corvane::fpctl {

std::vector<std::string> splitWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;  // also true for an empty quoted word such as ''
  std::size_t i = 0;
  auto endWord = [&] {
    if (inWord) words.push_back(std::move(word));
    word.clear();
    inWord = false;
  };
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t') {
      endWord();
      ++i;
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\'') {
      const auto close = line.find('\'', i + 1);
      if (close == std::string_view::npos) throw WordSyntaxError("unterminated single quote");
      word.append(line.substr(i + 1, close - i - 1));
      inWord = true;
      i = close + 1;
    } else if (c == '"') {
      inWord = true;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char d = line[i];
        if (d == '"') {
          closed = true;
          ++i;
          break;
        }
        if (d == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
          word += line[i + 1];
          i += 2;
        } else {
          word += d;
          ++i;
        }
      }
      if (!closed) throw WordSyntaxError("unterminated double quote");
    } else if (c == '\\') {
      if (i + 1 >= line.size()) throw WordSyntaxError("backslash at the end of the line");
      word += line[i + 1];
      inWord = true;
      i += 2;
    } else {
      word += c;
      inWord = true;
      ++i;
    }
  }
  endWord();
  return words;
}

}  // namespace corvane::fpctl
