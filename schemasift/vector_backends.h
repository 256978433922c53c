// The optional vector scorers of the selector (TF-IDF and sentence
// embeddings) and the document maps they index and score.
//
// The facilities behind the two backends are pluggable: a TF-IDF vectorizer
// factory and a sentence-encoder loader can be installed once at start-up.
// The TF-IDF facility defaults to the native index (schemasift/tfidf.h); no
// sentence encoder is built in, so without a loader the embedding backend is
// unavailable and the selector blends only what it has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift {

// Insertion-ordered map from document id to a value, with hashed lookup
// (catalogs hold tens of thousands of documents). set() on an existing id
// replaces the value and keeps the entry's first position. The index is an
// open-addressing table of positions, so an entry costs no allocation
// besides its own id and value.
template <class V>
class DocMap {
 public:
  using value_type = std::pair<std::string, V>;

  DocMap() = default;
  DocMap(std::initializer_list<value_type> items) {
    for (const auto& item : items) set(item.first, item.second);
  }

  void set(std::string id, V value) {
    if (2 * (items_.size() + 1) > slots_.size()) rehash(4 * (items_.size() + 1));
    std::size_t hash = StringHash{}(id);
    std::uint32_t& slot = slots_[slot_index(id, hash)];
    if (slot != kEmpty) {
      items_[slot - 1].second = std::move(value);
      return;
    }
    items_.emplace_back(std::move(id), std::move(value));
    hashes_.push_back(hash);
    slot = static_cast<std::uint32_t>(items_.size());
  }
  const V* find(std::string_view id) const {
    if (slots_.empty()) return nullptr;
    std::uint32_t slot = slots_[slot_index(id, StringHash{}(id))];
    return slot == kEmpty ? nullptr : &items_[slot - 1].second;
  }
  bool contains(std::string_view id) const { return find(id) != nullptr; }
  // Position of the id's entry in insertion order, or npos.
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  std::size_t position(std::string_view id) const {
    if (slots_.empty()) return npos;
    std::uint32_t slot = slots_[slot_index(id, StringHash{}(id))];
    return slot == kEmpty ? npos : slot - 1;
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  void reserve(std::size_t n) {
    items_.reserve(n);
    hashes_.reserve(n);
    if (2 * n > slots_.size()) rehash(4 * n);
  }
  const std::vector<value_type>& items() const { return items_; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

  friend bool operator==(const DocMap& a, const DocMap& b) { return a.items_ == b.items_; }

 private:
  static constexpr std::uint32_t kEmpty = 0;  // slots hold position + 1

  // Index of the slot holding id, or of the empty slot where it would go.
  // The table is never more than half full, so the probe ends.
  std::size_t slot_index(std::string_view id, std::size_t hash) const {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      std::uint32_t slot = slots_[i];
      if (slot == kEmpty || (hashes_[slot - 1] == hash && items_[slot - 1].first == id)) return i;
    }
  }

  void rehash(std::size_t at_least) {
    std::size_t size = 16;
    while (size < at_least) size *= 2;
    slots_.assign(size, kEmpty);
    std::size_t mask = size - 1;
    for (std::size_t pos = 0; pos < items_.size(); ++pos) {
      std::size_t i = hashes_[pos] & mask;
      while (slots_[i] != kEmpty) i = (i + 1) & mask;
      slots_[i] = static_cast<std::uint32_t>(pos + 1);
    }
  }

  std::vector<value_type> items_;
  std::vector<std::size_t> hashes_;
  std::vector<std::uint32_t> slots_;
};

// Document id to document text, and document id to similarity.
using DocTexts = DocMap<std::string>;
using DocScores = DocMap<double>;

// ---- pluggable facilities ----

// A fitted document matrix; its form belongs to the vectorizer that made it.
class TfidfMatrix {
 public:
  virtual ~TfidfMatrix() = default;
  // Memory held, in bytes, where the facility knows it (else 0).
  virtual std::size_t nbytes() const { return 0; }
};

// A TF-IDF vectorizer over word unigrams and bigrams, lower-casing.
class TfidfVectorizer {
 public:
  virtual ~TfidfVectorizer() = default;
  // Fits on the texts and returns one matrix row per text, in order.
  virtual std::shared_ptr<const TfidfMatrix> fit_transform(
      const std::vector<std::string_view>& texts) = 0;
  // Cosine similarity of the question to every row, in row order.
  virtual std::vector<double> cosine_similarity(const TfidfMatrix& matrix,
                                                std::string_view question) const = 0;
};

// Document embeddings; their form belongs to the encoder that made them.
class EmbeddingMatrix {
 public:
  virtual ~EmbeddingMatrix() = default;
};

// A local sentence-embedding model.
class SentenceEncoder {
 public:
  virtual ~SentenceEncoder() = default;
  // Unit-length encodings of the texts, one row per text.
  virtual std::shared_ptr<const EmbeddingMatrix> encode(
      const std::vector<std::string_view>& texts) = 0;
  // encode() showing its progress where the facility can (a bar on a
  // terminal); the rows are the same.
  virtual std::shared_ptr<const EmbeddingMatrix> encode_with_progress(
      const std::vector<std::string_view>& texts) {
    return encode(texts);
  }
  // Dot product of every row with the unit-length encoding of the question.
  virtual std::vector<double> similarities(const EmbeddingMatrix& embeddings,
                                           std::string_view question) = 0;
};

// Thrown by a facility to end the selection rather than count as a failure
// of the facility (the Python bindings use it for KeyboardInterrupt and
// SystemExit): the backends let it through where they swallow other errors.
struct FacilityInterrupted {
  std::exception_ptr cause;
};

// Makes a vectorizer; may throw, which leaves the backend unavailable.
using TfidfVectorizerFactory = std::function<std::shared_ptr<TfidfVectorizer>()>;
// Loads a model by name or path; may throw, which leaves the backend
// unavailable.
using SentenceEncoderLoader =
    std::function<std::shared_ptr<SentenceEncoder>(const std::string& model_name_or_path)>;

// Installs the facilities (an empty function removes one). Call them before
// any selection runs: selections read them without locking.
void set_tfidf_vectorizer_factory(TfidfVectorizerFactory factory);
void set_sentence_encoder_loader(SentenceEncoderLoader loader);
// Puts the native TF-IDF index back as the facility.
void restore_native_tfidf_vectorizer();
// The native facility keeps the indexes fitted on the last few distinct
// document lists and reuses one when a selection has exactly the same
// documents; this drops them (to free their memory).
void clear_tfidf_cache();

// ---- the two backends ----

class OptionalTfidfBackend {
 public:
  // Loads the facility when one is installed; any failure leaves the backend
  // unavailable.
  OptionalTfidfBackend();

