#include "engine/store_status.h"

#include <simdjson.h>

#include <fstream>
#include <sstream>

#include "platform/iso8601.h"
#include "platform/json_writer.h"

namespace corvane::stores {

std::filesystem::path storeStatusPath(const std::filesystem::path& applicationSupport) {
  return applicationSupport / "engine-status.json";
}

std::string encodeStoreStatus(const StoreStatusFile& status) {
  std::string scopes = "[";
  for (const ScopeStoreStatus& scope : status.scopes) {
    if (scopes.size() > 1) scopes += ",";
    platform::JsonObjectWriter o;
    o.addString("id", scope.scopeId).addString("store", scope.store);
    o.addBool("answering", scope.answering);
    if (!scope.answering) {
      o.addString("silentSince", platform::formatInternetDateTime(scope.silentSince));
    }
    scopes += std::move(o).str();
  }
  scopes += "]";
  return platform::JsonObjectWriter().addInt("pid", status.pid).addRaw("scopes", scopes).str() +
         "\n";
}

std::optional<StoreStatusFile> decodeStoreStatus(const std::string& text) {
  simdjson::dom::parser parser;
  simdjson::dom::object root;
  if (parser.parse(text).get_object().get(root)) return std::nullopt;
  StoreStatusFile status;
  std::int64_t pid = 0;
  simdjson::dom::array scopes;
  if (root["pid"].get_int64().get(pid) || root["scopes"].get_array().get(scopes)) {
    return std::nullopt;
  }
  status.pid = static_cast<pid_t>(pid);
  for (simdjson::dom::element element : scopes) {
    simdjson::dom::object scope;
    std::string_view id;
    std::string_view store;
    bool answering = true;
    if (element.get_object().get(scope) || scope["id"].get_string().get(id) ||
        scope["store"].get_string().get(store) || scope["answering"].get_bool().get(answering)) {
      return std::nullopt;
    }
    ScopeStoreStatus entry{std::string(id), std::string(store), answering, {}};
    if (!answering) {
      std::string_view since;
      if (scope["silentSince"].get_string().get(since)) return std::nullopt;
      const auto time = platform::parseInternetDateTime(since);
      if (!time) return std::nullopt;
      entry.silentSince = *time;
    }
    status.scopes.push_back(std::move(entry));
  }
  return status;
}

std::optional<StoreStatusFile> readStoreStatus(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return decodeStoreStatus(text.str());
}

}  // namespace corvane::stores
