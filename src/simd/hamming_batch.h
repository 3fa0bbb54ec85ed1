// Batched Hamming distance: one query signature against many stored signatures, either
// stored back to back (a block of the data file's signature section) or picked out of the
// section by a list of record indexes. Same results as hamming.h's kernels; the batch forms
// keep the query hot and save one indirect call per record. Reached through the kernel
// table (simd/kernel_table.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// out[i] = Hamming distance between query[0, len) and sigs[i * len, (i + 1) * len) for
// i < count.
using HammingBatchKernel = void (*)(const uint8_t* query, const uint8_t* sigs, size_t len,
                                    size_t count, uint32_t* out) noexcept;

// out[i] = Hamming distance between query[0, len) and the signature of record records[i],
// sigs[records[i] * len, (records[i] + 1) * len), for i < count. The signatures of later
// records are prefetched while earlier ones are counted, so scattered records' cache misses
// overlap.
using HammingGatherKernel = void (*)(const uint8_t* query, const uint8_t* sigs, size_t len,
                                     const uint32_t* records, size_t count, uint32_t* out) noexcept;

// Run on any x86-64 processor.
void hamming_batch_portable(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                            uint32_t* out) noexcept;
void hamming_gather_portable(const uint8_t* query, const uint8_t* sigs, size_t len,
                             const uint32_t* records, size_t count, uint32_t* out) noexcept;

// REQUIRE: cpu_features().avx2_usable().
void hamming_batch_avx2(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                        uint32_t* out) noexcept;
void hamming_gather_avx2(const uint8_t* query, const uint8_t* sigs, size_t len,
                         const uint32_t* records, size_t count, uint32_t* out) noexcept;

}  // namespace korvel
