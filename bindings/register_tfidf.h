// Test hook of the native TF-IDF index on tessarin._core.schemasift.
#pragma once

#include <nanobind/nanobind.h>

namespace tessarin::py {

void register_tfidf(nanobind::module_& m);

}  // namespace tessarin::py
