// Random UUIDs in the canonical 36-character upper-case text form.
#pragma once

#include <string>

namespace corvane::platform {

std::string newUUID();

}  // namespace corvane::platform