  // Fits the vectorizer on the documents in map order; a no-op when
  // unavailable. Errors of the facility propagate.
  void build(const DocTexts& doc_text_by_id);
  // Similarity of the question to every document; empty when unavailable,
  // unbuilt, or on any error.
  DocScores score(std::string_view question) const;

  bool available = false;
  std::shared_ptr<TfidfVectorizer> vectorizer;
  std::shared_ptr<const TfidfMatrix> matrix;
  std::vector<std::string> doc_ids;
};

class OptionalEmbeddingBackend {
 public:
  // No model name means no backend: there is no default model.
  explicit OptionalEmbeddingBackend(std::optional<std::string> model_name_or_path = std::nullopt);

  void build(const DocTexts& doc_text_by_id);
  DocScores score(std::string_view question) const;

  bool available = false;
  std::shared_ptr<SentenceEncoder> model;
  std::vector<std::string> doc_ids;
  std::shared_ptr<const EmbeddingMatrix> embeddings;
  std::optional<std::string> model_name_or_path;
};

struct MetadataCatalog;
// The documents that fused table ranking encodes (see
// SelectorConfig::fuse_table_ranks): the ids and order of the scoring
// documents, with short sentences as texts.
DocTexts recall_document_texts(const MetadataCatalog& catalog);

// Pairs ids with similarities; the shorter sequence decides the length.
DocScores pair_scores(const std::vector<std::string>& doc_ids, const std::vector<double>& scores);

}  // namespace tessarin::schemasift
