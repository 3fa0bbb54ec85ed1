// evaluate_filter on plane sections built in memory, and the bounded candidate pool.
#include "query/filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "categorical/plane_packing.h"
#include "common/little_endian.h"
#include "query/test_filters.h"

namespace korvel {
namespace {

using namespace testing_filters;

// A plane section for codes[r][t], packed block by block as the data file stores it.
struct Planes {
  uint16_t traits;
  uint8_t width;
  uint64_t records;
  std::vector<uint8_t> bytes;

  Planes(uint16_t t, uint8_t w, const std::vector<std::vector<uint16_t>>& codes)
      : traits(t), width(w), records(codes.size()) {
    const size_t words = size_t{t} * w;
    bytes.resize(blocks() * words * 8);
    std::vector<uint64_t> block(words);
    for (uint64_t b = 0; b < blocks(); ++b) {
      std::fill(block.begin(), block.end(), 0);
      for (unsigned j = 0; j < 64 && 64 * b + j < records; ++j) {
        for (size_t k = 0; k < t; ++k) pack_code(block.data(), k, w, codes[64 * b + j][k], j);
      }
      for (size_t i = 0; i < words; ++i) store_u64(&bytes[(b * words + i) * 8], block[i]);
    }
  }
  uint64_t blocks() const { return (records + 63) / 64; }
  Expected<CandidateBitmap, TraitIndexOutOfRange> eval(const FilterExpr& e) const {
    return evaluate_filter(e, bytes, traits, width, blocks(), records);
  }
};

// n = 3, T = 1, w = 8, codes 5, 0, 5: plane words 0 and 2 hold 5, the rest 0.
Planes worked_example() { return Planes(1, 8, {{5}, {0}, {5}}); }

TEST(EvaluateFilter, WorkedExample) {
  const Planes p = worked_example();
  EXPECT_EQ(load_u64(&p.bytes[0]), 5u);
  EXPECT_EQ(load_u64(&p.bytes[16]), 5u);

  struct Case {
    const char* name;
    FilterExpr expr;
    uint64_t word;
  };
  Case cases[] = {
      {"Eq(0,5)", eq(0, 5), 5},
      {"Eq(0,0) keeps the bits past the last record", eq(0, 0), ~uint64_t{5}},
      {"a code wider than w matches no record", eq(0, 5 | 0x300), 0},
      {"Not of a code wider than w: every record", not_(eq(0, 0x100)), 7},
      {"Not(Eq(0,5)) is record 1 only", not_(eq(0, 5)), 2},
      {"Not(Eq(0,0)) clears past n", not_(eq(0, 0)), 5},
      {"And()", and_(), 7},
      {"Or()", or_(), 0},
      {"Not(And())", not_(and_()), 0},
      {"Not(Or())", not_(or_()), 7},
      {"And(Eq(0,0), Not(Eq(0,5)))", and_(eq(0, 0), not_(eq(0, 5))), 2},
      {"Or(Eq(0,5), Eq(0,0))", or_(eq(0, 5), eq(0, 0)), ~uint64_t{0}},
      {"Or(Eq(0,1), Not(Eq(0,0)))", or_(eq(0, 1), not_(eq(0, 0))), 5},
      {"nested Or into And", and_(or_(eq(0, 5), eq(0, 0)), not_(eq(0, 0))), 5},
  };
  for (const Case& c : cases) {
    auto r = p.eval(c.expr);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(*r, CandidateBitmap{c.word}) << c.name;
  }
}

TEST(EvaluateFilter, TraitIndexErrorsAndShortCircuit) {
  const Planes p = worked_example();
  const std::string bad = "Trait index 1 out of range (valid: 0..1)";
  struct Case {
    const char* name;
    FilterExpr expr;
    const char* error;  // nullptr: succeeds
  };
  Case cases[] = {
      {"bare Eq", eq(1, 0), "Trait index 1 out of range (valid: 0..1)"},
      {"huge index", eq(~size_t{0}, 0),
       "Trait index 18446744073709551615 out of range (valid: 0..1)"},
      {"And stops after a child that matches nothing", and_(eq(0, 7), eq(1, 0)), nullptr},
      {"And stops once the accumulator is empty", and_(eq(0, 5), eq(0, 2), eq(1, 0)), nullptr},
      {"And goes on after a match", and_(eq(0, 5), eq(1, 0)), bad.c_str()},
      {"And stops when no position matches", and_(eq(0, 1), eq(1, 0)), nullptr},
      {"Or evaluates every child", or_(eq(0, 7), eq(1, 0)), bad.c_str()},
      {"Or after a full match", or_(eq(0, 5), eq(0, 0), eq(1, 0)), bad.c_str()},
      {"Not propagates", not_(eq(1, 0)), bad.c_str()},
      {"first And child", and_(eq(1, 0), eq(0, 7)), bad.c_str()},
      {"an inner And stops on its own", and_(eq(0, 5), and_(eq(0, 7), eq(5, 0)), eq(1, 0)),
       nullptr},
  };
  for (const Case& c : cases) {
    auto r = p.eval(c.expr);
    if (c.error == nullptr) {
      EXPECT_TRUE(r) << c.name << ": " << (r ? "" : to_string(r.error()));
    } else {
      ASSERT_FALSE(r) << c.name;
      EXPECT_EQ(to_string(r.error()), c.error) << c.name;
    }
  }

  // Positions past n hold code 0 in every plane: an And that reaches a bad index only
  // through those positions still reports it.
  const Planes fives(1, 8, {{5}, {5}, {5}});
  auto r = fives.eval(and_(eq(0, 0), eq(3, 0)));
  ASSERT_FALSE(r);
  EXPECT_EQ(to_string(r.error()), "Trait index 3 out of range (valid: 0..1)");
}

TEST(EvaluateFilter, NoRecords) {
  const Planes empty(2, 8, {});
  std::vector<FilterExpr> exprs;
  exprs.push_back(eq(1, 0));
  exprs.push_back(and_());
  exprs.push_back(or_());
  exprs.push_back(not_(eq(0, 3)));
  for (const FilterExpr& e : exprs) {
    auto r = empty.eval(e);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->empty());
  }
  auto r = empty.eval(eq(2, 0));  // the index is checked even without blocks
  ASSERT_FALSE(r);
  EXPECT_EQ(to_string(r.error()), "Trait index 2 out of range (valid: 0..2)");
}

// Every width and block shape against decoding each record's code: Eq and Not(Eq) on every
// trait and code, and random And/Or/Not trees evaluated record by record.
TEST(EvaluateFilter, MatchesPerRecordDecoding) {
  std::mt19937 rng(7);
  for (uint8_t w : {uint8_t{4}, uint8_t{8}, uint8_t{16}}) {
    for (uint64_t n : {1, 2, 63, 64, 65, 128, 200}) {
      for (uint16_t traits : {uint16_t{1}, uint16_t{3}}) {
        const uint32_t distinct = w == 4 ? 16 : 6;
        std::vector<std::vector<uint16_t>> codes(n, std::vector<uint16_t>(traits));
        for (auto& rec : codes) {
          for (auto& c : rec) {
            c = static_cast<uint16_t>(rng() % distinct);
            if (w == 16 && rng() % 4 == 0) c = static_cast<uint16_t>(0xFFF0 + rng() % 16);
          }
        }
        const Planes p(traits, w, codes);
        const std::string where = "w=" + std::to_string(w) + " n=" + std::to_string(n);
        for (size_t t = 0; t < traits; ++t) {
          for (uint16_t code : {uint16_t{0}, uint16_t{1}, uint16_t{3}, uint16_t{5}, uint16_t{15},
                                uint16_t{0xFFF3}}) {
            auto match = p.eval(eq(t, code));
            auto miss = p.eval(not_(eq(t, code)));
            ASSERT_TRUE(match && miss);
            ASSERT_EQ(match->size(), p.blocks());
            const bool fits = w == 16 || (code >> w) == 0;
            for (uint64_t r = 0; r < p.blocks() * 64; ++r) {
              const bool m = ((*match)[r / 64] >> (r % 64)) & 1;
              const bool nm = ((*miss)[r / 64] >> (r % 64)) & 1;
              const uint16_t have = r < n ? codes[r][t] : 0;
              ASSERT_EQ(m, fits && have == code) << where << " record " << r << " code " << code;
              ASSERT_EQ(nm, r < n && !(fits && have == code)) << where << " record " << r;
            }
          }
        }
        // And(Or(Eq, Eq), Not(Eq)) on the last trait.
        const size_t t = traits - 1;
        auto r = p.eval(and_(or_(eq(t, 1), eq(t, 2), eq(0, 3)), not_(eq(0, 2))));
        ASSERT_TRUE(r);
        for (uint64_t i = 0; i < n; ++i) {
          const bool want =
              (codes[i][t] == 1 || codes[i][t] == 2 || codes[i][0] == 3) && codes[i][0] != 2;
          ASSERT_EQ(((*r)[i / 64] >> (i % 64)) & 1, want ? 1u : 0u) << where << " record " << i;
        }
        // A membership table (shorter than the width's codes at times), under And and Or.
        std::vector<uint64_t> member(rng() % 3 == 0 ? 1 : 1024);
        for (uint64_t& m : member) m = rng() % 4 == 0 ? 0 : (uint64_t{rng()} << 32 | rng());
        auto in = [&](uint16_t c) {
          return c / 64 < member.size() && (member[c / 64] >> c % 64) & 1;
        };
        auto both = p.eval(and_(not_(eq(0, 2)), FilterExpr{InSetNode{t, member}}));
        auto either = p.eval(or_(eq(0, 3), FilterExpr{InSetNode{t, member}}));
        ASSERT_TRUE(both && either);
        for (uint64_t i = 0; i < n; ++i) {
          ASSERT_EQ(((*both)[i / 64] >> (i % 64)) & 1, in(codes[i][t]) && codes[i][0] != 2)
              << where << " record " << i;
          ASSERT_EQ(((*either)[i / 64] >> (i % 64)) & 1, in(codes[i][t]) || codes[i][0] == 3)
              << where << " record " << i;
        }
      }
    }
  }
}

// Trees that differ in one thing each (trait, code, node kind, child order, nesting): equal
// only to a fresh copy of themselves, with the same hash as that copy.
TEST(SameFilter, EqualOnlyToTheSameTree) {
  auto trees = [] {
    std::vector<FilterExpr> v;
    v.push_back(eq(0, 1));
    v.push_back(eq(1, 1));
    v.push_back(eq(0, 2));
    v.push_back(not_(eq(0, 1)));
    v.push_back(and_(eq(0, 1)));
    v.push_back(or_(eq(0, 1)));
    v.push_back(and_(eq(0, 1), eq(1, 1)));
    v.push_back(and_(eq(1, 1), eq(0, 1)));
    v.push_back(and_(eq(0, 1), eq(1, 1), eq(1, 1)));
    v.push_back(and_());
    v.push_back(or_());
    v.push_back(and_(and_()));
    v.push_back(not_(not_(eq(0, 1))));
    return v;
  };
  const std::vector<FilterExpr> a = trees(), b = trees();
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(filter_hash(a[i]), filter_hash(b[i])) << i;
    for (size_t j = 0; j < b.size(); ++j)
      EXPECT_EQ(same_filter(a[i], b[j]), i == j) << i << " " << j;
  }
}

}  // namespace
}  // namespace korvel
