// Differential libFuzzer target for the array engine. The input builds one to four small
// shards through BulkWriter (batches of dictionary-encoded columns, float16/32/64 embeddings,
// offsets, and sometimes a batch that must fail and leave the writer as it was), saves and
// opens them as a ShardSet, and runs a batch of queries with name-level filter trees, k,
// oversample and re-ranking (none, signs, exact against embeddings buffers), a count and
// facets; then runs shard 0 through execute_batch alone (vectors or signatures, code-level
// filters, count_matching, facet_counts). Every result must equal a plain scan over a model
// of the records: filters evaluated per record on strings, Hamming distances by XOR and
// popcount, pools and re-ranked rows sorted by their documented orders.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "build/bulk_writer.h"
#include "common/thread_pool.h"
#include "query/batch_query.h"
#include "shards/shard_set.h"
#include "sidecar/sidecar.h"

namespace korvel {
namespace {

#define CHECK_SAME(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "engine_fuzz: mismatch at line %d: %s\n", __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// The model's own code gets no coverage instrumentation: its branches follow the engine's
// and the input's, and their comparison hooks in per-record loops would only slow each run.
#define KORVEL_MODEL __attribute__((no_sanitize("coverage")))

// ---------------------------------------------------------------------------------------
// Values. Small palettes make ties in distance and score common.

constexpr float kPalette[] = {0.0f,   -0.0f,   1.0f,  -1.0f,  0.5f,     -2.0f, 3.0f,    0.25f,
                              1e-40f, -1e-40f, 1e30f, -1e30f, 65504.0f, 7.0f,  -0.125f, 2.0f};

struct Rng {  // splitmix64
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
};

// Buffer contents for exact re-scoring: mostly palette values, `odd` in 256 of them NaN,
// infinity or any bits.
float buffer_float(Rng& rng, unsigned odd) {
  const uint64_t x = rng.next();
  if ((x & 255) >= odd) return kPalette[(x >> 8) % std::size(kPalette)];
  switch ((x >> 8) % 4) {
    case 0:
      return std::numeric_limits<float>::quiet_NaN();
    case 1:
      return std::numeric_limits<float>::infinity();
    case 2:
      return -std::numeric_limits<float>::infinity();
    default:
      return std::bit_cast<float>(static_cast<uint32_t>(x >> 32));
  }
}

KORVEL_MODEL float model_half(uint16_t h) {
  const int sign = h >> 15;
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  double v;
  if (exponent == 31) {
    v = mantissa ? std::numeric_limits<double>::quiet_NaN()
                 : std::numeric_limits<double>::infinity();
  } else if (exponent == 0) {
    v = std::ldexp(mantissa, -24);
  } else {
    v = std::ldexp(1024 + mantissa, exponent - 25);
  }
  return static_cast<float>(sign ? -v : v);
}

KORVEL_MODEL float model_double(double d) {
  // Round to nearest, ties to even: beyond the float range that is infinity.
  if (std::fabs(d) >= 0x1.ffffffp127) return d > 0 ? INFINITY : -INFINITY;
  return static_cast<float>(d);
}

KORVEL_MODEL std::vector<uint8_t> model_signature(const std::vector<float>& v) {
  std::vector<uint8_t> sig((v.size() + 7) / 8, 0);
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] > 0.0f) sig[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  return sig;
}

KORVEL_MODEL uint32_t model_distance(const std::vector<uint8_t>& a, const uint8_t* b) {
  uint32_t d = 0;
  for (size_t i = 0; i < a.size(); ++i) d += std::popcount(static_cast<unsigned>(a[i] ^ b[i]));
  return d;
}

KORVEL_MODEL bool same_float(float a, float b) {
  return std::isnan(a) ? std::isnan(b) : std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}


// The model's own sort and search, written out so that no instrumented template
// instantiation of std::sort or std::find runs in its loops.
template <class T>
KORVEL_MODEL size_t model_find(const std::vector<T>& items, const T& v) {
  size_t i = 0;
  while (i < items.size() && !(items[i] == v)) ++i;
  return i;
}

// ---------------------------------------------------------------------------------------
// The model of the records.

struct ModelRecord {
  uint64_t doc_id;
  std::vector<std::string> values;  // one per trait
  std::vector<uint8_t> signature;
  uint64_t offset;
};

struct ModelShard {
  std::vector<ModelRecord> records;
  std::vector<std::vector<std::string>> dict;  // per trait: values in first-seen order
  uint64_t max_records = kMaxRecordCount;

