// Opening one index from disk: the data file through IndexReader plus its metadata
// sidecar (`<path>.meta`), checked and parsed into a QueryState. Shared by every front end
// that loads files, so they report the same failures with the same texts.
#pragma once

#include <string>
#include <variant>

#include "common/expected.h"
#include "mmap_reader/index_reader.h"
#include "query/query_state.h"

namespace korvel {

// The data file cannot be opened, read or mapped (an OS failure).
struct DataFileUnreadable {
  std::string path;
  std::string message;
};
// The data file is not a valid index (header or size).
struct DataFileInvalid {
  std::string path;
  StorageError error;
};
// The sidecar cannot be read, or is not UTF-8.
struct MetadataUnreadable {
  std::string path;
  std::string message;
};
// The sidecar does not parse.
struct MetadataInvalid {
  std::string path;
  std::string message;
};
using OpenError =
    std::variant<DataFileUnreadable, DataFileInvalid, MetadataUnreadable, MetadataInvalid>;

// "Failed to open '{path}': File access failed: {message}", "Invalid korvix file
// '{path}': {error}", "Failed to read metadata '{path}': {message}", "Invalid metadata
// file '{path}': {message}".
std::string to_string(const OpenError& e);

// True for the failures of the operating system (unreadable files), false for invalid
// content: the two map to different Python exceptions.
bool is_os_failure(const OpenError& e) noexcept;

// Maps `path` and reads `path + ".meta"`. The data file is checked first; on failure
// nothing stays open.
Expected<QueryState, OpenError> open_query_state(const std::string& path);

}  // namespace korvel
