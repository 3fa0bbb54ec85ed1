// The kernel table's choice: by processor report and KORVEL_KERNELS request, its error texts,
// and the process's own choice against the compiler runtime's CPU report.
#include "simd/kernel_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "simd/cpu_features.h"

namespace korvel {
namespace {

CpuFeatures with_avx2() {
  CpuFeatures f;
  f.osxsave = f.avx = f.ymm_state = f.avx2 = true;
  return f;
}

CpuFeatures with_avx512() {
  CpuFeatures f = with_avx2();
  f.zmm_state = f.avx512f = f.avx512bw = f.avx512vpopcntdq = true;
  return f;
}

TEST(KernelTable, ChoiceByRequestAndProcessor) {
  CpuFeatures no_zmm_state = with_avx512();
  no_zmm_state.zmm_state = false;
  CpuFeatures no_ymm_state = with_avx2();
  no_ymm_state.ymm_state = false;
  const std::string lacks_avx512 =
      "KORVEL_KERNELS=avx512: this processor cannot run the avx512 kernels (it lacks ";
  struct Case {
    const char* request;
    CpuFeatures cpu;
    std::string expected;  // the table's name or the error text
    std::string emulated;  // the same when the AVX-512 kernels are SIMDe's; empty: as expected
  };
  const std::vector<Case> cases = {
      {"", CpuFeatures{}, "portable", ""},
      {"", with_avx2(), "avx2", "avx512"},
      {"", with_avx512(), "avx512", ""},
      {"", no_zmm_state, "avx2", "avx512"},
      {"", no_ymm_state, "portable", ""},
      {"portable", with_avx512(), "portable", ""},
      {"avx2", with_avx512(), "avx2", ""},
      {"avx512", with_avx512(), "avx512", ""},
      {"avx2", CpuFeatures{},
       "KORVEL_KERNELS=avx2: this processor cannot run the avx2 kernels (it lacks avx, avx2, OS "
       "support for YMM state); usable here: portable (or leave KORVEL_KERNELS unset for the best "
       "of them)",
       ""},
      {"avx512", with_avx2(),
       lacks_avx512 + "avx512f, avx512bw, avx512vpopcntdq, OS support for ZMM state); usable "
                      "here: portable, avx2 (or leave KORVEL_KERNELS unset for the best of them)",
       "avx512"},
      {"avx512", no_zmm_state,
       lacks_avx512 + "OS support for ZMM state); usable here: portable, avx2 (or leave "
                      "KORVEL_KERNELS unset for the best of them)",
       "avx512"},
      {"avx512", no_ymm_state,
       lacks_avx512 + "OS support for YMM state, avx512f, avx512bw, avx512vpopcntdq, OS support "
                      "for ZMM state); usable here: portable (or leave KORVEL_KERNELS unset for "
                      "the best of them)",
       "KORVEL_KERNELS=avx512: this processor cannot run the avx512 kernels (it lacks OS support "
       "for YMM state); usable here: portable (or leave KORVEL_KERNELS unset for the best of "
       "them)"},
      {"AVX2", with_avx512(),
       "KORVEL_KERNELS=\"AVX2\" names no kernel table: use one of portable, avx2, avx512, or "
       "leave it unset for the best this processor runs",
       ""},
      {" avx2", with_avx512(),
       "KORVEL_KERNELS=\" avx2\" names no kernel table: use one of portable, avx2, avx512, or "
       "leave it unset for the best this processor runs",
       ""},
  };
  for (const Case& c : cases) {
    const auto choice = choose_kernels(c.request, c.cpu);
    const std::string got = choice ? (*choice)->name : to_string(choice.error());
    EXPECT_EQ(got, avx512_emulated() && !c.emulated.empty() ? c.emulated : c.expected)
        << "request \"" << c.request << "\"";
  }
}

TEST(KernelTable, ChoiceAgreesWithProcessorReportAndIsStable) {
  // The compiler's runtime also checks the OS-enabled register state before reporting AVX2
  // and AVX-512.
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") != 0 &&
                      __builtin_cpu_supports("avx512bw") != 0 &&
                      __builtin_cpu_supports("avx512vpopcntdq") != 0;
  EXPECT_EQ(detect_cpu_features().avx2_usable(), avx2);
  EXPECT_EQ(detect_cpu_features().avx512_usable(), avx512);
  EXPECT_EQ(cpu_supports_avx2(), avx2);
  EXPECT_EQ(instruction_set_usable(InstructionSet::kAvx2), avx2);
  EXPECT_EQ(instruction_set_usable(InstructionSet::kAvx512), avx512_emulated() ? avx2 : avx512);
  const bool best_avx512 = avx512_emulated() ? avx2 : avx512;
  const InstructionSet best = best_avx512 ? InstructionSet::kAvx512
                              : avx2      ? InstructionSet::kAvx2
                                          : InstructionSet::kPortable;
  // A KORVEL_KERNELS request this processor cannot run fails here with the modules' text.
  ASSERT_TRUE(kernel_choice()) << to_string(kernel_choice().error());
  const char* request = std::getenv("KORVEL_KERNELS");
  const KernelTable& expected = request != nullptr && *request != '\0'
                                    ? **choose_kernels(request, detect_cpu_features())
                                    : kernel_table(best);
  EXPECT_EQ(*kernel_choice(), &expected);
  EXPECT_EQ(&kernels(), &expected);
  EXPECT_EQ(&kernels(), &kernels());
  const std::vector<uint8_t> a(40, 0x5A), b(40, 0xA5);
  EXPECT_EQ(kernels().hamming(a.data(), b.data(), 40), 320u);
}

}  // namespace
}  // namespace korvel
