// BuildState: buffered records with their codes and signatures, the input of compile_index
// (compile.h), the reference writer of the tests.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "categorical/trait_dictionary.h"
#include "mmap_reader/layout.h"

namespace korvel {

struct BufferedRecord {
  std::vector<std::string> values;              // one per trait, schema order; "" where none given
  std::optional<std::vector<float>> embedding;  // length == vector_dim when present
  uint64_t doc_id = 0;
  uint64_t external_offset = kNoExternalOffset;
};

struct BuildState {
  std::vector<std::string> schema;
  std::vector<BufferedRecord> records;
  std::vector<TraitDictionary> dicts;  // one per trait
  uint16_t trait_count = 0;
  uint8_t code_bits = kBuildCodeBits;
  uint16_t vector_dim = 0;
  uint8_t bit_width = kBuildCodeBits;
  // What compilation needs of each record, kept as the records arrive so that save() neither
  // looks every value up again nor reads every embedding a second time: record i's codes
  // at [i * trait_count, (i + 1) * trait_count) and its signature at [i * B, (i + 1) * B)
  // (B zero bytes without an embedding). append_record keeps both in step with `records`.
  std::vector<uint16_t> record_codes;
  std::vector<uint8_t> record_signatures;
};

// Appends `record` with its codes (one per trait, as its trait dictionaries assigned them)
// and its signature. All or nothing: when an allocation fails (std::bad_alloc), `state` holds
// the records it held before.
// REQUIRES: codes.size() == trait_count; an embedding, if present, has vector_dim values.
void append_record(BuildState& state, BufferedRecord record, std::span<const uint16_t> codes);

}  // namespace korvel
