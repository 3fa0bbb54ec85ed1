// Trait schema limits, bit-width modes and TraitDictionary: the per-trait map from value
// strings to small integer codes, handed out in first-seen order. Codes are what the data
// file stores (bit-sliced, see plane_packing.h) and what filters compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "categorical/compile_error.h"
#include "common/expected.h"

namespace korvel {

inline constexpr size_t kMaxTraits = 16;
inline constexpr uint8_t kBuildCodeBits = 8;  // every index made by builder() uses 8-bit codes

// Distinct values a trait may hold at `bits` per code: 4 -> 16, 8 -> 256, anything else -> 65536.
constexpr uint32_t capacity_for_bits(uint8_t bits) noexcept {
  return bits == 4 ? 16u : bits == 8 ? 256u : 65536u;
}

// A valid BitWidthMode in a data file.
constexpr bool is_valid_bit_width(uint8_t bits) noexcept {
  return bits == 4 || bits == 8 || bits == 16;
}

class TraitDictionary {
 public:
  // The code of `value` (exact byte comparison), or nothing.
  std::optional<uint16_t> lookup(std::string_view value) const;

  // The code of `value`, inserting it with the next code (the current size) when new.
  // Known values are returned even when the dictionary is full. A new value when the
  // dictionary already holds capacity_for_bits(bits) entries fails with TraitOverflow
  // {value, size + 1, capacity, bits} and leaves the dictionary unchanged.
  Expected<uint16_t, TraitOverflow> assign_token(std::string_view value, uint8_t bits);

  // Inserts or overwrites `value` -> `code` (used when rebuilding from the sidecar).
  void insert_with_code(std::string value, uint16_t code);

  // All (value, code) pairs sorted by ascending code.
  std::vector<std::pair<std::string, uint16_t>> entries_by_code() const;

  size_t size() const noexcept { return map_.size(); }
  // Entries the map can hold before it must grow (entries present plus remaining room).
  size_t entry_capacity() const noexcept;

  // Visits every (value, code) in the map's own, unspecified order.
  template <class F>
  void for_each(F&& f) const {
    for (const auto& [value, code] : map_) f(value, code);
  }

  bool operator==(const TraitDictionary& other) const { return map_ == other.map_; }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::unordered_map<std::string, uint16_t, Hash, std::equal_to<>> map_;
};

}  // namespace korvel
