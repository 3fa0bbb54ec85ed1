#include "categorical/compile_error.h"

namespace korvel {

std::string to_string(const TraitOverflow& e) {
  return "Trait '" + e.value + "' overflow: " + std::to_string(e.count) +
         " unique values exceeds " + std::to_string(e.capacity) + "-value capacity for " +
         std::to_string(e.bits) + "-bit mode";
}

std::string to_string(const UnknownTraitValue& e) {
  return "Unknown trait value '" + e.value + "' for trait index " + std::to_string(e.trait_index) +
         " at record " + std::to_string(e.record_index) + " (not assigned via assign_token)";
}

std::string to_string(const CompileError& e) {
  return std::visit([](const auto& v) { return to_string(v); }, e);
}

}  // namespace korvel
