// Enumerator: answers the host's listing, change and anchor questions for one
// container. Made by the extension with its engine client (shared) and a copy
// of the resolved scope; holds no other state. Every call runs on the
// caller's thread and blocks it for one engine request; calls may overlap.
#pragma once

#include <memory>

#include "engine/engine_client.h"
#include "engine/records.h"
#include "host/extension.h"

namespace corvane {

class Enumerator final : public host::Enumerator {
 public:
  Enumerator(host::ItemIdentifier container, std::shared_ptr<const EngineClient> engine,
             Scope scope)
      : container_(std::move(container)),
        engine_(std::move(engine)),
        scope_(std::make_shared<const Scope>(std::move(scope))) {}

  const host::ItemIdentifier& container() const { return container_; }
  const Scope& scope() const { return *scope_; }

  void invalidate() override {}
  void enumerateItems(host::EnumerationObserver& observer, const host::Page& page) override;
  void enumerateChanges(host::ChangeObserver& observer, const host::SyncAnchor& anchor) override;
  void currentSyncAnchor(host::AnchorHandler completionHandler) override;

 private:
  const host::ItemIdentifier container_;
  const std::shared_ptr<const EngineClient> engine_;
  const std::shared_ptr<const Scope> scope_;
};

}  // namespace corvane
