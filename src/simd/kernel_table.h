// The kernel table: one set of kernel entry points per instruction set, and the set this
// process uses, chosen once from the processor probe (simd/cpu_features.h) and the
// KORVEL_KERNELS environment variable. Callers take their kernels from kernels(); nothing
// else looks at the processor.
//
// A new kernel family is one member of KernelTable plus one entry per instruction set in
// kernel_table.cc; a new instruction set is its kernel files (*_<set>.cc, kernels only), one
// InstructionSet value and its table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "common/expected.h"
#include "simd/cpu_features.h"
#include "simd/dot_tile.h"
#include "simd/hamming.h"
#include "simd/hamming_batch.h"
#include "simd/hamming_block.h"
#include "simd/hamming_bound.h"
#include "simd/plane_match.h"
#include "simd/sign_rows.h"
#include "simd/sign_score.h"
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
  SignRowsKernel sign_rows;
  MatchSetKernel match_set;
  const HammingBlockKernel* hamming_block;
  HammingBoundKernel hamming_bound;
  SignScoreKernel sign_score;
  DotTileKernel dot_tile;
};

// The table of `set`, whether or not this processor can run it.
const KernelTable& kernel_table(InstructionSet set) noexcept;

// A processor reporting `cpu` can run every kernel of `set`.
bool instruction_set_usable(InstructionSet set, const CpuFeatures& cpu) noexcept;

// This processor and OS can run every kernel of `set`.
bool instruction_set_usable(InstructionSet set) noexcept;

// The AVX-512 kernels of this build are SIMDe's portable implementations of the instructions
// (a test build, KORVEL_SIMDE_AVX512): any processor that runs the AVX2 kernels runs them.
bool avx512_emulated() noexcept;

// Why a requested table cannot be used.
struct UnknownKernels {
  std::string requested;
};
struct KernelsNotUsable {
  InstructionSet set;
  CpuFeatures cpu;
};
using KernelChoiceError = std::variant<UnknownKernels, KernelsNotUsable>;

// The display text of a choice error, naming the variable, the request and the choices.
std::string to_string(const KernelChoiceError& e);

// The table named by `request` ("portable", "avx2", "avx512") when a processor reporting
// `cpu` can run it; for an empty request, the last usable instruction set's table.
// Errors: UnknownKernels for any other name, KernelsNotUsable when `cpu` cannot run it.
Expected<const KernelTable*, KernelChoiceError> choose_kernels(std::string_view request,
                                                               const CpuFeatures& cpu);

// choose_kernels(KORVEL_KERNELS or "", cpu_features()), taken on first call and kept for the
// process. The extension modules refuse to load on an error. Thread-safe.
const Expected<const KernelTable*, KernelChoiceError>& kernel_choice();

// The table of kernel_choice(), or the best usable one when that is an error (never a table
// this processor cannot run). Thread-safe.
const KernelTable& kernels() noexcept;

}  // namespace korvel
