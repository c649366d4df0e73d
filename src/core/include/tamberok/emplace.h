// Appends an aggregate built from every member in place. g++ builds an
// aggregate from emplace_back's parenthesised list; clang before 16 (the fuzz
// build) cannot, and there a temporary is built and moved instead.
#pragma once

#include <utility>
#include <vector>

namespace tamberok {

template <typename T, typename... Members>
T& emplace_aggregate(std::vector<T>& items, Members&&... members) {
#if defined(__cpp_aggregate_paren_init)
  return items.emplace_back(std::forward<Members>(members)...);
#else
  return items.emplace_back(T{std::forward<Members>(members)...});
#endif
}

}  // namespace tamberok
