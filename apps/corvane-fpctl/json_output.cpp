#include "json_output.h"

#include <chrono>

#include "platform/json_writer.h"
#include "text.h"

namespace corvane::fpctl {
namespace {

using platform::JsonObjectWriter;
using platform::jsonQuote;

// Every text goes out as UTF-8: bytes that are not are replaced.
JsonObjectWriter& addText(JsonObjectWriter& w, std::string_view key, std::string_view bytes) {
  return w.addString(key, lossyText(bytes));
}

std::string itemOrNull(const std::shared_ptr<const host::Item>& item) {
  return item ? itemJson(*item) : std::string("null");
}

std::string itemArray(const host::ItemList& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    out += itemOrNull(items[i]);
  }
  out += ']';
  return out;
}

std::string textArray(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ',';
    out += jsonQuote(lossyText(texts[i]));
  }
  out += ']';
  return out;
}

void addAnchor(JsonObjectWriter& w, const std::optional<host::SyncAnchor>& anchor) {
  if (!anchor) {
    w.addNull("anchor");
    return;
  }
  addText(w, "anchor", *anchor);
  w.addString("anchorHex", toHex(*anchor));
}

}  // namespace

std::string itemJson(const host::Item& item) {
  JsonObjectWriter w;
  addText(w, "identifier", item.itemIdentifier());
  addText(w, "parent", item.parentItemIdentifier());
  addText(w, "filename", item.filename());
  if (auto type = item.contentType()) {
    addText(w, "contentType", *type);
  } else {
    w.addNull("contentType");
  }
  if (auto size = item.documentSize()) {
    w.addInt("documentSize", *size);
  } else {
    w.addNull("documentSize");
  }
  if (auto date = item.contentModificationDate()) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(*date);
    w.addInt("contentModificationDate", seconds.time_since_epoch().count());
  } else {
    w.addNull("contentModificationDate");
  }
  const host::ItemVersion version = item.itemVersion();
  addText(w, "contentVersion", version.contentVersion);
  addText(w, "metadataVersion", version.metadataVersion);
  w.addString("contentVersionHex", toHex(version.contentVersion));
  w.addString("metadataVersionHex", toHex(version.metadataVersion));
  w.addInt("capabilities", static_cast<std::int64_t>(item.capabilities()));
  return std::move(w).str();
}

std::string errorJson(const host::Error& error) {
  JsonObjectWriter info;
  for (const auto& [key, value] : error.userInfo) addText(info, lossyText(key), value);
  JsonObjectWriter w;
  addText(w, "domain", error.domain);
  w.addInt("code", error.code);
  w.addRaw("userInfo", std::move(info).str());
  return std::move(w).str();
}

std::string domainJson(const host::ServedDomain& d) {
  JsonObjectWriter w;
  w.addString("connection", d.connection)
      .addInt("scope", d.scope)
      .addString("name", d.domain.displayName)
      .addString("bucket", d.bucket)
      .addString("prefix", d.prefix)
      .addString("region", d.region)
      .addBool("versioned", d.versioned)
      .addBool("write", d.writable)
      .addBool("delete", d.deletable)
      .addString("id", d.domain.identifier);
  return std::move(w).str();
}

std::string resultJson(const Result& r, std::optional<int> line) {
  JsonObjectWriter w;
  if (line) w.addInt("line", *line);
  if (r.error) {
    w.addRaw("error", errorJson(*r.error));
    if (!r.advice.empty()) addText(w, "advice", r.advice);
    // fetch --output that could not move the received file: where it is.
    if (r.kind == CommandKind::fetch && r.url) addText(w, "url", r.url->string());
  } else {
    switch (r.kind) {
      case CommandKind::domains: {
        std::string scopes = "[";
        for (std::size_t i = 0; i < r.domains.size(); ++i) {
          if (i > 0) scopes += ',';
          scopes += domainJson(r.domains[i]);
        }
        scopes += ']';
        w.addRaw("scopes", scopes);
        break;
      }
      case CommandKind::item:
      case CommandKind::create:
      case CommandKind::modify:
        w.addRaw("item", itemOrNull(r.item));
        break;
      case CommandKind::list:
        w.addRaw("items", itemArray(r.items));
        w.addInt("batches", r.batches);
        if (r.nextPage) {
          addText(w, "nextPage", *r.nextPage);
        } else {
          w.addNull("nextPage");
        }
        break;
      case CommandKind::changes:
        w.addRaw("deleted", textArray(r.deletedIdentifiers));
        w.addRaw("updated", itemArray(r.updatedItems));
        addAnchor(w, r.anchor);
        w.addBool("moreComing", r.moreComing);
        w.addRaw("order", textArray(r.order));
        break;
      case CommandKind::anchor:
        addAnchor(w, r.anchor);
        break;
      case CommandKind::fetch:
        if (r.url) {
          addText(w, "url", r.url->string());
        } else {
          w.addNull("url");
        }
        w.addRaw("item", itemOrNull(r.item));
        if (r.range) {
          w.addRaw("range", JsonObjectWriter()
                                .addInt("offset", r.range->offset)
                                .addInt("length", r.range->length)
                                .str());
          w.addBool("reachesEndOfFile", r.reachesEndOfFile);
        }
        break;
      case CommandKind::delete_:
        w.addBool("deleted", true);
        break;
    }
  }
  if (r.kind == CommandKind::create || r.kind == CommandKind::modify) {
    w.addInt("pendingFields", static_cast<std::int64_t>(r.pendingFields));
    w.addBool("shouldFetchContent", r.shouldFetchContent);
  }
  if (isAsynchronousEntryPoint(r.kind)) {
    w.addInt("handlerCalls", r.handlerCalls);
    w.addRaw("progress", JsonObjectWriter()
                             .addInt("completed", r.completedUnitCount)
                             .addInt("total", r.totalUnitCount)
                             .str());
  }
  return std::move(w).str();
}

std::string failureJson(const host::Error& error, std::optional<int> line) {
  JsonObjectWriter w;
  if (line) w.addInt("line", *line);
  return std::move(w.addRaw("error", errorJson(error))).str();
}

}  // namespace corvane::fpctl
