// Query execution: the filter on the code planes, the signature scan with its bounded
// candidate pool, and exact re-scoring against the caller's embeddings buffer.
// Touches no interpreter object; safe to run concurrently on one QueryState.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/expected.h"
#include "mmap_reader/index_reader.h"
#include "pipeline/query_state.h"

namespace korvel {

struct FilterExpr;
struct EqNode {
  size_t trait_index;
  uint16_t code;
};
struct AndNode {
  std::vector<FilterExpr> children;  // empty: every record
};
struct OrNode {
  std::vector<FilterExpr> children;  // empty: no record
};
struct NotNode {
  std::unique_ptr<FilterExpr> child;
};
struct FilterExpr {
  std::variant<EqNode, AndNode, OrNode, NotNode> node;
};

struct TraitIndexOutOfRange {
  size_t index;
  uint16_t trait_count;
};
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

// An allocator whose containers leave new elements uninitialised. Every filter node writes
// all of its words before any of them is read, so a bitmap over many records need not be
// cleared first (that pass would be a fixed cost of every filtered query).
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() noexcept = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
};

// One bit per record, 64 records per word; bits at and beyond record_count are clear
// once a bitmap leaves evaluate_filter's caller.
using CandidateBitmap = std::vector<uint64_t, UninitializedAllocator<uint64_t>>;

// Evaluates `expr` on the plane section `planes` (little-endian words) of an index with
// `trait_count` traits, `bit_width` bits per code, `blocks` blocks and `record_count`
// records. Eq with trait index >= trait_count fails with TraitIndexOutOfRange. And stops
// as soon as its accumulator is empty; Or evaluates every child; Not clears bits >= n.
Expected<CandidateBitmap, QueryError> evaluate_filter(const FilterExpr& expr,
                                                      std::span<const uint8_t> planes,
                                                      uint16_t trait_count, uint8_t bit_width,
                                                      uint64_t blocks, uint64_t record_count);

// Runs one query. Errors: TopKOutOfRange, VectorDimensionMismatch, TraitIndexOutOfRange,
// EmbeddingsRequired, Storage(RecordIndexOutOfBounds).
Expected<std::vector<SearchHit>, QueryError> execute_query(const QueryState& state,
                                                           const QueryRequest& request);

}  // namespace korvel
