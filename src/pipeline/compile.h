// Compilation: buffered records -> the complete data-file image (header, code planes,
// signatures, external offsets), laid out by compute_layout().
#pragma once

#include <cstdint>
#include <vector>

#include "categorical/compile_error.h"
#include "common/expected.h"
#include "pipeline/build_state.h"

namespace korvel {

// The data-file image of `state`, exactly compute_layout(n, T, 8, D).total_size bytes.
// Fails with UnknownTraitValue for the first value (in block, record, trait order) that
// its trait's dictionary does not hold. Deterministic: equal states give equal images.
// REQUIRES: every record holds trait_count values; dicts.size() == trait_count.
Expected<std::vector<uint8_t>, CompileError> compile_index(const BuildState& state);

}  // namespace korvel
