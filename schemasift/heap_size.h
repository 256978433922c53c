// Heap bytes held by standard containers, for the nbytes of prepared
// catalogs and their indexes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tessarin::schemasift::internal {

template <class T>
std::size_t vector_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

inline std::size_t string_bytes(const std::string& s) {
  // Short strings live inside the object.
  return s.capacity() > 15 ? s.capacity() + 1 : 0;
}

}  // namespace tessarin::schemasift::internal
