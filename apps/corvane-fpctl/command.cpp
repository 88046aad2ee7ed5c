#include "command.h"

namespace corvane::fpctl {

std::string_view commandName(CommandKind kind) {
  switch (kind) {
    case CommandKind::domains:
      return "domains";
    case CommandKind::item:
      return "item";
    case CommandKind::list:
      return "list";
    case CommandKind::changes:
      return "changes";
    case CommandKind::anchor:
      return "anchor";
    case CommandKind::fetch:
      return "fetch";
    case CommandKind::create:
      return "create";
    case CommandKind::modify:
      return "modify";
    case CommandKind::delete_:
      return "delete";
  }
  return "?";
}

bool isAsynchronousEntryPoint(CommandKind kind) {
  switch (kind) {
    case CommandKind::item:
    case CommandKind::fetch:
    case CommandKind::create:
    case CommandKind::modify:
    case CommandKind::delete_:
      return true;
    default:
      return false;
  }
}

host::ItemIdentifier resolveIdentifier(std::string_view text) {
  if (text == ":root") return host::ItemIdentifier(host::kRootContainerItemIdentifier);
  if (text == ":working-set") return host::ItemIdentifier(host::kWorkingSetContainerItemIdentifier);
  if (text == ":trash") return host::ItemIdentifier(host::kTrashContainerItemIdentifier);
  return host::ItemIdentifier(text);
}

namespace {

// A word as it would be typed: quoted when blanks or quotes would split or
// end it.
std::string typed(std::string_view word) {
  if (!word.empty() && word.find_first_of(" \t'\"\\#") == std::string_view::npos) {
    return std::string(word);
  }
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string identifierWord(const host::ItemIdentifier& identifier) {
  if (identifier == host::kRootContainerItemIdentifier) return ":root";
  if (identifier == host::kWorkingSetContainerItemIdentifier) return ":working-set";
  if (identifier == host::kTrashContainerItemIdentifier) return ":trash";
  return typed(identifier);
}

}  // namespace

std::string commandWords(const Command& command) {
  std::string words(commandName(command.kind));
  switch (command.kind) {
    case CommandKind::domains:
      break;
    case CommandKind::create:
      words += " " + identifierWord(command.parent) + " " + typed(command.name);
      break;
    default:
      words += " " + identifierWord(command.identifier);
      break;
  }
  return words;
}

}  // namespace corvane::fpctl
