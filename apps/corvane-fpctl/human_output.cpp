#include "human_output.h"

#include <chrono>

#include "cli/domain_choice.h"
#include "platform/iso8601.h"
#include "text.h"

namespace corvane::fpctl {
namespace {

// Columns of text, padded to the widest cell; the last column is not padded,
// so names with blanks stay readable. Right-aligned columns are marked.
class Table {
 public:
  explicit Table(std::vector<std::string> header, std::vector<bool> rightAligned)
      : right_(std::move(rightAligned)) {
    rows_.push_back(std::move(header));
  }
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

  std::string str() const {
    std::vector<std::size_t> widths(rows_.front().size(), 0);
    for (const auto& row : rows_) {
      for (std::size_t i = 0; i < row.size(); ++i) {
        widths[i] = std::max(widths[i], displayWidth(row[i]));
      }
    }
    std::string out;
    for (const auto& row : rows_) {
      std::string line;
      for (std::size_t i = 0; i < row.size(); ++i) {
        const bool last = i + 1 == row.size();
        const std::string pad(widths[i] - displayWidth(row[i]), ' ');
        if (right_[i]) line += pad;
        line += row[i];
        if (!right_[i] && !last) line += pad;
        if (!last) line += "  ";
      }
      out += line + "\n";
    }
    return out;
  }

