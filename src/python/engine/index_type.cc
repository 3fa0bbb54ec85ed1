// korvel._engine.Index: a ShardSet behind a heap type, and open(). Arguments arrive already
// normalised by the Python wrapper (korvel/_index.py): filters as ("in", trait, values),
// ("and", children), ("or", children), ("not", child) tuples, queries as a C-contiguous
// float32 matrix. Everything heavy runs without the interpreter lock.
#include <Python.h>
#include <structmember.h>

#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/boundary.h"
#include "python/converters.h"
#include "python/engine/engine.h"
#include "python/engine/engine_arrays.h"
#include "python/method_decl.h"
#include "python/py_error.h"
#include "python/py_ref.h"
#include "python/trampoline.h"
#include "shards/compact.h"
#include "shards/exact_search.h"
#include "shards/shard_pool.h"
#include "shards/shard_set.h"

namespace korvel::py {
namespace {

struct IndexObject {
  PyObject_HEAD ShardSet set;  // placement-constructed after allocation, destroyed in dealloc
  Py_ssize_t borrow_flag;      // 0 free, k > 0 shared borrows; every method only reads the set
};

PyTypeObject* g_type = nullptr;  // set once by register_index_type

constexpr char kIndexName[] = "Index";

struct IndexClass {
  using Object = IndexObject;
  static PyResult<Py_ssize_t*> receive(PyObject* receiver) {
    if (g_type == nullptr || !PyObject_TypeCheck(receiver, g_type)) {
      return unexpected(cannot_convert(receiver, kIndexName));
    }
    return &reinterpret_cast<IndexObject*>(receiver)->borrow_flag;
  }
};

PyError search_error(const SearchError& e) { return value_error(to_string(e)); }

// ---------------------------------------------------------------------------------------
// Argument conversion.

PyError malformed_filter() {
  return type_error(
      "filters: expected ('in', trait, values), ('and', children), ('or', children) or "
      "('not', child) tuples");
}

PyResult<TraitFilter> to_trait_filter(PyObject* obj);

PyResult<std::vector<TraitFilter>> to_children(PyObject* obj) {
  if (!PyTuple_Check(obj)) return unexpected(malformed_filter());
  std::vector<TraitFilter> out;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
    KORVEL_ASSIGN_OR_RETURN(TraitFilter child, to_trait_filter(PyTuple_GET_ITEM(obj, i)));
    out.push_back(std::move(child));
  }
  return out;
}

PyResult<TraitFilter> to_trait_filter_node(PyObject* obj) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) < 2) return unexpected(malformed_filter());
  KORVEL_ASSIGN_OR_RETURN(std::string tag, to_utf8(PyTuple_GET_ITEM(obj, 0)));
  const Py_ssize_t size = PyTuple_GET_SIZE(obj);
  if (tag == "in" && size == 3) {
    KORVEL_ASSIGN_OR_RETURN(std::string trait, to_utf8(PyTuple_GET_ITEM(obj, 1)));
    KORVEL_ASSIGN_OR_RETURN(std::vector<std::string> values,
                            to_string_list(PyTuple_GET_ITEM(obj, 2)));
    return TraitFilter{TraitIn{std::move(trait), std::move(values)}};
  }
  if (tag == "range" && size == 5) {
    // ("range", trait, "number" or "date", lo or None, hi or None), bounds as value strings.
    KORVEL_ASSIGN_OR_RETURN(std::string trait, to_utf8(PyTuple_GET_ITEM(obj, 1)));
    KORVEL_ASSIGN_OR_RETURN(std::string kind, to_utf8(PyTuple_GET_ITEM(obj, 2)));
    if (kind != "number" && kind != "date") return unexpected(malformed_filter());
    TraitRange range{std::move(trait), kind == "date", std::nullopt, std::nullopt};
    for (auto [i, bound] : {std::pair{3, &range.lo}, std::pair{4, &range.hi}}) {
      PyObject* item = PyTuple_GET_ITEM(obj, i);
      if (item == Py_None) continue;
      KORVEL_ASSIGN_OR_RETURN(std::string text, to_utf8(item));
      *bound = std::move(text);
    }
    return TraitFilter{std::move(range)};
  }
  if ((tag == "and" || tag == "or") && size == 2) {
    KORVEL_ASSIGN_OR_RETURN(std::vector<TraitFilter> children,
                            to_children(PyTuple_GET_ITEM(obj, 1)));
    if (tag == "and") return TraitFilter{TraitAnd{std::move(children)}};
    return TraitFilter{TraitOr{std::move(children)}};
  }
  if (tag == "not" && size == 2) {
    KORVEL_ASSIGN_OR_RETURN(TraitFilter child, to_trait_filter(PyTuple_GET_ITEM(obj, 1)));
    return TraitFilter{TraitNot{std::make_unique<TraitFilter>(std::move(child))}};
  }
  return unexpected(malformed_filter());
}

PyResult<TraitFilter> to_trait_filter(PyObject* obj) {
  // Deep nesting raises RecursionError instead of exhausting the stack.
  if (Py_EnterRecursiveCall(" while converting a filter") != 0) {
    return unexpected(PyError::fetch());
  }
  PyResult<TraitFilter> r = to_trait_filter_node(obj);
  Py_LeaveRecursiveCall();
  return r;
}

// None: no filter; a tuple: one filter for every query; a list: one per query (None
// entries unfiltered).
PyResult<std::vector<std::optional<TraitFilter>>> to_filters(PyObject* obj) {
  std::vector<std::optional<TraitFilter>> out;
  if (obj == nullptr || obj == Py_None) return out;
  if (!PyList_Check(obj)) {
    KORVEL_ASSIGN_OR_RETURN(TraitFilter f, to_trait_filter(obj));
    out.emplace_back(std::move(f));
    return out;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
    PyObject* item = PyList_GET_ITEM(obj, i);
    if (item == Py_None) {
      out.emplace_back();
      continue;
    }
    KORVEL_ASSIGN_OR_RETURN(TraitFilter f, to_trait_filter(item));
    out.emplace_back(std::move(f));
  }
  return out;
}

