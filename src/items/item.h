// Item: what the host sees of one object or folder of a scope, an immutable
// pair of the engine's Entry and the domain's Scope. Safe to read from any
// thread. identifier(), path() and parent() are the extension's names for the
// host-level rule that an identifier is a path (host/item_paths.h).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "engine/records.h"
#include "host/item.h"

namespace corvane {

class Item final : public host::Item {
 public:
  Item(Entry entry, Scope scope)
      : entry_(std::move(entry)), scope_(std::make_shared<const Scope>(std::move(scope))) {}
  // Items of one listing share their scope: a large folder holds it once.
  Item(Entry entry, std::shared_ptr<const Scope> scope)
      : entry_(std::move(entry)), scope_(std::move(scope)) {}

  // The scope's root folder: empty path, the bucket's name, a folder.
  static std::shared_ptr<const Item> root(const Scope& scope);

  // The root container identifier for the empty path; the path itself otherwise.
  static host::ItemIdentifier identifier(std::string_view path);
  // The empty path for the root container identifier; the identifier's text otherwise.
  static std::string path(std::string_view identifier);
  // The text before the last "/"; the empty path when there is none.
  static std::string parent(std::string_view path);

  // "<seconds since 1970>" as the shortest decimal that reads back to the same
  // double, with at least one digit after the point ("1715000000.0").
  static std::string secondsText(Timestamp t);

  const Entry& entry() const { return entry_; }
  const Scope& scope() const { return *scope_; }

  host::ItemIdentifier itemIdentifier() const override;
  host::ItemIdentifier parentItemIdentifier() const override;
  std::string filename() const override { return entry_.name; }
  std::optional<std::string> contentType() const override;
  std::optional<std::int64_t> documentSize() const override;
  std::optional<host::Date> contentModificationDate() const override;
  host::ItemVersion itemVersion() const override;
  host::ItemCapabilities capabilities() const override;

 private:
  const Entry entry_;
  const std::shared_ptr<const Scope> scope_;
};

}  // namespace corvane
