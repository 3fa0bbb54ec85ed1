// Whole-file reading and strict UTF-8 validation, used to load the metadata sidecar.
#pragma once

#include <string>
#include <string_view>

#include "common/expected.h"

namespace korvel {

// The whole content of the file at `path`. Errors: the NUL-byte text when the path holds a
// NUL; the ENODEV text when it names something other than a regular file or a directory
// (device, FIFO, socket); else the OS error text of the failing open/fstat/read. Reads are
// retried on EINTR.
Expected<std::string, std::string> read_file_to_string(const std::string& path);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace korvel
