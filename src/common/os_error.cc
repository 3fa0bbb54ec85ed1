#include "common/os_error.h"

#include <string.h>

namespace korvel {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be `buf`.
  const char* description = strerror_r(errnum, buf, sizeof buf);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace korvel
