// Portable set-membership kernel: SSE2, part of baseline x86-64. Each block's codes are
// decoded eight planes at a time: the eight plane words are transposed as an 8 x 8 byte
// matrix (byte i of plane k to byte k of row i), after which each row is an 8 x 8 bit matrix
// whose transpose holds the codes of records 8i..8i+7, one byte each. The codes then index
// the membership table.
#include <emmintrin.h>

#include "simd/plane_set.h"

namespace korvel {
namespace {

// Transposes the 8 x 8 bit matrix in each 64-bit lane: bit 8r + c goes to bit 8c + r.
inline __m128i transpose_bits(__m128i x) noexcept {
  auto round = [](__m128i v, int shift, long long mask) {
    const __m128i m = _mm_set1_epi64x(mask);
    __m128i t;
    switch (shift) {
      case 7:
        t = _mm_and_si128(_mm_xor_si128(v, _mm_srli_epi64(v, 7)), m);
        return _mm_xor_si128(_mm_xor_si128(v, t), _mm_slli_epi64(t, 7));
      case 14:
        t = _mm_and_si128(_mm_xor_si128(v, _mm_srli_epi64(v, 14)), m);
        return _mm_xor_si128(_mm_xor_si128(v, t), _mm_slli_epi64(t, 14));
      default:
        t = _mm_and_si128(_mm_xor_si128(v, _mm_srli_epi64(v, 28)), m);
        return _mm_xor_si128(_mm_xor_si128(v, t), _mm_slli_epi64(t, 28));
    }
  };
  x = round(x, 7, 0x00AA00AA00AA00AALL);
  x = round(x, 14, 0x0000CCCC0000CCCCLL);
  return round(x, 28, 0x00000000F0F0F0F0LL);
}

// The byte-wide code slices of 64 records from eight plane words at `planes` (planes
// k >= `count` read as zero): out[j] holds bits 0..7 of record j's slice.
inline void decode_slice(const uint8_t* planes, unsigned count, uint8_t* out) noexcept {
  __m128i p[8];
  for (unsigned k = 0; k < 8; ++k) {
    p[k] = k < count ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(planes + 8 * k))
                     : _mm_setzero_si128();
  }
  const __m128i a01 = _mm_unpacklo_epi8(p[0], p[1]);
  const __m128i a23 = _mm_unpacklo_epi8(p[2], p[3]);
  const __m128i a45 = _mm_unpacklo_epi8(p[4], p[5]);
  const __m128i a67 = _mm_unpacklo_epi8(p[6], p[7]);
  const __m128i b_lo = _mm_unpacklo_epi16(a01, a23);  // rows 0..3, planes 0..3
  const __m128i b_hi = _mm_unpackhi_epi16(a01, a23);  // rows 4..7, planes 0..3
  const __m128i c_lo = _mm_unpacklo_epi16(a45, a67);  // rows 0..3, planes 4..7
  const __m128i c_hi = _mm_unpackhi_epi16(a45, a67);  // rows 4..7, planes 4..7
  auto* dst = reinterpret_cast<__m128i*>(out);
  _mm_storeu_si128(dst + 0, transpose_bits(_mm_unpacklo_epi32(b_lo, c_lo)));  // rows 0, 1
  _mm_storeu_si128(dst + 1, transpose_bits(_mm_unpackhi_epi32(b_lo, c_lo)));  // rows 2, 3
  _mm_storeu_si128(dst + 2, transpose_bits(_mm_unpacklo_epi32(b_hi, c_hi)));  // rows 4, 5
  _mm_storeu_si128(dst + 3, transpose_bits(_mm_unpackhi_epi32(b_hi, c_hi)));  // rows 6, 7
}

inline bool member_of(const uint64_t* member, unsigned code) noexcept {
  return ((member[code >> 6] >> (code & 63)) & 1u) != 0;
}

template <unsigned kWidth, PlaneCombine kCombine>
void match_set_sse2(const uint8_t* planes, size_t block_stride, const uint64_t* member,
                    uint64_t* out, size_t blocks) noexcept {
  alignas(16) uint8_t low[64];
  alignas(16) uint8_t high[64];
  for (size_t b = 0; b < blocks; ++b, planes += block_stride) {
    if constexpr (kCombine == PlaneCombine::kAnd) {
      if (out[b] == 0) continue;
    }
    if constexpr (kCombine == PlaneCombine::kOr) {
      if (out[b] == ~uint64_t{0}) continue;
    }
    decode_slice(planes, kWidth < 8 ? kWidth : 8, low);
    if constexpr (kWidth == 16) decode_slice(planes + 64, 8, high);
    // Each record's membership goes to the top bit of its byte, and one movemask per 16
    // records packs them: no chain of shifts and ORs through one register.
    alignas(16) uint8_t hit[64];
#pragma GCC unroll 16
    for (unsigned j = 0; j < 64; ++j) {
      const unsigned code = kWidth == 16 ? low[j] | (unsigned{high[j]} << 8) : low[j];
      hit[j] = static_cast<uint8_t>(((member[code >> 6] >> (code & 63)) & 1u) << 7);
    }
    uint64_t match = 0;
    for (unsigned g = 0; g < 4; ++g) {
      const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(hit + 16 * g));
      match |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v))) << (16 * g);
    }
    if constexpr (kCombine == PlaneCombine::kAssign) out[b] = match;
    if constexpr (kCombine == PlaneCombine::kAnd) out[b] &= match;
    if constexpr (kCombine == PlaneCombine::kOr) out[b] |= match;
  }
}

using SetLoop = void (*)(const uint8_t*, size_t, const uint64_t*, uint64_t*, size_t) noexcept;

constexpr SetLoop kSetLoops[3][3] = {
    {match_set_sse2<4, PlaneCombine::kAssign>, match_set_sse2<4, PlaneCombine::kAnd>,
     match_set_sse2<4, PlaneCombine::kOr>},
    {match_set_sse2<8, PlaneCombine::kAssign>, match_set_sse2<8, PlaneCombine::kAnd>,
     match_set_sse2<8, PlaneCombine::kOr>},
    {match_set_sse2<16, PlaneCombine::kAssign>, match_set_sse2<16, PlaneCombine::kAnd>,
     match_set_sse2<16, PlaneCombine::kOr>}};

}  // namespace

void match_set_portable(const uint8_t* planes, size_t block_stride, unsigned width,
                        const uint64_t* member, PlaneCombine combine, uint64_t* out,
                        size_t blocks) noexcept {
  const size_t row = width == 4 ? 0 : width == 8 ? 1 : 2;
  kSetLoops[row][static_cast<size_t>(combine)](planes, block_stride, member, out, blocks);
}

}  // namespace korvel