  int64_t code(size_t t, const std::string& v) const {
    const size_t i = model_find(dict[t], v);
    return i == dict[t].size() ? -1 : static_cast<int64_t>(i);
  }
};

struct World {
  std::vector<std::string> schema;
  uint16_t dim = 0;
  std::vector<ModelShard> shards;
  uint64_t total() const {
    uint64_t n = 0;
    for (const ModelShard& s : shards) n += s.records.size();
    return n;
  }
};

std::optional<size_t> trait_of(const World& w, const std::string& name) {
  const auto it = std::find(w.schema.begin(), w.schema.end(), name);
  if (it == w.schema.end()) return std::nullopt;
  return static_cast<size_t>(it - w.schema.begin());
}

std::string value_name(unsigned i) { return "v" + std::to_string(i); }

// ---------------------------------------------------------------------------------------
// Building one shard: batches through BulkWriter, mirrored in the model.

struct Batch {
  std::vector<uint64_t> doc_ids;
  std::vector<std::optional<TraitColumn>> columns;
  std::optional<EmbeddingType> type;
  std::vector<uint8_t> raw;  // the embedding matrix, one spare byte in front for misalignment
  size_t raw_shift = 0;
  size_t emb_rows = 0, emb_dim = 0;
  std::optional<std::vector<uint64_t>> offsets;
};

// External offsets of one batch: `mode` 0 lays the rows out one after another in a buffer of
// 17 rows (unaligned now and then), 1 anywhere near it, 2 any value, 3 a mix with none.
uint64_t batch_offset(Rng& rng, unsigned mode, size_t row, uint16_t dim) {
  const uint64_t x = rng.next();
  switch (mode == 3 ? x % 4 : mode) {
    case 0:
      return uint64_t{4} * dim * (row % 17) + ((x >> 8) % 8 == 0 ? (x >> 16) % 4 : 0);
    case 1:
      return (x >> 8) % (68 * uint64_t{dim} + 64);
    case 2:
      return (x >> 8) % 2 ? ~uint64_t{0} - (x >> 16) % 64 : x;
    default:
      return kNoExternalOffset;
  }
}

void build_shard(FuzzedDataProvider& in, World& w, ModelShard& m, BulkWriter& writer) {
  const size_t traits = w.schema.size();
  m.dict.assign(traits, {});
  const unsigned batches = in.ConsumeIntegralInRange<unsigned>(1, 3);
  for (unsigned b = 0; b < batches; ++b) {
    // Now and then past the scan's 512-record blocks.
    const size_t n = in.ConsumeIntegralInRange<unsigned>(0, 7) != 7
                         ? in.ConsumeIntegralInRange<size_t>(0, 40)
                         : in.ConsumeIntegralInRange<size_t>(0, 600);
    // 0: a good batch; otherwise one kind of fault that the writer must refuse whole.
    const unsigned fault = in.ConsumeIntegralInRange<unsigned>(0, 15);
    Batch batch;
    const uint64_t id_base = in.ConsumeIntegral<uint64_t>();
    for (size_t r = 0; r < n; ++r) batch.doc_ids.push_back(id_base + r * 7);
    for (size_t t = 0; t < traits; ++t) {
      const unsigned mode = in.ConsumeIntegralInRange<unsigned>(0, 7);
      if (mode == 6) {
        batch.columns.emplace_back();  // every row ""
        continue;
      }
      // Values v0..v{alphabet-1}; a wide alphabet can overflow the 256 codes.
      const unsigned alphabet = mode == 7 ? in.ConsumeIntegralInRange<unsigned>(200, 300)
                                          : in.ConsumeIntegralInRange<unsigned>(1, 6);
      TraitColumn c;
      const unsigned cats = in.ConsumeIntegralInRange<unsigned>(1, std::min(alphabet + 2, 40u));
      for (unsigned i = 0; i < cats; ++i) {
        // Repeated and unused categories, and "" now and then.
        c.categories.push_back(i == 1 && alphabet < 4 ? std::string()
                                                      : value_name((i * 7 + t) % alphabet));
      }
      const uint32_t seed = in.ConsumeIntegral<uint32_t>();
      for (size_t r = 0; r < n; ++r) {
        const uint32_t x = static_cast<uint32_t>((seed + r) * 2654435761u) >> 7;
        c.indices.push_back(mode == 7 ? static_cast<uint32_t>(r % cats) : x % cats);
      }
      batch.columns.emplace_back(std::move(c));
    }
    // Mostly float32; float16, float64, or none.
    const unsigned emb = in.ConsumeIntegralInRange<unsigned>(0, 5);
    if (emb < 3) batch.type = EmbeddingType::kFloat32;
    if (emb == 3) batch.type = EmbeddingType::kFloat16;
    if (emb == 4) batch.type = EmbeddingType::kFloat64;
    batch.emb_rows = n;
    batch.emb_dim = w.dim;
    std::vector<float> as_float32(n * w.dim);  // the model's view after conversion
    if (batch.type) {
      const size_t width = *batch.type == EmbeddingType::kFloat16   ? 2
                           : *batch.type == EmbeddingType::kFloat32 ? 4
                                                                    : 8;
      batch.raw_shift = in.ConsumeBool() ? 1 : 0;
      batch.raw.resize(batch.raw_shift + n * w.dim * width + 8);
      uint8_t* p = batch.raw.data() + batch.raw_shift;
      const uint32_t seed = in.ConsumeIntegral<uint32_t>();
      for (size_t i = 0; i < n * w.dim; ++i) {
        const uint32_t x = static_cast<uint32_t>((seed + i) * 2246822519u) >> 11;
        const float f = kPalette[x % std::size(kPalette)];
        if (width == 2) {
          // Finite halves: random bits with the exponent kept below 31.
          uint16_t h = static_cast<uint16_t>(x * 40503u);
          if (((h >> 10) & 0x1f) == 0x1f) h &= 0xbfff;
          std::memcpy(p + 2 * i, &h, 2);
          as_float32[i] = model_half(h);
        } else if (width == 4) {
          std::memcpy(p + 4 * i, &f, 4);
          as_float32[i] = f;
        } else {
          // Doubles that round: tiny ones to zero or a subnormal, large ones near FLT_MAX.
          static constexpr double kDoubles[] = {1e-50, -1e-50, 1.5e-45, 3.4028235e38, 0.1, -0.3};
          const double d = x % 3 == 0 ? kDoubles[(x / 3) % std::size(kDoubles)] : double{f};
          std::memcpy(p + 8 * i, &d, 8);
          as_float32[i] = model_double(d);
        }
      }
    }
    const unsigned offsets = in.ConsumeIntegralInRange<unsigned>(0, 5);
    if (offsets < 4) {
      batch.offsets.emplace();
      Rng rng{in.ConsumeIntegral<uint64_t>()};
      for (size_t r = 0; r < n; ++r) batch.offsets->push_back(batch_offset(rng, offsets, r, w.dim));
    }

    // The fault, if any: applied here, predicted by the model below.
    const size_t bad_row = n == 0 ? 0 : in.ConsumeIntegralInRange<size_t>(0, n - 1);
    if (fault == 1 && traits > 0 && batch.columns.back()) {
      batch.columns.back()->indices.push_back(0);
    } else if (fault == 2 && batch.type) {
      batch.emb_rows = n + 1;
    } else if (fault == 3 && batch.offsets) {
      batch.offsets->push_back(0);
    } else if (fault == 4 && batch.type) {
      batch.emb_dim = w.dim + 1;
    } else if (fault == 5 && n > 0 && batch.columns[0]) {
      batch.columns[0]->indices[bad_row] = static_cast<uint32_t>(
          batch.columns[0]->categories.size() + in.ConsumeIntegralInRange<uint32_t>(0, 3));
    } else if (fault == 6 && n > 0 && w.dim > 0 && batch.type &&
               *batch.type != EmbeddingType::kFloat16) {
      const size_t pos = in.ConsumeIntegralInRange<size_t>(0, w.dim - 1);
      uint8_t* p = batch.raw.data() + batch.raw_shift;
      if (*batch.type == EmbeddingType::kFloat32) {
        const float v = in.ConsumeBool() ? NAN : -INFINITY;
        std::memcpy(p + 4 * (bad_row * w.dim + pos), &v, 4);
      } else {
        const double v = in.ConsumeBool() ? 1e300 : NAN;  // 1e300 becomes infinity
        std::memcpy(p + 8 * (bad_row * w.dim + pos), &v, 8);
      }
      as_float32[bad_row * w.dim + pos] = NAN;
    }

    // The model: the first error in the documented order, or the records.
    std::optional<BulkWriterError> want;
    for (size_t t = 0; t < traits && !want; ++t) {
      if (batch.columns[t] && batch.columns[t]->indices.size() != n) {
        want =
            RowCountMismatch{"column '" + w.schema[t] + "'", n, batch.columns[t]->indices.size()};
      }
    }
    if (!want && batch.type && batch.emb_rows != n) {
      want = RowCountMismatch{"embeddings", n, batch.emb_rows};
    }
    if (!want && batch.offsets && batch.offsets->size() != n) {
      want = RowCountMismatch{"offsets", n, batch.offsets->size()};
    }
    if (!want && batch.type && batch.emb_dim != w.dim) {
      want = EmbeddingWidth{w.dim, batch.emb_dim};
    }
    if (!want && n > m.max_records - m.records.size()) {
      want = TooManyRecords{m.records.size() + n, m.max_records};
    }
    std::vector<std::vector<std::string>> dict = m.dict;
    for (size_t t = 0; t < traits && !want; ++t) {
      const TraitColumn* c = batch.columns[t] ? &*batch.columns[t] : nullptr;
      for (size_t r = 0; r < n && !want; ++r) {
        const uint32_t i = c ? c->indices[r] : 0;
        const size_t cats = c ? c->categories.size() : 1;
        if (i >= cats) {
          want = CategoryIndexOutOfRange{"column '" + w.schema[t] + "'", r, i, cats};
          break;
        }
        const std::string value = c ? c->categories[i] : std::string();
        if (model_find(dict[t], value) != dict[t].size()) continue;
        if (dict[t].size() == 256) {
          want =
              ColumnOverflow{"column '" + w.schema[t] + "'", r, TraitOverflow{value, 257, 256, 8}};
          break;
        }
        dict[t].push_back(value);
      }
    }
    for (size_t r = 0; r < n && !want && batch.type; ++r) {
      for (size_t i = 0; i < w.dim; ++i) {
        if (!std::isfinite(as_float32[r * w.dim + i])) {
          want = NonFiniteEmbedding{r, i};
          break;
        }
      }
    }

    BulkBatch bulk;
    bulk.doc_ids = batch.doc_ids;
    for (const auto& c : batch.columns) bulk.columns.push_back(c ? &*c : nullptr);
    if (batch.type) {
      bulk.embeddings = EmbeddingRows{batch.raw.data() + batch.raw_shift, *batch.type,
                                      batch.emb_rows, batch.emb_dim};
    }
    if (batch.offsets) bulk.offsets = std::span<const uint64_t>(*batch.offsets);
    const std::string sidecar_before = want ? writer.sidecar_text() : std::string();
    const auto header_before = writer.header();
    const auto got = writer.add(bulk, in.ConsumeIntegralInRange<unsigned>(0, 2));
    CHECK_SAME(got.has_value() == !want.has_value());
    if (want) {
      CHECK_SAME(to_string(got.error()) == to_string(*want));
      CHECK_SAME(writer.size() == m.records.size());
      CHECK_SAME(writer.header() == header_before);
      CHECK_SAME(writer.sidecar_text() == sidecar_before);
      continue;
    }
    m.dict = std::move(dict);
    for (size_t r = 0; r < n; ++r) {
      ModelRecord rec;
      rec.doc_id = batch.doc_ids[r];
      for (size_t t = 0; t < traits; ++t) {
        const TraitColumn* c = batch.columns[t] ? &*batch.columns[t] : nullptr;
        rec.values.push_back(c ? c->categories[c->indices[r]] : std::string());
      }
      if (batch.type) {
        rec.signature = model_signature(std::vector<float>(as_float32.begin() + r * w.dim,
                                                           as_float32.begin() + (r + 1) * w.dim));
      } else {
        rec.signature.assign((w.dim + 7) / 8, 0);
      }
      rec.offset = batch.offsets ? (*batch.offsets)[r] : kNoExternalOffset;
      m.records.push_back(std::move(rec));
    }
  }
}

// ---------------------------------------------------------------------------------------
// Filters by name, and their per-record model.

TraitFilter fuzz_filter(FuzzedDataProvider& in, const World& w, int depth, int& budget) {
  --budget;
  const unsigned kind = depth >= 4 || budget <= 0 ? 0 : in.ConsumeIntegralInRange<unsigned>(0, 4);
  if (kind <= 1) {
    TraitIn leaf;
    const uint8_t pick = in.ConsumeIntegral<uint8_t>();
    leaf.trait = pick < 250 ? w.schema[pick % w.schema.size()] : "unknown";
    const unsigned pick_count = in.ConsumeIntegralInRange<unsigned>(0, 3);
    const unsigned count = pick_count == 3 ? 0 : pick_count + 1;
    for (unsigned i = 0; i < count; ++i) {
      const uint8_t v = in.ConsumeIntegral<uint8_t>();
      leaf.values.push_back(v < 200 ? value_name(v % 7) : v < 230 ? "" : "absent");
    }
    return TraitFilter{std::move(leaf)};
  }
  if (kind == 4) {
    return TraitFilter{
        TraitNot{std::make_unique<TraitFilter>(fuzz_filter(in, w, depth + 1, budget))}};
  }
  std::vector<TraitFilter> children;
  const unsigned count = in.ConsumeIntegralInRange<unsigned>(0, 3);
  for (unsigned i = 0; i < count && budget > 0; ++i)
    children.push_back(fuzz_filter(in, w, depth + 1, budget));
  if (kind == 2) return TraitFilter{TraitAnd{std::move(children)}};
  return TraitFilter{TraitOr{std::move(children)}};
}

// The first unknown trait name in the filter, depth first.
std::optional<std::string> unknown_trait(const World& w, const TraitFilter& f) {
  if (const auto* leaf = std::get_if<TraitIn>(&f.node)) {
    if (!trait_of(w, leaf->trait)) return leaf->trait;
    return std::nullopt;
  }
  if (const auto* n = std::get_if<TraitNot>(&f.node)) return unknown_trait(w, *n->child);
  const auto& children = std::holds_alternative<TraitAnd>(f.node)
                             ? std::get<TraitAnd>(f.node).children
                             : std::get<TraitOr>(f.node).children;
  for (const TraitFilter& c : children) {
    if (auto u = unknown_trait(w, c)) return u;
  }
  return std::nullopt;
}

KORVEL_MODEL bool matches(const World& w, const ModelRecord& r, const TraitFilter& f) {
  if (const auto* leaf = std::get_if<TraitIn>(&f.node)) {
    const std::string& v = r.values[*trait_of(w, leaf->trait)];
    return model_find(leaf->values, v) != leaf->values.size();
  }
  if (const auto* n = std::get_if<TraitNot>(&f.node)) return !matches(w, r, *n->child);
  if (const auto* n = std::get_if<TraitAnd>(&f.node)) {
    for (const TraitFilter& c : n->children) {
      if (!matches(w, r, c)) return false;
    }
    return true;
  }
  for (const TraitFilter& c : std::get<TraitOr>(f.node).children) {
    if (matches(w, r, c)) return true;
  }
  return false;
}

KORVEL_MODEL bool matches(const World& w, const ModelRecord& r,
                          const std::optional<TraitFilter>& f) {
  return !f || matches(w, r, *f);
}

TraitFilter copy(const TraitFilter& f) {
  if (const auto* leaf = std::get_if<TraitIn>(&f.node)) return TraitFilter{*leaf};
  if (const auto* n = std::get_if<TraitNot>(&f.node))
    return TraitFilter{TraitNot{std::make_unique<TraitFilter>(copy(*n->child))}};
  const bool is_and = std::holds_alternative<TraitAnd>(f.node);
  const auto& children =
      is_and ? std::get<TraitAnd>(f.node).children : std::get<TraitOr>(f.node).children;
  std::vector<TraitFilter> out;
  for (const TraitFilter& c : children) out.push_back(copy(c));
  if (is_and) return TraitFilter{TraitAnd{std::move(out)}};
  return TraitFilter{TraitOr{std::move(out)}};
}

// ---------------------------------------------------------------------------------------
// The model of search_batch, count and facets.

struct Entry {
  size_t shard;
  uint64_t record;
  uint32_t distance;
  float score;
};

KORVEL_MODEL bool pool_before(const Entry& a, const Entry& b) {
  if (a.distance != b.distance) return a.distance < b.distance;
  if (a.shard != b.shard) return a.shard < b.shard;
  return a.record < b.record;
}

KORVEL_MODEL bool score_before(const Entry& a, const Entry& b) {
  const bool an = std::isnan(a.score), bn = std::isnan(b.score);
  if (an != bn) return bn;
  if (!an && a.score != b.score) return a.score > b.score;
  if (a.shard != b.shard) return a.shard < b.shard;
  return a.record < b.record;
}

// A stable merge sort; the orders above are total, so it sorts as std::sort would.
KORVEL_MODEL void model_sort(std::vector<Entry>& v, bool (*before)(const Entry&, const Entry&)) {
  std::vector<Entry> tmp(v.size());
  for (size_t width = 1; width < v.size(); width *= 2) {
    for (size_t lo = 0; lo < v.size(); lo += 2 * width) {
      const size_t mid = std::min(lo + width, v.size()), hi = std::min(lo + 2 * width, v.size());
      size_t a = lo, b = mid, o = lo;
      while (a < mid && b < hi) tmp[o++] = before(v[b], v[a]) ? v[b++] : v[a++];
      while (a < mid) tmp[o++] = v[a++];
      while (b < hi) tmp[o++] = v[b++];
    }
    v.swap(tmp);
  }
}

KORVEL_MODEL float dot(const float* q, const uint8_t* e, size_t dim) {
  float acc = 0.0f;
  for (size_t i = 0; i < dim; ++i) {
    float v;
    std::memcpy(&v, e + 4 * i, 4);
    const float product = q[i] * v;
    acc = acc + product;
  }
  return acc;
}

KORVEL_MODEL float sign_score(const float* q, const std::vector<uint8_t>& sig, size_t dim) {
  float acc = 0.0f;
  for (size_t i = 0; i < dim; ++i) acc = acc + (((sig[i / 8] >> (i % 8)) & 1u) ? q[i] : -q[i]);
  return acc;
}

KORVEL_MODEL Expected<SearchResult, SearchError> model_search(const World& w,
                                                              const SearchRequest& req) {
  const size_t nq = req.query_count;
  const uint16_t dim = w.dim;
  if (req.k == 0 || req.k > kMaxTopK) return unexpected(SearchError{KOutOfRange{req.k}});
  if (req.oversample == 0) return unexpected(SearchError{OversampleOutOfRange{0}});
  const uint64_t wanted = req.oversample > UINT64_MAX / req.k ? UINT64_MAX : req.oversample * req.k;
  const uint64_t pool_size = std::min(wanted, w.total());
  if (pool_size > kMaxPool) return unexpected(SearchError{PoolTooLarge{wanted}});
  if (req.queries.size() != nq * dim)
    return unexpected(SearchError{QueryShapeMismatch{req.queries.size(), nq, dim}});
  if (req.filters.size() > 1 && req.filters.size() != nq)
    return unexpected(SearchError{FilterCountMismatch{req.filters.size(), nq}});
  if (req.rerank == Rescoring::kExact && req.embeddings.size() != 1 &&
      req.embeddings.size() != w.shards.size())
    return unexpected(SearchError{EmbeddingBufferCount{req.embeddings.size(), w.shards.size()}});
  for (size_t q = 0; q < nq; ++q) {
    for (size_t i = 0; i < dim; ++i) {
      if (!std::isfinite(req.queries[q * dim + i]))
        return unexpected(SearchError{NonFiniteQuery{q}});
    }
  }
  for (const auto& f : req.filters) {
    if (!f) continue;
    if (auto u = unknown_trait(w, *f)) return unexpected(SearchError{UnknownTrait{*u, w.schema}});
  }
  // Each filter's matches, per shard and record, computed once.
  std::vector<std::vector<std::vector<char>>> cache(req.filters.size());
  auto matched = [&](size_t fi, size_t s) -> const std::vector<char>& {
    if (cache[fi].empty()) {
      for (const ModelShard& m : w.shards) {
        auto& out = cache[fi].emplace_back();
        for (const ModelRecord& r : m.records) out.push_back(matches(w, r, req.filters[fi]));
      }
    }
    return cache[fi][s];
  };
  SearchResult out;
  out.query_count = nq;
  out.k = req.k;
  out.ids.assign(nq * req.k, kPaddingId);
  out.scores.assign(nq * req.k, NAN);
  out.counts.assign(nq, 0);
  for (size_t q = 0; q < nq; ++q) {
    const size_t fi = req.filters.empty() ? SIZE_MAX : req.filters.size() == 1 ? 0 : q;
    const float* query = req.queries.data() + q * dim;
    const std::vector<uint8_t> qsig = model_signature(std::vector<float>(query, query + dim));
    std::vector<Entry> pool;
    for (size_t s = 0; s < w.shards.size(); ++s) {
      const auto& recs = w.shards[s].records;
      const std::vector<char>* keep = fi == SIZE_MAX ? nullptr : &matched(fi, s);
      for (uint64_t r = 0; r < recs.size(); ++r) {
        if (keep && !(*keep)[r]) continue;
        pool.push_back({s, r, model_distance(qsig, recs[r].signature.data()), 0.0f});
      }
    }
    model_sort(pool, pool_before);
    if (pool.size() > pool_size) pool.resize(pool_size);
    for (Entry& e : pool) {
      const ModelRecord& rec = w.shards[e.shard].records[e.record];
      if (req.rerank == Rescoring::kNone) {
        e.score = static_cast<float>(e.distance);
      } else if (req.rerank == Rescoring::kSigns) {
        e.score = sign_score(query, rec.signature, dim);
      } else {
        const auto& buffer = req.embeddings[req.embeddings.size() == 1 ? 0 : e.shard];
        if (!buffer || rec.offset == kNoExternalOffset) continue;
        const uint64_t bytes = 4 * uint64_t{dim};
        if (rec.offset > buffer->size() || bytes > buffer->size() - rec.offset) {
          return unexpected(SearchError{
              EmbeddingOutOfBounds{e.shard, e.record, rec.offset, bytes, buffer->size()}});
        }
        e.score = dot(query, buffer->data() + rec.offset, dim);
      }
    }
    if (req.rerank != Rescoring::kNone) model_sort(pool, score_before);
    const size_t hits = std::min<size_t>(pool.size(), req.k);
    for (size_t i = 0; i < hits; ++i) {
      out.ids[q * req.k + i] = w.shards[pool[i].shard].records[pool[i].record].doc_id;
      out.scores[q * req.k + i] = pool[i].score;
    }
    out.counts[q] = static_cast<uint32_t>(hits);
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// execute_batch on one shard, against the same model with record order alone.

void check_batch(FuzzedDataProvider& in, const World& w, size_t s, const ShardSet& set,
                 const std::vector<float>& queries, size_t nq,
                 const std::vector<std::optional<TraitFilter>>& filters,
                 std::span<const uint8_t> buffer) {
  const ModelShard& m = w.shards[s];
  const IndexReader& reader = set.shard(s).state.reader;
  const uint16_t dim = w.dim;

  // Code-level filters as the set resolves them; a filter with an unknown trait is sent as
  // none, and a list of the wrong length as its first entry alone.
  const size_t count = filters.size() > 1 && filters.size() != nq ? 1 : filters.size();
  std::vector<FilterExpr> resolved;
  resolved.reserve(count);
  std::vector<const FilterExpr*> ptrs;
  std::vector<const TraitFilter*> used;  // the model's filter of each entry of ptrs
  for (size_t i = 0; i < count; ++i) {
    const auto& f = filters[i];
    if (!f || unknown_trait(w, *f)) {
      ptrs.push_back(nullptr);
      used.push_back(nullptr);
      continue;
    }
    auto r = resolve_filter(set, s, *f);
    CHECK_SAME(r.has_value());
    resolved.push_back(std::move(*r));
    ptrs.push_back(&resolved.back());
    used.push_back(&*f);
  }

  BatchRequest req;
  req.query_count = nq;
  const unsigned input = in.ConsumeIntegralInRange<unsigned>(0, 3);
  std::vector<uint8_t> sigs;
  if (input == 1) {
    for (size_t q = 0; q < nq; ++q) {
      const auto sig = model_signature(
          std::vector<float>(queries.begin() + q * dim, queries.begin() + (q + 1) * dim));
      sigs.insert(sigs.end(), sig.begin(), sig.end());
    }
    req.signatures = sigs;
  } else if (input >= 2) {
    req.vectors = queries;
  }
  req.filters = ptrs;
  const uint32_t k_pick = in.ConsumeIntegralInRange<uint32_t>(0, 30);
  req.top_k = k_pick == 30 ? 0 : k_pick + 1;
  req.oversample = in.ConsumeIntegralInRange<uint32_t>(1, 4);
  req.exact_rescore = in.ConsumeBool();
  if (in.ConsumeBool()) req.embeddings = buffer;
  req.rerank = in.ConsumeBool() ? Rerank::kSigns : Rerank::kNone;
  req.threads = in.ConsumeIntegralInRange<size_t>(0, 2);
  const auto got = execute_batch(reader, req, default_thread_pool());

  // The model.
  const bool have_vectors = !req.vectors.empty();
  const bool have_sigs = !have_vectors && !req.signatures.empty();
  const bool rerank = !req.exact_rescore && req.rerank == Rerank::kSigns;
  std::optional<QueryError> error;
  if (req.top_k < 1 || req.top_k > kMaxTopK) {
    error = TopKOutOfRange{req.top_k};
  } else if ((req.exact_rescore || rerank) && !have_vectors) {
    error = VectorDimensionMismatch{0, dim};
  } else if (have_vectors && req.vectors.size() != nq * dim) {
    error = VectorDimensionMismatch{nq == 0 ? req.vectors.size() : req.vectors.size() / nq, dim};
  } else if (req.exact_rescore && !req.embeddings) {
    error = EmbeddingsRequired{};
  }
  CHECK_SAME(got.has_value() == !error.has_value());
  if (error) {
    CHECK_SAME(to_string(got.error()) == to_string(*error));
    return;
  }
  std::vector<std::vector<char>> keeps(used.size());
  for (size_t i = 0; i < used.size(); ++i) {
    for (const ModelRecord& r : m.records) keeps[i].push_back(!used[i] || matches(w, r, *used[i]));
  }
  const size_t capacity = size_t{req.oversample} * req.top_k;
  CHECK_SAME(got->offsets.size() == nq);
  CHECK_SAME(got->counts.size() == nq);
  for (size_t q = 0; q < nq; ++q) {
    const std::vector<char>* keep = keeps.empty() ? nullptr : &keeps[keeps.size() == 1 ? 0 : q];
    const bool categorical = (!have_vectors && !have_sigs) || dim == 0;
    const float* query = have_vectors ? queries.data() + q * dim : nullptr;
    std::vector<uint8_t> qsig;
    if (!categorical) {
      qsig = model_signature(
          std::vector<float>(queries.begin() + q * dim, queries.begin() + (q + 1) * dim));
    }
    std::vector<Entry> pool;
    for (uint64_t r = 0; r < m.records.size(); ++r) {
      if (keep && !(*keep)[r]) continue;
      pool.push_back(
          {s, r, categorical ? 0u : model_distance(qsig, m.records[r].signature.data()), 0.0f});
    }
    model_sort(pool, pool_before);
    if (pool.size() > capacity) pool.resize(capacity);
    const bool scored = !categorical && (req.exact_rescore || rerank);
    if (scored) {
      for (Entry& e : pool) {
        const ModelRecord& rec = m.records[e.record];
        if (rerank) {
          e.score = sign_score(query, rec.signature, dim);
        } else if (rec.offset != kNoExternalOffset && rec.offset <= buffer.size() &&
                   4 * uint64_t{dim} <= buffer.size() - rec.offset) {
          e.score = dot(query, buffer.data() + rec.offset, dim);
        }
      }
      model_sort(pool, score_before);
      if (pool.size() > req.top_k) pool.resize(req.top_k);
    }
    const auto row = got->row(q);
    CHECK_SAME(row.size() == pool.size());
    for (size_t i = 0; i < row.size(); ++i) {
      CHECK_SAME(row[i].record_index == pool[i].record);
      CHECK_SAME(row[i].distance == pool[i].distance);
      CHECK_SAME(row[i].exact_score.has_value() == scored);
      if (scored) CHECK_SAME(same_float(*row[i].exact_score, pool[i].score));
    }
  }

  // count_matching and facet_counts by code, with the first filter.
  const FilterExpr* f0 = ptrs.empty() ? nullptr : ptrs[0];
  const TraitFilter* mf = used.empty() ? nullptr : used[0];
  const auto matching = count_matching(reader, f0);
  CHECK_SAME(matching.has_value());
  const size_t trait = in.ConsumeIntegralInRange<size_t>(0, w.schema.size());
  const auto facets = facet_counts(reader, trait, f0);
  CHECK_SAME(facets.has_value() == (trait < w.schema.size()));
  std::vector<uint64_t> per_code(256, 0);
  uint64_t want_count = 0;
  for (const ModelRecord& r : m.records) {
    if (mf && !matches(w, r, *mf)) continue;
    ++want_count;
    if (trait < w.schema.size()) ++per_code[m.code(trait, r.values[trait])];
  }
  CHECK_SAME(*matching == want_count);
  if (facets) CHECK_SAME(*facets == per_code);
}

// ---------------------------------------------------------------------------------------

// A shard straight from the writer's image in a memory file, without the staging and
// renames of save(): most runs take this path.
Shard shard_in_memory(const BulkWriter& writer, size_t s) {
  static std::vector<int> fds;
  while (fds.size() <= s) {
    fds.push_back(memfd_create("engine_fuzz", MFD_CLOEXEC));
    CHECK_SAME(fds.back() >= 0);
  }
  const int fd = fds[s];
  CHECK_SAME(ftruncate(fd, 0) == 0);
  off_t at = 0;
  auto put = [&](const uint8_t* p, size_t n) {
    while (n > 0) {
      const ssize_t done = pwrite(fd, p, n, at);
      CHECK_SAME(done > 0);
      p += done;
      n -= static_cast<size_t>(done);
      at += done;
    }
  };
  const auto header = writer.header();
  put(header.data(), header.size());
  for (const auto& section : writer.sections()) put(section.data(), section.size());
  auto reader = IndexReader::open("/proc/self/fd/" + std::to_string(fd));
  CHECK_SAME(reader.has_value());
  auto meta = parse_metadata(writer.sidecar_text());
  CHECK_SAME(meta.has_value());
  return Shard{"memory" + std::to_string(s),
               QueryState{std::move(meta->schema), std::move(meta->dicts), std::move(meta->doc_ids),
                          std::move(*reader)}};
}

const std::string& scratch_dir() {
  static const std::string dir = [] {
    std::string templ = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    templ += "/engine_fuzz.XXXXXX";
    CHECK_SAME(mkdtemp(templ.data()) != nullptr);
    // Removed at exit; a plain copy, since the string may be destroyed before the handler runs.
    static char path[256];
    CHECK_SAME(templ.size() < sizeof path);
    std::memcpy(path, templ.c_str(), templ.size() + 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    });
    return templ;
  }();
  return dir;
}

}  // namespace
}  // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvel;
  FuzzedDataProvider in(data, size);
  World w;
  const size_t traits = in.ConsumeIntegralInRange<size_t>(1, 4);
  static const char* const kNames[] = {"a", "b", "c", "", "a"};
  for (size_t t = 0; t < traits; ++t) {
    // Repeated names now and then: a filter names the first trait of that name.
    w.schema.push_back(t == 0 ? "a" : kNames[in.ConsumeIntegralInRange<size_t>(0, 4)]);
  }
  const uint8_t dim_pick = in.ConsumeIntegral<uint8_t>();
  w.dim = dim_pick >= 248 ? dim_pick - 248 : static_cast<uint16_t>(8 + dim_pick % 123);
  const size_t shard_count = in.ConsumeIntegralInRange<size_t>(1, 4);
  // The request's shape and filters before the shards, so that a short input still sets
  // them; the buffers and queries after, their values from seeded generators.
  SearchRequest req;
  const size_t nq_pick = in.ConsumeIntegralInRange<size_t>(0, 40);
  req.query_count = nq_pick == 40 ? 0 : nq_pick + 1;
  const uint8_t k_pick = in.ConsumeIntegral<uint8_t>();
  req.k = k_pick == 255   ? 0
          : k_pick == 254 ? kMaxTopK + 1
          : k_pick == 253 ? kMaxTopK
                          : 1 + k_pick % 40;
  const uint8_t o_pick = in.ConsumeIntegral<uint8_t>();
  req.oversample = o_pick == 255 ? 0 : o_pick == 254 ? UINT64_MAX / 2 : 1 + o_pick % 5;
  req.rerank = static_cast<Rescoring>(in.ConsumeIntegralInRange<unsigned>(0, 2));
  req.threads = in.ConsumeIntegralInRange<unsigned>(0, 2);
  const unsigned filter_mode = in.ConsumeIntegralInRange<unsigned>(0, 7);
  const size_t filter_count = filter_mode == 0   ? 0
                              : filter_mode <= 3 ? 1
                              : filter_mode == 7 ? in.ConsumeIntegralInRange<size_t>(2, 5)
                                                 : req.query_count;
  for (size_t i = 0; i < filter_count; ++i) {
    int budget = 12;
    if (in.ConsumeIntegralInRange<unsigned>(0, 4) == 4) {
      req.filters.emplace_back();
    } else {
      req.filters.emplace_back(fuzz_filter(in, w, 0, budget));
    }
  }

  // Saved files and ShardSet::open now and then, the writer's image in memory otherwise.
  const bool on_disk = in.ConsumeIntegralInRange<unsigned>(0, 3) == 3;
  std::vector<std::string> paths;
  std::vector<Shard> in_memory;
  for (size_t s = 0; s < shard_count; ++s) {
    ModelShard& m = w.shards.emplace_back();
    if (in.ConsumeIntegralInRange<unsigned>(0, 15) == 15)
      m.max_records = in.ConsumeIntegralInRange<uint64_t>(0, 100);
    auto writer = BulkWriter::create(w.schema, w.dim, m.max_records);
    CHECK_SAME(writer.has_value());
    build_shard(in, w, m, *writer);
    if (on_disk) {
      paths.push_back(scratch_dir() + "/shard" + std::to_string(s) + ".korvix");
      CHECK_SAME(writer->save(paths.back()).has_value());
    } else {
      in_memory.push_back(shard_in_memory(*writer, s));
    }
  }
  auto opened = on_disk ? ShardSet::open(paths) : ShardSet::from_shards(std::move(in_memory));
  CHECK_SAME(opened.has_value());
  const ShardSet& set = *opened;
  CHECK_SAME(set.record_count() == w.total());

  // Embeddings buffers: one shared or one per shard (some absent), sometimes too short.
  const size_t buffers = in.ConsumeIntegralInRange<size_t>(0, 3) == 3 ? 1 : shard_count;
  std::vector<std::unique_ptr<uint8_t[]>> storage;
  std::vector<std::optional<std::span<const uint8_t>>> embeddings;
  for (size_t b = 0; b < buffers; ++b) {
    if (buffers > 1 && in.ConsumeIntegralInRange<unsigned>(0, 5) == 5) {
      embeddings.emplace_back();
      continue;
    }
    size_t bytes = 4 * size_t{w.dim} * 17;
    if (in.ConsumeIntegralInRange<unsigned>(0, 3) == 3)
      bytes = in.ConsumeIntegralInRange<size_t>(0, bytes);
    // Exactly this long, so a read past its end is reported.
    storage.push_back(std::make_unique<uint8_t[]>(bytes));
    Rng rng{in.ConsumeIntegral<uint64_t>()};
    const unsigned odd = in.ConsumeIntegralInRange<unsigned>(0, 64);  // NaN/inf per 256 values
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
      const float v = buffer_float(rng, odd);
      std::memcpy(storage.back().get() + i, &v, 4);
    }
    embeddings.emplace_back(std::span<const uint8_t>(storage.back().get(), bytes));
  }
  if (in.ConsumeIntegralInRange<unsigned>(0, 15) == 15) embeddings.emplace_back();
  req.embeddings = embeddings;

  std::vector<float> queries(req.query_count * w.dim);
  {
    Rng rng{in.ConsumeIntegral<uint64_t>()};
    // Few distinct values make equal distances and scores common.
    const unsigned spread = in.ConsumeIntegralInRange<unsigned>(1, std::size(kPalette));
    for (float& v : queries) v = kPalette[rng.next() % spread];
  }
  if (!queries.empty() && in.ConsumeIntegralInRange<unsigned>(0, 31) == 31)
    queries[in.ConsumeIntegralInRange<size_t>(0, queries.size() - 1)] = NAN;
  if (in.ConsumeIntegralInRange<unsigned>(0, 31) == 31) queries.push_back(1.0f);
  req.queries = queries;

  const auto got = search_batch(set, req);
  const auto want = model_search(w, req);
  CHECK_SAME(got.has_value() == want.has_value());
  if (!got) {
    CHECK_SAME(to_string(got.error()) == to_string(want.error()));
  } else {
    CHECK_SAME(got->query_count == want->query_count && got->k == want->k);
    CHECK_SAME(got->counts == want->counts);
    CHECK_SAME(got->ids == want->ids);
    for (size_t i = 0; i < got->scores.size(); ++i)
      CHECK_SAME(same_float(got->scores[i], want->scores[i]));
  }

  // Count and facets over the set, with the first filter.
  const std::optional<TraitFilter> filter = req.filters.empty() || !req.filters[0]
                                                ? std::nullopt
                                                : std::optional<TraitFilter>(copy(*req.filters[0]));
  const std::optional<std::string> unknown = filter ? unknown_trait(w, *filter) : std::nullopt;
  const auto count_got = count(set, filter);
  CHECK_SAME(count_got.has_value() == !unknown);
  const uint8_t trait_pick = in.ConsumeIntegral<uint8_t>();
  const std::string trait = trait_pick < 250 ? w.schema[trait_pick % traits] : "zz";
  const auto facets_got = facets(set, trait, filter);
  CHECK_SAME(facets_got.has_value() == (!unknown && trait != "zz"));
  if (!unknown) {
    uint64_t n = 0;
    std::vector<std::pair<std::string, uint64_t>> per_value;
    const size_t t = trait_of(w, trait).value_or(0);
    for (const ModelShard& m : w.shards) {
      std::vector<uint64_t> counts(m.dict[t].size(), 0);
      for (const ModelRecord& r : m.records) {
        if (!matches(w, r, filter)) continue;
        ++n;
        ++counts[m.code(t, r.values[t])];
      }
      for (size_t c = 0; c < counts.size(); ++c) {
        if (counts[c] == 0) continue;
        auto it = std::find_if(per_value.begin(), per_value.end(),
                               [&](const auto& p) { return p.first == m.dict[t][c]; });
        if (it == per_value.end()) {
          per_value.emplace_back(m.dict[t][c], counts[c]);
        } else {
          it->second += counts[c];
        }
      }
    }
    CHECK_SAME(*count_got == n);
    if (facets_got) CHECK_SAME(*facets_got == per_value);
  } else {
    CHECK_SAME(to_string(count_got.error()) ==
               to_string(SearchError{UnknownTrait{*unknown, w.schema}}));
  }

  // One shard through the batched engine directly.
  const size_t s = in.ConsumeIntegralInRange<size_t>(0, shard_count - 1);
  std::vector<float> batch_queries(
      queries.begin(), queries.begin() + std::min(queries.size(), req.query_count * size_t{w.dim}));
  for (float& v : batch_queries) {
    if (!std::isfinite(v)) v = 0.0f;
  }
  const std::span<const uint8_t> buffer =
      embeddings.empty() || !embeddings[0] ? std::span<const uint8_t>() : *embeddings[0];
  check_batch(in, w, s, set, batch_queries, req.query_count, req.filters, buffer);
  return 0;
}
