// QueryState: what a query-mode index holds; read-only after load().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "categorical/trait_dictionary.h"
#include "mmap_reader/index_reader.h"

namespace korvel {

struct QueryState {
  std::vector<std::string> schema;
  std::vector<TraitDictionary> dicts;  // dicts[i] belongs to schema[i] (counts may differ)
  std::vector<uint64_t> doc_ids;       // doc_ids[r] names record r (length may differ)
  IndexReader reader;
};

}  // namespace korvel
