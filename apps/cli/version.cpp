#include "cli/version.h"

namespace corvane::cli {

std::string versionText(std::string_view tool, std::string_view version, std::string_view commit) {
  std::string text(tool);
  text += ' ';
  text += version;
  if (!commit.empty()) {
    text += " (git ";
    text += commit;
    text += ')';
  }
  return text;
}

}  // namespace corvane::cli
