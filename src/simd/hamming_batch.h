// Batched Hamming distance: one query signature against `count` signatures stored back to
// back, as in a block of the data file's signature section. Same results as hamming.h's
// kernels; the batch form keeps the query hot and saves one indirect call per record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// out[i] = Hamming distance between query[0, len) and sigs[i * len, (i + 1) * len) for
// i < count. Portable: any x86-64 processor.
void hamming_batch_portable(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                            uint32_t* out) noexcept;

// Same contract. REQUIRES: cpu_supports_avx2().
void hamming_batch_avx2(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                        uint32_t* out) noexcept;

using HammingBatchKernel = void (*)(const uint8_t*, const uint8_t*, size_t, size_t,
                                    uint32_t*) noexcept;

// The batch kernel for this process: AVX2 when cpu_supports_avx2(), else portable.
HammingBatchKernel hamming_batch_kernel() noexcept;

}  // namespace korvel
