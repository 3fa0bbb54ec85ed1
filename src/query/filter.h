// Filters on the bit-sliced code planes: the filter expression, the candidate bitmap it
// yields (one bit per record) and evaluate_filter. Touches no interpreter object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/expected.h"
#include "common/uninitialized_allocator.h"

namespace korvel {

struct FilterExpr;
struct EqNode {
  size_t trait_index;
  uint16_t code;
};
struct AndNode {
  std::vector<FilterExpr> children;  // empty: every record
};
struct OrNode {
  std::vector<FilterExpr> children;  // empty: no record
};
struct NotNode {
  std::unique_ptr<FilterExpr> child;
};
// The trait's code is one of a set of any size, matched in one pass over the trait's planes:
// bit c % 64 of member[c / 64] is set when code c belongs. Codes past the table do not.
struct InSetNode {
  size_t trait_index;
  std::vector<uint64_t> member;
};
struct FilterExpr {
  std::variant<EqNode, AndNode, OrNode, NotNode, InSetNode> node;
};

// Whether `a` and `b` are the same tree: the same node kinds, Eq nodes on the same trait and
// code, InSet nodes on the same trait and table, children equal in order. Equal trees match the
// same records (unequal ones may too).
bool same_filter(const FilterExpr& a, const FilterExpr& b) noexcept;
// A hash of the tree, equal for trees that same_filter finds equal.
size_t filter_hash(const FilterExpr& expr) noexcept;

// An Eq node names a trait the index does not have.
struct TraitIndexOutOfRange {
  size_t index;
  uint16_t trait_count;
};
std::string to_string(const TraitIndexOutOfRange& e);

// One bit per record, 64 records per word. evaluate_filter may leave bits at and beyond
// record_count set (an Eq on a code whose bits are all zero matches the padding of the last
// block); its callers clear them with last_word_mask. Left uninitialised on allocation: every
// filter node writes all of its words before any of them is read, so a bitmap over many
// records need not be cleared first (that pass would be a fixed cost of every filtered query).
using CandidateBitmap = std::vector<uint64_t, UninitializedAllocator<uint64_t>>;

// The valid record bits of the last word of a bitmap over `record_count` records: all ones
// when record_count is a multiple of 64.
constexpr uint64_t last_word_mask(uint64_t record_count) noexcept {
  const auto used = static_cast<unsigned>(record_count % 64);
  return used == 0 ? ~uint64_t{0} : (uint64_t{1} << used) - 1;
}

// Evaluates `expr` on the plane section `planes` (little-endian words) of an index with
// `trait_count` traits, `bit_width` bits per code, `blocks` blocks and `record_count`
// records. Eq or InSet with trait index >= trait_count fails with TraitIndexOutOfRange. And stops
// as soon as its accumulator is empty; Or evaluates every child; Not clears bits >= n.
// REQUIRES: blocks == ceil(record_count / 64); planes holds `blocks` blocks.
Expected<CandidateBitmap, TraitIndexOutOfRange> evaluate_filter(const FilterExpr& expr,
                                                                std::span<const uint8_t> planes,
                                                                uint16_t trait_count,
                                                                uint8_t bit_width, uint64_t blocks,
                                                                uint64_t record_count);

}  // namespace korvel
