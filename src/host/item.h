// The item protocol: what the host reads of an item. The extension's items
// and the host's templates (for creation and modification) both implement it.
// Implementations must be safe to read from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "host/identifiers.h"
#include "host/types.h"

namespace corvane::host {

// A point in time as the host sees it (microseconds: years 0001 to 9999 fit).
using Date = std::chrono::sys_time<std::chrono::microseconds>;

class Item {
 public:
  virtual ~Item() = default;

  virtual ItemIdentifier itemIdentifier() const = 0;
  virtual ItemIdentifier parentItemIdentifier() const = 0;
  virtual std::string filename() const = 0;
  // Optional in the protocol: a template may not provide a type.
  virtual std::optional<std::string> contentType() const { return std::nullopt; }
  virtual std::optional<std::int64_t> documentSize() const { return std::nullopt; }
  virtual std::optional<Date> contentModificationDate() const { return std::nullopt; }
  virtual ItemVersion itemVersion() const { return {}; }
  virtual ItemCapabilities capabilities() const { return capabilities::kReading; }
};

}  // namespace corvane::host
