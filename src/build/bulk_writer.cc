// BulkWriter: the column encoder, code assignment with all-or-nothing batches, signatures of
// the caller's rows (on the process thread pool) and the two-file save.
#include "build/bulk_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "categorical/plane_packing.h"
#include "common/check.h"
#include "common/file_write.h"
#include "common/thread_pool.h"
#include "vector/signature.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvel {

// The plane and offset words are handed to the file as they lie in memory.
static_assert(std::endian::native == std::endian::little, "the data file is little-endian");

namespace {

constexpr size_t kBlockRecords = 64;
// Below this many values a batch's signatures are computed on the calling thread.
constexpr size_t kMinValuesPerThread = size_t{1} << 22;

float half_to_float(uint16_t h) noexcept {
  const uint32_t sign = uint32_t{h & 0x8000u} << 16;
  const uint32_t exponent = (h >> 10) & 0x1fu;
  const uint32_t mantissa = h & 0x3ffu;
  uint32_t bits;
  if (exponent == 0) {
    // Zero or subnormal: mantissa * 2^-24 is exact in float32.
    const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
    std::memcpy(&bits, &magnitude, sizeof bits);
    bits |= sign;
  } else if (exponent == 31) {
    bits = sign | 0x7f800000u | (mantissa << 13);
  } else {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

float double_to_float(double d) noexcept {
  // Halfway between FLT_MAX and 2^128: at or beyond it round-to-nearest gives infinity, and
  // a plain conversion of a value outside the float range is undefined.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (d >= kOverflow) return std::numeric_limits<float>::infinity();
  if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

// Position of the first NaN or infinity in v[0..n), or n.
size_t first_non_finite(const float* v, size_t n) noexcept {
  size_t i = 0;
#if defined(__SSE2__)
  // All exponent bits set means infinity or NaN; one pass keeps the common case branch-free.
  const __m128i exponent = _mm_set1_epi32(0x7f800000);
  __m128i any = _mm_setzero_si128();
  for (; i + 4 <= n; i += 4) {
    const __m128i x = _mm_castps_si128(_mm_loadu_ps(v + i));
    any = _mm_or_si128(any, _mm_cmpeq_epi32(_mm_and_si128(x, exponent), exponent));
  }
  if (_mm_movemask_epi8(any) != 0) i = 0;
#endif
  for (; i < n; ++i) {
    uint32_t bits;
    std::memcpy(&bits, v + i, sizeof bits);
    if ((bits & 0x7f800000u) == 0x7f800000u) return i;
  }
  return n;
}

struct BadRow {
  size_t row = SIZE_MAX;
  size_t position = 0;
};

// Signatures of rows [first, last) of `e` into out (B bytes per row, row `first` at out);
// stops at the first row holding a non-finite value and reports it. `scratch` holds dim floats
// when the rows are not aligned float32.
void sign_rows(const EmbeddingRows& e, size_t first, size_t last, size_t sig_size, uint8_t* out,
               float* scratch, BadRow* bad) noexcept {
  const size_t dim = e.dim;
  const auto* base = static_cast<const uint8_t*>(e.data);
  if (e.type == EmbeddingType::kFloat32 && scratch == nullptr) {
    // Aligned float32 rows: signed in place, the finite check in the same pass.
    const auto* rows = reinterpret_cast<const float*>(base) + first * dim;
    const size_t done = sign_finite_rows(rows, dim, last - first, out);
    if (done != last - first) *bad = BadRow{first + done, first_non_finite(rows + done * dim, dim)};
    return;
  }
  for (size_t r = first; r < last; ++r) {
    const float* row = scratch;
    switch (e.type) {
      case EmbeddingType::kFloat32: {
        const uint8_t* p = base + r * dim * sizeof(float);
        if (scratch == nullptr) {
          row = reinterpret_cast<const float*>(p);
        } else {
          std::memcpy(scratch, p, dim * sizeof(float));
        }
        break;
      }
      case EmbeddingType::kFloat16:
        for (size_t i = 0; i < dim; ++i) {
          uint16_t h;
          std::memcpy(&h, base + (r * dim + i) * sizeof h, sizeof h);
          scratch[i] = half_to_float(h);
        }
        break;
      case EmbeddingType::kFloat64:
        for (size_t i = 0; i < dim; ++i) {
          double d;
          std::memcpy(&d, base + (r * dim + i) * sizeof d, sizeof d);
          scratch[i] = double_to_float(d);
        }
        break;
    }
    if (const size_t pos = first_non_finite(row, dim); pos != dim) {
      *bad = BadRow{r, pos};
      return;
    }
    compute_signature_into(std::span<const float>(row, dim), out + (r - first) * sig_size);
  }
}

// The signature work of one batch, split into parts of consecutive rows. Everything the parts
// need is allocated by the constructor, so that run() allocates nothing and the writer's
// storage can grow only once nothing can fail but a row's values.
class RowSigner {
 public:
  RowSigner(const EmbeddingRows& e, unsigned threads, const ThreadPool& pool)
      : e_(e),
        direct_(e.type == EmbeddingType::kFloat32 &&
                reinterpret_cast<uintptr_t>(e.data) % alignof(float) == 0) {
    size_t parts = threads;
    if (threads == 0) {
      // Every thread of the pool, but no part for less work than it costs to hand one over.
      parts = std::min(pool.thread_count(), e.rows * e.dim / kMinValuesPerThread);
    }
    parts_ = std::max<size_t>(1, std::min(parts, e.rows));
    scratch_.resize(direct_ ? 0 : parts_ * e.dim);
    bad_.resize(parts_);
  }

  // Signatures of every row into out, B bytes per row; the first row with a non-finite value,
  // if any (rows after it may be left unwritten).
  BadRow run(size_t sig_size, uint8_t* out, ThreadPool& pool) {
    pool.parallel_for(parts_, parts_, [&](size_t p) noexcept {
      const size_t first = e_.rows * p / parts_;
      const size_t last = e_.rows * (p + 1) / parts_;
      sign_rows(e_, first, last, sig_size, out + first * sig_size,
                direct_ ? nullptr : scratch_.data() + p * e_.dim, &bad_[p]);
    });
    for (const BadRow& b : bad_) {
      if (b.row != SIZE_MAX) return b;  // parts are in row order
    }
    return BadRow{};
  }

 private:
  const EmbeddingRows& e_;
  const bool direct_;
  size_t parts_ = 1;
  std::vector<float> scratch_;  // dim floats per part, when rows are converted or unaligned
  std::vector<BadRow> bad_;     // one per part
};

// Room for `extra` more elements, growing geometrically so that many small batches do not
// copy the storage once each.
template <class Vector>
void reserve_more(Vector& v, size_t extra) {
  const size_t need = v.size() + extra;
  if (need <= v.capacity()) return;
  v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}

// The plane words of `planes` (`from` bits per code) rewritten with `to` bits per code, with
// room for `blocks` blocks: a code's bit k stays plane k of its trait, the new planes are zero.
std::vector<uint64_t> widen_planes(const std::vector<uint64_t>& planes, size_t traits, uint8_t from,
                                   uint8_t to, size_t blocks) {
  std::vector<uint64_t> out;
  out.reserve(blocks * traits * to);
  const size_t old_words = traits * from;
  for (size_t b = 0; b < planes.size() / old_words; ++b) {
    for (size_t t = 0; t < traits; ++t) {
      const uint64_t* src = planes.data() + b * old_words + t * from;
      out.insert(out.end(), src, src + from);
      out.insert(out.end(), size_t{to} - from, uint64_t{0});
    }
  }
  return out;
}

// Stages the concatenation of `pieces` for `path`.
// TODO(file_write): a gather-write StagedFile would spare this full-size copy of the image.
std::string render(const SchemaLength& e) {
  return "schema length must be 1..=16, got " + std::to_string(e.count);
}
std::string render(const DimensionTooLarge& e) {
  return "dim must be at most 65535, got " + std::to_string(e.dim);
}
std::string render(const RowCountMismatch& e) {
  return e.argument + ": expected " + std::to_string(e.expected) + " rows (one per doc id), got " +
         std::to_string(e.got);
}
std::string render(const EmbeddingWidth& e) {
  return "embeddings: expected " + std::to_string(e.expected) + " values per row (dim), got " +
         std::to_string(e.got);
}
std::string render(const TooManyRecords& e) {
  return "the index would hold " + std::to_string(e.total) + " records, more than the " +
         std::to_string(e.limit) + " a data file can hold";
}
std::string render(const CategoryIndexOutOfRange& e) {
  return e.column + ", row " + std::to_string(e.row) + ": category code " +
         std::to_string(e.index) + " is out of range for " + std::to_string(e.categories) +
         " categories";
}
std::string render(const ColumnOverflow& e) {
  return e.column + ", row " + std::to_string(e.row) + ": " + to_string(e.overflow);
}
std::string render(const NonFiniteEmbedding& e) {
  return "embeddings, row " + std::to_string(e.row) + ": non-finite value at position " +
         std::to_string(e.position);
}

}  // namespace

std::string to_string(const BulkWriterError& e) {
  return std::visit([](const auto& v) { return render(v); }, e);
}

bool ColumnEncoder::push_known(std::string_view key) {
  if (last_ != UINT32_MAX && key.size() == last_key_.size() &&
      (key.data() == last_key_.data() || key == last_key_)) {
    column_.indices.push_back(last_);
    return true;
  }
  const auto it = index_.find(key);
  if (it == index_.end()) return false;
  last_key_ = key;
  last_ = it->second;
  column_.indices.push_back(last_);
  return true;
}

void ColumnEncoder::push_new(std::string_view key, std::string value) {
  const auto index = static_cast<uint32_t>(column_.categories.size());
  column_.categories.push_back(std::move(value));
  index_.emplace(key, index);
  last_key_ = key;
  last_ = index;
  column_.indices.push_back(index);
}

std::optional<std::string> utf8_from_ucs4(const uint8_t* item, size_t chars) {
  auto at = [item](size_t i) {
    uint32_t c;
    std::memcpy(&c, item + 4 * i, sizeof c);
    return c;
  };
  while (chars > 0 && at(chars - 1) == 0) --chars;
  std::string out;
  out.reserve(chars);
  for (size_t i = 0; i < chars; ++i) {
    const uint32_t c = at(i);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xc0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
      if (c >= 0xd800 && c <= 0xdfff) return std::nullopt;
      out.push_back(static_cast<char>(0xe0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else if (c <= 0x10ffff) {
      out.push_back(static_cast<char>(0xf0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else {
      return std::nullopt;
    }
  }
  return out;
}

Expected<BulkWriter, BulkWriterError> BulkWriter::create(std::vector<std::string> schema,
                                                         uint64_t vector_dim, uint64_t max_records,
                                                         uint8_t max_code_bits) {
  if (schema.empty() || schema.size() > kMaxTraits) {
    return unexpected(BulkWriterError(SchemaLength{schema.size()}));
  }
  if (vector_dim > 65535) return unexpected(BulkWriterError(DimensionTooLarge{vector_dim}));
  BulkWriter w;
  w.meta_.dicts.resize(schema.size());
  w.meta_.schema = std::move(schema);
  w.vector_dim_ = static_cast<uint16_t>(vector_dim);
  w.max_records_ = std::min(max_records, kMaxRecordCount);
  w.max_code_bits_ = max_code_bits == 16 ? 16 : kBuildCodeBits;
  return w;
}

Expected<void, BulkWriterError> BulkWriter::add(const BulkBatch& batch, unsigned threads) {
  const size_t n = batch.doc_ids.size();
  const size_t traits = meta_.schema.size();
  KORVEL_CHECK(batch.columns.size() == traits, "BulkWriter::add: one column per trait required");
  auto column_name = [&](size_t t) { return "column '" + meta_.schema[t] + "'"; };

  for (size_t t = 0; t < traits; ++t) {
    const TraitColumn* c = batch.columns[t];
    if (c != nullptr && c->indices.size() != n) {
      return unexpected(BulkWriterError(RowCountMismatch{column_name(t), n, c->indices.size()}));
    }
  }
  if (batch.embeddings && batch.embeddings->rows != n) {
    return unexpected(BulkWriterError(RowCountMismatch{"embeddings", n, batch.embeddings->rows}));
  }
  if (batch.offsets && batch.offsets->size() != n) {
    return unexpected(BulkWriterError(RowCountMismatch{"offsets", n, batch.offsets->size()}));
  }
  if (batch.embeddings && batch.embeddings->dim != vector_dim_) {
    return unexpected(BulkWriterError(EmbeddingWidth{vector_dim_, batch.embeddings->dim}));
  }
  const size_t old = size();
  if (n > max_records_ - old) {
    return unexpected(BulkWriterError(TooManyRecords{uint64_t{old} + n, max_records_}));
  }

  // Codes, trait by trait: a trait's dictionary depends only on its own column, so row order
  // within each column is add_record's first-seen order. New values go into a copy of the
  // dictionary, which replaces it only once the whole batch is accepted.
  std::vector<uint16_t> codes(traits * n);
  std::vector<std::optional<TraitDictionary>> grown(traits);
  static const TraitColumn kEmpty{{std::string()}, {}};
  for (size_t t = 0; t < traits; ++t) {
    const TraitColumn* c = batch.columns[t] != nullptr ? batch.columns[t] : &kEmpty;
    const bool constant = batch.columns[t] == nullptr;
    std::vector<int32_t> local(c->categories.size(), -1);
    uint16_t* out = codes.data() + t * n;
    for (size_t r = 0; r < n; ++r) {
      const uint32_t i = constant ? 0 : c->indices[r];
      if (i >= local.size()) {
        return unexpected(
            BulkWriterError(CategoryIndexOutOfRange{column_name(t), r, i, local.size()}));
      }
      if (local[i] < 0) {
        const std::string& value = c->categories[i];
        std::optional<uint16_t> code = (grown[t] ? *grown[t] : meta_.dicts[t]).lookup(value);
        if (!code) {
          if (!grown[t]) grown[t] = meta_.dicts[t];
          auto assigned = grown[t]->assign_token(value, max_code_bits_);
          if (!assigned) {
            return unexpected(
                BulkWriterError(ColumnOverflow{column_name(t), r, std::move(assigned).error()}));
          }
          code = *assigned;
        }
        local[i] = *code;
      }
      out[r] = static_cast<uint16_t>(local[i]);
    }
  }
  uint8_t width = code_bits_;
  for (size_t t = 0; t < traits; ++t) {
    if (grown[t] && grown[t]->size() > capacity_for_bits(kBuildCodeBits)) width = 16;
  }

  // Room for everything first, so that nothing below allocates. Widening builds the 16-bit
  // planes of the records so far in a new buffer, swapped in once the batch is accepted.
  const size_t words_per_block = traits * width;
  const size_t blocks = (old + n + kBlockRecords - 1) / kBlockRecords;
  const size_t sig_size = signature_bytes(vector_dim_);
  std::vector<uint64_t> widened;
  if (width != code_bits_) {
    widened = widen_planes(planes_, traits, code_bits_, width, blocks);
  } else {
    reserve_more(planes_, blocks * words_per_block - planes_.size());
  }
  reserve_more(signatures_, n * sig_size);
  reserve_more(offsets_, n);
  reserve_more(meta_.doc_ids, n);
  ThreadPool& pool = default_thread_pool();
  std::optional<RowSigner> signer;
  if (batch.embeddings && n * sig_size != 0) signer.emplace(*batch.embeddings, threads, pool);

  // Nothing has changed yet and nothing below allocates: the new rows fit the capacity.
  signatures_.resize((old + n) * sig_size);
  if (!signer) {
    std::fill(signatures_.begin() + static_cast<ptrdiff_t>(old * sig_size), signatures_.end(),
              uint8_t{0});  // records without embeddings
  } else {
    BadRow bad;
    try {
      bad = signer->run(sig_size, signatures_.data() + old * sig_size, pool);
    } catch (...) {
      // The tasks cannot throw; only the pool's own locking could.
      signatures_.resize(old * sig_size);
      throw;
    }
    if (bad.row != SIZE_MAX) {
      signatures_.resize(old * sig_size);
      return unexpected(BulkWriterError(NonFiniteEmbedding{bad.row, bad.position}));
    }
  }

  for (size_t t = 0; t < traits; ++t) {
    if (grown[t]) meta_.dicts[t] = std::move(*grown[t]);
  }
  meta_.doc_ids.insert(meta_.doc_ids.end(), batch.doc_ids.begin(), batch.doc_ids.end());
  if (batch.offsets) {
    offsets_.insert(offsets_.end(), batch.offsets->begin(), batch.offsets->end());
  } else {
    offsets_.resize(old + n, kNoExternalOffset);
  }
  if (width != code_bits_) {
    planes_.swap(widened);
    code_bits_ = width;
  }
  planes_.resize(blocks * words_per_block);  // new words are zero; a partial block is ORed into
  for (size_t r = 0; r < n; ++r) {
    const size_t record = old + r;
    uint64_t* block = planes_.data() + record / kBlockRecords * words_per_block;
    const auto j = static_cast<unsigned>(record % kBlockRecords);
    for (size_t t = 0; t < traits; ++t) pack_code(block, t, width, codes[t * n + r], j);
  }
  return {};
}

std::array<uint8_t, kHeaderSize> BulkWriter::header() const noexcept {
  IndexHeader h;
  h.version = kFormatVersion;
  h.record_count = size();
  h.trait_count = static_cast<uint16_t>(meta_.schema.size());
  h.vector_dim = vector_dim_;
  h.bit_width = code_bits_;
  std::array<uint8_t, kHeaderSize> out;
  encode_header(h, out.data());
  return out;
}

std::array<std::span<const uint8_t>, 3> BulkWriter::sections() const noexcept {
  auto bytes = [](const auto& v) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(v.data()),
                                    v.size() * sizeof(v[0]));
  };
  return {bytes(planes_), bytes(signatures_), bytes(offsets_)};
}

Expected<void, SaveError> BulkWriter::save(const std::string& path) const {
  const std::array<uint8_t, kHeaderSize> head = header();
  const auto [planes, signatures, offsets] = sections();
  const std::span<const uint8_t> pieces[] = {head, planes, signatures, offsets};
  return write_index_files(path, pieces, sidecar_text());
}

}  // namespace korvel
