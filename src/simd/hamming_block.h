// Block kernels of batched search: several query signatures against one block of stored
// signatures that stays in cache while every query of the batch passes over it. A block is
// first prepared (rearranged into the kernel's own lane layout, once per block and batch),
// the queries once per batch; a scan then compares each query's distance to every record
// of the block with that query's bound and reports the records within it as a bit mask, so
// nothing is stored per (query, record) pair. The caller computes the exact distances of
// the few masked records itself. All kernels give identical masks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// Records per prepared block, at most: a multiple of 128 (the widest lane grouping).
inline constexpr size_t kBlockRecords = 512;
// Queries per scan call, at most.
inline constexpr size_t kBlockQueries = 32;

struct HammingBlockKernel {
  const char* name;

  // Bytes of a prepared block of kBlockRecords signatures of `len` bytes.
  size_t (*block_bytes)(size_t len) noexcept;
  // Bytes of one prepared query of `len` bytes.
  size_t (*query_bytes)(size_t len) noexcept;

  // Prepares the `count` signatures of `len` bytes numbered records[i] (or first + i when
  // records is null), i < count, each at sigs + number * len, into `out` (block_bytes(len)
  // bytes, any alignment). REQUIRES: count <= kBlockRecords.
  void (*prepare_block)(const uint8_t* sigs, size_t len, const uint32_t* records, uint64_t first,
                        size_t count, uint8_t* out) noexcept;

  // Prepares the `count` query signatures at queries + q * len into `out`, one prepared
  // query after another (count * query_bytes(len) bytes).
  void (*prepare_queries)(const uint8_t* queries, size_t len, size_t count, uint8_t* out) noexcept;

  // For q < query_count and i < count: bit i % 64 of masks[q * (kBlockRecords / 64) + i / 64]
  // is set exactly when the Hamming distance between query q (prepared, at
  // queries + q * query_bytes(len)) and record i of the prepared `block` is <= bounds[q].
  // Every other bit of those kBlockRecords / 64 words per query is cleared.
  // REQUIRES: count <= kBlockRecords, query_count <= kBlockQueries, every distance fits 16
  // bits (len <= 8191, or spare bits zero as in a signature of up to 65535 dimensions).
  void (*scan)(const uint8_t* block, size_t len, size_t count, const uint8_t* queries,
               size_t query_count, const uint32_t* bounds, uint64_t* masks) noexcept;
};

// Any x86-64 processor: records side by side in memory, one distance at a time.
extern const HammingBlockKernel kHammingBlockPortable;
// REQUIRES: cpu_supports_avx2(). Byte-major groups of 32 records, split into 4-bit halves;
// each query becomes one 16-entry distance table per byte position.
extern const HammingBlockKernel kHammingBlockAvx2;
// REQUIRES: instruction_set_usable(InstructionSet::kAvx512). Word-major groups of 8 records, one
// 64-bit lane each, counted with VPOPCNTQ.
extern const HammingBlockKernel kHammingBlockAvx512;

}  // namespace korvel
