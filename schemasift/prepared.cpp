// Preparing a catalog (at once, or while it is being read), the parts
// computed on first use, and the serialized form.
#include "tessarin/schemasift/prepared.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "tessarin/common/parallel.h"
#include "tessarin/schemasift/catalog_codec.h"
#include "tessarin/schemasift/catalog_text.h"
#include "tessarin/schemasift/heap_size.h"
#include "tessarin/schemasift/lexical_index.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"
#include "tessarin/schemasift/tfidf.h"

namespace tessarin::schemasift {

namespace {

constexpr std::string_view kMagic = "tessarin prepared catalog";
constexpr std::uint64_t kFormatVersion = 3;
constexpr std::size_t kChecksumBytes = 8;
// Measures kept for database names other than the catalog's own.
constexpr std::size_t kKeptMeasures = 4;

using internal::string_bytes;
using internal::vector_bytes;

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
    : catalog_(std::move(catalog)),
      column_count_(column_count_of(catalog_)),
      lazy_(std::make_unique<Lazy>()) {
  // The index and the measure read the catalog independently: two threads.
  std::exception_ptr errors[2];
  parallel::for_each_index(2, 2, [&](std::size_t i) {
    try {
      if (i == 0)
        lexical_ = std::make_unique<internal::LexicalIndex>(catalog_);
      else
        own_measure_ = internal::measure_catalog_text(catalog_, catalog_.database);
    } catch (...) {
      errors[i] = std::current_exception();
    }
  });
  for (const std::exception_ptr& error : errors)
    if (error) std::rethrow_exception(error);
}

PreparedCatalog::PreparedCatalog(MetadataCatalog catalog, CatalogTextMeasure measure,
                                 std::unique_ptr<internal::LexicalIndex> lexical)
    : catalog_(std::move(catalog)),
      column_count_(column_count_of(catalog_)),
      own_measure_(std::move(measure)),
      lexical_(std::move(lexical)),
      lazy_(std::make_unique<Lazy>()) {}

PreparedCatalog::~PreparedCatalog() = default;

// ---- preparing while reading ----

namespace {

// What the reader has published: the number of tables, and whether the
// catalog is complete or the builder is being torn down.
constexpr std::uint64_t kDone = std::uint64_t{1} << 62;
constexpr std::uint64_t kStopped = std::uint64_t{1} << 63;
constexpr std::uint64_t kCountMask = kDone - 1;

}  // namespace

struct PreparedCatalog::Builder::State {
  std::atomic<const TableMeta*> tables{nullptr};
  std::atomic<std::uint64_t> published{0};
  const MetadataCatalog* whole = nullptr;  // set before kDone is published

  std::unique_ptr<internal::LexicalIndex> lexical = std::make_unique<internal::LexicalIndex>();
  internal::CatalogTextBuilder text;
  CatalogTextMeasure measure;
  std::exception_ptr lexical_error;
  std::exception_ptr text_error;
  std::thread lexical_thread;
  std::thread text_thread;

