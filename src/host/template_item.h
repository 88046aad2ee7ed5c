// The item a host hands to createItem and modifyItem: an identifier, a
// parent, a file name and, unless left out, a content type; everything else
// reads as the protocol's defaults. Immutable, so the extension may read it
// from any thread while the host keeps it alive.
#pragma once

#include <optional>
#include <string>

#include "host/item.h"

namespace corvane::host {

class TemplateItem final : public Item {
 public:
  TemplateItem(ItemIdentifier identifier, ItemIdentifier parent, std::string filename,
               std::optional<std::string> contentType)
      : identifier_(std::move(identifier)),
        parent_(std::move(parent)),
        filename_(std::move(filename)),
        contentType_(std::move(contentType)) {}

  ItemIdentifier itemIdentifier() const override { return identifier_; }
  ItemIdentifier parentItemIdentifier() const override { return parent_; }
  std::string filename() const override { return filename_; }
  std::optional<std::string> contentType() const override { return contentType_; }

 private:
  const ItemIdentifier identifier_;
  const ItemIdentifier parent_;
  const std::string filename_;
  const std::optional<std::string> contentType_;
};

}  // namespace corvane::host
