// Operating-system error texts as users see them: "{description} (os error {code})",
// plus the fixed texts of the failures that make no system call.
#pragma once

#include <string>

namespace korvel {

inline constexpr const char kNulByteText[] = "file name contained an unexpected NUL byte";
inline constexpr const char kInvalidUtf8Text[] = "stream did not contain valid UTF-8";
inline constexpr const char kShortWriteText[] = "failed to write whole buffer";

// The system's description of `errnum` followed by " (os error N)".
std::string os_error_text(int errnum);

}  // namespace korvel
