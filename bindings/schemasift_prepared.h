// The Python handle of a prepared catalog, shared by the selector bindings.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

#include "tessarin/schemasift/prepared.h"

namespace tessarin::py {

// What tessarin.schemasift.PreparedCatalog wraps: an immutable snapshot,
// shared with every selection that runs on it.
struct PreparedHandle {
  std::shared_ptr<const schemasift::PreparedCatalog> core;
};

// The snapshot of a PreparedCatalog object, or nullptr for any other object.
std::shared_ptr<const schemasift::PreparedCatalog> prepared_of(nanobind::handle catalog);

// A prepared catalog from a catalog dict, a MetadataCatalog (copied) or a
// PreparedCatalog (shared). Raises TypeError for anything else, and as a
// selection would for a malformed catalog.
std::shared_ptr<const schemasift::PreparedCatalog> prepare(nanobind::handle catalog);

void register_prepared_catalog(nanobind::module_& m);

}  // namespace tessarin::py
