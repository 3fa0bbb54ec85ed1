// Sign-bit signatures of embeddings.
// Signature of L values: ceil(L / 8) bytes; bit i % 8 of byte i / 8 is set exactly when
// value i > 0.0 (ordered compare: zeros, negatives and NaN give 0; spare bits are 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvel {

constexpr size_t signature_bytes(size_t dim) noexcept { return (dim + 7) / 8; }

// Writes the signature of `values` into out[0 .. signature_bytes(values.size())).
void compute_signature_into(std::span<const float> values, uint8_t* out) noexcept;

std::vector<uint8_t> compute_signature(std::span<const float> values);

// Signatures of `rows` rows of `dim` values (row r at values + r * dim) into
// out + r * signature_bytes(dim), as compute_signature_into gives them, in one pass that also
// looks for NaN and infinity: stops at the first row holding one and returns its index (its
// signature unspecified), or returns `rows`. Runs the kernel table's vector kernel.
size_t sign_finite_rows(const float* values, size_t dim, size_t rows, uint8_t* out) noexcept;

}  // namespace korvel
