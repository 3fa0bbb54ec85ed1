// The entry point of the sign score: the kernel of this processor's instruction set.
#include "vector/sign_score.h"

#include "simd/kernel_table.h"

namespace korvel {

void sign_score_many(const float* q, size_t dim, const uint8_t* const* sigs, size_t count,
                     float* out) noexcept {
  if (count > 0) kernels().sign_score(q, dim, sigs, count, out);
}

}  // namespace korvel
