// CompileError: failures of turning trait values into codes. TraitOverflow arises while
// records are added; UnknownTraitValue is compilation's consistency check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

namespace korvel {

struct TraitOverflow {
  std::string value;  // the value being added, not the trait name
  uint64_t count;     // entries the dictionary would hold with it
  uint32_t capacity;
  uint8_t bits;
};

struct UnknownTraitValue {
  std::string value;
  size_t trait_index;
  uint64_t record_index;
};

using CompileError = std::variant<TraitOverflow, UnknownTraitValue>;

std::string to_string(const TraitOverflow& e);
std::string to_string(const UnknownTraitValue& e);
std::string to_string(const CompileError& e);

}  // namespace korvel
