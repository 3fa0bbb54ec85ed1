// The tables themselves and the choice between them.
#include "simd/kernel_table.h"

#include "simd/cpu_features.h"

namespace korvel {
namespace {

constexpr KernelTable kPortable{
    .name = "portable",
    .hamming = &hamming_portable,
    .hamming_batch = &hamming_batch_portable,
    .hamming_gather = &hamming_gather_portable,
    .match_planes = &match_planes_portable,
    .match_set = &match_set_portable,
    .hamming_block = &kHammingBlockPortable,
};

constexpr KernelTable kAvx2{
    .name = "avx2",
    .hamming = &hamming_avx2,
    .hamming_batch = &hamming_batch_avx2,
    .hamming_gather = &hamming_gather_avx2,
    .match_planes = &match_planes_avx2,
    .match_set = &match_set_portable,
    .hamming_block = &kHammingBlockAvx2,
};

// AVX-512 with VPOPCNTDQ. A family without an AVX-512 kernel uses its AVX2 one, which every
// processor of this set can run (CpuFeatures::avx512_usable requires AVX2).
constexpr KernelTable kAvx512{
    .name = "avx512",
    .hamming = &hamming_avx2,
    .hamming_batch = &hamming_batch_avx2,
    .hamming_gather = &hamming_gather_avx2,
    .match_planes = &match_planes_avx2,
    .match_set = &match_set_portable,
    .hamming_block = &kHammingBlockAvx512,
};

const KernelTable& choose() noexcept {
  const KernelTable* chosen = &kPortable;
  for (InstructionSet set : kInstructionSets) {
    if (instruction_set_usable(set)) chosen = &kernel_table(set);
  }
  return *chosen;
}

}  // namespace

const KernelTable& kernel_table(InstructionSet set) noexcept {
  switch (set) {
    case InstructionSet::kAvx2:
      return kAvx2;
    case InstructionSet::kAvx512:
      return kAvx512;
    case InstructionSet::kPortable:
      break;
  }
  return kPortable;
}

bool instruction_set_usable(InstructionSet set) noexcept {
  switch (set) {
    case InstructionSet::kAvx2:
      return cpu_features().avx2_usable();
    case InstructionSet::kAvx512:
      return cpu_features().avx512_usable();
    case InstructionSet::kPortable:
      break;
  }
  return true;
}

const KernelTable& kernels() noexcept {
  static const KernelTable& chosen = choose();
  return chosen;
}

}  // namespace korvel
