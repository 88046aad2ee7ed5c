#include "scope_paths.h"

#include "api_error.h"
#include "host/item_names.h"
#include "platform/quoted_text.h"

namespace corvane::syncengine {
using platform::quotedInput;

void checkPath(std::string_view path, std::string_view what) {
  if (const host::NameVerdict verdict = host::checkItemPath(path); !verdict.ok()) {
    const bool tooLong = verdict.kind == host::NameVerdict::Kind::tooLong;
    throw badRequest("The " + std::string(what) + " " + quotedInput(path) + " " + verdict.message +
                     (tooLong ? "." : "; use a path like \"folder/file.txt\"."));
  }
}

void checkExistingPath(std::string_view path, std::string_view what) {
  if (path.size() <= host::kMaxPathBytes) return checkPath(path, what);
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string_view name =
        path.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (const host::NameVerdict verdict = host::checkItemName(name); !verdict.ok()) {
      throw badRequest("The " + std::string(what) + " " + quotedInput(path) +
                       " has a name that " + verdict.message +
                       "; use a path like \"folder/file.txt\".");
    }
    if (slash == std::string_view::npos) return;
    start = slash + 1;
  }
}

void checkName(std::string_view name, std::string_view what) {
  if (const host::NameVerdict verdict = host::checkItemName(name); !verdict.ok()) {
    throw badRequest("The " + std::string(what) + " " + quotedInput(name) +
                     " is not a valid file name: it " + verdict.message + ".");
  }
}

ItemKey parseItemKey(std::string_view key, std::string_view what) {
  if (key.empty() || key == "/") {
    throw badRequest("The " + std::string(what) + " " + quotedInput(key) +
                     " names the whole scope; name an item inside it instead.");
  }
  ItemKey result;
  if (key.back() == '/') {
    result.folder = true;
    key.remove_suffix(1);
  }
  checkExistingPath(key, what);
  result.path = std::string(key);
  return result;
}

void checkLocalPath(std::string_view path, std::string_view what) {
  if (path.empty() || path.front() != '/') {
    throw badRequest("The " + std::string(what) + " " + quotedInput(path) +
                     " must be an absolute file path.");
  }
  if (path.find('\0') != std::string_view::npos) {
    throw badRequest("The " + std::string(what) + " path holds a NUL character.");
  }
}

std::string parentOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string nameOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string joinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string out;
  out.reserve(folder.size() + 1 + name.size());
  out.append(folder).append("/").append(name);
  return out;
}

bool isWithin(std::string_view path, std::string_view folder) {
  if (folder.empty()) return true;
  if (!path.starts_with(folder)) return false;
  return path.size() == folder.size() || path[folder.size()] == '/';
}

}  // namespace corvane::syncengine
