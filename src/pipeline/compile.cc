// compile_index: fills the data-file image in place. The image is allocated once at its
// exact size and every section is written straight into it, so peak memory is the file size
// on top of the buffered records.
#include "pipeline/compile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "categorical/plane_packing.h"
#include "common/check.h"
#include "common/little_endian.h"
#include "mmap_reader/layout.h"
#include "vector/signature.h"

namespace korvel {
namespace {

constexpr size_t kBlockRecords = 64;
constexpr size_t kMaxBlockWords = kMaxTraits * 16;  // T <= 16 traits of w <= 16 bits
constexpr size_t kPrefetchDistance = 8;

// Packs every block's codes into `planes` (the image's plane section). Each value is
// looked up once; the first value without a code, in (block, record, trait) order, fails.
Expected<void, CompileError> write_code_planes(const BuildState& state, uint8_t* planes) {
  const size_t n = state.records.size();
  const size_t traits = state.trait_count;
  const uint8_t w = state.bit_width;
  const size_t words_per_block = traits * w;
  KORVEL_CHECK(words_per_block <= kMaxBlockWords, "plane scratch too small");

  // Codes kept by append_record for every record need no lookups.
  const bool cached = state.record_codes.size() == n * traits;
  std::array<uint64_t, kMaxBlockWords> scratch;
  for (size_t first = 0, b = 0; first < n; first += kBlockRecords, ++b) {
    std::fill_n(scratch.begin(), words_per_block, uint64_t{0});
    const size_t in_block = std::min(kBlockRecords, n - first);
    if (cached) {
      const uint16_t* codes = state.record_codes.data() + first * traits;
      for (size_t j = 0; j < in_block; ++j, codes += traits) {
        for (size_t t = 0; t < traits; ++t) {
          KORVEL_CHECK(w >= 16 || (codes[t] >> w) == 0, "trait code does not fit the bit width");
          pack_code(scratch.data(), t, w, codes[t], static_cast<unsigned>(j));
        }
      }
    }
    for (size_t j = 0; j < in_block && !cached; ++j) {
      const size_t r = first + j;
      // Each record's value strings sit in their own heap block, usually a cache miss;
      // fetching a few records ahead overlaps those misses with the hashing.
      if (r + kPrefetchDistance < n) {
        __builtin_prefetch(state.records[r + kPrefetchDistance].values.data());
      }
      const BufferedRecord& record = state.records[r];
      KORVEL_CHECK(record.values.size() == traits, "record holds the wrong number of values");
      for (size_t t = 0; t < traits; ++t) {
        const std::optional<uint16_t> code = state.dicts[t].lookup(record.values[t]);
        if (!code) return unexpected(CompileError(UnknownTraitValue{record.values[t], t, r}));
        KORVEL_CHECK(w >= 16 || (*code >> w) == 0, "trait code does not fit the bit width");
        pack_code(scratch.data(), t, w, *code, static_cast<unsigned>(j));
      }
    }
    uint8_t* out = planes + b * words_per_block * 8;
    for (size_t i = 0; i < words_per_block; ++i) store_u64(out + i * 8, scratch[i]);
  }
  return {};
}

}  // namespace

Expected<std::vector<uint8_t>, CompileError> compile_index(const BuildState& state) {
  KORVEL_CHECK(state.dicts.size() == state.trait_count, "one dictionary per trait required");
  const size_t n = state.records.size();
  const Layout layout = compute_layout(n, state.trait_count, state.bit_width, state.vector_dim);

  // Zero-initialised: records without an embedding keep B zero bytes as their signature.
  std::vector<uint8_t> image(static_cast<size_t>(layout.total_size));

  KORVEL_TRY(write_code_planes(state, image.data() + kHeaderSize));

  uint8_t* signatures = image.data() + layout.signature_start;
  const auto sig_size = static_cast<size_t>(layout.signature_size);
  uint8_t* offsets = image.data() + layout.offsets_start;
  // Signatures kept by append_record for every record are copied as they are.
  const bool cached = state.record_signatures.size() == n * sig_size;
  if (cached && n * sig_size != 0) {
    std::memcpy(signatures, state.record_signatures.data(), n * sig_size);
  }
  for (size_t i = 0; i < n; ++i) {
    const BufferedRecord& record = state.records[i];
    if (record.embedding && !cached) {
      KORVEL_CHECK(record.embedding->size() == state.vector_dim,
                   "embedding length differs from vector_dim");
      compute_signature_into(std::span<const float>(*record.embedding), signatures + i * sig_size);
    }
    store_u64(offsets + i * 8, record.external_offset);
  }

  IndexHeader header;
  header.version = kFormatVersion;
  header.record_count = n;
  header.trait_count = state.trait_count;
  header.vector_dim = state.vector_dim;
  header.bit_width = state.bit_width;
  encode_header(header, image.data());
  return image;
}

}  // namespace korvel
