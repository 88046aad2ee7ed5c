#include "platform/curl_handles.h"

#include <new>
#include <stdexcept>

namespace corvane::platform {

void initialiseCurl() {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) throw std::runtime_error("libcurl could not be initialised");
}

CurlHandlePool::CurlHandlePool(std::size_t maxIdle) : maxIdle_(maxIdle) { initialiseCurl(); }

CurlHandlePool::~CurlHandlePool() {
  for (CURL* h : idle_) curl_easy_cleanup(h);
}

CURL* CurlHandlePool::take() {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      CURL* h = idle_.back();
      idle_.pop_back();
      return h;
    }
  }
  CURL* h = curl_easy_init();
  if (!h) throw std::bad_alloc();
  return h;
}

void CurlHandlePool::give(CURL* handle) {
  // Drops the options, which point into the finished exchange (buffers,
  // header lists, callbacks' data); the open connections stay.
  curl_easy_reset(handle);
  {
    std::lock_guard lock(mutex_);
    if (idle_.size() < maxIdle_) {
      try {
        idle_.push_back(handle);
        return;
      } catch (const std::bad_alloc&) {
      }
    }
  }
  curl_easy_cleanup(handle);
}

void CurlHandlePool::discard(CURL* handle) { curl_easy_cleanup(handle); }

CurlLease::~CurlLease() {
  if (reusable_) {
    pool_.give(handle_);
  } else {
    pool_.discard(handle_);
  }
}

CurlHeaders::~CurlHeaders() { curl_slist_free_all(list_); }

void CurlHeaders::add(const std::string& line) {
  curl_slist* next = curl_slist_append(list_, line.c_str());
  if (!next) throw std::bad_alloc();
  list_ = next;
}

void ResendGuard::install(CURL* handle) {
  sends_ = 0;
  curl_easy_setopt(
      handle, CURLOPT_PREREQFUNCTION, +[](void* user, char*, char*, int, int) -> int {
        auto* guard = static_cast<ResendGuard*>(user);
        return ++guard->sends_ > 1 ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
      });
  curl_easy_setopt(handle, CURLOPT_PREREQDATA, this);
}

bool connectionReusable(CURL* handle, std::uint64_t bodyLength, long status) {
  if (bodyLength == 0) return true;
  if (status < 200 || status >= 300) return false;
  curl_off_t sent = 0;
  if (curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &sent) != CURLE_OK) return false;
  return sent >= 0 && static_cast<std::uint64_t>(sent) >= bodyLength;
}

bool headerField(std::string_view line, std::string& name, std::string& value) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  name.assign(line.substr(0, colon));
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const std::string_view rest = line.substr(colon + 1);
  const auto first = rest.find_first_not_of(" \t");
  const auto last = rest.find_last_not_of(" \t\r\n");
  if (first == std::string_view::npos) {
    value.clear();
  } else {
    value.assign(rest.substr(first, last - first + 1));
  }
  return true;
}

}  // namespace corvane::platform
