// Atomic whole-file replacement used by save() for the data file and the sidecar.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/expected.h"

namespace korvel {

// Writes `bytes` to a new temporary file in the directory of `path` (created with mode 0666
// less the umask, close-on-exec), flushes it to stable storage, renames it over `path` and
// flushes the directory. On any failure the temporary file is removed and whatever was at
// `path` is unchanged. A symlink at `path` is followed: its target is replaced.
// Error: the OS error text of the failing call, the NUL-byte text when `path` holds a NUL,
// or the short-write text when write() makes no progress.
Expected<void, std::string> write_file_atomic(const std::string& path,
                                              std::span<const uint8_t> bytes);

}  // namespace korvel
