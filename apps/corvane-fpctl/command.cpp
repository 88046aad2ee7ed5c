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

}  // namespace corvane::fpctl
