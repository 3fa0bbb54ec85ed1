// The sign score of re-ranking without float data: the float query against a record's stored
// sign bits. Many records are scored at once in SIMD lanes, each lane still the exact
// left-to-right float32 sum, so a pool of thousands costs little and the scores equal those
// of the one-record loop bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// out[r] = the left-to-right float32 sum over i < dim of (bit i of sigs[r] set ? q[i] :
// -q[i]), bit i being bit i % 8 of byte i / 8, starting from +0.0f, for r < count. Each
// sigs[r] points at ceil(dim / 8) bytes; pointers may repeat. Reentrant; allocates nothing.
void sign_score_many(const float* q, size_t dim, const uint8_t* const* sigs, size_t count,
                     float* out) noexcept;

}  // namespace korvel
