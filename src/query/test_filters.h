// Test helpers: short constructors for filter trees (eq, not_, and_, or_).
#pragma once

#include <memory>
#include <utility>

#include "query/filter.h"

namespace korvel::testing_filters {

inline FilterExpr eq(size_t t, uint16_t c) { return FilterExpr{EqNode{t, c}}; }
inline FilterExpr not_(FilterExpr e) {
  return FilterExpr{NotNode{std::make_unique<FilterExpr>(std::move(e))}};
}
template <class... E>
FilterExpr and_(E... e) {
  AndNode node;
  (node.children.push_back(std::move(e)), ...);
  return FilterExpr{std::move(node)};
}
template <class... E>
FilterExpr or_(E... e) {
  OrNode node;
  (node.children.push_back(std::move(e)), ...);
  return FilterExpr{std::move(node)};
}

}  // namespace korvel::testing_filters
