// Batched Hamming distance: one query signature against many stored signatures, either
// stored back to back (a block of the data file's signature section) or picked out of the
// section by a list of record indexes. Same results as hamming.h's kernels; the batch forms
// keep the query hot and save one indirect call per record.
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

// out[i] = Hamming distance between query[0, len) and the signature of record records[i],
// sigs[records[i] * len, (records[i] + 1) * len), for i < count. The signatures of later
// records are prefetched while earlier ones are counted, so scattered records' cache misses
// overlap. Portable: any x86-64 processor.
void hamming_gather_portable(const uint8_t* query, const uint8_t* sigs, size_t len,
                             const uint32_t* records, size_t count, uint32_t* out) noexcept;

// Same contract. REQUIRES: cpu_supports_avx2().
void hamming_gather_avx2(const uint8_t* query, const uint8_t* sigs, size_t len,
                         const uint32_t* records, size_t count, uint32_t* out) noexcept;

using HammingGatherKernel = void (*)(const uint8_t*, const uint8_t*, size_t, const uint32_t*,
                                     size_t, uint32_t*) noexcept;

// The gather kernel for this process: AVX2 when cpu_supports_avx2(), else portable.
HammingGatherKernel hamming_gather_kernel() noexcept;

}  // namespace korvel
