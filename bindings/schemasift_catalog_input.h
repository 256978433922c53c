// Catalog dicts read straight from Python objects into MetadataCatalog
// records, without first converting the whole catalog to a JsonValue.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>

#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/prepared.h"

namespace tessarin::py {

// CatalogNormalizer::normalize of a Python catalog dict. Plain dicts, lists,
// tuples, str, int, float, bool and None are read in place (the GIL must be
// held); any other object anywhere sends the whole catalog through the
// JsonValue conversion instead, so both routes give the same records and
// errors. Wrong shapes raise TypeError naming the path; the dict is not
// changed.
schemasift::MetadataCatalog normalize_catalog_object(nanobind::handle catalog,
                                                     const std::optional<std::string>& database);

// A prepared catalog of a Python catalog dict, the same as preparing what
// normalize_catalog_object gives; the tables are indexed on other threads
// while the rest of the dict is read (the GIL must be held).
std::shared_ptr<schemasift::PreparedCatalog> prepare_catalog_object(nanobind::handle catalog);

}  // namespace tessarin::py
