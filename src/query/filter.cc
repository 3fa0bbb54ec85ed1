// Filter evaluation on the bit-sliced code planes. Every node yields one word per block of
// 64 records, computed from the plane words read in place from the mapping; no record's
// code is ever decoded. Eq nodes combine straight into their parent's accumulator, so the
// usual shape (one And over Eq nodes) allocates nothing beyond the result bitmap.
#include "query/filter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "common/check.h"
#include "common/little_endian.h"
#include "simd/kernel_table.h"

namespace korvel {
namespace {

void clear_beyond(std::span<uint64_t> words, uint64_t record_count) noexcept {
  if (!words.empty()) words.back() &= last_word_mask(record_count);
}

bool any_set(std::span<const uint64_t> words) noexcept {
  for (uint64_t w : words) {
    if (w != 0) return true;
  }
  return false;
}

// One Eq node over all blocks, combined into `out` by `mode`. The widths a data file can
// have (4, 8 and 16) go through the vector kernel; any other width one word at a time.
void eq_blocks(const uint8_t* planes, uint64_t block_stride, size_t trait, uint8_t width,
               uint16_t code, std::span<uint64_t> out, PlaneCombine mode,
               MatchPlanesKernel kernel) noexcept {
  // flip[k] turns plane word k into "the record's bit k equals the code's bit k". Code bits
  // at positions >= width are never looked at.
  uint64_t flip[256];
  for (unsigned k = 0; k < width; ++k) {
    flip[k] = (k < 16 && ((code >> k) & 1u) != 0) ? 0 : ~uint64_t{0};
  }
  const uint8_t* base = planes + trait * width * 8;
  if (width == 4 || width == 8 || width == 16) {
    kernel(base, block_stride, flip, width, mode, out.data(), out.size());
    return;
  }
  for (size_t b = 0; b < out.size(); ++b, base += block_stride) {
    uint64_t acc = ~uint64_t{0};
    for (unsigned k = 0; k < width; ++k) acc &= load_u64(base + 8 * k) ^ flip[k];
    switch (mode) {
      case PlaneCombine::kAssign:
        out[b] = acc;
        break;
      case PlaneCombine::kAnd:
        out[b] &= acc;
        break;
      case PlaneCombine::kOr:
        out[b] |= acc;
        break;
    }
  }
}

class Evaluator {
 public:
  Evaluator(std::span<const uint8_t> planes, uint16_t trait_count, uint8_t bit_width,
            uint64_t blocks, uint64_t record_count) noexcept
      : planes_(planes.data()),
        trait_count_(trait_count),
        bit_width_(bit_width),
        blocks_(blocks),
        record_count_(record_count),
        block_stride_(uint64_t{trait_count} * bit_width * 8),
        kernel_(kernels().match_planes),
        set_kernel_(kernels().match_set) {}

  // Evaluates `expr` and combines its result into `out` (blocks words) by `mode`.
  Expected<void, TraitIndexOutOfRange> eval(const FilterExpr& expr, std::span<uint64_t> out,
                                            PlaneCombine mode) {
    if (const auto* eq = std::get_if<EqNode>(&expr.node)) return eval_eq(*eq, out, mode);
    if (const auto* in = std::get_if<InSetNode>(&expr.node)) return eval_set(*in, out, mode);
    if (mode == PlaneCombine::kAssign) return eval_compound(expr, out);
    CandidateBitmap child(blocks_);
    KORVEL_TRY(eval_compound(expr, child));
    for (size_t b = 0; b < out.size(); ++b) {
      out[b] = mode == PlaneCombine::kAnd ? (out[b] & child[b]) : (out[b] | child[b]);
    }
    return {};
  }

