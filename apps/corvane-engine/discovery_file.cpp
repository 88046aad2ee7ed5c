#include "discovery_file.h"

#include <fcntl.h>
#include <httplib.h>
#include <simdjson.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "engine/json_text.h"

namespace corvane::syncengine {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

struct Published {
  std::int64_t port = 0;
  std::string token;
};

std::optional<Published> readPublished(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  Published published;
  std::string_view token;
  if (parser.parse(text.str()).get(root) != simdjson::SUCCESS ||
      root["port"].get_int64().get(published.port) != simdjson::SUCCESS ||
      root["token"].get_string().get(token) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  published.token = std::string(token);
  return published;
}

bool portAnswers(std::int64_t port) {
  if (port <= 0 || port > 65535) return false;
  httplib::Client client("127.0.0.1", static_cast<int>(port));
  client.set_connection_timeout(1);
  client.set_read_timeout(2);
  return static_cast<bool>(client.Get("/v1/scopes"));
}

}  // namespace

DiscoveryFile::DiscoveryFile(fs::path folder)
    : folder_(std::move(folder)), file_(folder_ / "engine.json") {}

void DiscoveryFile::claim() {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec) throw std::system_error(ec, "cannot create " + folder_.string());
  const fs::path lockFile = folder_ / "engine.lock";
  lock_ = platform::UniqueFd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock_) fail("cannot open " + lockFile.string());
  const auto published = readPublished(file_);
  const std::string where =
      published ? " on port " + std::to_string(published->port) : std::string();
  if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) fail("cannot lock " + lockFile.string());
    throw AlreadyRunning("another corvane-engine is already running" + where + " for " +
                         folder_.string() + "; stop it first");
  }
  // An engine that does not take our lock may still own the file.
  if (published && portAnswers(published->port)) {
    throw AlreadyRunning("another engine is already serving" + where + " (named in " +
                         file_.string() + "); stop it first");
  }
}

void DiscoveryFile::publish(int port, const std::string& token) {
  const fs::path temporary = folder_ / ("engine.json." + std::to_string(::getpid()) + ".tmp");
  const std::string text =
      JsonObjectWriter().addInt("port", port).addString("token", token).str() + "\n";
  platform::UniqueFd out(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!out) fail("cannot write " + temporary.string());
  // O_CREAT keeps the mode of a leftover file; make sure no one else can read the token.
  if (::fchmod(out.get(), 0600) != 0 ||
      ::write(out.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      ::fsync(out.get()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    fail("cannot write " + temporary.string());
  }
  out.close();
  if (::rename(temporary.c_str(), file_.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    fail("cannot publish " + file_.string());
  }
  token_ = token;
}

void DiscoveryFile::withdraw() {
  if (token_.empty()) return;
  if (const auto published = readPublished(file_); published && published->token == token_) {
    ::unlink(file_.c_str());
  }
  token_.clear();
}

}  // namespace corvane::syncengine
