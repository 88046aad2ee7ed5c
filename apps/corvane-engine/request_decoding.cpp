#include "request_decoding.h"

#include "api_error.h"
#include "platform/percent_encoding.h"

namespace corvane::syncengine {
using platform::hexDigitValue;

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? hexDigitValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? hexDigitValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) {
      throw badRequest("The request address has a bad percent escape; encode \"%\" as \"%25\".");
    }
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

Query::Query(std::string_view query) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    std::string name = percentDecode(pair.substr(0, eq));
    std::string value =
        eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1));
    values_.try_emplace(std::move(name), std::move(value));
  }
}

const std::string& Query::required(const std::string& name) const {
  auto it = values_.find(name);
  if (it == values_.end())
    throw badRequest("The request lacks the query parameter \"" + name + "\".");
  return it->second;
}

JsonBody::JsonBody(const std::string& body) {
  simdjson::dom::element root;
  if (parser_.parse(body).get(root) != simdjson::SUCCESS) {
    throw badRequest("The request body is not valid JSON; send a JSON object.");
  }
  if (root.get_object().get(object_) != simdjson::SUCCESS) {
    throw badRequest("The request body must be a JSON object.");
  }
}

simdjson::dom::element JsonBody::value(const char* key) const {
  simdjson::dom::element element;
  if (object_.at_key(key).get(element) != simdjson::SUCCESS || element.is_null()) {
    throw badRequest(std::string("The request body lacks the key \"") + key + "\".");
  }
  return element;
}

std::string JsonBody::string(const char* key) const {
  std::string_view text;
  if (value(key).get_string().get(text) != simdjson::SUCCESS) {
    throw badRequest(std::string("The value of \"") + key + "\" must be a JSON string.");
  }
  return std::string(text);
}

std::optional<std::int64_t> JsonBody::optionalCount(const char* key) const {
  simdjson::dom::element element;
  if (object_.at_key(key).get(element) != simdjson::SUCCESS || element.is_null()) {
    return std::nullopt;
  }
  std::int64_t number = 0;
  if (element.get_int64().get(number) != simdjson::SUCCESS || number < 0) {
    throw badRequest(std::string("The value of \"") + key +
                     "\" must be a whole number of 0 or more.");
  }
  return number;
}

std::vector<std::string> JsonBody::stringArray(const char* key) const {
  simdjson::dom::array array;
  if (value(key).get_array().get(array) != simdjson::SUCCESS) {
    throw badRequest(std::string("The value of \"") + key + "\" must be a JSON array of strings.");
  }
  std::vector<std::string> out;
  for (simdjson::dom::element item : array) {
    std::string_view text;
    if (item.get_string().get(text) != simdjson::SUCCESS) {
      throw badRequest(std::string("Every element of \"") + key + "\" must be a JSON string.");
    }
    out.emplace_back(text);
  }
  return out;
}

}  // namespace corvane::syncengine
