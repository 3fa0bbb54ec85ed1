// libFuzzer target for execute_query. The input chooses a small openable data file (made by
// compile_index from fuzzed records, or a header patched to a valid shape over fuzzed section
// bytes, any bit width), then a request: a bounded filter tree whose trait indexes and codes
// may be out of range, top_k anywhere in u32, a query vector that may hold NaN or infinity or
// have the wrong length, the re-scoring flag and an embeddings buffer of any length, read at
// the file's external offsets (up to near 2^64). The result must equal a per-record model
// that decodes every code and scores every record, error for error, hit for hit.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "build/compile.h"
#include "categorical/plane_packing.h"
#include "common/little_endian.h"
#include "query/query.h"
#include "vector/dot.h"
#include "vector/signature.h"

namespace korvel {
namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// ---------------------------------------------------------------------------------------
// The data file.

float fuzz_float(FuzzedDataProvider& in) {
  static constexpr float kEdgeValues[] = {0.0f,
                                          -0.0f,
                                          1.0f,
                                          -1.0f,
                                          std::numeric_limits<float>::quiet_NaN(),
                                          std::numeric_limits<float>::infinity(),
                                          -std::numeric_limits<float>::infinity(),
                                          std::numeric_limits<float>::denorm_min(),
                                          std::numeric_limits<float>::max()};
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  if (pick < std::size(kEdgeValues)) return kEdgeValues[pick];
  if (pick < 128) return std::bit_cast<float>(in.ConsumeIntegral<uint32_t>());
  return static_cast<float>(static_cast<int8_t>(pick)) / 16.0f;
}

uint64_t fuzz_offset(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<unsigned>(0, 4)) {
    case 0:
      return kNoExternalOffset;
    case 1:
      return kNoExternalOffset - in.ConsumeIntegralInRange<uint64_t>(1, 64);
    case 2:
      return in.ConsumeIntegral<uint64_t>();
    default:
      return in.ConsumeIntegralInRange<uint64_t>(0, 512);
  }
}

std::optional<std::vector<uint8_t>> compiled_image(FuzzedDataProvider& in) {
  BuildState state;
  state.trait_count = in.ConsumeIntegralInRange<uint16_t>(1, 16);
  state.vector_dim = in.ConsumeIntegralInRange<uint16_t>(0, 80);
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, 200);
  const uint16_t max_code = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 255)
                                             : in.ConsumeIntegralInRange<uint16_t>(0, 7);
  for (uint16_t t = 0; t < state.trait_count; ++t) {
    state.schema.push_back("t" + std::to_string(t));
    state.dicts.emplace_back();
    for (uint16_t c = 0; c <= max_code; ++c) {
      if (!state.dicts.back().assign_token(std::to_string(c), 8)) std::abort();
    }
  }
  for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    BufferedRecord r;
    std::vector<uint16_t> codes;
    for (uint16_t t = 0; t < state.trait_count; ++t) {
      codes.push_back(in.ConsumeIntegralInRange<uint16_t>(0, max_code));
      r.values.push_back(std::to_string(codes.back()));
    }
    if (in.ConsumeBool()) {
      std::vector<float> e(state.vector_dim);
      for (float& v : e) v = fuzz_float(in);
      r.embedding = std::move(e);
    }
    r.external_offset = fuzz_offset(in);
    append_record(state, std::move(r), codes);
  }
  auto image = compile_index(state);
  if (!image) std::abort();  // every value is in its dictionary
  return std::move(image).value();
}