PyResult<std::optional<TraitFilter>> to_single_filter(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::optional<TraitFilter>();
  KORVEL_ASSIGN_OR_RETURN(TraitFilter f, to_trait_filter(obj));
  return std::optional<TraitFilter>(std::move(f));
}

// One contiguous buffer (bytes, bytearray, memoryview, mmap, a NumPy array of any dtype)
// exported for the whole call, so its storage stays in place while the lock is released.
PyResult<void> borrow_buffer(PyObject* obj, std::vector<BufferView>& views,
                             std::vector<std::optional<std::span<const uint8_t>>>& spans) {
  if (obj == Py_None) {
    spans.emplace_back();
    return {};
  }
  BufferView& view = views.emplace_back();
  if (!view.acquire(obj)) {
    PyErr_Clear();
    return unexpected(
        type_error("embeddings: expected a contiguous buffer (bytes, bytearray, memoryview or "
                   "NumPy array), got '" +
                   type_qualname(obj) + "'"));
  }
  spans.emplace_back(std::span<const uint8_t>(view.data(), view.size()));
  return {};
}

PyResult<OwnedRef> to_str_list(const std::vector<std::string>& items) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return unexpected(PyError::fetch());
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* s = PyUnicode_DecodeUTF8(items[i].data(), static_cast<Py_ssize_t>(items[i].size()),
                                       "surrogateescape");
    if (s == nullptr) return unexpected(PyError::fetch());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

// An optional count argument, `fallback` when omitted. A negative value is a ValueError
// "{range}, got {value}" (`range` names the argument), not an OverflowError.
PyResult<uint64_t> optional_count(PyObject* obj, const char* name, uint64_t fallback,
                                  const char* range) {
  if (obj == nullptr || obj == Py_None) return fallback;
  OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
  if (!index) return unexpected(PyError::fetch().reword_for_argument(name));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && overflow == 0 && PyErr_Occurred()) return unexpected(PyError::fetch());
  if (overflow < 0 || v < 0) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(index.get()));
    if (!text) return unexpected(PyError::fetch());
    KORVEL_ASSIGN_OR_RETURN(std::string digits, to_utf8(text.get()));
    return unexpected(value_error(std::string(range) + ", got " + digits));
  }
  return argument(name, to_u64(index.get()));
}

constexpr char kThreadsRange[] = "threads must be None or in 1..=1024";
constexpr char kRescoreRange[] = "rescore must be at least 1";

// ---------------------------------------------------------------------------------------
// Methods.

struct Search {
  enum Param : size_t { kQ, kK, kFilters, kOversample, kEmbeddings, kRerank, kThreads, kRescore };
  static constexpr Parameter kParams[] = {
      {kQ, "Q", kRequired},
      {kK, "k", kRequired},
      {kFilters, "filters"},
      {.index = kOversample, .name = "oversample", .shown_default = "3"},
      {kEmbeddings, "embeddings"},
      {kRerank, "rerank"},
      {kThreads, "threads"},
      {kRescore, "rescore"}};
  static constexpr MethodDecl kDecl{
      .owner = kIndexName,
      .name = "search",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc =
          "Batched search; returns (ids, scores, counts). Q is a C-contiguous (n, dim) float32\n"
          "array; filters are normalised tuples (see korvel._filters)."};
};

struct Pools {
  enum Param : size_t {
    kQ,
    kK,
    kFilters,
    kOversample,
    kEmbeddings,
    kRerank,
    kThreads,
    kRescore,
    kScope
  };
  static constexpr Parameter kParams[] = {
      {kQ, "Q", kRequired},
      {kK, "k", kRequired},
      {kFilters, "filters"},
      {.index = kOversample, .name = "oversample", .shown_default = "3"},
      {kEmbeddings, "embeddings"},
      {kRerank, "rerank"},
      {kThreads, "threads"},
      {kRescore, "rescore"},
      {kScope, "scope"}};
  static constexpr MethodDecl kDecl{
      .owner = kIndexName,
      .name = "pools",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc =
          "The candidate pools of a search over this set as part of a larger one; returns\n"
          "(ids, distances, shards, records, counts), (nq, pool) arrays and (nq,) counts.\n"
          "With rerank='exact': the part's exact top k, float32 scores in place of distances."};
};

// pools() takes search()'s parameters first, alike, so one converter serves both.
consteval bool starts_with_search_params(const MethodDecl& d) {
  const MethodDecl& search = Search::kDecl;
  if (d.params.size() < search.params.size()) return false;
  for (size_t i = 0; i < search.params.size(); ++i) {
    const Parameter& a = d.params[i];
    const Parameter& b = search.params[i];
    if (std::string_view(a.name) != b.name || a.required != b.required ||
        std::string_view(a.shown_default) != b.shown_default) {
      return false;
    }
  }
  return true;
}
static_assert(starts_with_search_params(Pools::kDecl));

struct Rescore {
  enum Param : size_t { kQ, kRows, kShards, kRecords, kEmbeddings, kRerank, kScope };
  static constexpr Parameter kParams[] = {{kQ, "Q", kRequired},
                                          {kRows, "rows", kRequired},
                                          {kShards, "shards", kRequired},
                                          {kRecords, "records", kRequired},
                                          {kEmbeddings, "embeddings"},
                                          {kRerank, "rerank"},
                                          {kScope, "scope"}};
  static constexpr MethodDecl kDecl{
      .owner = kIndexName,
      .name = "rescore",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc =
          "Re-scoring scores of pool entries (query row, global shard, record) as search gives "
          "them."};
};

struct Count {
  enum Param : size_t { kFilters };
  static constexpr Parameter kParams[] = {{kFilters, "filters"}};
  static constexpr MethodDecl kDecl{.owner = kIndexName,
                                    .name = "count",
                                    .receiver = Receiver::kShared,
                                    .params = kParams,
                                    .doc = "Records matching the filter."};
};

struct Facets {
  enum Param : size_t { kTrait, kFilters };
  static constexpr Parameter kParams[] = {{kTrait, "trait", kRequired}, {kFilters, "filters"}};
  static constexpr MethodDecl kDecl{
      .owner = kIndexName,
      .name = "facets",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc = "Records per value of `trait` among those matching the filter."};
};

