// Query execution: the filter on the code planes (query/filter.h), the signature scan with
// its bounded candidate pool, and exact re-scoring against the caller's embeddings buffer.
// Touches no interpreter object; safe to run concurrently on one QueryState.
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

// Runs one query. Errors: TopKOutOfRange, VectorDimensionMismatch, TraitIndexOutOfRange,
// EmbeddingsRequired, Storage(RecordIndexOutOfBounds).
Expected<std::vector<SearchHit>, QueryError> execute_query(const QueryState& state,
                                                           const QueryRequest& request);

}  // namespace korvel
