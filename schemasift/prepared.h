// A prepared catalog: an immutable snapshot of a catalog together with
// everything a selection derives from the catalog alone, so that a service
// pays for it once instead of on every message.
//
// Preparing computes the measuring text's size and hash and the lexical
// index. The scoring documents, the fitted TF-IDF index and the document
// embeddings of each model are computed by the first selection that asks
// for them (or by warm_up) and kept. Selections on a prepared catalog give
// exactly the results of the same selection on the catalog it was made
// from; none changes it, and any number may run on it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/vector_backends.h"

namespace tessarin::schemasift {

namespace internal {
class LexicalIndex;
}  // namespace internal

// Size and hash of a catalog's measuring text.
struct CatalogTextMeasure {
  std::int64_t chars = 0;  // code points
  std::string hash;        // catalog_hash
};

class PreparedCatalog {
 public:
  explicit PreparedCatalog(MetadataCatalog catalog);
  ~PreparedCatalog();
  PreparedCatalog(const PreparedCatalog&) = delete;
  PreparedCatalog& operator=(const PreparedCatalog&) = delete;

  const MetadataCatalog& catalog() const { return catalog_; }
  // catalog_hash of a selection that keeps the catalog's database name.
  const std::string& catalog_hash() const { return own_measure_.hash; }
  std::size_t table_count() const { return catalog_.tables.size(); }
  std::size_t column_count() const { return column_count_; }
  // Memory held, in bytes (approximate: heap blocks counted by their size).
  std::size_t nbytes() const;

  // ---- for the selector ----

  // The measure of the catalog shown under another database name (kept for
  // the last few names asked for).
  CatalogTextMeasure measure(std::string_view database) const;
  const internal::LexicalIndex& lexical_index() const { return *lexical_; }

  // Where each table's and column's scoring document sits in the document
  // list (columns in catalog order across all tables). The texts themselves
  // are not kept: they serve only to fit and encode, once each.
  struct Documents {
    std::size_t count = 0;
    std::vector<std::uint32_t> table_rows;
    std::vector<std::uint32_t> column_rows;
    std::vector<std::size_t> first_column;  // per table, then the total
  };
  const Documents& documents() const;
  // The scoring documents, made anew.
  DocTexts document_texts() const;

  // The native TF-IDF index fitted on the documents; fit() runs once, and
  // again after a failure (whose exception propagates).
  using TfidfFit = std::function<std::shared_ptr<const TfidfMatrix>(const DocTexts&)>;
  std::shared_ptr<const TfidfMatrix> tfidf(const TfidfFit& fit) const;
  // The documents' embeddings under a model, encoded once by encode(). They
  // belong to the encoder that made them: another encoder of the same name
  // (a model loaded anew, another loader) encodes again. Embeddings loaded
  // with put_embeddings belong to the first encoder that asks for them.
  using Encode = std::function<std::shared_ptr<const EmbeddingMatrix>(const DocTexts&)>;
  std::shared_ptr<const EmbeddingMatrix> embeddings(const std::string& model,
                                                    const std::shared_ptr<SentenceEncoder>& encoder,
                                                    const Encode& encode) const;
  // The embeddings held, by model, and storing ones computed elsewhere (a
  // prepared catalog loaded from its serialized form).
  std::vector<std::pair<std::string, std::shared_ptr<const EmbeddingMatrix>>> embeddings_held()
      const;
  void put_embeddings(const std::string& model,
                      std::shared_ptr<const EmbeddingMatrix> embeddings) const;

  // Prepares a catalog while it is being read: its tables are indexed and
  // written out on two threads of their own as they are added. The reader
  // appends the tables to a list reserved beforehand, so that they stay in
  // place, calls table_added after each, and keeps the list alive until
  // finish returns or the builder is gone. Destroying an unfinished builder
  // stops its threads and waits for them.
  class Builder {
   public:
    Builder();
    ~Builder();
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    // The first `count` tables of the list at `tables` are complete.
    void table_added(const TableMeta* tables, std::size_t count);
    // table_added of the builder at `builder`, for a plain function pointer.
    static void notify(void* builder, const TableMeta* tables, std::size_t count);
    // The catalog read in full, its tables those given (in place). Throws
    // what preparing it would throw.
    std::shared_ptr<PreparedCatalog> finish(MetadataCatalog catalog);

   private:
    struct State;
    void stop();
    std::unique_ptr<State> state_;
  };

  // ---- serialized form ----

  // The catalog, its measure and its lexical index in a compact binary form
  // (the parts computed on first use are left out). Throws
  // std::invalid_argument when the catalog holds a value without a JSON form.
  std::string serialize() const;
  // Throws std::invalid_argument for data that serialize() did not write
  // (checked against a checksum, every length and position checked too).
  static std::shared_ptr<PreparedCatalog> deserialize(std::string_view data);

 private:
  struct Lazy;
  // With the measure and the lexical index already made.
  PreparedCatalog(MetadataCatalog catalog, CatalogTextMeasure measure,
                  std::unique_ptr<internal::LexicalIndex> lexical);

  MetadataCatalog catalog_;
  std::size_t column_count_ = 0;
  CatalogTextMeasure own_measure_;
  std::unique_ptr<internal::LexicalIndex> lexical_;
  std::unique_ptr<Lazy> lazy_;
};

}  // namespace tessarin::schemasift
