// compile_index: fills the data-file image in place from the codes and signatures that
// append_record kept. The image is allocated once at its exact size and every section is
// written straight into it, so peak memory is the file size on top of the buffered records.
#include "build/compile.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "categorical/plane_packing.h"
#include "common/check.h"
#include "common/little_endian.h"
#include "mmap_reader/layout.h"

namespace korvel {
namespace {

constexpr size_t kBlockRecords = 64;
constexpr size_t kMaxBlockWords = kMaxTraits * 16;  // T <= 16 traits of w <= 16 bits

// Packs every block's codes, as append_record kept them, into `planes` (the image's plane
// section).
void write_code_planes(const BuildState& state, uint8_t* planes) {
  const size_t n = state.records.size();
  const size_t traits = state.trait_count;
  const uint8_t w = state.bit_width;
  const size_t words_per_block = traits * w;
  KORVEL_CHECK(words_per_block <= kMaxBlockWords, "plane scratch too small");
  KORVEL_CHECK(state.record_codes.size() == n * traits, "record codes out of step");

  std::array<uint64_t, kMaxBlockWords> scratch;
  const uint16_t* codes = state.record_codes.data();
  for (size_t first = 0, b = 0; first < n; first += kBlockRecords, ++b) {
    std::fill_n(scratch.begin(), words_per_block, uint64_t{0});
    const size_t in_block = std::min(kBlockRecords, n - first);
    for (size_t j = 0; j < in_block; ++j, codes += traits) {
      for (size_t t = 0; t < traits; ++t) {
        KORVEL_CHECK(w >= 16 || (codes[t] >> w) == 0, "trait code does not fit the bit width");
        pack_code(scratch.data(), t, w, codes[t], static_cast<unsigned>(j));
      }
    }
    uint8_t* out = planes + b * words_per_block * 8;
    for (size_t i = 0; i < words_per_block; ++i) store_u64(out + i * 8, scratch[i]);
  }
}

}  // namespace

Expected<std::vector<uint8_t>, CompileError> compile_index(const BuildState& state) {
  const size_t n = state.records.size();
  const Layout layout = compute_layout(n, state.trait_count, state.bit_width, state.vector_dim);

  std::vector<uint8_t> image(static_cast<size_t>(layout.total_size));

  write_code_planes(state, image.data() + kHeaderSize);

  uint8_t* signatures = image.data() + layout.signature_start;
  const auto sig_size = static_cast<size_t>(layout.signature_size);
  KORVEL_CHECK(state.record_signatures.size() == n * sig_size, "record signatures out of step");
  if (n * sig_size != 0) std::memcpy(signatures, state.record_signatures.data(), n * sig_size);
  uint8_t* offsets = image.data() + layout.offsets_start;
  for (size_t i = 0; i < n; ++i) store_u64(offsets + i * 8, state.records[i].external_offset);

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
