// write_index_files: the pair of files a query-mode index loads, the data file at `path` and
// the sidecar at `path` + ".meta", with the one error type of the whole save.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "categorical/compile_error.h"
#include "common/expected.h"

namespace korvel {

struct CompilationFailed {
  CompileError error;
};

struct DataFileWriteFailed {
  std::string path;     // as the caller gave it
  std::string os_text;  // "{description} (os error N)" or one of the fixed texts of os_error.h
};

struct SidecarWriteFailed {
  std::string path;  // the sidecar's path: the data file's path + ".meta"
  std::string os_text;
};

using SaveError = std::variant<CompilationFailed, DataFileWriteFailed, SidecarWriteFailed>;

// "Compilation failed: {error}", "Failed to write '{path}': {text}" and
// "Failed to write metadata '{path}': {text}".
std::string to_string(const SaveError& e);

// Writes the data file made of `data_pieces` (back to back) at `path` and `sidecar_text` at
// `path` + ".meta": both are written in full before either replaces its predecessor, so an
// error leaves the previous pair in place; the pieces are written where they lie, so no
// second, contiguous image is made. Errors: DataFileWriteFailed, SidecarWriteFailed.
[[nodiscard]] Expected<void, SaveError> write_index_files(
    const std::string& path, std::span<const std::span<const uint8_t>> data_pieces,
    std::string_view sidecar_text);

}  // namespace korvel
