#include "corvane-mount/kernel_notes.h"

#include <set>
#include <tuple>

namespace corvane::mount {

void KernelNotes::note(Invalidation invalidation) {
  std::function<void()> listener;
  {
    std::lock_guard lock(mutex_);
    notes_.push_back(std::move(invalidation));
    listener = listener_;
  }
  if (listener) listener();
}

void KernelNotes::note(const std::vector<Invalidation>& invalidations) {
  for (const auto& i : invalidations) note(i);
}

std::vector<Invalidation> KernelNotes::take() {
  std::vector<Invalidation> all;
  {
    std::lock_guard lock(mutex_);
    all.swap(notes_);
  }
  std::set<std::tuple<int, Ino, std::string>> seen;
  std::vector<Invalidation> out;
  out.reserve(all.size());
  for (auto& n : all) {
    if (seen.emplace(n.kind, n.ino, n.name).second) out.push_back(std::move(n));
  }
  return out;
}

void KernelNotes::setListener(std::function<void()> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

}  // namespace corvane::mount
