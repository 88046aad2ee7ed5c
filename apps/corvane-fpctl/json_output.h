// The JSON form of results: one compact object per result, with the keys
// that scripts and tests rely on. Pure functions, callable from any thread.
#pragma once

#include <optional>
#include <string>

#include "host/domains.h"
#include "host/error.h"
#include "host/item.h"
#include "result.h"

namespace corvane::fpctl {

// {"identifier": ..., "parent": ..., ..., "capabilities": N}
std::string itemJson(const host::Item& item);

// {"domain": ..., "code": N, "userInfo": {...}}
std::string errorJson(const host::Error& error);

// The engine's nine keys for the domain's scope, and "id".
std::string domainJson(const host::ServedDomain& domain);

// The object for one result; with `line`, it carries "line" first.
std::string resultJson(const Result& result, std::optional<int> line);

// {"error": ...} for a failure that belongs to no command (the default domain).
std::string failureJson(const host::Error& error, std::optional<int> line = std::nullopt);

}  // namespace corvane::fpctl