// A header made valid (any bit width, reserved bytes fuzzed) over fuzzed section bytes,
// sometimes with bytes past the layout's end.
std::vector<uint8_t> patched_image(FuzzedDataProvider& in) {
  static constexpr uint8_t kWidths[] = {4, 8, 16};
  const uint16_t traits = in.ConsumeIntegralInRange<uint16_t>(1, 16);
  const uint8_t width = kWidths[in.ConsumeIntegralInRange<size_t>(0, 2)];
  const uint16_t dim = in.ConsumeIntegralInRange<uint16_t>(0, 300);
  const uint64_t n = in.ConsumeIntegralInRange<uint64_t>(0, 400);
  const Layout layout = compute_layout(n, traits, width, dim);
  const size_t extra = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(1, 16) : 0;
  std::vector<uint8_t> image(layout.total_size + extra);
  encode_header({kFormatVersion, n, traits, dim, width}, image.data());
  const std::vector<uint8_t> reserved = in.ConsumeBytes<uint8_t>(kHeaderSize - kOffReserved);
  std::copy(reserved.begin(), reserved.end(), image.begin() + kOffReserved);
  // The section bytes come from the front of the input and leave half of it for the rest.
  const std::vector<uint8_t> body =
      in.ConsumeBytes<uint8_t>(std::min(image.size() - kHeaderSize, in.remaining_bytes() / 2));
  std::copy(body.begin(), body.end(), image.begin() + kHeaderSize);
  return image;
}

int memory_file() {
  static const int fd = [] {
    const int made = memfd_create("query_fuzz", MFD_CLOEXEC);
    check(made >= 0);
    return made;
  }();
  return fd;
}

IndexReader open_image(const std::vector<uint8_t>& image) {
  const int fd = memory_file();
  check(ftruncate(fd, 0) == 0);
  size_t done = 0;
  while (done < image.size()) {
    const ssize_t n =
        pwrite(fd, image.data() + done, image.size() - done, static_cast<off_t>(done));
    check(n > 0);
    done += static_cast<size_t>(n);
  }
  auto reader = IndexReader::open("/proc/self/fd/" + std::to_string(fd));
  check(reader.has_value());
  return std::move(reader).value();
}

// ---------------------------------------------------------------------------------------
// The request.

FilterExpr fuzz_filter(FuzzedDataProvider& in, uint16_t traits, uint8_t width, int depth,
                       int& budget) {
  --budget;
  const unsigned kind = depth >= 5 || budget <= 0 ? 0 : in.ConsumeIntegralInRange<unsigned>(0, 3);
  if (kind == 0) {
    EqNode eq{};
    const uint8_t pick = in.ConsumeIntegral<uint8_t>();
    eq.trait_index = pick < 240   ? pick % traits
                     : pick < 250 ? traits + (pick - 240u)
                                  : std::numeric_limits<size_t>::max() - (pick - 250u);
    eq.code = in.ConsumeBool() ? in.ConsumeIntegral<uint16_t>()
                               : in.ConsumeIntegralInRange<uint16_t>(
                                     0, static_cast<uint16_t>((1u << width) - 1));
    return FilterExpr{eq};
  }
  if (kind == 3) {
    return FilterExpr{
        NotNode{std::make_unique<FilterExpr>(fuzz_filter(in, traits, width, depth + 1, budget))}};
  }
  std::vector<FilterExpr> children;
  const unsigned count = in.ConsumeIntegralInRange<unsigned>(0, 4);
  for (unsigned i = 0; i < count && budget > 0; ++i) {
    children.push_back(fuzz_filter(in, traits, width, depth + 1, budget));
  }
  if (kind == 1) return FilterExpr{AndNode{std::move(children)}};
  return FilterExpr{OrNode{std::move(children)}};
}

uint32_t fuzz_top_k(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<unsigned>(0, 7)) {
    case 0:
      return 0;
    case 1:
      return kMaxTopK;
    case 2:
      return kMaxTopK + 1;
    case 3:
      return in.ConsumeIntegral<uint32_t>();
    default:
      return in.ConsumeIntegralInRange<uint32_t>(1, 40);
  }
}

// ---------------------------------------------------------------------------------------
// The per-record model: every position of every block (those past the last record
// included, as the plane words hold them) decoded and matched on its own.

using Matches = std::vector<bool>;

struct Model {
  const IndexReader& reader;
  uint64_t positions;

