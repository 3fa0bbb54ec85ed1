// Internal-invariant checks. A broken invariant throws InternalFault, which the method
// trampoline of the Python layer turns into PanicException; nothing else may throw it.
#pragma once

#include <exception>
#include <string>

namespace korvel {

class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] inline void panic(const std::string& message) { throw InternalFault(message); }

}  // namespace korvel

// KORVEL_CHECK(condition, message): message is only evaluated when the check fails.
#define KORVEL_CHECK(condition, message)        \
  do {                                          \
    if (!(condition)) ::korvel::panic(message); \
  } while (0)
