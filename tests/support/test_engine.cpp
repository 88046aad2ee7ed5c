#include "support/test_engine.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "engine/json_text.h"
#include "platform/log.h"
#include "platform/percent_encoding.h"

namespace corvane::testing {
namespace {

std::string lowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// %XX only: a "+" stays a "+", so a client that sends a blank as "+" is seen.
std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = platform::hexDigitValue(text[i + 1]);
      int lo = platform::hexDigitValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> parseQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> items;
  if (query.empty()) return items;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = query.find('&', start);
    std::string_view item =
        query.substr(start, end == std::string_view::npos ? query.npos : end - start);
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      items.emplace_back(percentDecode(item), std::string());
    } else {
      items.emplace_back(percentDecode(item.substr(0, eq)), percentDecode(item.substr(eq + 1)));
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return items;
}

// The value at `key` of the body, when the body is a JSON object holding it.
template <typename Use>
auto withBodyValue(const std::string& body, std::string_view key, Use&& use)
    -> decltype(use(std::declval<simdjson::dom::element>())) {
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  if (parser.parse(body).get_object().get(object)) return {};
  simdjson::dom::element value;
  if (object.at_key(key).get(value)) return {};
  return use(value);
}

uint16_t socketPort(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  return 0;
}

// Shuts down this process's server-side sockets of connections accepted on
// `localPort`, optionally only the one from `remotePort`. cpp-httplib does not
// hand its sockets to handlers, so they are found among the open descriptors.
void shutDownConnections(int localPort, std::optional<int> remotePort) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return;
  std::vector<int> fds;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    fds.push_back(std::atoi(e->d_name));
  }
  ::closedir(dir);
  for (int fd : fds) {
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof local, peerLen = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) continue;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;
    if (socketPort(local) != localPort) continue;
    if (remotePort && socketPort(peer) != *remotePort) continue;
    ::shutdown(fd, SHUT_RDWR);
  }
}

std::string notScripted(const Received& r) {
  return JsonObjectWriter().addString("message", "not scripted: " + r.method + " " + r.path).str();
}

}  // namespace

// ---- Received

std::optional<std::string> Received::header(std::string_view name) const {
  auto it = headers.find(lowerCase(name));
  if (it == headers.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> Received::queryValue(std::string_view name) const {
  for (const auto& [n, v] : query) {
    if (n == name) return v;
  }
  return std::nullopt;
}

std::optional<std::string> Received::bodyString(std::string_view key) const {
  return withBodyValue(body, key, [](simdjson::dom::element v) -> std::optional<std::string> {
    std::string_view s;
    if (v.get_string().get(s)) return std::nullopt;
    return std::string(s);
  });
}

std::optional<std::vector<std::string>> Received::bodyStrings(std::string_view key) const {
  return withBodyValue(body, key,
                       [](simdjson::dom::element v) -> std::optional<std::vector<std::string>> {
                         simdjson::dom::array array;
                         if (v.get_array().get(array)) return std::nullopt;
                         std::vector<std::string> out;
                         for (simdjson::dom::element item : array) {
                           std::string_view s;
                           if (item.get_string().get(s)) return std::nullopt;
                           out.emplace_back(s);
                         }
                         return out;
                       });
}

std::optional<std::int64_t> Received::bodyInt(std::string_view key) const {
  return withBodyValue(body, key, [](simdjson::dom::element v) -> std::optional<std::int64_t> {
    std::int64_t n = 0;
    if (v.get_int64().get(n)) return std::nullopt;
    return n;
  });
}

bool Received::bodyHas(std::string_view key) const {
  return withBodyValue(body, key,
                       [](simdjson::dom::element) -> std::optional<bool> { return true; })
      .value_or(false);
}

// ---- TestEngine

class TestEngine::Server : public httplib::Server {
 public:
  // cpp-httplib listens with a backlog of 5: a burst of concurrent connects
  // overflows it, and each dropped SYN costs the client a one-second retry.
  // listen() on a listening socket only changes its backlog.
  void raiseBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

TestEngine::TestEngine(std::string token)
    : token_(std::move(token)), server_(std::make_unique<Server>()) {
  // Dropping a connection makes the server write into a closed socket.
  ::signal(SIGPIPE, SIG_IGN);

  // Handlers may sleep; a large pool keeps one slow answer (and idle
  // keep-alive connections, which each hold a thread) from delaying others.
  server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
  // Without TCP_NODELAY every answer on a reused connection waits for the
  // client's delayed ACK (tens of milliseconds).
  server_->set_tcp_nodelay(true);
  server_->set_keep_alive_max_count(100000);

  auto handle = [this](const httplib::Request& req, httplib::Response& res) {
    Received r;
    r.method = req.method;
    r.target = req.target;
    std::size_t q = req.target.find('?');
    r.path = req.target.substr(0, q);
    if (q != std::string::npos) r.query = parseQuery(std::string_view(req.target).substr(q + 1));
    for (const auto& [name, value] : req.headers) r.headers.emplace(lowerCase(name), value);
    r.body = req.body;

    Reply reply = answer(r);
    if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
    if (reply.drop) {
      shutDownConnections(req.local_port, req.remote_port);
      return;
    }
    res.status = reply.status;
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);
    res.set_content(reply.body, "application/json");
  };
  const std::string any = ".*";
  server_->Get(any, handle);
  server_->Post(any, handle);
  server_->Put(any, handle);
  server_->Patch(any, handle);
  server_->Delete(any, handle);
  server_->Options(any, handle);

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test engine: cannot bind to 127.0.0.1");
  server_->raiseBacklog();
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listenReturned_ = true;
  });
  // stop() is a no-op until the server runs; waiting here keeps a stop that
  // follows at once from missing the server and leaving it in accept().
  while (!server_->is_running() && !listenReturned_) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  if (listenReturned_) {
    thread_.join();
    throw std::runtime_error("test engine: the server did not start");
  }
}