struct Open {
  enum Param : size_t { kPaths, kDeleted };
  static constexpr Parameter kParams[] = {{kPaths, "paths", kRequired}, {kDeleted, "deleted"}};
  static constexpr MethodDecl kDecl{
      .owner = nullptr,
      .name = "open",
      .receiver = Receiver::kNone,
      .params = kParams,
      .doc =
          "Opens one data file (a str) or several as one index (a list of str); `deleted`\n"
          "holds one entry per shard: None or its deletion bitmap (uint64 words, bit r set\n"
          "when record r is deleted)."};
};

struct Matching {
  enum Param : size_t { kShard, kFilters };
  static constexpr Parameter kParams[] = {{kShard, "shard", kRequired}, {kFilters, "filters"}};
  static constexpr MethodDecl kDecl{
      .owner = kIndexName,
      .name = "matching",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc = "The live records of one shard matching the filter, as uint64 bitmap words."};
};

struct DocIds {
  enum Param : size_t { kShard };
  static constexpr Parameter kParams[] = {{kShard, "shard", kRequired}};
  static constexpr MethodDecl kDecl{.owner = kIndexName,
                                    .name = "doc_ids",
                                    .receiver = Receiver::kShared,
                                    .params = kParams,
                                    .doc = "The document id of every record of one shard."};
};

struct Rewrite {
  enum Param : size_t { kPath, kFirst, kEnd };
  static constexpr Parameter kParams[] = {
      {kPath, "path", kRequired}, {kFirst, "first", kRequired}, {kEnd, "end", kRequired}};
  static constexpr MethodDecl kDecl{
      .owner = kIndexName,
      .name = "rewrite",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc = "Writes the live records of shards first..end-1, in order, as one data file."};
};

struct MergePools {
  enum Param : size_t { kParts };
  static constexpr Parameter kParams[] = {{kParts, "parts", kRequired}};
  static constexpr MethodDecl kDecl{
      .owner = nullptr,
      .name = "merge_pools",
      .receiver = Receiver::kNone,
      .params = kParams,
      .doc =
          "The pool of a whole set from pools() of its disjoint parts (a list of their\n"
          "results, each (ids, distances, shards, records, counts)), in the same form."};
};

struct CascadePick {
  enum Param : size_t { kScores, kCounts, kRescore, kK };
  static constexpr Parameter kParams[] = {{kScores, "scores", kRequired},
                                          {kCounts, "counts", kRequired},
                                          {kRescore, "rescore", kRequired},
                                          {kK, "k", kRequired}};  // rescore None: the default
  static constexpr MethodDecl kDecl{
      .owner = nullptr,
      .name = "cascade_pick",
      .receiver = Receiver::kNone,
      .params = kParams,
      .doc =
          "The cascade's choice from sign scores of pools ((nq, pool) float32, the first\n"
          "counts[q] of row q real): returns (positions, counts), the pool positions of each\n"
          "row's entries to re-score exactly, best first, in (nq, min(pool, rescore * k))."};
};

struct RankScored {
  enum Param : size_t { kIds, kScores, kShards, kRecords, kCounts };
  static constexpr Parameter kParams[] = {{kIds, "ids", kRequired},
                                          {kScores, "scores", kRequired},
                                          {kShards, "shards", kRequired},
                                          {kRecords, "records", kRequired},
                                          {kCounts, "counts", kRequired}};
  static constexpr MethodDecl kDecl{
      .owner = nullptr,
      .name = "rank_scored",
      .receiver = Receiver::kNone,
      .params = kParams,
      .doc =
          "Re-scored pool entries ((nq, pool) arrays, the first counts[q] of row q real) in\n"
          "search order; returns (ids, scores), padding left in place after them."};
};

// The search arguments as given (nullptr where omitted): what search, pools and rescore
// convert alike.
struct SearchArgs {
  PyObject* q;
  PyObject* k;
  PyObject* filters;
  PyObject* oversample;
  PyObject* embeddings;
  PyObject* rerank;
  PyObject* threads;
  PyObject* rescore;
};

// Search and Pools declare the search parameters under the same names.
template <class M>
SearchArgs search_args(const Args<M>& args) {
  return {args[M::kQ],          args[M::kK],      args[M::kFilters], args[M::kOversample],
          args[M::kEmbeddings], args[M::kRerank], args[M::kThreads], args[M::kRescore]};
}

// The request from the search arguments. The queries are copied into `queries` (another
// thread may write the caller's array meanwhile); `views` keeps the embeddings buffers
// exported.
PyResult<void> to_search_request(const ShardSet& set, const SearchArgs& args,
                                 SearchRequest& request, std::vector<float>& queries,
                                 std::vector<BufferView>& views) {
  KORVEL_ASSIGN_OR_RETURN(FloatMatrix q, float32_matrix(args.q, "Q"));
  KORVEL_ASSIGN_OR_RETURN(request.k, argument("k", to_u64(args.k)));
  KORVEL_ASSIGN_OR_RETURN(request.filters, to_filters(args.filters));
  KORVEL_ASSIGN_OR_RETURN(
      request.oversample,
      optional_count(args.oversample, "oversample", kPoolFactor, "oversample must be at least 1"));
  PyObject* embeddings =
      args.embeddings != nullptr && args.embeddings != Py_None ? args.embeddings : nullptr;
  if (args.rerank != nullptr && args.rerank != Py_None) {
    KORVEL_ASSIGN_OR_RETURN(std::string rerank, argument("rerank", to_utf8(args.rerank)));
    // "exact" is Index.search's exact=True: every record scored, no pool.
    if (rerank == "exact") {
      if (embeddings == nullptr) return unexpected(value_error("exact=True needs embeddings"));
      request.exact = true;
    } else if (rerank != "signs") {
      return unexpected(value_error("rerank must be None or 'signs', got '" + rerank + "'"));
    } else {
      request.rerank = Rescoring::kSigns;
    }
  }
  const bool cascade = request.rerank == Rescoring::kSigns && embeddings != nullptr;
  if (args.rescore != nullptr && args.rescore != Py_None) {
    if (!cascade) {
      return unexpected(value_error("rescore needs both rerank='signs' and embeddings"));
    }
    KORVEL_ASSIGN_OR_RETURN(
        request.rescore, optional_count(args.rescore, "rescore", kDefaultRescore, kRescoreRange));
    if (request.rescore == 0) {
      return unexpected(value_error(std::string(kRescoreRange) + ", got 0"));
    }
  } else if (cascade) {
    request.rescore = kDefaultRescore;
  }
  KORVEL_ASSIGN_OR_RETURN(const uint64_t threads,
                          optional_count(args.threads, "threads", 0, kThreadsRange));
  if ((args.threads != nullptr && args.threads != Py_None && threads == 0) || threads > 1024) {
    return unexpected(value_error(std::string(kThreadsRange) + ", got " + std::to_string(threads)));
  }
  request.threads = static_cast<unsigned>(threads);
  if (q.cols != set.dim()) {
    return unexpected(value_error("Q has " + std::to_string(q.cols) + " columns, expected dim " +
                                  std::to_string(set.dim())));
  }
  queries.assign(q.data, q.data + q.rows * q.cols);
  request.queries = queries;
  request.query_count = q.rows;

  if (embeddings != nullptr) {
    request.rerank = cascade ? Rescoring::kCascade : Rescoring::kExact;
    if (PyList_Check(embeddings)) {
      views.reserve(static_cast<size_t>(PyList_GET_SIZE(embeddings)));
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(embeddings); ++i) {
        KORVEL_TRY(borrow_buffer(PyList_GET_ITEM(embeddings, i), views, request.embeddings));
      }
    } else {
      views.reserve(1);
      KORVEL_TRY(borrow_buffer(embeddings, views, request.embeddings));
    }
  }
  return {};
}

