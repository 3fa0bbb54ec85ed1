// Sign-bit signatures of float32 rows with the finite check in the same pass over the values:
// the portable kernel and the AVX2 kernel, reached through the kernel table
// (simd/kernel_table.h). Both write identical bytes and return the same row; they are
// reentrant and allocate nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// Signs rows [0, rows) of `dim` float32 values each (row r at values + r * dim, any address
// aligned to 4): bit i % 8 of byte i / 8 of row r's signature, at out + r * (dim + 7) / 8, is
// set exactly when value i > 0.0 (spare bits 0). Stops at the first row holding a NaN or an
// infinity and returns its index (that row's signature is left unspecified); returns `rows`
// when every value is finite.
using SignRowsKernel = size_t (*)(const float* values, size_t dim, size_t rows,
                                  uint8_t* out) noexcept;

// Runs on any x86-64 processor.
size_t sign_rows_portable(const float* values, size_t dim, size_t rows, uint8_t* out) noexcept;

// REQUIRES: cpu_features().avx2_usable().
size_t sign_rows_avx2(const float* values, size_t dim, size_t rows, uint8_t* out) noexcept;

}  // namespace korvel
