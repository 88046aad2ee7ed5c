// One command of corvane-fpctl as read from the command line or from a batch
// line: which host call to make, and with which arguments. A plain value,
// copied freely; parsing (arguments.h) makes it, the session (session.h) runs it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/identifiers.h"
#include "host/types.h"

namespace corvane::fpctl {

enum class CommandKind { domains, item, list, changes, anchor, fetch, create, modify, delete_ };

// The command's name on the command line ("delete" for delete_).
std::string_view commandName(CommandKind kind);

// True for the five entry points that answer through a completion handler
// on a background thread and return a progress object.
bool isAsynchronousEntryPoint(CommandKind kind);

// The default content type of create and modify templates.
inline constexpr std::string_view kDefaultContentType = "public.data";

struct Command {
  CommandKind kind = CommandKind::domains;
  // IDENT of item, list, changes, anchor, fetch, modify and delete.
  host::ItemIdentifier identifier;
  // list --page.
  std::optional<host::Page> page;
  // changes --anchor / --anchor-hex.
  host::SyncAnchor anchor;
  // fetch --version-hex: the requested content version.
  std::optional<host::ItemVersion> requestedVersion;
  // fetch --output, absolute.
  std::optional<std::filesystem::path> output;
  // fetch --range and --alignment: the minimal range of a partial fetch.
  std::optional<host::ByteRange> range;
  std::int64_t alignment = 0;
  // The template of create (PARENT NAME) and modify (--parent, --name).
  host::ItemIdentifier parent;
  std::string name;
  std::optional<std::string> contentType{std::string(kDefaultContentType)};
  // create and modify --contents, absolute.
  std::optional<std::filesystem::path> contents;
  // modify's changed fields.
  host::ItemFields fields = 0;
  // modify and delete: the base version's content version bytes.
  std::string baseContentVersion;
  // delete --recursive.
  bool recursive = false;
};

// The identifier a command-line text stands for: ":root", ":working-set" and
// ":trash" are the host's container identifiers; any other text is itself.
host::ItemIdentifier resolveIdentifier(std::string_view text);

// The command as the user would write it, with the item it is about, for
// messages: "delete docs/a.txt", "create :root b.txt". Identifiers are raw
// bytes; the caller makes them printable.
std::string commandWords(const Command& command);

}  // namespace corvane::fpctl