// A list of embedding buffers holds one per shard of the whole set (`shard_count`); one
// buffer for every shard is passed bare. The core sees both as a count of buffers, so a list
// of one on a larger set is refused here: its buffer would silently serve every shard. Lists
// of other wrong lengths fail in the core (EmbeddingBufferCount).
PyResult<void> check_buffer_list(PyObject* embeddings, size_t shard_count) {
  if (embeddings == nullptr || !PyList_Check(embeddings) || PyList_GET_SIZE(embeddings) != 1 ||
      shard_count == 1) {
    return {};
  }
  return unexpected(
      value_error("embeddings: a list holds one buffer per shard (" + std::to_string(shard_count) +
                  "), got 1; pass one buffer for all shards as it is, not in a list"));
}

// None: the set is the whole set; otherwise (record_count, shard_count, first_shard) of the
// whole set this one is part of.
PyResult<SetScope> to_scope(const ShardSet& set, PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return whole_set(set);
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) {
    return unexpected(type_error("scope: expected (record_count, shard_count, first_shard)"));
  }
  SetScope scope;
  KORVEL_ASSIGN_OR_RETURN(scope.record_count, argument("scope", to_u64(PyTuple_GET_ITEM(obj, 0))));
  KORVEL_ASSIGN_OR_RETURN(const uint64_t shards,
                          argument("scope", to_u64(PyTuple_GET_ITEM(obj, 1))));
  KORVEL_ASSIGN_OR_RETURN(const uint64_t first,
                          argument("scope", to_u64(PyTuple_GET_ITEM(obj, 2))));
  if (first > shards || set.shard_count() > shards - first ||
      set.record_count() > scope.record_count) {
    return unexpected(value_error("scope: the set does not fit in the scope"));
  }
  // Hits carry 32-bit global shard numbers.
  if (shards > uint64_t{UINT32_MAX} + 1) {
    return unexpected(
        value_error("scope: at most 4294967296 shards, got " + std::to_string(shards)));
  }
  scope.shard_count = static_cast<size_t>(shards);
  scope.first_shard = static_cast<size_t>(first);
  return scope;
}

PyResult<OwnedRef> search_body(IndexObject* self, Args<Search> args) {
  const ShardSet& set = self->set;
  SearchRequest request;
  std::vector<float> queries;
  std::vector<BufferView> views;
  KORVEL_TRY(to_search_request(set, search_args(args), request, queries, views));
  KORVEL_TRY(check_buffer_list(args[Search::kEmbeddings], set.shard_count()));

  auto result = without_interpreter_lock([&] { return search_batch(set, request); });
  if (!result) return unexpected(search_error(result.error()));

  const size_t dims[2] = {result->query_count, result->k};
  void* ids = nullptr;
  void* scores = nullptr;
  void* counts = nullptr;
  KORVEL_ASSIGN_OR_RETURN(OwnedRef ids_array, new_array(ArrayKind::kUInt64, 2, dims, &ids));
  KORVEL_ASSIGN_OR_RETURN(OwnedRef scores_array, new_array(ArrayKind::kFloat32, 2, dims, &scores));
  KORVEL_ASSIGN_OR_RETURN(OwnedRef counts_array, new_array(ArrayKind::kInt64, 1, dims, &counts));
  if (!result->ids.empty()) {
    std::memcpy(ids, result->ids.data(), result->ids.size() * sizeof(uint64_t));
    std::memcpy(scores, result->scores.data(), result->scores.size() * sizeof(float));
  }
  for (size_t i = 0; i < result->query_count; ++i) {
    static_cast<int64_t*>(counts)[i] = result->counts[i];
  }
  OwnedRef tuple =
      OwnedRef::steal(PyTuple_Pack(3, ids_array.get(), scores_array.get(), counts_array.get()));
  if (!tuple) return unexpected(PyError::fetch());
  return tuple;
}

