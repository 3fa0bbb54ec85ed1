// The metadata sidecar: one line of JSON holding the schema, the per-trait dictionaries
// and the document identifiers. The writer emits exactly one text; the parser is a small
// pattern-directed reader (not a general JSON parser) that accepts everything the writer
// produces. Plain C++: no interpreter types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "categorical/trait_dictionary.h"
#include "common/expected.h"

namespace korvel {

struct IndexMetadata {
  std::vector<std::string> schema;
  std::vector<TraitDictionary> dicts;
  std::vector<uint64_t> doc_ids;

  bool operator==(const IndexMetadata&) const = default;
};

// `{"schema":[...],"dicts":[{...},...],"doc_ids":[...]}`, no white space, entries of each
// dictionary in ascending code order. Cannot fail.
std::string serialize_metadata(const IndexMetadata& metadata);

// Escapes tab, line feed, carriage return, '"' and '\'; every other byte is copied raw.
std::string escape_json_string(std::string_view s);

// Parses a sidecar text; the error is one of the fixed parser messages.
Expected<IndexMetadata, std::string> parse_metadata(std::string_view text);

// Position of the bracket matching the '[' or '{' at `open_position`, skipping strings
// (with backslash escapes) and ignoring brackets of the other kind; nothing if unmatched.
std::optional<size_t> find_matching_bracket(std::string_view text, size_t open_position);

}  // namespace korvel