TestEngine::~TestEngine() { stop(); }

void TestEngine::stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  // Idle keep-alive connections would hold their threads for seconds.
  shutDownConnections(port_, std::nullopt);
  thread_.join();
}

void TestEngine::writeDiscovery(const TestEnvironment& env) const {
  env.writeDiscoveryFile(JsonObjectWriter().addInt("port", port_).addString("token", token_).str());
}

void TestEngine::on(std::string method, std::string path, Reply reply) {
  on(std::move(method), std::move(path), [reply](const Received&) { return reply; });
}

void TestEngine::on(std::string method, std::string path, Handler handler) {
  std::lock_guard lock(mutex_);
  routes_[{std::move(method), std::move(path)}] = Route{std::move(handler), {}};
}

void TestEngine::onScopes(const std::vector<Scope>& scopes) {
  on("GET", "/v1/scopes", Reply{200, "{\"scopes\":" + toJson(scopes) + "}"});
}

void TestEngine::onList(const std::string& scopeID, const std::string& dir,
                        const std::vector<Entry>& entries) {
  std::lock_guard lock(mutex_);
  Route& route = routes_[{"GET", "/v1/scopes/" + scopeID + "/list"}];
  route.handler = nullptr;
  route.listings[dir] = entries;
}

void TestEngine::onFetch(const std::string& scopeID, std::map<std::string, ScriptedFile> files,
                         RangeSupport ranges) {
  auto message = [](const std::string& text) {
    return JsonObjectWriter().addString("message", text).str();
  };
  on("POST", "/v1/scopes/" + scopeID + "/fetch",
     [files = std::move(files), ranges, message](const Received& r) {
       const auto path = r.bodyString("path");
       const auto dest = r.bodyString("dest");
       if (!path || !dest) return Reply{400, message("path and dest are required")};
       if (ranges == RangeSupport::refuses) {
         for (const char* key : {"offset", "length"}) {
           if (r.bodyHas(key)) return Reply{400, message(std::string("unknown key ") + key)};
         }
       }
       auto file = files.find(*path);
       if (file == files.end()) return Reply{404, message("no such object")};
       std::string_view bytes = file->second.contents;
       if (ranges == RangeSupport::serves && (r.bodyHas("offset") || r.bodyHas("length"))) {
         const auto offset = r.bodyInt("offset");
         const auto length = r.bodyInt("length");
         if (!offset || !length || *offset < 0 || *length < 0) {
           return Reply{400, message("a range needs offset and length, both >= 0")};
         }
         const auto start = std::min<std::uint64_t>(*offset, bytes.size());
         bytes = bytes.substr(start, static_cast<std::uint64_t>(*length));
       }
       const int fd = ::open(dest->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
       if (fd < 0) {
         return Reply{errno == EEXIST ? 409 : 400, message("cannot create " + *dest)};
       }
       const bool written =
           ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
       ::close(fd);
       if (!written) return Reply{500, message("cannot write " + *dest)};
       const auto size = static_cast<std::int64_t>(file->second.contents.size());
       return Reply{200, toJson(makeEntry(*path, false, size, file->second.version))};
     });
}

void TestEngine::requireToken(bool on) {
  std::lock_guard lock(mutex_);
  requireToken_ = on;
}

Reply TestEngine::answer(const Received& request) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    received_.push_back(request);
    if (requireToken_ && request.header("authorization") != "Bearer " + token_) {
      return Reply{401, R"({"message":"bad token"})"};
    }
    auto it = routes_.find({request.method, request.path});
    if (it == routes_.end()) return Reply{404, notScripted(request)};
    const Route& route = it->second;
    if (!route.handler) {
      auto dir = request.queryValue("dir");
      auto listing = dir ? route.listings.find(*dir) : route.listings.end();
      if (listing == route.listings.end()) return Reply{404, notScripted(request)};
      return Reply{200, "{\"entries\":" + toJson(listing->second) + "}"};
    }
    handler = route.handler;
  }
  // Outside the lock: a handler may block, or call back into the engine.
  return handler(request);
}