// (ids, values, shards, records, counts): (rows, width) arrays of the hits and (rows,)
// counts; `value` gives a hit's entry of the second array, of kind `kind` (C++ type T).
template <class T, class Hit, class Value>
PyResult<OwnedRef> hit_arrays(size_t rows, size_t width, const std::vector<Hit>& hits,
                              const std::vector<uint32_t>& counts, ArrayKind kind, Value value) {
  const size_t dims[2] = {rows, width};
  void* data[4] = {};
  KORVEL_ASSIGN_OR_RETURN(OwnedRef ids, new_array(ArrayKind::kUInt64, 2, dims, &data[0]));
  KORVEL_ASSIGN_OR_RETURN(OwnedRef values, new_array(kind, 2, dims, &data[1]));
  KORVEL_ASSIGN_OR_RETURN(OwnedRef shards, new_array(ArrayKind::kInt64, 2, dims, &data[2]));
  KORVEL_ASSIGN_OR_RETURN(OwnedRef records, new_array(ArrayKind::kUInt64, 2, dims, &data[3]));
  void* count_data = nullptr;
  KORVEL_ASSIGN_OR_RETURN(OwnedRef counts_array,
                          new_array(ArrayKind::kInt64, 1, dims, &count_data));
  for (size_t i = 0; i < hits.size(); ++i) {
    const Hit& h = hits[i];  // slots past a row's count hold zeros
    static_cast<uint64_t*>(data[0])[i] = h.id;
    static_cast<T*>(data[1])[i] = value(h);
    static_cast<int64_t*>(data[2])[i] = h.shard;
    static_cast<uint64_t*>(data[3])[i] = h.record;
  }
  for (size_t i = 0; i < rows; ++i) static_cast<int64_t*>(count_data)[i] = counts[i];
  OwnedRef tuple = OwnedRef::steal(
      PyTuple_Pack(5, ids.get(), values.get(), shards.get(), records.get(), counts_array.get()));
  if (!tuple) return unexpected(PyError::fetch());
  return tuple;
}

// (ids, distances, shards, records, counts): (nq, pool) arrays and (nq,) counts.
PyResult<OwnedRef> pool_arrays(const PoolBatch& pools) {
  return hit_arrays<int64_t>(pools.query_count, pools.pool_size, pools.hits, pools.counts,
                             ArrayKind::kInt64, [](const PoolHit& h) { return h.distance; });
}

// (ids, scores, shards, records, counts): (nq, k) arrays and (nq,) counts.
PyResult<OwnedRef> exact_arrays(const ExactHits& found) {
  return hit_arrays<float>(found.query_count, found.k, found.hits, found.counts,
                           ArrayKind::kFloat32, [](const ScoredHit& h) { return h.score; });
}

PyResult<OwnedRef> pools_body(IndexObject* self, Args<Pools> args) {
  const ShardSet& set = self->set;
  SearchRequest request;
  std::vector<float> queries;
  std::vector<BufferView> views;
  KORVEL_TRY(to_search_request(set, search_args(args), request, queries, views));
  KORVEL_ASSIGN_OR_RETURN(const SetScope scope, to_scope(set, args[Pools::kScope]));
  KORVEL_TRY(check_buffer_list(args[Pools::kEmbeddings], scope.shard_count));
  if (request.exact) {
    auto found = without_interpreter_lock([&] { return exact_hits(set, request, scope); });
    if (!found) return unexpected(search_error(found.error()));
    return exact_arrays(*found);
  }
  auto result = without_interpreter_lock([&] { return search_pools(set, request, scope); });
  if (!result) return unexpected(search_error(result.error()));
  return pool_arrays(*result);
}

// A contiguous buffer of native `T` values copied out (the caller's array may change while
// the lock is released).
template <class T>
PyResult<std::vector<T>> to_native_values(PyObject* obj, const char* name) {
  BufferView view;
  if (!view.acquire(obj)) {
    PyErr_Clear();
    return unexpected(type_error(std::string(name) + ": expected a contiguous buffer"));
  }
  if (view.size() % sizeof(T) != 0) {
    return unexpected(value_error(std::string(name) + ": a buffer of " + std::to_string(sizeof(T)) +
                                  "-byte values expected"));
  }
  std::vector<T> out(view.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), view.data(), view.size());
  return out;
}

PyResult<OwnedRef> rescore_body(IndexObject* self, Args<Rescore> args) {
  const ShardSet& set = self->set;
  SearchRequest request;
  std::vector<float> queries;
  std::vector<BufferView> views;
  // The search arguments that apply: Q, embeddings and rerank (k is not used).
  OwnedRef k = OwnedRef::steal(PyLong_FromLong(1));
  if (!k) return unexpected(PyError::fetch());
  const SearchArgs with_k{.q = args[Rescore::kQ],
                          .k = k.get(),
                          .filters = nullptr,
                          .oversample = nullptr,
                          .embeddings = args[Rescore::kEmbeddings],
                          .rerank = args[Rescore::kRerank],
                          .threads = nullptr,
                          .rescore = nullptr};
  KORVEL_TRY(to_search_request(set, with_k, request, queries, views));
  if (request.rerank == Rescoring::kNone || request.rerank == Rescoring::kCascade ||
      request.exact) {
    return unexpected(value_error("rescore needs embeddings or rerank='signs', one of them"));
  }
  KORVEL_ASSIGN_OR_RETURN(const SetScope scope, to_scope(set, args[Rescore::kScope]));
  KORVEL_TRY(check_buffer_list(args[Rescore::kEmbeddings], scope.shard_count));
  KORVEL_ASSIGN_OR_RETURN(std::vector<uint32_t> rows,
                          to_native_values<uint32_t>(args[Rescore::kRows], "rows"));
  KORVEL_ASSIGN_OR_RETURN(std::vector<uint32_t> shards,
                          to_native_values<uint32_t>(args[Rescore::kShards], "shards"));
  KORVEL_ASSIGN_OR_RETURN(std::vector<uint64_t> records,
                          to_native_values<uint64_t>(args[Rescore::kRecords], "records"));
  if (rows.size() != shards.size() || rows.size() != records.size()) {
    return unexpected(value_error("rows, shards and records: lengths differ"));
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i] >= request.query_count || shards[i] < scope.first_shard ||
        shards[i] - scope.first_shard >= set.shard_count() ||
        records[i] >= set.shard(shards[i] - scope.first_shard).state.reader.record_count()) {
      return unexpected(value_error("entry " + std::to_string(i) + " is not in this set"));
    }
  }
  auto scores = without_interpreter_lock(
      [&] { return score_pool(set, request, scope, rows, shards, records); });
  if (!scores) return unexpected(search_error(scores.error()));
  const size_t dims[1] = {scores->size()};
  void* data = nullptr;
  KORVEL_ASSIGN_OR_RETURN(OwnedRef out, new_array(ArrayKind::kFloat32, 1, dims, &data));
  if (!scores->empty()) std::memcpy(data, scores->data(), scores->size() * sizeof(float));
  return out;
}

