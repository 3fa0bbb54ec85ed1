// Compilation: buffered records -> the complete data-file image (header, code planes,
// signatures, external offsets), laid out by compute_layout(). Indexes are built by
// BulkWriter (bulk_writer.h); this second, plainer writer is the reference its tests, the
// query tests and the fuzz seeds build images with, and it takes codes as given, so that
// images with any code can be made.
#pragma once

#include <cstdint>
#include <vector>

#include "build/build_state.h"
#include "categorical/compile_error.h"
#include "common/expected.h"

namespace korvel {

// The data-file image of `state`, exactly compute_layout(n, T, 8, D).total_size bytes.
// Deterministic: equal states give equal images. Every code was assigned when its record
// was appended, so no CompileError arises from a state built with append_record.
// REQUIRES: every record was added with append_record.
Expected<std::vector<uint8_t>, CompileError> compile_index(const BuildState& state);

}  // namespace korvel
