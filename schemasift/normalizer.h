// Converts a catalog given as a JSON-like map, in any of its accepted
// shapes, into a MetadataCatalog. The input is never changed, and a
// malformed shape fails as a whole with CatalogShapeError.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/schemasift/catalog.h"

namespace tessarin::schemasift {

// A catalog value of the wrong shape; the message names its path, e.g.
// catalog["tables"][3] must be a map, got str. The bindings raise TypeError.
class CatalogShapeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

class CatalogNormalizer {
 public:
  // `database`, when non-empty, wins over the catalog's own name keys.
  static MetadataCatalog normalize(const JsonMap& catalog,
                                   const std::optional<std::string>& database = std::nullopt);
  // Any value: a non-map catalog raises CatalogShapeError.
  static MetadataCatalog normalize(const JsonValue& catalog,
                                   const std::optional<std::string>& database = std::nullopt);

  // The ColumnRole of one raw column map.
  static std::string _infer_role(const JsonMap& raw_col);

  // Relationships listed under "relationships" (or else "joins") of a
  // catalog or raw table map.
  static std::vector<RelationshipMeta> _normalize_relationships(const JsonMap& obj);
};

}  // namespace tessarin::schemasift