PyResult<OwnedRef> count_body(IndexObject* self, Args<Count> args) {
  KORVEL_ASSIGN_OR_RETURN(std::optional<TraitFilter> filter,
                          to_single_filter(args[Count::kFilters]));
  auto n = without_interpreter_lock([&] { return count(self->set, filter); });
  if (!n) return unexpected(search_error(n.error()));
  OwnedRef out = OwnedRef::steal(PyLong_FromUnsignedLongLong(*n));
  if (!out) return unexpected(PyError::fetch());
  return out;
}

PyResult<OwnedRef> facets_body(IndexObject* self, Args<Facets> args) {
  KORVEL_ASSIGN_OR_RETURN(std::string trait, args.convert(Facets::kTrait, to_utf8));
  KORVEL_ASSIGN_OR_RETURN(std::optional<TraitFilter> filter,
                          to_single_filter(args[Facets::kFilters]));
  auto counts = without_interpreter_lock([&] { return facets(self->set, trait, filter); });
  if (!counts) return unexpected(search_error(counts.error()));
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return unexpected(PyError::fetch());
  for (const auto& [value, n] : *counts) {
    OwnedRef key = OwnedRef::steal(PyUnicode_DecodeUTF8(
        value.data(), static_cast<Py_ssize_t>(value.size()), "surrogateescape"));
    OwnedRef number = OwnedRef::steal(PyLong_FromUnsignedLongLong(n));
    if (!key || !number || PyDict_SetItem(dict.get(), key.get(), number.get()) != 0) {
      return unexpected(PyError::fetch());
    }
  }
  return dict;
}

PyResult<size_t> shard_arg(const ShardSet& set, PyObject* obj) {
  const long long s = PyLong_AsLongLong(obj);
  if (s == -1 && PyErr_Occurred()) return unexpected(PyError::fetch());
  if (s < 0 || static_cast<unsigned long long>(s) >= set.shard_count()) {
    return unexpected(value_error("shard " + std::to_string(s) + " is not in this set"));
  }
  return static_cast<size_t>(s);
}

PyResult<OwnedRef> uint64_array(const uint64_t* values, size_t count) {
  const size_t dims[1] = {count};
  void* data = nullptr;
  KORVEL_ASSIGN_OR_RETURN(OwnedRef out, new_array(ArrayKind::kUInt64, 1, dims, &data));
  if (count != 0) std::memcpy(data, values, count * sizeof(uint64_t));
  return out;
}

PyResult<OwnedRef> matching_body(IndexObject* self, Args<Matching> args) {
  KORVEL_ASSIGN_OR_RETURN(const size_t shard, shard_arg(self->set, args[Matching::kShard]));
  KORVEL_ASSIGN_OR_RETURN(std::optional<TraitFilter> filter,
                          to_single_filter(args[Matching::kFilters]));
  auto bitmap =
      without_interpreter_lock([&] { return matching_records(self->set, shard, filter); });
  if (!bitmap) return unexpected(search_error(bitmap.error()));
  return uint64_array(bitmap->data(), bitmap->size());
}

PyResult<OwnedRef> doc_ids_body(IndexObject* self, Args<DocIds> args) {
  KORVEL_ASSIGN_OR_RETURN(const size_t shard, shard_arg(self->set, args[DocIds::kShard]));
  const uint64_t n = self->set.shard(shard).state.reader.record_count();
  std::vector<uint64_t> ids(n);
  for (uint64_t r = 0; r < n; ++r) ids[r] = self->set.doc_id(shard, r);
  return uint64_array(ids.data(), ids.size());
}

PyResult<OwnedRef> rewrite_body(IndexObject* self, Args<Rewrite> args) {
  KORVEL_ASSIGN_OR_RETURN(std::string path, args.convert(Rewrite::kPath, to_utf8));
  KORVEL_ASSIGN_OR_RETURN(const size_t first, shard_arg(self->set, args[Rewrite::kFirst]));
  const long long end = PyLong_AsLongLong(args[Rewrite::kEnd]);
  if (end == -1 && PyErr_Occurred()) return unexpected(PyError::fetch());
  if (end <= static_cast<long long>(first) ||
      static_cast<unsigned long long>(end) > self->set.shard_count()) {
    return unexpected(value_error("end: not a shard after first"));
  }
  auto written = without_interpreter_lock(
      [&] { return write_live_records(self->set, first, static_cast<size_t>(end), path); });
  if (!written) {
    const RewriteError& e = written.error();
    if (std::holds_alternative<SaveError>(e)) return unexpected(io_error(to_string(e)));
    return unexpected(value_error(to_string(e)));
  }
  return OwnedRef::borrow(Py_None);
}

MethodEntry g_methods[] = {
    instance_method<IndexClass, Matching, matching_body>(),
    instance_method<IndexClass, DocIds, doc_ids_body>(),
    instance_method<IndexClass, Rewrite, rewrite_body>(),
    instance_method<IndexClass, Search, search_body>(),
    instance_method<IndexClass, Pools, pools_body>(),
    instance_method<IndexClass, Rescore, rescore_body>(),
    instance_method<IndexClass, Count, count_body>(),
    instance_method<IndexClass, Facets, facets_body>(),
};

ShardSet& set_of(PyObject* self) { return reinterpret_cast<IndexObject*>(self)->set; }

PyObject* get_schema(PyObject* self, void*) {
  return guarded([&] { return to_str_list(set_of(self).schema()); });
}
PyObject* get_dim(PyObject* self, void*) { return PyLong_FromLong(set_of(self).dim()); }
PyObject* get_paths(PyObject* self, void*) {
  return guarded([&] {
    std::vector<std::string> paths;
    for (size_t s = 0; s < set_of(self).shard_count(); ++s)
      paths.push_back(set_of(self).shard(s).path);
    return to_str_list(paths);
  });
}
PyObject* get_shard_sizes(PyObject* self, void*) {
  const ShardSet& set = set_of(self);
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(set.shard_count())));
  if (!list) return nullptr;
  for (size_t s = 0; s < set.shard_count(); ++s) {
    PyObject* n = PyLong_FromUnsignedLongLong(set.shard(s).state.reader.record_count());
    if (n == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s), n);
  }
  return list.release();
}