 private:
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

std::string dateText(const std::optional<host::Date>& date) {
  if (!date) return "-";
  return platform::formatInternetDateTime(std::chrono::floor<std::chrono::seconds>(*date));
}

std::string capabilityText(host::ItemCapabilities caps) {
  static const std::pair<host::ItemCapabilities, const char*> kNames[] = {
      {host::capabilities::kReading, "reading"},
      {host::capabilities::kWriting, "writing"},
      {host::capabilities::kReparenting, "reparenting"},
      {host::capabilities::kRenaming, "renaming"},
      {host::capabilities::kTrashing, "trashing"},
      {host::capabilities::kDeleting, "deleting"},
      {host::capabilities::kEvicting, "evicting"},
  };
  std::string names;
  for (const auto& [bit, name] : kNames) {
    if (caps & bit) names += names.empty() ? name : std::string(", ") + name;
  }
  return std::to_string(caps) + (names.empty() ? "" : " (" + names + ")");
}

std::string itemLines(const host::Item& item) {
  const auto version = item.itemVersion();
  const auto size = item.documentSize();
  const auto type = item.contentType();
  std::string out;
  out += "identifier: " + printable(item.itemIdentifier()) + "\n";
  out += "parent: " + printable(item.parentItemIdentifier()) + "\n";
  out += "filename: " + printable(item.filename()) + "\n";
  out += "contentType: " + (type ? printable(*type) : std::string("-")) + "\n";
  out += "documentSize: " + (size ? std::to_string(*size) : std::string("-")) + "\n";
  out += "contentModificationDate: " + dateText(item.contentModificationDate()) + "\n";
  out += "contentVersion: " + printable(version.contentVersion) + "\n";
  out += "metadataVersion: " + printable(version.metadataVersion) + "\n";
  out += "capabilities: " + capabilityText(item.capabilities()) + "\n";
  return out;
}

// kind, size, modification time, content version and a name column.
std::string itemTable(const host::ItemList& items, bool byIdentifier) {
  Table table({"KIND", "SIZE", "MODIFIED", "VERSION", byIdentifier ? "IDENTIFIER" : "NAME"},
              {false, true, false, false, false});
  for (const auto& item : items) {
    if (!item) continue;
    const auto size = item->documentSize();
    const bool folder = item->contentType() == std::optional<std::string>("public.folder");
    table.add({folder ? "dir" : "file", size ? std::to_string(*size) : "-",
               dateText(item->contentModificationDate()),
               printable(item->itemVersion().contentVersion),
               printable(byIdentifier ? item->itemIdentifier() : item->filename())});
  }
  return table.str();
}

std::string domainTable(const std::vector<host::ServedDomain>& domains) {
  Table table({"ID", "ACCESS", "VERSIONED", "BUCKET", "PREFIX", "REGION", "NAME"},
              {false, false, false, false, false, false, false});
  for (const auto& d : domains) {
    std::string access = "r";
    access += d.writable ? 'w' : '-';
    access += d.deletable ? 'd' : '-';
    table.add({printable(d.domain.identifier), access, d.versioned ? "yes" : "no",
               printable(d.bucket), d.prefix.empty() ? "-" : printable(d.prefix),
               printable(d.region), printable(d.domain.displayName)});
  }
  return table.str();
}

std::string anchorLines(const std::optional<host::SyncAnchor>& anchor) {
  if (!anchor) return "anchor: none\n";
  return "anchor: " + printable(*anchor) + "\nanchorHex: " + toHex(*anchor) + "\n";
}

const char* knownCodeName(const host::Error& error) {
  if (error.domain != host::kFileProviderErrorDomain) return nullptr;
  switch (error.code) {
    case host::codes::kNotAuthenticated:
      return "not authenticated";
    case host::codes::kFilenameCollision:
      return "file name collision";
    case host::codes::kSyncAnchorExpired:
      return "sync anchor expired";
    case host::codes::kServerUnreachable:
      return "server unreachable";
    case host::codes::kNoSuchItem:
      return "no such item";
    case host::codes::kDeletionRejected:
      return "deletion rejected";
    default:
      return nullptr;
  }
}

}  // namespace

std::string errorLine(const host::Error& error, const std::string& about,
                      const std::string& advice) {
  std::string line = "error: " + (about.empty() ? std::string() : printable(about) + ": ") +
                     printable(error.domain) + " " + std::to_string(error.code);
  std::string description = error.localizedDescription();
  if (description.empty()) {
    if (const char* name = knownCodeName(error)) description = name;
  }
  if (!description.empty()) line += ": " + printable(description);
  if (cli::isUnreachable(error)) line += "; " + cli::engineAdvice();
  if (!advice.empty()) line += "; " + printable(advice);
  return line + "\n";
}

HumanText resultText(const Outcome& outcome) {
  const Result& r = outcome.result;
  if (r.error) {
    std::string out;
    if (r.kind == CommandKind::fetch && r.url) out = "url: " + printable(r.url->string()) + "\n";
    return HumanText{out, errorLine(*r.error, commandWords(outcome.command), r.advice)};
  }
  std::string out;
  switch (r.kind) {
    case CommandKind::domains:
      out = domainTable(r.domains);
      break;
    case CommandKind::item:
    case CommandKind::create:
    case CommandKind::modify:
      out = r.item ? itemLines(*r.item) : "item: none\n";
      // Only said when set: the host's copy of the contents is out of date
      // (the user's bytes went to a conflict copy).
      if (r.shouldFetchContent) out += "shouldFetchContent: true\n";
      break;
    case CommandKind::list:
      out = itemTable(r.items, false);
      if (r.nextPage) out += "next page: " + printable(*r.nextPage) + "\n";
      break;
    case CommandKind::changes:
      for (const auto& id : r.deletedIdentifiers) out += "deleted: " + printable(id) + "\n";
      if (!r.updatedItems.empty()) out += itemTable(r.updatedItems, true);
      out += anchorLines(r.anchor);
      if (r.moreComing) out += "more coming\n";
      break;
    case CommandKind::anchor:
      out = anchorLines(r.anchor);
      break;
    case CommandKind::fetch:
      out = "url: " + (r.url ? printable(r.url->string()) : std::string("-")) + "\n";
      if (r.range) {
        out += "range: " + std::to_string(r.range->offset) + ":" + std::to_string(r.range->length) +
               "\n";
        out += std::string("reachesEndOfFile: ") + (r.reachesEndOfFile ? "yes" : "no") + "\n";
      }
      if (r.item) out += itemLines(*r.item);
      break;
    case CommandKind::delete_:
      out = "deleted: " + printable(outcome.command.identifier) + "\n";
      break;
  }
  return HumanText{std::move(out), {}};
}

std::string prefixLines(const std::string& text, const std::string& prefix) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    out += prefix;
    out.append(text, start, end - start + 1);
    start = end + 1;
  }
  return out;
}

}  // namespace corvane::fpctl