  uint16_t code(uint64_t pos, size_t trait) const {
    const uint8_t w = reader.bit_width();
    const uint8_t* block =
        reader.code_planes().data() + (pos / 64) * uint64_t{reader.trait_count()} * w * 8;
    uint32_t c = 0;
    for (unsigned k = 0; k < w; ++k) {
      c |= static_cast<uint32_t>((load_u64(block + (trait * w + k) * 8) >> (pos % 64)) & 1u) << k;
    }
    return static_cast<uint16_t>(c);
  }

  void clear_beyond(Matches& m) const {
    for (uint64_t p = reader.record_count(); p < positions; ++p) m[p] = false;
  }

  Expected<Matches, QueryError> eval(const FilterExpr& expr) const {
    if (const auto* eq = std::get_if<EqNode>(&expr.node)) {
      if (eq->trait_index >= reader.trait_count()) {
        return unexpected(QueryError{TraitIndexOutOfRange{eq->trait_index, reader.trait_count()}});
      }
      const uint32_t mask = (1u << reader.bit_width()) - 1;
      Matches m(positions);
      // A code wider than the file's codes matches nothing.
      const bool fits = (eq->code & ~mask) == 0;
      for (uint64_t p = 0; p < positions; ++p) {
        m[p] = fits && code(p, eq->trait_index) == eq->code;
      }
      return m;
    }
    if (const auto* node = std::get_if<AndNode>(&expr.node)) {
      Matches acc(positions, true);
      if (node->children.empty()) {
        clear_beyond(acc);
        return acc;
      }
      for (size_t i = 0; i < node->children.size(); ++i) {
        // Evaluation stops at the first empty accumulator: later children are not visited.
        if (i > 0 && std::find(acc.begin(), acc.end(), true) == acc.end()) break;
        auto child = eval(node->children[i]);
        if (!child) return child;
        for (uint64_t p = 0; p < positions; ++p) acc[p] = acc[p] && (*child)[p];
      }
      return acc;
    }
    if (const auto* node = std::get_if<OrNode>(&expr.node)) {
      Matches acc(positions, false);
      for (const FilterExpr& c : node->children) {
        auto child = eval(c);
        if (!child) return child;
        for (uint64_t p = 0; p < positions; ++p) acc[p] = acc[p] || (*child)[p];
      }
      return acc;
    }
    auto child = eval(*std::get<NotNode>(expr.node).child);
    if (!child) return child;
    child->flip();
    clear_beyond(*child);
    return child;
  }