PyGetSetDef g_getset[] = {
    {"schema", get_schema, nullptr, "Trait names in order.", nullptr},
    {"dim", get_dim, nullptr, "Embedding dimension.", nullptr},
    {"paths", get_paths, nullptr, "Data file of each shard, in order.", nullptr},
    {"shard_sizes", get_shard_sizes, nullptr, "Records of each shard, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(set_of(self).record_count()); }

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "Index objects are made by open()");
  return nullptr;
}

void dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<IndexObject*>(obj)->set.~ShardSet();  // unmaps every shard
  type->tp_free(obj);
  Py_DECREF(type);
}

PyResult<OwnedRef> open_body(Args<Open> args) {
  std::vector<std::string> paths;
  if (PyUnicode_Check(args[Open::kPaths])) {
    KORVEL_ASSIGN_OR_RETURN(std::string p, to_utf8(args[Open::kPaths]));
    paths.push_back(std::move(p));
  } else {
    KORVEL_ASSIGN_OR_RETURN(paths, args.convert(Open::kPaths, to_string_list));
  }
  std::vector<std::vector<uint64_t>> deleted(paths.size());
  PyObject* given = args[Open::kDeleted];
  if (given != nullptr && given != Py_None) {
    if (!PyList_Check(given) || static_cast<size_t>(PyList_GET_SIZE(given)) != paths.size()) {
      return unexpected(type_error("deleted: expected a list with one entry per path"));
    }
    for (size_t s = 0; s < paths.size(); ++s) {
      PyObject* entry = PyList_GET_ITEM(given, static_cast<Py_ssize_t>(s));
      if (entry == Py_None) continue;
      KORVEL_ASSIGN_OR_RETURN(deleted[s], to_native_values<uint64_t>(entry, "deleted"));
    }
  }
  auto set = without_interpreter_lock([&] { return ShardSet::open(paths, deleted); });
  if (!set) {
    const auto* open = std::get_if<OpenError>(&set.error());
    if (open != nullptr && is_os_failure(*open)) return unexpected(io_error(to_string(*open)));
    return unexpected(value_error(to_string(set.error())));
  }
  OwnedRef obj = OwnedRef::steal(g_type->tp_alloc(g_type, 0));
  if (!obj) return unexpected(PyError::fetch());
  auto* self = reinterpret_cast<IndexObject*>(obj.get());
  new (&self->set) ShardSet(std::move(*set));
  self->borrow_flag = 0;
  return obj;
}

// Counts of rows of `width` slots, checked: each in 0..=width.
PyResult<std::vector<int64_t>> row_counts(PyObject* obj, size_t width) {
  KORVEL_ASSIGN_OR_RETURN(std::vector<int64_t> counts, to_native_values<int64_t>(obj, "counts"));
  for (const int64_t c : counts) {
    if (c < 0 || static_cast<uint64_t>(c) > width) {
      return unexpected(value_error("counts: a count beyond its row"));
    }
  }
  return counts;
}

PyResult<OwnedRef> merge_pools_body(Args<MergePools> args) {
  PyObject* list = args[MergePools::kParts];
  if (!PyList_Check(list) || PyList_GET_SIZE(list) == 0) {
    return unexpected(type_error("parts: expected a non-empty list of pools() results"));
  }
  std::vector<PoolBatch> parts(static_cast<size_t>(PyList_GET_SIZE(list)));
  for (size_t p = 0; p < parts.size(); ++p) {
    PyObject* part = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(p));
    if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 5) {
      return unexpected(type_error("parts: expected (ids, distances, shards, records, counts)"));
    }
    KORVEL_ASSIGN_OR_RETURN(auto ids, to_native_values<uint64_t>(PyTuple_GET_ITEM(part, 0), "ids"));
    KORVEL_ASSIGN_OR_RETURN(auto distances,
                            to_native_values<int64_t>(PyTuple_GET_ITEM(part, 1), "distances"));
    KORVEL_ASSIGN_OR_RETURN(auto shards,
                            to_native_values<int64_t>(PyTuple_GET_ITEM(part, 2), "shards"));
    KORVEL_ASSIGN_OR_RETURN(auto records,
                            to_native_values<uint64_t>(PyTuple_GET_ITEM(part, 3), "records"));
    const size_t nq = static_cast<size_t>(PyObject_Length(PyTuple_GET_ITEM(part, 4)));
    if (PyErr_Occurred()) return unexpected(PyError::fetch());
    const size_t width = nq == 0 ? 0 : ids.size() / nq;
    if (ids.size() != nq * width || distances.size() != ids.size() || shards.size() != ids.size() ||
        records.size() != ids.size() ||
        (p > 0 && (nq != parts[0].query_count || width != parts[0].pool_size))) {
      return unexpected(value_error("parts: pools of different shapes"));
    }
    KORVEL_ASSIGN_OR_RETURN(auto counts, row_counts(PyTuple_GET_ITEM(part, 4), width));
    PoolBatch& batch = parts[p];
    batch.query_count = nq;
    batch.pool_size = width;
    batch.hits.resize(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      if (distances[i] < 0 || distances[i] > INT64_C(0xFFFFFFFF) || shards[i] < 0 ||
          shards[i] > INT64_C(0xFFFFFFFF)) {
        return unexpected(value_error("parts: a distance or shard beyond 32 bits"));
      }
      batch.hits[i] = {ids[i], records[i], static_cast<uint32_t>(shards[i]),
                       static_cast<uint32_t>(distances[i])};
    }
    batch.counts.assign(counts.begin(), counts.end());
  }
  PoolBatch merged = without_interpreter_lock([&] { return merge_pools(parts); });
  return pool_arrays(merged);
}

