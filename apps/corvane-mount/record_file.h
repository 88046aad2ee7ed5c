// The small files in which the mount keeps what must outlive it (the records
// of unsent changes, the intents of renames in progress): a header line, then
// one "key value" a line with the values in hex, so that names of any bytes
// fit. Written whole or not at all. Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::mount::records {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Writes `fields` under `header` to `target`, through a file in
// `tempFolder` (on the same file system) that is renamed into place, so a
// run that ends at any moment leaves the old file or the new one. `durable`
// also syncs the file and its folder before returning, so that the new one
// survives a power loss too. Throws a filesystem_error.
void write(const std::filesystem::path& target, const std::filesystem::path& tempFolder,
           std::string_view header, const Fields& fields, bool durable);

// The fields of such a file in order; nothing when it is missing, has
// another header or is not in that form.
std::optional<Fields> readAll(const std::filesystem::path& file, std::string_view header);
// The same by key (the last of a key that repeats).
std::optional<std::map<std::string, std::string>> read(const std::filesystem::path& file,
                                                       std::string_view header);

// A decimal number written as a field; nothing when the text is not one.
std::optional<std::int64_t> number(const std::string& text);

}  // namespace corvane::mount::records