 private:
  Expected<void, TraitIndexOutOfRange> eval_eq(const EqNode& eq, std::span<uint64_t> out,
                                               PlaneCombine mode) {
    if (eq.trait_index >= trait_count_) {
      return unexpected(TraitIndexOutOfRange{eq.trait_index, trait_count_});
    }
    if (bit_width_ < 16 && (eq.code >> bit_width_) != 0) {
      // No stored code is that wide (a sidecar out of step with its data file): match nothing
      // rather than the records whose code equals the value's low bits.
      if (mode != PlaneCombine::kOr) std::fill(out.begin(), out.end(), uint64_t{0});
      return {};
    }
    eq_blocks(planes_, block_stride_, eq.trait_index, bit_width_, eq.code, out, mode, kernel_);
    return {};
  }

  Expected<void, TraitIndexOutOfRange> eval_set(const InSetNode& in, std::span<uint64_t> out,
                                                PlaneCombine mode) {
    if (in.trait_index >= trait_count_) {
      return unexpected(TraitIndexOutOfRange{in.trait_index, trait_count_});
    }
    const uint8_t* base = planes_ + in.trait_index * bit_width_ * 8;
    if (bit_width_ == 4 || bit_width_ == 8 || bit_width_ == 16) {
      // The kernel reads a table entry for every code the width can hold.
      const size_t words = std::max<size_t>(1, (size_t{1} << bit_width_) / 64);
      const uint64_t* member = in.member.data();
      std::vector<uint64_t> padded;
      if (in.member.size() < words) {
        padded.assign(words, 0);
        std::copy(in.member.begin(), in.member.end(), padded.begin());
        member = padded.data();
      }
      set_kernel_(base, block_stride_, bit_width_, member, mode, out.data(), out.size());
      return {};
    }
    // Any other width: one record at a time.
    for (size_t b = 0; b < out.size(); ++b, base += block_stride_) {
      uint64_t match = 0;
      for (unsigned j = 0; j < 64; ++j) {
        uint64_t code = 0;
        for (unsigned k = 0; k < bit_width_; ++k) code |= ((load_u64(base + 8 * k) >> j) & 1) << k;
        if (code / 64 < in.member.size() && ((in.member[code / 64] >> (code % 64)) & 1) != 0) {
          match |= uint64_t{1} << j;
        }
      }
      out[b] = mode == PlaneCombine::kAssign ? match
               : mode == PlaneCombine::kAnd  ? (out[b] & match)
                                             : (out[b] | match);
    }
    return {};
  }

  // And, Or and Not, written over `out`.
  Expected<void, TraitIndexOutOfRange> eval_compound(const FilterExpr& expr,
                                                     std::span<uint64_t> out) {
    if (const auto* node = std::get_if<AndNode>(&expr.node)) {
      if (node->children.empty()) {
        std::fill(out.begin(), out.end(), ~uint64_t{0});
        clear_beyond(out, record_count_);
        return {};
      }
      KORVEL_TRY(eval(node->children.front(), out, PlaneCombine::kAssign));
      for (size_t i = 1; i < node->children.size(); ++i) {
        // Bits beyond the last record count here: an Eq on a code whose low bits are all
        // zero matches those positions, and that keeps the evaluation going.
        if (!any_set(out)) return {};
        KORVEL_TRY(eval(node->children[i], out, PlaneCombine::kAnd));
      }
      return {};
    }
    if (const auto* node = std::get_if<OrNode>(&expr.node)) {
      std::fill(out.begin(), out.end(), uint64_t{0});
      for (const FilterExpr& child : node->children)
        KORVEL_TRY(eval(child, out, PlaneCombine::kOr));
      return {};
    }
    const auto& node = std::get<NotNode>(expr.node);
    KORVEL_CHECK(node.child != nullptr, "Not filter without a child");
    KORVEL_TRY(eval(*node.child, out, PlaneCombine::kAssign));
    for (uint64_t& w : out) w = ~w;
    clear_beyond(out, record_count_);
    return {};
  }

