#include "query/open_index.h"

#include <string>
#include <utility>

#include "common/os_error.h"
#include "common/read_file.h"
#include "sidecar/sidecar.h"

namespace korvel {

std::string to_string(const OpenError& e) {
  struct Render {
    std::string operator()(const DataFileUnreadable& v) const {
      return "Failed to open '" + v.path + "': File access failed: " + v.message;
    }
    std::string operator()(const DataFileInvalid& v) const {
      return "Invalid korvix file '" + v.path + "': " + to_string(v.error);
    }
    std::string operator()(const MetadataUnreadable& v) const {
      return "Failed to read metadata '" + v.path + "': " + v.message;
    }
    std::string operator()(const MetadataInvalid& v) const {
      return "Invalid metadata file '" + v.path + "': " + v.message;
    }
  };
  return std::visit(Render{}, e);
}

bool is_os_failure(const OpenError& e) noexcept {
  return std::holds_alternative<DataFileUnreadable>(e) ||
         std::holds_alternative<MetadataUnreadable>(e);
}

Expected<QueryState, OpenError> open_query_state(const std::string& path) {
  auto reader = IndexReader::open(path);
  if (!reader) {
    if (const auto* access = std::get_if<FileAccess>(&reader.error())) {
      return unexpected(OpenError{DataFileUnreadable{path, access->message}});
    }
    return unexpected(OpenError{DataFileInvalid{path, std::move(reader).error()}});
  }
  std::string meta_path = path + ".meta";
  auto text = read_file_to_string(meta_path);
  if (!text) {
    return unexpected(OpenError{MetadataUnreadable{std::move(meta_path), std::move(text).error()}});
  }
  if (!is_valid_utf8(*text)) {
    return unexpected(
        OpenError{MetadataUnreadable{std::move(meta_path), std::string(kInvalidUtf8Text)}});
  }
  auto metadata = parse_metadata(*text);
  if (!metadata) {
    return unexpected(
        OpenError{MetadataInvalid{std::move(meta_path), std::move(metadata).error()}});
  }
  return QueryState{std::move(metadata->schema), std::move(metadata->dicts),
                    std::move(metadata->doc_ids), std::move(*reader)};
}

}  // namespace korvel