  // Hands each table to per_table as it is published. True once the
  // catalog is complete and every table was handed over; false when stopped.
  template <class PerTable>
  bool consume(PerTable&& per_table) {
    std::size_t seen = 0;
    for (;;) {
      std::uint64_t state = published.load(std::memory_order_acquire);
      if (state & kStopped) return false;
      std::size_t count = static_cast<std::size_t>(state & kCountMask);
      if (seen < count) {
        const TableMeta* at = tables.load(std::memory_order_acquire);
        while (seen < count) per_table(at[seen++]);
        continue;
      }
      if (state & kDone) return true;
      published.wait(state, std::memory_order_acquire);
    }
  }
};

PreparedCatalog::Builder::Builder() : state_(std::make_unique<State>()) {
  State& s = *state_;
  try {
    s.lexical_thread = std::thread([&s] {
      try {
        if (s.consume([&](const TableMeta& table) { s.lexical->add_table(table); }))
          s.lexical->finish();
      } catch (...) {
        s.lexical_error = std::current_exception();
      }
    });
    s.text_thread = std::thread([&s] {
      try {
        if (s.consume([&](const TableMeta& table) { s.text.add_table(table); }))
          s.measure = s.text.finish(*s.whole, s.whole->database);
      } catch (...) {
        s.text_error = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    stop();  // no threads to be had: finish prepares the catalog itself
  }
}

PreparedCatalog::Builder::~Builder() { stop(); }

void PreparedCatalog::Builder::stop() {
  State& s = *state_;
  s.published.fetch_or(kStopped, std::memory_order_acq_rel);
  s.published.notify_all();
  if (s.lexical_thread.joinable()) s.lexical_thread.join();
  if (s.text_thread.joinable()) s.text_thread.join();
}

void PreparedCatalog::Builder::table_added(const TableMeta* tables, std::size_t count) {
  State& s = *state_;
  if (s.published.load(std::memory_order_relaxed) & (kStopped | kDone)) return;
  s.tables.store(tables, std::memory_order_release);
  s.published.store(count, std::memory_order_release);
  // Waking a waiting thread is a system call: tables are handed over in
  // small batches (finish and stop wake them in any case).
  if (count % 8 == 1) s.published.notify_all();
}

void PreparedCatalog::Builder::notify(void* builder, const TableMeta* tables, std::size_t count) {
  static_cast<Builder*>(builder)->table_added(tables, count);
}

std::shared_ptr<PreparedCatalog> PreparedCatalog::Builder::finish(MetadataCatalog catalog) {
  State& s = *state_;
  std::uint64_t state = s.published.load(std::memory_order_relaxed);
  std::size_t count = static_cast<std::size_t>(state & kCountMask);
  bool in_place = count == catalog.tables.size() &&
                  (count == 0 || s.tables.load(std::memory_order_relaxed) == catalog.tables.data());
  if ((state & kStopped) || !in_place) {
    // Not what was handed over (or no threads): prepared from scratch.
    stop();
    return std::make_shared<PreparedCatalog>(std::move(catalog));
  }
  s.whole = &catalog;
  s.published.store(state | kDone, std::memory_order_release);
  s.published.notify_all();
  s.lexical_thread.join();
  s.text_thread.join();
  if (s.lexical_error) std::rethrow_exception(s.lexical_error);
  if (s.text_error) std::rethrow_exception(s.text_error);
  return std::shared_ptr<PreparedCatalog>(
      new PreparedCatalog(std::move(catalog), std::move(s.measure), std::move(s.lexical)));
}

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
  if (!lazy_->tfidf) lazy_->tfidf = kept_tfidf_matrix(fit(document_texts()));
  return lazy_->tfidf;
}

std::shared_ptr<const EmbeddingMatrix> PreparedCatalog::embeddings(
    const std::string& model, const std::shared_ptr<SentenceEncoder>& encoder,
    const Encode& encode) const {
  std::lock_guard lock(lazy_->embeddings_mutex);
  auto& held = lazy_->embeddings;
  auto entry =
      std::find_if(held.begin(), held.end(), [&](const auto& e) { return e.model == model; });
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
  auto entry =
      std::find_if(held.begin(), held.end(), [&](const auto& e) { return e.model == model; });
  if (entry == held.end()) entry = held.insert(held.end(), {model, {}, false, nullptr});
  *entry = {model, {}, false, std::move(embeddings)};
}

// ---- serialized form ----

// Magic, format version, then a checksum of the rest: the measure, the
// records and the lexical index.
std::string PreparedCatalog::serialize() const {
  codec::Writer out;
  out.text(kMagic);
  out.u64(kFormatVersion);
  std::size_t checksum_at = out.data().size();
  out.data().append(kChecksumBytes, '\0');
  out.text(own_measure_.hash);
  out.i64(own_measure_.chars);
  out.catalog(catalog_);
  lexical_->write(out);
  std::string& data = out.data();
  std::uint64_t sum = codec::checksum(std::string_view(data).substr(checksum_at + kChecksumBytes));
  for (std::size_t b = 0; b < kChecksumBytes; ++b)
    data[checksum_at + b] = static_cast<char>((sum >> (8 * b)) & 0xFF);
  return std::move(data);
}

std::shared_ptr<PreparedCatalog> PreparedCatalog::deserialize(std::string_view data) {
  codec::Reader head(data);
  if (head.text() != kMagic)
    throw std::invalid_argument("not a prepared catalog written by tessarin");
  std::uint64_t version = head.u64();
  if (version != kFormatVersion)
    throw std::invalid_argument("prepared catalog written in format " + std::to_string(version) +
                                "; this tessarin reads format " + std::to_string(kFormatVersion));
  std::size_t at = data.size() - head.remaining();
  if (data.size() - at < kChecksumBytes) codec::Reader::corrupt();
  std::uint64_t sum = 0;
  for (std::size_t b = 0; b < kChecksumBytes; ++b)
    sum |= std::uint64_t{static_cast<unsigned char>(data[at + b])} << (8 * b);
  std::string_view body = data.substr(at + kChecksumBytes);

  // The checksum and the lexical index are worked out beside the tables.
  // Damaged data is only known for damaged once the checksum is, so any
  // error found before then is reported as damage when the sums differ.
  bool intact = false;
  auto verify = [&] { intact = codec::checksum(body) == sum; };
  codec::Reader in(body);
  CatalogTextMeasure measure;
  std::unique_ptr<internal::LexicalIndex> lexical;
  MetadataCatalog catalog;
  try {
    measure.hash = in.text();
    measure.chars = in.i64();
    if (measure.hash.empty() || measure.chars < 0) codec::Reader::corrupt();
    codec::CatalogFrame frame = in.catalog_frame();
    std::size_t tables = frame.table_count;
    auto read_lexical = [&] {
      lexical = std::make_unique<internal::LexicalIndex>(in, tables);
      if (!in.at_end()) codec::Reader::corrupt();
    };
    catalog = codec::decode_frame(std::move(frame), {verify, read_lexical});
    lexical->attach(catalog);
  } catch (...) {
    if (!intact) verify();
    if (!intact) codec::Reader::corrupt();
    throw;
  }
  if (!intact) codec::Reader::corrupt();
  auto prepared = std::shared_ptr<PreparedCatalog>(
      new PreparedCatalog(std::move(catalog), std::move(measure), std::move(lexical)));
  return prepared;
}

}  // namespace tessarin::schemasift
