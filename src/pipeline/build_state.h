// BuildState: what a build-mode index holds between add_record() calls and save().
#pragma once

#include <cstdint>
#include <optional>
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
};

}  // namespace korvel
