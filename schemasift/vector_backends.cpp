// The scoring documents, the two optional vector backends and the blend of
// their similarities with the lexical score.
#include "tessarin/schemasift/vector_backends.h"

#include <cctype>

#include "tessarin/schemasift/document_cache.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"
#include "tessarin/schemasift/tfidf.h"

namespace tessarin::schemasift {

namespace {

// Fitted indexes of the last few distinct document lists (one per catalog
// a service serves, typically).
constexpr std::size_t kCachedTfidfIndexes = 4;

DocumentCache<TfidfMatrix>& fitted_tfidf_cache() {
  static DocumentCache<TfidfMatrix> cache(kCachedTfidfIndexes);
  return cache;
}

// The native index, fitted once per distinct document list: fitting is
// deterministic, so a cached index is the one a new fit would give.
class CachedNativeTfidfVectorizer final : public TfidfVectorizer {
 public:
  std::shared_ptr<const TfidfMatrix> fit_transform(
      const std::vector<std::string_view>& texts) override {
    return fitted_tfidf_cache().find_or_make(texts, [&] { return native_.fit_transform(texts); });
  }
  std::vector<double> cosine_similarity(const TfidfMatrix& matrix,
                                        std::string_view question) const override {
    return native_.cosine_similarity(matrix, question);
  }

