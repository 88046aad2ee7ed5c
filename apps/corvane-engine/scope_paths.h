// Scope-relative paths as the API carries them: components joined by "/", no
// leading or trailing "/", "" for the root. Every path and name that reaches
// the storage passes one of the checks below first; a refusal is an ApiError
// 400.
#pragma once

#include <string>
#include <string_view>

namespace corvane::syncengine {

// Throws 400 unless `path` is "" or a sequence of valid names joined by "/"
// that the item name rule (host/item_names.h) accepts, within its limit on a
// path's length. For paths the engine is about to create. `what` names the
// request key in the message ("path", "dir").
void checkPath(std::string_view path, std::string_view what);

// The same for paths of items that may exist already: the names must be
// valid, but the path may be longer than a new one may be, so that what
// another program made deeper can still be read, replaced, moved and
// deleted.
void checkExistingPath(std::string_view path, std::string_view what);

// Throws 400 unless the item name rule accepts `name`.
void checkName(std::string_view name, std::string_view what);

// A key of delete, rename or move: the path of an existing item (see
// checkExistingPath), with a trailing "/" when it names a folder. The root
// ("" or "/") is refused with 400.
struct ItemKey {
  std::string path;  // without the trailing "/"
  bool folder = false;
};
ItemKey parseItemKey(std::string_view key, std::string_view what);

// Throws 400 unless `path` is an absolute local file path without a NUL.
void checkLocalPath(std::string_view path, std::string_view what);

std::string parentOf(std::string_view path);  // "" for a top-level item
std::string nameOf(std::string_view path);    // the last component
std::string joinPath(std::string_view folder, std::string_view name);
// True when `path` is `folder` itself or lies below it ("" contains everything).
bool isWithin(std::string_view path, std::string_view folder);

}  // namespace corvane::syncengine