std::vector<Received> TestEngine::requests() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<Received> TestEngine::requests(std::string_view method, std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<Received> out;
  for (const auto& r : received_) {
    if (r.method == method && r.path == path) out.push_back(r);
  }
  return out;
}

std::size_t TestEngine::count(std::string_view method, std::string_view path) const {
  return requests(method, path).size();
}

void TestEngine::clearRequests() {
  std::lock_guard lock(mutex_);
  received_.clear();
}

// ---- builders

Entry makeEntry(std::string path, bool dir, std::int64_t size, std::string version,
                std::int64_t modSeconds) {
  std::string_view trimmed = path;
  if (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
  std::size_t slash = trimmed.rfind('/');
  std::string name(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
  Entry e;
  e.path = std::move(path);
  e.name = std::move(name);
  e.dir = dir;
  e.size = size;
  e.mod_time = Timestamp(std::chrono::seconds(modSeconds));
  e.version = std::move(version);
  return e;
}

Scope makeScope(std::string connection, std::int64_t number, bool write, bool del,
                std::string bucket) {
  Scope s;
  s.connection = std::move(connection);
  s.scope = number;
  s.name = "scope " + std::to_string(number);
  s.bucket = std::move(bucket);
  s.prefix = "";
  s.region = "local";
  s.versioned = false;
  s.write = write;
  s.delete_ = del;
  return s;
}

// ---- the process's log

void ProcessLogEnvironment::SetUp() {
  std::string templ = (std::filesystem::temp_directory_path() / "corvane-log-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  folder_ = templ;
  const char* old = std::getenv("TMPDIR");
  std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("TMPDIR", folder_.c_str(), 1);
  Log::file();  // fixes the log's place for the rest of the process
  if (saved) {
    ::setenv("TMPDIR", saved->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

void ProcessLogEnvironment::TearDown() {
  Log::flush();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string logText() {
  Log::flush();
  std::ifstream in(Log::file(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

LogWatch::LogWatch() : start_(logText().size()) {}

std::vector<std::string> LogWatch::messages() const {
  std::string text = logText();
  std::vector<std::string> out;
  if (text.size() <= start_) return out;
  std::string_view rest = std::string_view(text).substr(start_);
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    std::size_t blank = line.find(' ');
    out.emplace_back(blank == std::string_view::npos ? line : line.substr(blank + 1));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return out;
}

}  // namespace corvane::testing
