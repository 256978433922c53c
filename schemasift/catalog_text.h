// The catalog's measuring text written table by table while the catalog is
// still being read, then measured once the rest of it is known.
#pragma once

#include <memory>
#include <string_view>

#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/prepared.h"

namespace tessarin::schemasift::internal {

// Gives what measure_catalog_text gives for the catalog the tables end up
// in, when add_table is called for each of its tables, in order, before
// finish.
class CatalogTextBuilder {
 public:
  // Not copyable: it owns its tables' text.
  CatalogTextBuilder();
  ~CatalogTextBuilder();

  void add_table(const TableMeta& table);
  // The measure, given the whole catalog (its tables are not read again).
  CatalogTextMeasure finish(const MetadataCatalog& catalog, std::string_view database);

 private:
  struct Tables;
  std::unique_ptr<Tables> tables_;
};

}  // namespace tessarin::schemasift::internal
