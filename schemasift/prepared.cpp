// Preparing a catalog, the parts computed on first use, and the serialized
// form.
#include "tessarin/schemasift/prepared.h"

#include <algorithm>
#include <mutex>
#include <exception>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tessarin/schemasift/catalog_codec.h"
#include "tessarin/schemasift/lexical_index.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"

namespace tessarin::schemasift {

namespace {

constexpr std::string_view kMagic = "tessarin prepared catalog";
constexpr std::uint64_t kFormatVersion = 1;
// Measures kept for database names other than the catalog's own.
constexpr std::size_t kKeptMeasures = 4;

template <class T>
std::size_t vector_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

std::size_t string_bytes(const std::string& s) {
  // Short strings live inside the object.
  return s.capacity() > 15 ? s.capacity() + 1 : 0;
}

std::size_t value_bytes(const JsonValue& v);

std::size_t map_bytes(const JsonMap& m) {
  std::size_t bytes = m.items().capacity() * sizeof(JsonMap::value_type);
  for (const auto& [key, item] : m) bytes += string_bytes(key) + value_bytes(item);
  return bytes;
}

std::size_t value_bytes(const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::String:
      return string_bytes(v.as_string());
    case JsonValue::Kind::List: {
      std::size_t bytes = vector_bytes(v.as_list());
      for (const JsonValue& item : v.as_list()) bytes += value_bytes(item);
      return bytes;
    }
    case JsonValue::Kind::Map:
      return map_bytes(v.as_map());
    case JsonValue::Kind::Opaque:
      return string_bytes(v.as_opaque().display);
    default:
      return 0;
  }
}

std::size_t strings_bytes(const std::vector<std::string>& items) {
  std::size_t bytes = vector_bytes(items);
  for (const std::string& s : items) bytes += string_bytes(s);
  return bytes;
}

std::size_t catalog_bytes(const MetadataCatalog& c) {
  std::size_t bytes = string_bytes(c.database) + vector_bytes(c.tables) +
                      vector_bytes(c.relationships) + map_bytes(c.extra);
  for (const TableMeta& t : c.tables) {
    bytes += string_bytes(t.table_name) + string_bytes(t.business_name) +
             string_bytes(t.description) + strings_bytes(t.tags) + vector_bytes(t.columns) +
             map_bytes(t.extra);
    if (t.default_date_column) bytes += string_bytes(*t.default_date_column);
    if (t.default_metric_column) bytes += string_bytes(*t.default_metric_column);
    for (const ColumnMeta& col : t.columns) {
      bytes += string_bytes(col.name) + string_bytes(col.type) + string_bytes(col.description) +
               strings_bytes(col.synonyms) + string_bytes(col.role) + strings_bytes(col.tags) +
               vector_bytes(col.sample_values) + map_bytes(col.extra);
      for (const JsonValue& v : col.sample_values) bytes += value_bytes(v);
    }
  }
  for (const RelationshipMeta& r : c.relationships)
    bytes += string_bytes(r.from_table) + string_bytes(r.from_column) + string_bytes(r.to_table) +
             string_bytes(r.to_column) + string_bytes(r.relationship_type) +
             string_bytes(r.description) + map_bytes(r.extra);
  return bytes;
}

std::size_t column_count_of(const MetadataCatalog& c) {
  std::size_t n = 0;
  for (const TableMeta& t : c.tables) n += t.columns.size();
  return n;
}

}  // namespace

// Parts computed on first use, each behind its own lock so that a long
// encoding does not hold back the others.
struct PreparedCatalog::Lazy {
  std::mutex documents_mutex;
  std::unique_ptr<const Documents> documents;

  std::mutex tfidf_mutex;
  std::shared_ptr<const TfidfMatrix> tfidf;

  struct Embeddings {
    std::string model;
    std::weak_ptr<SentenceEncoder> encoder;  // empty: not yet bound to one
    bool bound = false;
    std::shared_ptr<const EmbeddingMatrix> matrix;
  };
  mutable std::mutex embeddings_mutex;
  std::vector<Embeddings> embeddings;

  std::mutex measures_mutex;
  std::vector<std::pair<std::string, CatalogTextMeasure>> measures;  // most recent first
};

PreparedCatalog::PreparedCatalog(MetadataCatalog catalog)
    : PreparedCatalog(std::move(catalog), CatalogTextMeasure{}) {}

PreparedCatalog::PreparedCatalog(MetadataCatalog catalog, CatalogTextMeasure measure)
    : catalog_(std::move(catalog)),
      column_count_(column_count_of(catalog_)),
      own_measure_(std::move(measure)),
      lazy_(std::make_unique<Lazy>()) {
  if (!own_measure_.hash.empty()) {
    lexical_ = std::make_unique<internal::LexicalIndex>(catalog_);
    return;
  }
  // The measure and the index read the catalog independently: two threads.
  std::exception_ptr measure_error;
  std::thread measuring([&] {
    try {
      own_measure_ = internal::measure_catalog_text(catalog_, catalog_.database);
    } catch (...) {
      measure_error = std::current_exception();
    }
  });
  try {
    lexical_ = std::make_unique<internal::LexicalIndex>(catalog_);
  } catch (...) {
    measuring.join();
    throw;
  }
  measuring.join();
  if (measure_error) std::rethrow_exception(measure_error);
}

PreparedCatalog::~PreparedCatalog() = default;

std::size_t PreparedCatalog::nbytes() const {
  std::size_t bytes = sizeof(*this) + catalog_bytes(catalog_) + lexical_->nbytes();
  {
    std::lock_guard lock(lazy_->documents_mutex);
    if (const Documents* d = lazy_->documents.get())
      bytes += vector_bytes(d->table_rows) + vector_bytes(d->column_rows) +
               vector_bytes(d->first_column);
  }
  std::lock_guard lock(lazy_->tfidf_mutex);
  if (lazy_->tfidf) bytes += lazy_->tfidf->nbytes();
  return bytes;
}

