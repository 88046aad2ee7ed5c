// The item the host hands to createItem and modifyItem: an identifier, a
// parent, a file name and, unless left out, a content type. Immutable, so the
// extension may read it from any thread.
#pragma once

#include <optional>
#include <string>

#include "host/item.h"

namespace corvane::fpctl {

class TemplateItem final : public host::Item {
 public:
  TemplateItem(host::ItemIdentifier identifier, host::ItemIdentifier parent, std::string filename,
               std::optional<std::string> contentType)
      : identifier_(std::move(identifier)),
        parent_(std::move(parent)),
        filename_(std::move(filename)),
        contentType_(std::move(contentType)) {}

  host::ItemIdentifier itemIdentifier() const override { return identifier_; }
  host::ItemIdentifier parentItemIdentifier() const override { return parent_; }
  std::string filename() const override { return filename_; }
  std::optional<std::string> contentType() const override { return contentType_; }

 private:
  const host::ItemIdentifier identifier_;
  const host::ItemIdentifier parent_;
  const std::string filename_;
  const std::optional<std::string> contentType_;
};

}  // namespace corvane::fpctl
