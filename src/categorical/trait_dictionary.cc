#include "categorical/trait_dictionary.h"

#include <algorithm>
#include <cmath>

namespace korvel {

std::optional<uint16_t> TraitDictionary::lookup(std::string_view value) const {
  auto it = map_.find(value);
  if (it == map_.end()) return std::nullopt;
  return it->second;
}

Expected<uint16_t, TraitOverflow> TraitDictionary::assign_token(std::string_view value,
                                                                uint8_t bits) {
  if (auto code = lookup(value)) return *code;
  const size_t n = map_.size();
  const uint32_t capacity = capacity_for_bits(bits);
  if (n >= capacity) {
    return unexpected(TraitOverflow{std::string(value), uint64_t{n} + 1, capacity, bits});
  }
  // n < capacity <= 65536, so the code fits 16 bits.
  const auto code = static_cast<uint16_t>(n);
  map_.emplace(std::string(value), code);
  return code;
}

void TraitDictionary::insert_with_code(std::string value, uint16_t code) {
  map_.insert_or_assign(std::move(value), code);
}

std::vector<std::pair<std::string, uint16_t>> TraitDictionary::entries_by_code() const {
  std::vector<std::pair<std::string, uint16_t>> entries(map_.begin(), map_.end());
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  return entries;
}

size_t TraitDictionary::entry_capacity() const noexcept {
  // The map rehashes once size exceeds bucket_count * max_load_factor.
  const double room = std::floor(static_cast<double>(map_.bucket_count()) *
                                 static_cast<double>(map_.max_load_factor()));
  return std::max(map_.size(), static_cast<size_t>(room));
}

}  // namespace korvel
