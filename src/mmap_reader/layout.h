// The data file layout, shared by the writer (compile) and the reader. One function,
// compute_layout(), derives every section position from the four header numbers.
//
// IndexHeader, 64 bytes, little-endian, packed (record_count is unaligned):
//   offset size type  field         written                 accepted by the reader
//   0      4    bytes magic         "KRVX"                  exactly "KRVX"
//   4      2    u16   version       1                       exactly 1
//   6      8    u64   record_count  n                       n <= 4,294,967,295
//   14     2    u16   trait_count   T (1..16)               1..=16
//   16     2    u16   vector_dim    D                       any
//   18     1    u8    bit_width     8                       4, 8 or 16
//   19     45   bytes reserved      zero                    not examined
// Sections, back to back, no padding:
//   code planes   at 64, blocks * T * w * 8 bytes (blocks = ceil(n / 64))
//   signatures    at S = 64 + planes, n * B bytes (B = ceil(D / 8))
//   ext. offsets  at E = S + n * B, n * 8 bytes (u64, possibly unaligned)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvel {

inline constexpr size_t kHeaderSize = 64;
inline constexpr std::array<uint8_t, 4> kMagic = {'K', 'R', 'V', 'X'};
inline constexpr uint16_t kFormatVersion = 1;
inline constexpr uint64_t kMaxRecordCount = 4294967295ull;
inline constexpr uint64_t kNoExternalOffset = 0xFFFFFFFFFFFFFFFFull;

inline constexpr size_t kOffMagic = 0;
inline constexpr size_t kOffVersion = 4;
inline constexpr size_t kOffRecordCount = 6;
inline constexpr size_t kOffTraitCount = 14;
inline constexpr size_t kOffVectorDim = 16;
inline constexpr size_t kOffBitWidth = 18;
inline constexpr size_t kOffReserved = 19;

struct IndexHeader {
  uint16_t version = kFormatVersion;
  uint64_t record_count = 0;
  uint16_t trait_count = 0;
  uint16_t vector_dim = 0;
  uint8_t bit_width = 0;
};

struct Layout {
  uint64_t blocks;           // ceil(n / 64)
  uint64_t plane_bytes;      // blocks * T * w * 8
  uint64_t signature_size;   // B
  uint64_t signature_start;  // S
  uint64_t offsets_start;    // E
  uint64_t total_size;       // 64 + planes + n * (B + 8)
};

// REQUIRES: n <= kMaxRecordCount, T <= 16, w <= 16, so nothing overflows 64 bits.
constexpr Layout compute_layout(uint64_t n, uint16_t trait_count, uint8_t bit_width,
                                uint16_t vector_dim) noexcept {
  Layout l{};
  l.blocks = (n + 63) / 64;
  l.plane_bytes = l.blocks * trait_count * bit_width * 8;
  l.signature_size = (uint64_t{vector_dim} + 7) / 8;
  l.signature_start = kHeaderSize + l.plane_bytes;
  l.offsets_start = l.signature_start + n * l.signature_size;
  l.total_size = l.offsets_start + n * 8;
  return l;
}

// Writes the 64 header bytes (magic, fields, zero reserved bytes) to out[0..64).
void encode_header(const IndexHeader& header, uint8_t* out) noexcept;

}  // namespace korvel