CatalogTextMeasure PreparedCatalog::measure(std::string_view database) const {
  if (database == catalog_.database) return own_measure_;
  {
    std::lock_guard lock(lazy_->measures_mutex);
    auto& kept = lazy_->measures;
    for (auto it = kept.begin(); it != kept.end(); ++it) {
      if (it->first != database) continue;
      std::rotate(kept.begin(), it, it + 1);
      return kept.front().second;
    }
  }
  CatalogTextMeasure measure = internal::measure_catalog_text(catalog_, database);
  std::lock_guard lock(lazy_->measures_mutex);
  auto& kept = lazy_->measures;
  kept.insert(kept.begin(), {std::string(database), measure});
  if (kept.size() > kKeptMeasures) kept.pop_back();
  return measure;
}

DocTexts PreparedCatalog::document_texts() const { return Schemasift::_build_doc_texts(catalog_); }

const PreparedCatalog::Documents& PreparedCatalog::documents() const {
  std::lock_guard lock(lazy_->documents_mutex);
  if (!lazy_->documents) {
    DocTexts docs = document_texts();
    auto d = std::make_unique<Documents>();
    d->count = docs.size();
    std::string id;
    d->table_rows.reserve(catalog_.tables.size());
    d->column_rows.reserve(column_count_);
    d->first_column.reserve(catalog_.tables.size() + 1);
    for (const TableMeta& table : catalog_.tables) {
      d->first_column.push_back(d->column_rows.size());
      id.assign(internal::kTableDocPrefix);
      id += table.table_name;
      d->table_rows.push_back(static_cast<std::uint32_t>(docs.position(id)));
      for (const ColumnMeta& col : table.columns) {
        id.assign(internal::kColumnDocPrefix);
        id += table.table_name;
        id += '.';
        id += col.name;
        d->column_rows.push_back(static_cast<std::uint32_t>(docs.position(id)));
      }
    }
    d->first_column.push_back(d->column_rows.size());
    lazy_->documents = std::move(d);
  }
  return *lazy_->documents;
}

std::shared_ptr<const TfidfMatrix> PreparedCatalog::tfidf(const TfidfFit& fit) const {
  std::lock_guard lock(lazy_->tfidf_mutex);
  if (!lazy_->tfidf) lazy_->tfidf = fit(document_texts());
  return lazy_->tfidf;
}

std::shared_ptr<const EmbeddingMatrix> PreparedCatalog::embeddings(
    const std::string& model, const std::shared_ptr<SentenceEncoder>& encoder,
    const Encode& encode) const {
  std::lock_guard lock(lazy_->embeddings_mutex);
  auto& held = lazy_->embeddings;
  auto entry = std::find_if(held.begin(), held.end(), [&](const auto& e) { return e.model == model; });
  if (entry != held.end()) {
    if (!entry->bound) {
      entry->encoder = encoder;
      entry->bound = true;
    }
    if (entry->encoder.lock() == encoder) return entry->matrix;
  }
  std::shared_ptr<const EmbeddingMatrix> matrix = encode(document_texts());
  if (!matrix) return matrix;
  if (entry == held.end()) entry = held.insert(held.end(), {model, {}, false, nullptr});
  *entry = {model, encoder, true, matrix};
  return matrix;
}

std::vector<std::pair<std::string, std::shared_ptr<const EmbeddingMatrix>>>
PreparedCatalog::embeddings_held() const {
  std::lock_guard lock(lazy_->embeddings_mutex);
  std::vector<std::pair<std::string, std::shared_ptr<const EmbeddingMatrix>>> out;
  for (const auto& e : lazy_->embeddings) out.emplace_back(e.model, e.matrix);
  return out;
}

void PreparedCatalog::put_embeddings(const std::string& model,
                                     std::shared_ptr<const EmbeddingMatrix> embeddings) const {
  std::lock_guard lock(lazy_->embeddings_mutex);
  auto& held = lazy_->embeddings;
  auto entry = std::find_if(held.begin(), held.end(), [&](const auto& e) { return e.model == model; });
  if (entry == held.end()) entry = held.insert(held.end(), {model, {}, false, nullptr});
  *entry = {model, {}, false, std::move(embeddings)};
}

// ---- serialized form ----

std::string PreparedCatalog::serialize() const {
  codec::Writer out;
  out.text(kMagic);
  out.u64(kFormatVersion);
  out.text(own_measure_.hash);
  out.i64(own_measure_.chars);
  out.catalog(catalog_);
  return std::move(out.data());
}

std::shared_ptr<PreparedCatalog> PreparedCatalog::deserialize(std::string_view data) {
  codec::Reader in(data);
  if (in.text() != kMagic)
    throw std::invalid_argument("not a prepared catalog written by tessarin");
  std::uint64_t version = in.u64();
  if (version != kFormatVersion)
    throw std::invalid_argument("prepared catalog written in format " + std::to_string(version) +
                                "; this tessarin reads format " + std::to_string(kFormatVersion));
  CatalogTextMeasure measure;
  measure.hash = in.text();
  measure.chars = in.i64();
  MetadataCatalog catalog = in.catalog();
  if (!in.at_end() || measure.hash.empty())
    throw std::invalid_argument("prepared catalog data is damaged or was not written by tessarin");
  return std::shared_ptr<PreparedCatalog>(
      new PreparedCatalog(std::move(catalog), std::move(measure)));
}

}  // namespace tessarin::schemasift
