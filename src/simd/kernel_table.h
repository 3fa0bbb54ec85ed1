// The kernel table: one set of kernel entry points per instruction set, and the set this
// process uses, chosen once from the processor probe (simd/cpu_features.h). Callers take
// their kernels from kernels(); nothing else looks at the processor.
//
// A new kernel family is one member of KernelTable plus one entry per instruction set in
// kernel_table.cc; a new instruction set is its kernel files (*_<set>.cc, kernels only), one
// InstructionSet value and its table.
#pragma once

#include <cstdint>

#include "simd/hamming.h"
#include "simd/hamming_batch.h"
#include "simd/hamming_block.h"
#include "simd/plane_match.h"
#include "simd/plane_set.h"

namespace korvel {

// In order of preference: a later set is chosen over an earlier one when usable.
enum class InstructionSet : uint8_t { kPortable, kAvx2, kAvx512 };
inline constexpr InstructionSet kInstructionSets[] = {
    InstructionSet::kPortable, InstructionSet::kAvx2, InstructionSet::kAvx512};

struct KernelTable {
  const char* name;  // the instruction set's name: "portable", "avx2", "avx512"
  HammingKernel hamming;
  HammingBatchKernel hamming_batch;
  HammingGatherKernel hamming_gather;
  MatchPlanesKernel match_planes;
  MatchSetKernel match_set;
  const HammingBlockKernel* hamming_block;
};

// The table of `set`, whether or not this processor can run it.
const KernelTable& kernel_table(InstructionSet set) noexcept;

// This processor and OS can run every kernel of `set`.
bool instruction_set_usable(InstructionSet set) noexcept;

// The table of the last usable instruction set, chosen on first call. Thread-safe.
const KernelTable& kernels() noexcept;

}  // namespace korvel
