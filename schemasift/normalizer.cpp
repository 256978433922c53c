// The catalog normalizer over JsonValue catalogs.
#include "tessarin/schemasift/normalizer.h"

#include <deque>

#include "tessarin/common/display.h"
#include "tessarin/schemasift/normalizer_core.h"

namespace tessarin::schemasift {

namespace {

struct JsonSource {
  using Value = const JsonValue*;
  using Map = const JsonMap*;

  // Keys of map-shaped containers, held as values; a deque keeps them in place.
  struct KeyStore {
    std::deque<JsonValue> keys;
    Value hold(std::string_view key, Value) { return &keys.emplace_back(std::string(key)); }
  };

  static bool missing(Value v) { return v == nullptr; }
  static bool is_null(Value v) { return v->is_null(); }
  static bool is_empty(Value v) { return v->is_empty(); }
  static bool is_list(Value v) { return v->is_list(); }
  static bool is_map(Value v) { return v->is_map(); }
  static bool is_empty_string(Value v) { return v->is_string() && v->as_string().empty(); }
  static Map as_map(Value v) { return &v->as_map(); }
  static std::size_t list_size(Value v) { return v->as_list().size(); }
  static Value list_item(Value v, std::size_t i) { return &v->as_list()[i]; }
  template <class F>
  static void for_each(Map m, F&& f) {
    for (const auto& [key, value] : *m) f(std::string_view(key), nullptr, &value);
  }
  static Value find(Map m, std::string_view key) { return m->find(key); }
  static std::string text(Value v) { return v->is_string() ? v->as_string() : display_text(*v); }
  static JsonValue json(Value v) { return *v; }
  static std::string kind_name(Value v) { return python_kind_name(*v); }
  static std::string_view key_text(Value v) { return v->as_string(); }
};

using JsonNormalizer = normalizer_core::Normalizer<JsonSource>;

}  // namespace

MetadataCatalog CatalogNormalizer::normalize(const JsonMap& catalog,
                                             const std::optional<std::string>& database) {
  return JsonNormalizer().normalize(&catalog, database);
}

MetadataCatalog CatalogNormalizer::normalize(const JsonValue& catalog,
                                             const std::optional<std::string>& database) {
  if (!catalog.is_map()) {
    std::string message = "catalog must be a map, got ";
    message += python_kind_name(catalog);
    throw CatalogShapeError(message);
  }
  return normalize(catalog.as_map(), database);
}

std::string CatalogNormalizer::_infer_role(const JsonMap& raw_col) {
  return JsonNormalizer().infer_role(&raw_col);
}

std::vector<RelationshipMeta> CatalogNormalizer::_normalize_relationships(const JsonMap& obj) {
  return JsonNormalizer().relationships(&obj);
}

}  // namespace tessarin::schemasift
