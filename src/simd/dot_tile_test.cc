// Every tile kernel this processor runs, bit for bit against the one-row dot product of each
// query and row: row counts around the kernels' passes, dimensions from none to many, rows at
// every byte alignment and repeated, and values of very different magnitudes so that any
// other order of the additions (or a fused multiply-add) shows.
#include "simd/dot_tile.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "simd/test_kernels.h"
#include "vector/dot.h"

namespace korvel {
namespace {

class DotTile : public testing::TestWithParam<KernelVariant<DotTileKernel>> {};

TEST_P(DotTile, EqualsTheLeftToRightSumOfEachQueryAndRow) {
  const DotTileKernel kernel = GetParam().kernel;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  auto value = [&] { return unit(rng) * std::ldexp(1.0f, static_cast<int>(rng() % 40) - 20); };
  constexpr size_t kT = kDotTileQueries;
  for (size_t dim : {0, 1, 3, 8, 50, 129}) {
    for (size_t count = 1; count <= 11; ++count) {
      std::vector<float> queries(kT * dim);
      for (float& v : queries) v = value();
      std::vector<float> qt(kT * dim);
      for (size_t j = 0; j < kT; ++j) {
        for (size_t i = 0; i < dim; ++i) qt[i * kT + j] = queries[j * dim + i];
      }
      // Rows at byte offsets 0..3 of their buffers, some repeated.
      std::vector<std::vector<uint8_t>> buffers(count, std::vector<uint8_t>(4 * dim + 4));
      for (size_t r = 0; r < count; ++r) {
        for (size_t i = 0; i < dim; ++i) {
          const float v = value();
          std::memcpy(buffers[r].data() + r % 4 + 4 * i, &v, 4);
        }
      }
      std::vector<const uint8_t*> rows(count);
      for (size_t r = 0; r < count; ++r) {
        const size_t from = rng() % count;
        rows[r] = buffers[from].data() + from % 4;
      }
      std::vector<float> out(count * kT + 1, 12345.0f);
      kernel(qt.data(), dim, rows.data(), count, out.data());
      for (size_t r = 0; r < count; ++r) {
        for (size_t j = 0; j < kT; ++j) {
          ASSERT_EQ(std::bit_cast<uint32_t>(out[r * kT + j]),
                    std::bit_cast<uint32_t>(dot_f32_le(queries.data() + j * dim, rows[r], dim)))
              << "dim " << dim << " count " << count << " row " << r << " query " << j;
        }
      }
      EXPECT_EQ(out[count * kT], 12345.0f);  // nothing written past the last row
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, DotTile,
                         testing::ValuesIn(usable_kernels(&KernelTable::dot_tile)), KernelName{});

}  // namespace
}  // namespace korvel
