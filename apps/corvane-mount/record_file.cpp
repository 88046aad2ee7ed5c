#include "corvane-mount/record_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <system_error>

#include "platform/percent_encoding.h"
#include "platform/unique_fd.h"
#include "platform/uuid.h"

namespace corvane::mount::records {
namespace fs = std::filesystem;

namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string hex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

std::optional<std::string> unhex(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = platform::hexDigitValue(text[i]), lo = platform::hexDigitValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

[[noreturn]] void fail(const fs::path& file, int err) {
  throw fs::filesystem_error("cannot write " + file.filename().string(), file,
                             std::error_code(err, std::generic_category()));
}

}  // namespace

void write(const fs::path& target, const fs::path& tempFolder, std::string_view header,
           const Fields& fields, bool durable) {
  std::string text(header);
  for (const auto& [key, value] : fields) text += "\n" + key + " " + hex(value);
  text += "\n";
  const fs::path temp =
      tempFolder / (target.filename().string() + "." + platform::newUUID().substr(0, 8));
  platform::UniqueFd fd(
      ::open(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) fail(temp, errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd.get(), text.data() + done, text.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::unlink(temp.c_str());
      fail(temp, err);
    }
    done += static_cast<std::size_t>(put);
  }
  if ((durable && ::fsync(fd.get()) != 0) || fd.close() != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    fail(temp, err);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    fail(target, err);
  }
  if (durable) {
    platform::UniqueFd folder(::open(target.parent_path().c_str(),
                                     O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || ::fsync(folder.get()) != 0) fail(target, errno);
  }
}

std::optional<Fields> readAll(const fs::path& file, std::string_view header) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || line != header) return std::nullopt;
  Fields fields;
  while (std::getline(in, line)) {
    const auto space = line.find(' ');
    if (space == std::string::npos) return std::nullopt;
    auto value = unhex(std::string_view(line).substr(space + 1));
    if (!value) return std::nullopt;
    fields.emplace_back(line.substr(0, space), std::move(*value));
  }
  return fields;
}

std::optional<std::map<std::string, std::string>> read(const fs::path& file,
                                                       std::string_view header) {
  auto fields = readAll(file, header);
  if (!fields) return std::nullopt;
  std::map<std::string, std::string> byKey;
  for (auto& [key, value] : *fields) byKey[key] = std::move(value);
  return byKey;
}

std::optional<std::int64_t> number(const std::string& text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace corvane::mount::records
