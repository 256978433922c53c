// Join-path completion: the bridge tables that connect chosen tables along
// a catalog's relationships, so that the chosen tables can be joined.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tessarin/schemasift/catalog.h"

namespace tessarin::schemasift::internal {

// A table added to connect two chosen ones, by position in catalog.tables.
struct BridgeTable {
  std::size_t position = 0;
  std::string reason;  // "bridge table between a and b"

  friend bool operator==(const BridgeTable&, const BridgeTable&) = default;
};

// Neighbours of every table, by position, along the relationships taken
// both ways, in relationship order. The first table of a name stands for
// it; relationships naming a table outside the catalog are left out.
std::vector<std::vector<std::size_t>> table_neighbours(const MetadataCatalog& catalog);

// The tables to add so that each chosen table (positions into
// catalog.tables, in chosen order) joins the ones chosen before it through
// at most `max_path_length` relationships, when such a path exists. Paths
// are shortest paths over the relationships taken both ways, ties broken
// by catalog order; only tables of the catalog are crossed (a relationship
// naming a table that is not in it leads nowhere). A chosen table that no
// short path reaches is left as it is. Bridges come in the order found,
// each once, none of them chosen.
std::vector<BridgeTable> bridge_tables(const MetadataCatalog& catalog,
                                       const std::vector<std::size_t>& chosen,
                                       std::size_t max_path_length);

}  // namespace tessarin::schemasift::internal
