#include "platform/uuid.h"

#include <uuid/uuid.h>

namespace corvane::platform {

std::string newUUID() {
  uuid_t value;
  uuid_generate_random(value);
  char text[37];  // 36 characters and the terminating NUL
  uuid_unparse_upper(value, text);
  return std::string(text, 36);
}

}  // namespace corvane::platform
