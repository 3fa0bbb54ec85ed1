// The tables themselves and the choice between them.
#include "simd/kernel_table.h"

#include <cstdlib>
#include <vector>

namespace korvel {
namespace {

constexpr KernelTable kPortable{
    .name = "portable",
    .hamming = &hamming_portable,
    .hamming_batch = &hamming_batch_portable,
    .hamming_gather = &hamming_gather_portable,
    .match_planes = &match_planes_portable,
    .sign_rows = &sign_rows_portable,
    .match_set = &match_set_portable,
    .hamming_block = &kHammingBlockPortable,
    .hamming_bound = &hamming_bound_portable,
    .sign_score = &sign_score_portable,
    .dot_tile = &dot_tile_portable,
};

constexpr KernelTable kAvx2{
    .name = "avx2",
    .hamming = &hamming_avx2,
    .hamming_batch = &hamming_batch_avx2,
    .hamming_gather = &hamming_gather_avx2,
    .match_planes = &match_planes_avx2,
    .sign_rows = &sign_rows_avx2,
    .match_set = &match_set_portable,
    .hamming_block = &kHammingBlockAvx2,
    .hamming_bound = &hamming_bound_avx2,
    .sign_score = &sign_score_avx2,
    .dot_tile = &dot_tile_avx2,
};

// AVX-512 with VPOPCNTDQ. A family without an AVX-512 kernel uses its AVX2 one, which every
// processor of this set can run (CpuFeatures::avx512_usable requires AVX2).
constexpr KernelTable kAvx512{
    .name = "avx512",
    .hamming = &hamming_avx512,
    .hamming_batch = &hamming_batch_avx2,
    .hamming_gather = &hamming_gather_avx2,
    .match_planes = &match_planes_avx2,
    .sign_rows = &sign_rows_avx2,
    .match_set = &match_set_portable,
    .hamming_block = &kHammingBlockAvx512,
    .hamming_bound = &hamming_bound_avx512,
    .sign_score = &sign_score_avx512,
    .dot_tile = &dot_tile_avx2,
};

#ifdef KORVEL_SIMDE_AVX512
constexpr bool kAvx512Emulated = true;
#else
constexpr bool kAvx512Emulated = false;
#endif

// The processor facilities `set` needs that `cpu` lacks, by the names `python -m korvel info`
// shows.
std::vector<const char*> missing_features(InstructionSet set, const CpuFeatures& cpu) {
  std::vector<const char*> missing;
  if (set == InstructionSet::kPortable) return missing;
  if (!cpu.avx) missing.push_back("avx");
  if (!cpu.avx2) missing.push_back("avx2");
  if (!cpu.osxsave || !cpu.ymm_state) missing.push_back("OS support for YMM state");
  if (set == InstructionSet::kAvx2 || kAvx512Emulated) return missing;
  if (!cpu.avx512f) missing.push_back("avx512f");
  if (!cpu.avx512bw) missing.push_back("avx512bw");
  if (!cpu.avx512vpopcntdq) missing.push_back("avx512vpopcntdq");
  if (!cpu.osxsave || !cpu.zmm_state) missing.push_back("OS support for ZMM state");
  return missing;
}

std::string joined(const std::vector<const char*>& words) {
  std::string text;
  for (const char* w : words) text += (text.empty() ? "" : ", ") + std::string(w);
  return text;
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

bool instruction_set_usable(InstructionSet set, const CpuFeatures& cpu) noexcept {
  switch (set) {
    case InstructionSet::kAvx2:
      return cpu.avx2_usable();
    case InstructionSet::kAvx512:
      return kAvx512Emulated ? cpu.avx2_usable() : cpu.avx512_usable();
    case InstructionSet::kPortable:
      break;
  }
  return true;
}

bool instruction_set_usable(InstructionSet set) noexcept {
  return instruction_set_usable(set, cpu_features());
}

bool avx512_emulated() noexcept { return kAvx512Emulated; }

std::string to_string(const KernelChoiceError& e) {
  std::string names;
  for (InstructionSet set : kInstructionSets) {
    names += std::string(names.empty() ? "" : ", ") + kernel_table(set).name;
  }
  if (const auto* unknown = std::get_if<UnknownKernels>(&e)) {
    return "KORVEL_KERNELS=\"" + unknown->requested + "\" names no kernel table: use one of " +
           names + ", or leave it unset for the best this processor runs";
  }
  const auto& not_usable = std::get<KernelsNotUsable>(e);
  std::vector<const char*> usable;
  for (InstructionSet set : kInstructionSets) {
    if (instruction_set_usable(set, not_usable.cpu)) usable.push_back(kernel_table(set).name);
  }
  const char* name = kernel_table(not_usable.set).name;
  return std::string("KORVEL_KERNELS=") + name + ": this processor cannot run the " + name +
         " kernels (it lacks " + joined(missing_features(not_usable.set, not_usable.cpu)) +
         "); usable here: " + joined(usable) +
         " (or leave KORVEL_KERNELS unset for the best of them)";
}

Expected<const KernelTable*, KernelChoiceError> choose_kernels(std::string_view request,
                                                               const CpuFeatures& cpu) {
  const KernelTable* chosen = nullptr;
  for (InstructionSet set : kInstructionSets) {
    if (request.empty()) {
      if (instruction_set_usable(set, cpu)) chosen = &kernel_table(set);
    } else if (request == kernel_table(set).name) {
      if (!instruction_set_usable(set, cpu)) return unexpected(KernelsNotUsable{set, cpu});
      return &kernel_table(set);
    }
  }
  if (chosen == nullptr) return unexpected(UnknownKernels{std::string(request)});
  return chosen;
}

const Expected<const KernelTable*, KernelChoiceError>& kernel_choice() {
  static const Expected<const KernelTable*, KernelChoiceError> choice = [] {
    const char* request = std::getenv("KORVEL_KERNELS");
    return choose_kernels(request != nullptr ? request : "", cpu_features());
  }();
  return choice;
}

const KernelTable& kernels() noexcept {
  static const KernelTable& chosen = []() -> const KernelTable& {
    const auto& choice = kernel_choice();
    return choice ? **choice : **choose_kernels("", cpu_features());
  }();
  return chosen;
}

}  // namespace korvel
