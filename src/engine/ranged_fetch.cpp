// EngineClient::fetchRange: a byte range of an object into a local file, with
// the fallbacks for engines that predate ranges.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "engine/decoding.h"
#include "engine/engine_client.h"
#include "engine/engine_error.h"
#include "engine/json_text.h"
#include "engine/transport.h"

namespace corvane {
namespace {

constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();

bool isWordCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Whether `word` stands in `text` as a word of its own, so that a path such
// as "offsets.txt" quoted in an unrelated message does not count.
bool namesWord(std::string_view text, std::string_view word) {
  for (std::size_t at = text.find(word); at != std::string_view::npos;
       at = text.find(word, at + 1)) {
    const bool before = at > 0 && isWordCharacter(text[at - 1]);
    const std::size_t end = at + word.size();
    const bool after = end < text.size() && isWordCharacter(text[end]);
    if (!before && !after) return true;
  }
  return false;
}

// An engine that does not know the range keys and says so: it refuses the
// request as malformed, naming a key it did not expect.
bool refusesRangeKeys(const EngineError& e) {
  return e.kind() == EngineError::Case::server && e.status() == 400 &&
         (namesWord(e.message(), "offset") || namesWord(e.message(), "length"));
}

std::int64_t fileSize(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    throw std::filesystem::filesystem_error("the fetched file cannot be read", file,
                                            std::error_code(errno, std::generic_category()));
  }
  return static_cast<std::int64_t>(st.st_size);
}

// What the destination holds, judged by its size: the asked range clipped to
// the object, or the whole object from an engine that ignored the range.
// `asked` is absent for a whole download.
FetchedRange delivered(Entry entry, const std::filesystem::path& to,
                       std::optional<std::pair<std::int64_t, std::int64_t>> asked) {
  const std::int64_t size = entry.size;
  const std::int64_t got = fileSize(to);
  if (size >= 0) {
    if (asked) {
      const auto [offset, end] = *asked;
      const std::int64_t start = std::min(offset, size);
      const std::int64_t length = std::min(end, size) - start;
      if (got == length) return FetchedRange{std::move(entry), start, length};
    }
    if (got == size) return FetchedRange{std::move(entry), 0, size};
  }
  throw DecodingError(DecodingError::Kind::dataCorrupted, {"size"},
                      "the engine wrote " + std::to_string(got) + " bytes for an object of " +
                          std::to_string(size) + " bytes");
}

}  // namespace

FetchedRange EngineClient::fetchRange(const std::string& path, const std::filesystem::path& to,
                                      std::int64_t offset, std::int64_t length) const {
  if (offset < 0 || length < 0) {
    throw std::system_error(EINVAL, std::generic_category(), "a negative byte range");
  }
  const std::int64_t end = offset + std::min(length, kLargest - offset);
  const std::string dest = std::filesystem::absolute(to).string();
  const std::string route = scopePath() + "/fetch";

  if (!refusesRanges()) {
    const std::string body = JsonObjectWriter()
                                 .addString("path", path)
                                 .addString("dest", dest)
                                 .addInt("offset", offset)
                                 .addInt("length", end - offset)
                                 .str();
    try {
      Entry entry = decode::entry(transport::request("POST", route, body));
      return delivered(std::move(entry), to, std::make_pair(offset, end));
    } catch (const EngineError& e) {
      if (!refusesRangeKeys(e)) throw;
    }
  }

  Entry entry = fetch(path, to);
  // Learnt only once the whole download has worked: a 400 that had another
  // cause and merely mentioned one of the words fails again here, and is
  // reported without costing later calls their ranges.
  refusesRanges_.store(true, std::memory_order_relaxed);
  return delivered(std::move(entry), to, std::nullopt);
}

}  // namespace corvane