 private:
  NativeTfidfVectorizer native_;
};

std::shared_ptr<TfidfVectorizer> make_cached_native_tfidf_vectorizer() {
  return std::make_shared<CachedNativeTfidfVectorizer>();
}

// The native index is the TF-IDF facility unless a caller installs another.
TfidfVectorizerFactory& tfidf_factory() {
  static TfidfVectorizerFactory factory = make_cached_native_tfidf_vectorizer;
  return factory;
}

SentenceEncoderLoader& encoder_loader() {
  static SentenceEncoderLoader loader;
  return loader;
}

// The texts of the documents, their ids into ids, both in map order.
std::vector<std::string_view> split_docs(const DocTexts& docs, std::vector<std::string>& ids) {
  ids.clear();
  ids.reserve(docs.size());
  std::vector<std::string_view> texts;
  texts.reserve(docs.size());
  for (const auto& [id, text] : docs) {
    ids.push_back(id);
    texts.push_back(text);
  }
  return texts;
}

// The texts of the documents, in map order.
std::vector<std::string_view> texts_of(const DocTexts& docs) {
  std::vector<std::string_view> texts;
  texts.reserve(docs.size());
  for (const auto& [id, text] : docs) texts.push_back(text);
  return texts;
}

// A facility's similarities by document row; none when it fails, as the
// backends' score() gives none.
template <class Score>
internal::Similarities similarities_or_none(Score&& score,
                                            const PreparedCatalog::Documents& documents) {
  try {
    return internal::Similarities(score(), documents);
  } catch (const FacilityInterrupted&) {
    throw;
  } catch (...) {
    return {};
  }
}

bool is_strategy(std::string_view strategy, std::string_view a, std::string_view b) {
  return strategy == a || strategy == b;
}

// Words of an identifier for a sentence encoder: "OrderDate" and
// "order_date" both read "order date", and "ID" stays one word.
std::string identifier_words(std::string_view name) {
  std::string out;
  char previous = ' ';
  for (char c : name) {
    bool alnum = std::isalnum(static_cast<unsigned char>(c)) != 0;
    bool boundary = alnum && std::isupper(static_cast<unsigned char>(c)) &&
                    (std::islower(static_cast<unsigned char>(previous)) ||
                     std::isdigit(static_cast<unsigned char>(previous)));
    if (!alnum && (c & 0x80) == 0) {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else {
      if (boundary && !out.empty() && out.back() != ' ') out.push_back(' ');
      out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    previous = c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string table_label(const TableMeta& table) {
  return table.business_name.empty() ? identifier_words(table.table_name) : table.business_name;
}

void append_description(std::string& out, const std::string& description) {
  if (description.empty()) return;
  out += ". ";
  out += description;
}

// Key under which a prepared catalog keeps a model's embeddings of the
// recall documents, beside those of the scoring documents.
constexpr std::string_view kRecallDocumentsKey = "\x1frecall documents";

}  // namespace

void set_tfidf_vectorizer_factory(TfidfVectorizerFactory factory) {
  tfidf_factory() = std::move(factory);
}

void restore_native_tfidf_vectorizer() { tfidf_factory() = make_cached_native_tfidf_vectorizer; }

void clear_tfidf_cache() { fitted_tfidf_cache().clear(); }

void set_sentence_encoder_loader(SentenceEncoderLoader loader) {
  encoder_loader() = std::move(loader);
}

DocScores pair_scores(const std::vector<std::string>& doc_ids, const std::vector<double>& scores) {
  DocScores out;
  std::size_t n = std::min(doc_ids.size(), scores.size());
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.set(doc_ids[i], scores[i]);
  return out;
}

namespace {

// Runs load(): a facility that cannot be loaded (any error but an interrupt)
// is simply not there.
template <class Load>
bool loaded(Load&& load) {
  try {
    return load();
  } catch (const FacilityInterrupted&) {
    throw;
  } catch (...) {
    return false;
  }
}

// The facility's similarities paired with the ids; none when it fails.
template <class Similarities>
DocScores scores_or_none(const std::vector<std::string>& doc_ids, Similarities&& similarities) {
  try {
    return pair_scores(doc_ids, similarities());
  } catch (const FacilityInterrupted&) {
    throw;
  } catch (...) {
    return {};
  }
}

}  // namespace

// ---- TF-IDF ----

OptionalTfidfBackend::OptionalTfidfBackend() {
  available = loaded([&] {
    if (tfidf_factory()) vectorizer = tfidf_factory()();
    return vectorizer != nullptr;
  });
  if (!available) vectorizer.reset();
}

void OptionalTfidfBackend::build(const DocTexts& doc_text_by_id) {
  if (!available || !vectorizer) return;
  matrix = vectorizer->fit_transform(split_docs(doc_text_by_id, doc_ids));
}

DocScores OptionalTfidfBackend::score(std::string_view question) const {
  if (!available || !vectorizer || !matrix) return {};
  return scores_or_none(doc_ids, [&] { return vectorizer->cosine_similarity(*matrix, question); });
}

// ---- sentence embeddings ----

OptionalEmbeddingBackend::OptionalEmbeddingBackend(std::optional<std::string> model_name_or_path)
    : model_name_or_path(std::move(model_name_or_path)) {
  const auto& name = this->model_name_or_path;
  if (!name || name->empty()) return;
  available = loaded([&] {
    if (encoder_loader()) model = encoder_loader()(*name);
    return model != nullptr;
  });
  if (!available) model.reset();
}

void OptionalEmbeddingBackend::build(const DocTexts& doc_text_by_id) {
  if (!available || !model) return;
  embeddings = model->encode(split_docs(doc_text_by_id, doc_ids));
}

DocScores OptionalEmbeddingBackend::score(std::string_view question) const {
  if (!available || !model || !embeddings) return {};
  return scores_or_none(doc_ids, [&] { return model->similarities(*embeddings, question); });
}

// ---- similarities by table and column ----

namespace internal {

Similarities::Similarities(std::vector<double> by_row, const PreparedCatalog::Documents& documents)
    : by_row_(std::move(by_row)), documents_(&documents) {
  if (by_row_.size() > documents.count) by_row_.resize(documents.count);
}

double Similarities::table(std::size_t position, const TableMeta& table) const {
  if (empty()) return 0.0;
  if (documents_) return row(documents_->table_rows[position]);
  id_.assign(kTableDocPrefix);
  id_ += table.table_name;
  const double* found = by_id_->find(id_);
  return found ? *found : 0.0;
}

double Similarities::column(std::size_t table_position, std::size_t column, const TableMeta& table,
                            const ColumnMeta& col) const {
  if (empty()) return 0.0;
  if (documents_)
    return row(documents_->column_rows[documents_->first_column[table_position] + column]);
  id_.assign(kColumnDocPrefix);
  id_ += table.table_name;
  id_ += '.';
  id_ += col.name;
  const double* found = by_id_->find(id_);
  return found ? *found : 0.0;
}

}  // namespace internal

// ---- selector steps ----

DocTexts Schemasift::_build_doc_texts(const MetadataCatalog& catalog) {
  DocTexts docs;
  std::size_t n = catalog.tables.size();
  for (const TableMeta& table : catalog.tables) n += table.columns.size();
  docs.reserve(n);
  std::string id;
  for (const TableMeta& table : catalog.tables) {
    id.assign(internal::kTableDocPrefix);
    id += table.table_name;
    docs.set(id, table.searchable_text());
    for (const ColumnMeta& col : table.columns) {
      id.assign(internal::kColumnDocPrefix);
      id += table.table_name;
      id += '.';
      id += col.name;
      docs.set(id, col.searchable_text(table.table_name, table.business_name));
    }
  }
  return docs;
}

// Short sentences that a sentence encoder reads well, under the ids and in
// the order of _build_doc_texts: "<table>: <column>, <column>, ..." and
// "<column> of <table>", descriptions after them. The labelled scoring
// documents carry many empty labels and raw identifiers, which blur a
// model's similarities on large catalogs.
DocTexts recall_document_texts(const MetadataCatalog& catalog) {
  DocTexts docs;
  std::string id;
  for (const TableMeta& table : catalog.tables) {
    std::string label = table_label(table);
    std::string text = label + ":";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      text += i ? ", " : " ";
      text += identifier_words(table.columns[i].name);
    }
    append_description(text, table.description);
    id.assign(internal::kTableDocPrefix);
    id += table.table_name;
    docs.set(id, std::move(text));
    for (const ColumnMeta& col : table.columns) {
      std::string column = identifier_words(col.name) + " of " + label;
      append_description(column, col.description);
      id.assign(internal::kColumnDocPrefix);
      id += table.table_name;
      id += '.';
      id += col.name;
      docs.set(id, std::move(column));
    }
  }
  return docs;
}

bool Schemasift::tfidf_wanted() const {
  return is_strategy(config.strategy, Strategy::TFIDF, Strategy::HYBRID) &&
         config.use_tfidf_if_available && static_cast<bool>(tfidf_factory());
}

bool Schemasift::embedding_wanted() const {
  const auto& name = config.embedding_model_name_or_path;
  return is_strategy(config.strategy, Strategy::EMBEDDING, Strategy::HYBRID) &&
         config.use_embeddings_if_available && name && !name->empty() &&
         static_cast<bool>(encoder_loader());
}

DocScores Schemasift::_get_tfidf_scores(std::string_view question, const DocTexts& docs) const {
  if (!is_strategy(config.strategy, Strategy::TFIDF, Strategy::HYBRID)) return {};
  if (!config.use_tfidf_if_available) return {};
  OptionalTfidfBackend backend;
  if (!backend.available) return {};
  backend.build(docs);
  return backend.score(question);
}

DocScores Schemasift::_get_embedding_scores(std::string_view question, const DocTexts& docs) const {
  if (!is_strategy(config.strategy, Strategy::EMBEDDING, Strategy::HYBRID)) return {};
  if (!config.use_embeddings_if_available) return {};
  OptionalEmbeddingBackend backend(config.embedding_model_name_or_path);
  if (!backend.available) return {};
  if (config.show_progress_bar) {
    backend.embeddings = backend.model->encode_with_progress(split_docs(docs, backend.doc_ids));
  } else {
    backend.build(docs);
  }
  return backend.score(question);
}

// The same similarities as _get_tfidf_scores on the prepared documents. The
// native index is fitted once per prepared catalog; another facility is
// fitted on every call, as it would be on the catalog itself.
internal::Similarities Schemasift::prepared_tfidf_scores(std::string_view question,
                                                         const PreparedCatalog& prepared) const {
  if (!is_strategy(config.strategy, Strategy::TFIDF, Strategy::HYBRID)) return {};
  if (!config.use_tfidf_if_available) return {};
  OptionalTfidfBackend backend;
  if (!backend.available) return {};
  const PreparedCatalog::Documents& documents = prepared.documents();
  if (dynamic_cast<const CachedNativeTfidfVectorizer*>(backend.vectorizer.get())) {
    backend.matrix = prepared.tfidf(
        [](const DocTexts& docs) { return NativeTfidfVectorizer().fit_transform(texts_of(docs)); });
  } else {
    backend.build(prepared.document_texts());
  }
  if (!backend.matrix) return {};
  return similarities_or_none(
      [&] { return backend.vectorizer->cosine_similarity(*backend.matrix, question); }, documents);
}

// The same similarities as _get_embedding_scores; the documents are encoded
// once per prepared catalog and model.
internal::Similarities Schemasift::prepared_embedding_scores(
    std::string_view question, const PreparedCatalog& prepared) const {
  if (!is_strategy(config.strategy, Strategy::EMBEDDING, Strategy::HYBRID)) return {};
  if (!config.use_embeddings_if_available) return {};
  OptionalEmbeddingBackend backend(config.embedding_model_name_or_path);
  if (!backend.available) return {};
  const PreparedCatalog::Documents& documents = prepared.documents();
  bool recall = config.fuse_table_ranks;
  std::string key = *backend.model_name_or_path;
  if (recall) key += kRecallDocumentsKey;
  backend.embeddings = prepared.embeddings(key, backend.model, [&](const DocTexts& scoring_docs) {
    DocTexts recall_docs;
    if (recall) recall_docs = recall_document_texts(prepared.catalog());
    std::vector<std::string_view> texts = texts_of(recall ? recall_docs : scoring_docs);
    return config.show_progress_bar ? backend.model->encode_with_progress(texts)
                                    : backend.model->encode(texts);
  });
  if (!backend.embeddings) return {};
  return similarities_or_none(
      [&] { return backend.model->similarities(*backend.embeddings, question); }, documents);
}

void Schemasift::warm_up(const PreparedCatalog& prepared) const {
  // Any question fits: what is kept does not depend on it.
  constexpr std::string_view kQuestion = "warm up";
  prepared.documents();
  if (tfidf_wanted()) prepared_tfidf_scores(kQuestion, prepared);
  if (embedding_wanted()) prepared_embedding_scores(kQuestion, prepared);
}

double Schemasift::_blend_scores(double lexical, double tfidf, double embedding) const {
  const std::string& strategy = config.strategy;
  if (strategy == Strategy::LEXICAL) return lexical;
  if (strategy == Strategy::TFIDF) return tfidf != 0.0 ? tfidf : lexical;
  if (strategy == Strategy::EMBEDDING) return embedding != 0.0 ? embedding : lexical;
  // "hybrid" and any other strategy: the weighted mean of the scores present.
  double total_weight = 0.0;
  double sum = 0.0;
  total_weight += config.lexical_alpha;
  sum += config.lexical_alpha * lexical;
  if (tfidf != 0.0) {
    total_weight += config.tfidf_alpha;
    sum += config.tfidf_alpha * tfidf;
  }
  if (embedding != 0.0) {
    total_weight += config.embedding_alpha;
    sum += config.embedding_alpha * embedding;
  }
  if (total_weight == 0.0) total_weight = 1.0;
  return sum / total_weight;
}

}  // namespace tessarin::schemasift