PyResult<OwnedRef> rank_scored_body(Args<RankScored> args) {
  KORVEL_ASSIGN_OR_RETURN(auto ids, to_native_values<uint64_t>(args[RankScored::kIds], "ids"));
  KORVEL_ASSIGN_OR_RETURN(auto scores,
                          to_native_values<float>(args[RankScored::kScores], "scores"));
  KORVEL_ASSIGN_OR_RETURN(auto shards,
                          to_native_values<int64_t>(args[RankScored::kShards], "shards"));
  KORVEL_ASSIGN_OR_RETURN(auto records,
                          to_native_values<uint64_t>(args[RankScored::kRecords], "records"));
  const size_t nq = static_cast<size_t>(PyObject_Length(args[RankScored::kCounts]));
  if (PyErr_Occurred()) return unexpected(PyError::fetch());
  const size_t width = nq == 0 ? 0 : ids.size() / nq;
  if (ids.size() != nq * width || scores.size() != ids.size() || shards.size() != ids.size() ||
      records.size() != ids.size()) {
    return unexpected(value_error("ids, scores, shards, records: shapes differ"));
  }
  KORVEL_ASSIGN_OR_RETURN(auto counts, row_counts(args[RankScored::kCounts], width));
  std::vector<ScoredHit> row;
  for (size_t q = 0; q < nq; ++q) {
    row.clear();
    for (size_t i = q * width; i < q * width + static_cast<size_t>(counts[q]); ++i) {
      if (shards[i] < 0 || shards[i] > INT64_C(0xFFFFFFFF)) {
        return unexpected(value_error("shards: a shard beyond 32 bits"));
      }
      row.push_back({ids[i], records[i], static_cast<uint32_t>(shards[i]), scores[i]});
    }
    sort_scored(row);
    for (size_t j = 0; j < row.size(); ++j) {
      ids[q * width + j] = row[j].id;
      scores[q * width + j] = row[j].score;
    }
  }
  const size_t dims[2] = {nq, width};
  void* id_data = nullptr;
  void* score_data = nullptr;
  KORVEL_ASSIGN_OR_RETURN(OwnedRef id_array, new_array(ArrayKind::kUInt64, 2, dims, &id_data));
  KORVEL_ASSIGN_OR_RETURN(OwnedRef score_array,
                          new_array(ArrayKind::kFloat32, 2, dims, &score_data));
  if (!ids.empty()) {
    std::memcpy(id_data, ids.data(), ids.size() * sizeof(uint64_t));
    std::memcpy(score_data, scores.data(), scores.size() * sizeof(float));
  }
  OwnedRef tuple = OwnedRef::steal(PyTuple_Pack(2, id_array.get(), score_array.get()));
  if (!tuple) return unexpected(PyError::fetch());
  return tuple;
}

PyResult<OwnedRef> cascade_pick_body(Args<CascadePick> args) {
  KORVEL_ASSIGN_OR_RETURN(auto scores,
                          to_native_values<float>(args[CascadePick::kScores], "scores"));
  const size_t nq = static_cast<size_t>(PyObject_Length(args[CascadePick::kCounts]));
  if (PyErr_Occurred()) return unexpected(PyError::fetch());
  const size_t width = nq == 0 ? 0 : scores.size() / nq;
  if (scores.size() != nq * width) {
    return unexpected(value_error("scores: not one row per count"));
  }
  KORVEL_ASSIGN_OR_RETURN(auto counts, row_counts(args[CascadePick::kCounts], width));
  KORVEL_ASSIGN_OR_RETURN(
      const uint64_t rescore,
      optional_count(args[CascadePick::kRescore], "rescore", kDefaultRescore, kRescoreRange));
  KORVEL_ASSIGN_OR_RETURN(const uint64_t k, argument("k", to_u64(args[CascadePick::kK])));
  if (rescore == 0 || k == 0) return unexpected(value_error("rescore and k must be at least 1"));
  const size_t keep = static_cast<size_t>(cascade_keep(rescore, k, width));
  const size_t dims[2] = {nq, keep};
  void* positions = nullptr;
  void* picked = nullptr;
  KORVEL_ASSIGN_OR_RETURN(OwnedRef positions_array,
                          new_array(ArrayKind::kInt64, 2, dims, &positions));
  KORVEL_ASSIGN_OR_RETURN(OwnedRef counts_array, new_array(ArrayKind::kInt64, 1, dims, &picked));
  for (size_t q = 0; q < nq; ++q) {
    const std::vector<uint32_t> order = cascade_pick(
        std::span<const float>(scores.data() + q * width, static_cast<size_t>(counts[q])),
        static_cast<size_t>(cascade_keep(rescore, k, static_cast<uint64_t>(counts[q]))));
    int64_t* row = static_cast<int64_t*>(positions) + q * keep;
    for (size_t j = 0; j < keep; ++j) row[j] = j < order.size() ? int64_t{order[j]} : 0;
    static_cast<int64_t*>(picked)[q] = static_cast<int64_t>(order.size());
  }
  OwnedRef tuple = OwnedRef::steal(PyTuple_Pack(2, positions_array.get(), counts_array.get()));
  if (!tuple) return unexpected(PyError::fetch());
  return tuple;
}

MethodEntry g_functions[] = {
    static_method<Open, open_body>(),
    static_method<MergePools, merge_pools_body>(),
    static_method<RankScored, rank_scored_body>(),
    static_method<CascadePick, cascade_pick_body>(),
};

}  // namespace

int register_index_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("An opened index of one or more data files.")},
      {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
      {Py_tp_getset, g_getset},
      {Py_sq_length, reinterpret_cast<void*>(&length)},
      {0, nullptr},
  };
  PyType_Spec spec = {"korvel._engine.Index", static_cast<int>(sizeof(IndexObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  OwnedRef type = OwnedRef::steal(PyType_FromSpec(&spec));
  if (!type) return -1;
  if (!add_methods(reinterpret_cast<PyTypeObject*>(type.get()), g_methods)) return -1;
  if (PyModule_AddObjectRef(module, "Index", type.get()) != 0) return -1;
  if (!add_functions(module, g_functions)) return -1;
  g_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
  return 0;
}

}  // namespace korvel::py
