// The query request of one HybridIndex query, its hits and errors, and execute_query: that
// query run on the batched engine (query/batch_query.h), which also defines the types shared
// by every query. Touches no interpreter object; safe to run concurrently on one QueryState.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/expected.h"
#include "mmap_reader/index_reader.h"
#include "query/filter.h"
#include "query/query_state.h"

namespace korvel {

struct VectorDimensionMismatch {
  size_t got;
  uint16_t expected;
};
struct TopKOutOfRange {
  uint32_t value;
};
struct EmbeddingsRequired {};
using QueryError = std::variant<TraitIndexOutOfRange, VectorDimensionMismatch, TopKOutOfRange,
                                EmbeddingsRequired, StorageError>;
std::string to_string(const QueryError& e);

inline constexpr uint32_t kMaxTopK = 10000;
inline constexpr uint32_t kPoolFactor = 3;

struct QueryRequest {
  std::optional<FilterExpr> filter;
  std::optional<std::vector<float>> query_vector;
  uint32_t top_k = 10;
  bool exact_rescore = false;
  std::optional<std::span<const uint8_t>> embeddings;  // caller's raw little-endian float32
};

struct SearchHit {
  std::optional<float> exact_score;  // present only after exact re-scoring
  uint64_t record_index;
  uint32_t distance;  // 0 on the categorical-only path
};

// Runs one query on the batched engine and the process's default thread pool: the filter
// on the code planes, then either the categorical path (the first kPoolFactor * top_k
// matching records in record order, distance 0; also whenever the index has no vectors) or
// the vector path (the kPoolFactor * top_k nearest matching records by (Hamming distance,
// record index), or after exact re-scoring the best top_k by score, NaN last). Errors, the
// first that applies: TopKOutOfRange; VectorDimensionMismatch(0) when re-scoring without a
// vector; TraitIndexOutOfRange; no hits when there are no records or the filter matches
// none; VectorDimensionMismatch for a vector of another length; EmbeddingsRequired;
// Storage(RecordIndexOutOfBounds) from the external offsets while re-scoring.
Expected<std::vector<SearchHit>, QueryError> execute_query(const QueryState& state,
                                                           const QueryRequest& request);

}  // namespace korvel