  const uint8_t* planes_;
  uint16_t trait_count_;
  uint8_t bit_width_;
  uint64_t blocks_;
  uint64_t record_count_;
  uint64_t block_stride_;
  MatchPlanesKernel kernel_;
  MatchSetKernel set_kernel_;
};

}  // namespace

bool same_filter(const FilterExpr& a, const FilterExpr& b) noexcept {
  if (a.node.index() != b.node.index()) return false;
  if (const auto* x = std::get_if<EqNode>(&a.node)) {
    const auto& y = std::get<EqNode>(b.node);
    return x->trait_index == y.trait_index && x->code == y.code;
  }
  if (const auto* x = std::get_if<InSetNode>(&a.node)) {
    const auto& y = std::get<InSetNode>(b.node);
    return x->trait_index == y.trait_index && x->member == y.member;
  }
  if (const auto* x = std::get_if<NotNode>(&a.node)) {
    const auto& y = std::get<NotNode>(b.node);
    if (x->child == nullptr || y.child == nullptr) return x->child == y.child;
    return same_filter(*x->child, *y.child);
  }
  const auto& xs = std::holds_alternative<AndNode>(a.node) ? std::get<AndNode>(a.node).children
                                                           : std::get<OrNode>(a.node).children;
  const auto& ys = std::holds_alternative<AndNode>(b.node) ? std::get<AndNode>(b.node).children
                                                           : std::get<OrNode>(b.node).children;
  return std::equal(xs.begin(), xs.end(), ys.begin(), ys.end(),
                    [](const FilterExpr& x, const FilterExpr& y) { return same_filter(x, y); });
}

size_t filter_hash(const FilterExpr& expr) noexcept {
  // Each node mixes its kind, then its fields or children in order.
  auto mix = [](uint64_t h, uint64_t v) {
    h ^= v + 0x9E3779B97F4A7C15u + (h << 6) + (h >> 2);
    return h;
  };
  uint64_t h = mix(0, expr.node.index());
  if (const auto* eq = std::get_if<EqNode>(&expr.node)) {
    return static_cast<size_t>(mix(mix(h, eq->trait_index), eq->code));
  }
  if (const auto* in = std::get_if<InSetNode>(&expr.node)) {
    h = mix(h, in->trait_index);
    for (uint64_t w : in->member) h = mix(h, w);
    return static_cast<size_t>(h);
  }
  if (const auto* n = std::get_if<NotNode>(&expr.node)) {
    return static_cast<size_t>(n->child == nullptr ? h : mix(h, filter_hash(*n->child)));
  }
  const auto& children = std::holds_alternative<AndNode>(expr.node)
                             ? std::get<AndNode>(expr.node).children
                             : std::get<OrNode>(expr.node).children;
  h = mix(h, children.size());
  for (const FilterExpr& c : children) h = mix(h, filter_hash(c));
  return static_cast<size_t>(h);
}

std::string to_string(const TraitIndexOutOfRange& e) {
  return "Trait index " + std::to_string(e.index) + " out of range (valid: 0.." +
         std::to_string(e.trait_count) + ")";
}

Expected<CandidateBitmap, TraitIndexOutOfRange> evaluate_filter(const FilterExpr& expr,
                                                                std::span<const uint8_t> planes,
                                                                uint16_t trait_count,
                                                                uint8_t bit_width, uint64_t blocks,
                                                                uint64_t record_count) {
  KORVEL_CHECK(blocks == (record_count + 63) / 64, "evaluate_filter: block count mismatch");
  const uint64_t block_bytes = uint64_t{trait_count} * bit_width * 8;
  KORVEL_CHECK(block_bytes == 0 || blocks <= planes.size() / block_bytes,
               "evaluate_filter: plane section too short");
  CandidateBitmap result(blocks);
  Evaluator evaluator(planes, trait_count, bit_width, blocks, record_count);
  KORVEL_TRY(evaluator.eval(expr, result, PlaneCombine::kAssign));
  return result;
}

}  // namespace korvel
