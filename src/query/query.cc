// execute_query: one query on the batched engine (execute_batch), with the checks that
// engine makes before the filter's moved after it. An index without records or a filter
// matching nothing answers with no hits before the vector's length or the embeddings are
// looked at, and an index without vectors ignores the vector and re-scoring altogether.
#include "query/query.h"

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/thread_pool.h"
#include "query/batch_query.h"

namespace korvel {

std::string to_string(const QueryError& e) {
  struct Render {
    std::string operator()(const TraitIndexOutOfRange& v) const { return to_string(v); }
    std::string operator()(const VectorDimensionMismatch& v) const {
      return "Query vector dimension mismatch: expected " + std::to_string(v.expected) + ", got " +
             std::to_string(v.got);
    }
    std::string operator()(const TopKOutOfRange& v) const {
      return "top_k value " + std::to_string(v.value) + " out of range (valid: 1..=10000)";
    }
    std::string operator()(const EmbeddingsRequired&) const {
      return "Exact rescoring requires embeddings data";
    }
    std::string operator()(const StorageError& v) const { return to_string(v); }
  };
  return std::visit(Render{}, e);
}

Expected<std::vector<SearchHit>, QueryError> execute_query(const QueryState& state,
                                                           const QueryRequest& request) {
  const IndexReader& reader = state.reader;
  const uint64_t n = reader.record_count();
  const uint16_t dim = reader.vector_dim();
  if (request.top_k < 1 || request.top_k > kMaxTopK) {
    return unexpected(QueryError{TopKOutOfRange{request.top_k}});
  }
  if (request.exact_rescore && !request.query_vector) {
    return unexpected(QueryError{VectorDimensionMismatch{0, dim}});
  }
  const FilterExpr* filter = request.filter ? &*request.filter : nullptr;
  // Without vectors in the index every query takes the categorical path.
  const bool vector_path = request.query_vector.has_value() && dim != 0;
  const size_t length = vector_path ? request.query_vector->size() : 0;
  const bool missing_embeddings = vector_path && request.exact_rescore && !request.embeddings;
  if (n == 0 || (vector_path && length != dim) || missing_embeddings) {
    // The engine would report these before evaluating the filter; here the filter's error
    // and an empty answer come first. Only failing and empty queries pay the extra filter
    // evaluation.
    if (filter != nullptr) {
      KORVEL_ASSIGN_OR_RETURN(uint64_t matching, count_matching(reader, filter));
      if (matching == 0) return std::vector<SearchHit>{};
    }
    if (n == 0) return std::vector<SearchHit>{};
    if (length != dim) return unexpected(QueryError{VectorDimensionMismatch{length, dim}});
    return unexpected(QueryError{EmbeddingsRequired{}});
  }

  BatchRequest batch;
  batch.query_count = 1;
  if (vector_path) batch.vectors = *request.query_vector;
  if (filter != nullptr) batch.filters = std::span<const FilterExpr* const>(&filter, 1);
  batch.top_k = request.top_k;
  batch.oversample = kPoolFactor;
  batch.exact_rescore = vector_path && request.exact_rescore;
  batch.embeddings = request.embeddings;
  KORVEL_ASSIGN_OR_RETURN(BatchResult result, execute_batch(reader, batch, default_thread_pool()));
  const std::span<const SearchHit> row = result.row(0);
  return std::vector<SearchHit>(row.begin(), row.end());
}

}  // namespace korvel
