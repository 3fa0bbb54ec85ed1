// append_record under allocation failure: every allocation it makes is failed in turn, and a
// failed call must leave the build state as it was.
#include "build/build_state.h"

#include <gtest/gtest.h>

#include <new>
#include <random>
#include <string>
#include <vector>

#include "build/compile.h"
#include "common/test_allocation.h"

namespace korvel {
namespace {

bool same_records(const BuildState& a, const BuildState& b) {
  if (a.records.size() != b.records.size()) return false;
  for (size_t i = 0; i < a.records.size(); ++i) {
    const BufferedRecord& x = a.records[i];
    const BufferedRecord& y = b.records[i];
    if (x.values != y.values || x.embedding != y.embedding || x.doc_id != y.doc_id ||
        x.external_offset != y.external_offset) {
      return false;
    }
  }
  return a.record_codes == b.record_codes && a.record_signatures == b.record_signatures;
}

// Each record is appended to one state directly and to another with its k-th allocation
// failing, k = 0, 1, ... until the call succeeds. Both states must compile to the same image
// and report the same record capacity (memory_stats() counts it).
TEST(AppendRecord, AllOrNothingWhenAnAllocationFails) {
  std::mt19937 rng(5);
  for (uint16_t dim : {uint16_t{0}, uint16_t{9}, uint16_t{64}}) {
    BuildState plain;
    plain.trait_count = 2;
    plain.vector_dim = dim;
    plain.dicts.resize(2);
    BuildState failing = plain;
    int failures = 0;
    for (uint64_t i = 0; i < 40; ++i) {
      BufferedRecord r;
      std::vector<uint16_t> codes;
      for (size_t t = 0; t < 2; ++t) {
        r.values.push_back("v" + std::to_string(rng() % 20));
        codes.push_back(*plain.dicts[t].assign_token(r.values.back(), 8));
        ASSERT_EQ(*failing.dicts[t].assign_token(r.values.back(), 8), codes.back());
      }
      if (rng() % 3 != 0) {
        r.embedding.emplace(dim);
        for (float& x : *r.embedding) x = static_cast<float>(static_cast<int>(rng() % 5) - 2);
      }
      r.doc_id = i;
      append_record(plain, r, codes);
      for (long k = 0;; ++k) {
        const BuildState before = failing;
        BufferedRecord copy = r;
        fault::arm_allocation_failure(k);
        try {
          append_record(failing, std::move(copy), codes);
          fault::disarm_allocation_failure();
          break;
        } catch (const std::bad_alloc&) {
          fault::disarm_allocation_failure();
          ++failures;
          ASSERT_TRUE(same_records(failing, before)) << "record " << i << " allocation " << k;
        }
      }
    }
    EXPECT_GT(failures, 10) << "the records vector and the codes grew several times";
    ASSERT_TRUE(same_records(failing, plain));
    EXPECT_EQ(failing.records.capacity(), plain.records.capacity());
    const auto a = compile_index(plain);
    const auto b = compile_index(failing);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
  }
}

}  // namespace
}  // namespace korvel