  Expected<std::vector<SearchHit>, QueryError> run(const QueryRequest& request) const {
    const uint64_t n = reader.record_count();
    const uint16_t dim = reader.vector_dim();
    if (request.top_k < 1 || request.top_k > kMaxTopK) {
      return unexpected(QueryError{TopKOutOfRange{request.top_k}});
    }
    if (request.exact_rescore && !request.query_vector) {
      return unexpected(QueryError{VectorDimensionMismatch{0, dim}});
    }
    Matches matches(positions, true);
    if (request.filter) {
      auto m = eval(*request.filter);
      if (!m) return unexpected(std::move(m).error());
      matches = std::move(m).value();
    }
    std::vector<uint64_t> records;
    for (uint64_t r = 0; r < n; ++r) {
      if (matches[r]) records.push_back(r);
    }
    if (records.empty()) return std::vector<SearchHit>{};
    const size_t pool = size_t{kPoolFactor} * request.top_k;
    std::vector<SearchHit> hits;
    if (!request.query_vector || dim == 0) {
      for (size_t i = 0; i < records.size() && i < pool; ++i) hits.push_back({{}, records[i], 0});
      return hits;
    }
    const std::vector<float>& query = *request.query_vector;
    if (query.size() != dim) {
      return unexpected(QueryError{VectorDimensionMismatch{query.size(), dim}});
    }
    const std::vector<uint8_t> q = compute_signature(query);
    for (uint64_t r : records) {
      const uint8_t* sig = reader.signature_ptr(r);
      uint32_t d = 0;
      for (size_t i = 0; i < q.size(); ++i)
        d += std::popcount(static_cast<unsigned>(q[i] ^ sig[i]));
      hits.push_back({{}, r, d});
    }
    std::sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) {
      return a.distance != b.distance ? a.distance < b.distance : a.record_index < b.record_index;
    });
    if (hits.size() > pool) hits.resize(pool);
    if (!request.exact_rescore) return hits;
    if (!request.embeddings) return unexpected(QueryError{EmbeddingsRequired{}});
    const std::span<const uint8_t> view = *request.embeddings;
    for (SearchHit& h : hits) {
      const uint64_t offset = reader.raw_external_offset(h.record_index);
      h.exact_score = 0.0f;
      if (offset != kNoExternalOffset && offset <= view.size() &&
          4 * uint64_t{dim} <= view.size() - offset) {
        h.exact_score = dot_f32_le(query.data(), view.data() + offset, dim);
      }
    }
    std::stable_sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) {
      const bool a_nan = std::isnan(*a.exact_score);
      const bool b_nan = std::isnan(*b.exact_score);
      if (a_nan != b_nan) return b_nan;
      if (!a_nan && *a.exact_score != *b.exact_score) return *a.exact_score > *b.exact_score;
      return a.record_index < b.record_index;
    });
    if (hits.size() > request.top_k) hits.resize(request.top_k);
    return hits;
  }
};

bool same_score(const std::optional<float>& a, const std::optional<float>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return std::isnan(*a) ? std::isnan(*b)
                        : std::bit_cast<uint32_t>(*a) == std::bit_cast<uint32_t>(*b);
}

}  // namespace
}  // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvel;
  FuzzedDataProvider in(data, size);
  std::vector<uint8_t> image;
  if (in.ConsumeBool()) {
    image = *compiled_image(in);
  } else {
    image = patched_image(in);
  }
  const QueryState state{{}, {}, {}, open_image(image)};
  const IndexReader& reader = state.reader;

  QueryRequest request;
  if (in.ConsumeBool()) {
    int budget = 24;
    request.filter = fuzz_filter(in, reader.trait_count(), reader.bit_width(), 0, budget);
  }
  request.top_k = fuzz_top_k(in);
  if (in.ConsumeBool()) {
    size_t len = reader.vector_dim();
    if (in.ConsumeIntegralInRange<unsigned>(0, 7) == 0)
      len = in.ConsumeIntegralInRange<size_t>(0, 40);
    std::vector<float> v(len);
    for (float& x : v) x = fuzz_float(in);
    request.query_vector = std::move(v);
  }
  request.exact_rescore = in.ConsumeBool();
  // An allocation of exactly the buffer's length, so a read past its end is reported.
  std::unique_ptr<uint8_t[]> buffer;
  if (in.ConsumeBool()) {
    const std::vector<uint8_t> bytes =
        in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4096));
    buffer = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), buffer.get());
    request.embeddings = std::span<const uint8_t>(buffer.get(), bytes.size());
  }

  const auto got = execute_query(state, request);
  const Model model{reader, 64 * reader.layout().blocks};
  const auto want = model.run(request);
  check(got.has_value() == want.has_value());
  if (!got) {
    check(to_string(got.error()) == to_string(want.error()));
    return 0;
  }
  const std::vector<SearchHit>& hits = *got;
  check(hits.size() <= size_t{kPoolFactor} * request.top_k);
  check(hits.size() == want->size());
  for (size_t i = 0; i < hits.size(); ++i) {
    check(hits[i].record_index < reader.record_count());
    check(hits[i].record_index == (*want)[i].record_index);
    check(hits[i].distance == (*want)[i].distance);
    check(same_score(hits[i].exact_score, (*want)[i].exact_score));
  }
  return 0;
}
