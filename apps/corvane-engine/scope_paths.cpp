#include "scope_paths.h"

#include <cstdint>

#include "api_error.h"

namespace corvane::syncengine {
namespace {

std::string inQuotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Empty when `name` is acceptable, else the reason.
std::string nameProblem(std::string_view name) {
  if (name.empty()) return "has an empty component";
  if (name == "." || name == "..") return "has a \".\" or \"..\" component";
  if (name.find('\0') != std::string_view::npos) return "holds a NUL character";
  if (name.find('\\') != std::string_view::npos) return "holds a backslash";
  if (name.find('/') != std::string_view::npos) return "holds a \"/\"";
  if (!isValidUtf8(name)) return "is not valid UTF-8";
  if (name.size() > kMaxNameBytes) {
    return "has a name longer than " + std::to_string(kMaxNameBytes) + " bytes";
  }
  if (isWorkFileName(name)) return "uses a name reserved for the engine's work files";
  return {};
}

}  // namespace

bool isWorkFileName(std::string_view name) { return name.starts_with(kWorkFilePrefix); }

void checkPath(std::string_view path, std::string_view what) {
  if (path.empty()) return;
  if (path.front() == '/') {
    throw badRequest("The " + std::string(what) + " " + inQuotes(path) +
                     " must be relative to the scope and must not begin with \"/\".");
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string_view name =
        path.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (auto problem = nameProblem(name); !problem.empty()) {
      throw badRequest("The " + std::string(what) + " " + inQuotes(path) + " " + problem +
                       "; use a path like \"folder/file.txt\".");
    }
    if (slash == std::string_view::npos) return;
    start = slash + 1;
  }
}

void checkName(std::string_view name, std::string_view what) {
  if (auto problem = nameProblem(name); !problem.empty()) {
    throw badRequest("The " + std::string(what) + " " + inQuotes(name) +
                     " is not a valid file name: it " + (name.empty() ? "is empty" : problem) +
                     ".");
  }
}

ItemKey parseItemKey(std::string_view key, std::string_view what) {
  if (key.empty() || key == "/") {
    throw badRequest("The " + std::string(what) + " " + inQuotes(key) +
                     " names the whole scope; name an item inside it instead.");
  }
  ItemKey result;
  if (key.back() == '/') {
    result.folder = true;
    key.remove_suffix(1);
  }
  checkPath(key, what);
  result.path = std::string(key);
  return result;
}

void checkLocalPath(std::string_view path, std::string_view what) {
  if (path.empty() || path.front() != '/') {
    throw badRequest("The " + std::string(what) + " " + inQuotes(path) +
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

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2, min = 0x80, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, min = 0x800, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, code = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace corvane::syncengine
