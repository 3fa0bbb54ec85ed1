// Test helper: every distinct kernel of one family of the kernel table that this processor
// can run, named after its instruction set, for differential tests parameterised over them.
#pragma once

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "simd/kernel_table.h"

namespace korvel {

template <class Kernel>
struct KernelVariant {
  std::string name;
  Kernel kernel;
  friend void PrintTo(const KernelVariant& v, std::ostream* os) { *os << v.name; }
};

template <class Kernel>
std::vector<KernelVariant<Kernel>> usable_kernels(Kernel KernelTable::*family) {
  std::vector<KernelVariant<Kernel>> variants;
  for (InstructionSet set : kInstructionSets) {
    if (!instruction_set_usable(set)) continue;
    const Kernel kernel = kernel_table(set).*family;
    if (std::none_of(variants.begin(), variants.end(),
                     [&](const KernelVariant<Kernel>& v) { return v.kernel == kernel; })) {
      variants.push_back({kernel_table(set).name, kernel});
    }
  }
  return variants;
}

// The test name suffix of a parameter: its instruction set.
struct KernelName {
  template <class Param>
  std::string operator()(const Param& p) const {
    return p.param.name;
  }
};

}  // namespace korvel
