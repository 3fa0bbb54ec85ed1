// Every sign score kernel this processor runs, bit for bit against the one-record loop: every
// record count around the passes of 16 to 64, dimensions around a byte and a 32-bit word,
// repeated records, and values of very different magnitudes so that any other order of the
// additions shows.
#include "simd/sign_score.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "simd/test_kernels.h"
#include "vector/sign_score.h"

namespace korvel {
namespace {

float one_record(const std::vector<float>& q, const uint8_t* sig) {
  float acc = 0.0f;
  for (size_t i = 0; i < q.size(); ++i) acc += ((sig[i / 8] >> (i % 8)) & 1u) != 0 ? q[i] : -q[i];
  return acc;
}

class SignScore : public testing::TestWithParam<KernelVariant<SignScoreKernel>> {};

TEST_P(SignScore, EqualsTheLeftToRightSumOfEachRecord) {
  const SignScoreKernel kernel = GetParam().kernel;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  for (size_t dim : {1, 7, 8, 9, 31, 32, 33, 63, 64, 65, 255, 768}) {
    for (size_t count = 1; count <= 140; count += count < 70 ? 1 : 13) {
      std::vector<float> q(dim);
      for (float& v : q) v = unit(rng) * std::ldexp(1.0f, static_cast<int>(rng() % 40) - 20);
      const size_t len = (dim + 7) / 8;
      std::vector<std::vector<uint8_t>> sigs(count / 2 + 1, std::vector<uint8_t>(len));
      for (auto& s : sigs) {
        for (uint8_t& b : s) b = static_cast<uint8_t>(rng());
      }
      std::vector<const uint8_t*> ptrs(count);
      for (auto& p : ptrs) p = sigs[rng() % sigs.size()].data();  // repeats too
      std::vector<float> out(count + 1, 12345.0f);
      kernel(q.data(), dim, ptrs.data(), count, out.data());
      for (size_t r = 0; r < count; ++r) {
        ASSERT_EQ(std::bit_cast<uint32_t>(out[r]), std::bit_cast<uint32_t>(one_record(q, ptrs[r])))
            << "dim " << dim << " count " << count << " record " << r;
      }
      EXPECT_EQ(out[count], 12345.0f);  // nothing written past the last record
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SignScore,
                         testing::ValuesIn(usable_kernels(&KernelTable::sign_score)), KernelName{});

TEST(SignScoreMany, NoRecordsWritesNothing) {
  const float q[3] = {1, 2, 3};
  float out = 7;
  sign_score_many(q, 3, nullptr, 0, &out);
  EXPECT_EQ(out, 7);
}

}  // namespace
}  // namespace korvel
