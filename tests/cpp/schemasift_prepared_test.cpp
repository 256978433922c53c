// Prepared catalogs: selections equal to those on the catalog, the binary
// form and its damage checks, batch selection, and TF-IDF scoring by term.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessarin/schemasift/catalog_codec.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/prepared.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/tfidf.h"

namespace tessarin::schemasift {
namespace {

const std::vector<std::string> kWords = {
    "order", "customer", "revenue", "region", "status", "type",     "category", "date",
    "total", "count",    "id",      "name",   "Café",   "İstanbul", "OrderDate", "x"};
const std::vector<std::string> kRoles = {"metric", "dimension", "date", "id",
                                         "text",   "unknown",   "primary_key"};

class Words {
 public:
  explicit Words(unsigned seed) : rnd_(seed) {}
  const std::string& one() { return kWords[rnd_() % kWords.size()]; }
  std::string some(std::size_t n) {
    std::string out = one();
    for (std::size_t i = 1; i < n; ++i) out += (rnd_() % 2 ? " " : "_") + one();
    return out;
  }
  std::size_t below(std::size_t n) { return rnd_() % n; }

 private:
  std::mt19937 rnd_;
};

MetadataCatalog random_catalog(unsigned seed, std::size_t tables) {
  Words w(seed);
  MetadataCatalog catalog;
  catalog.database = "shop";
  for (std::size_t t = 0; t < tables; ++t) {
    TableMeta table;
    table.table_name = w.some(1 + w.below(2)) + std::to_string(t % 7);
    table.business_name = w.below(3) ? w.some(2) : "";
    table.description = w.some(4);
    table.tags = {w.one()};
    for (std::size_t c = 0; c < 1 + w.below(6); ++c) {
      ColumnMeta col;
      col.name = w.some(1 + w.below(2));
      col.description = w.some(3);
      col.synonyms = {w.one(), w.some(2), w.one()};
      col.tags = {w.one()};
      col.role = kRoles[w.below(kRoles.size())];
      col.sample_values = {JsonValue(w.one()), JsonValue(static_cast<long long>(c)), JsonValue()};
      col.extra = JsonMap{{"owner", JsonValue(w.one())}};
      table.columns.push_back(std::move(col));
    }
    table.default_date_column = table.columns.front().name;
    catalog.tables.push_back(std::move(table));
  }
  catalog.relationships.push_back({catalog.tables[0].table_name, "id",
                                   catalog.tables.back().table_name, "id", "many_to_one", "", {}});
  return catalog;
}

std::string question_of(Words& w) { return w.some(1 + w.below(6)); }

SelectorConfig config_of(Words& w) {
  SelectorConfig config;
  const char* strategies[] = {"lexical", "tfidf", "hybrid"};
  config.strategy = strategies[w.below(3)];
  config.top_k_tables = static_cast<std::int64_t>(w.below(5));
  config.min_table_score = w.below(2) ? 0.0 : 0.03;
  config.column_name_weight = w.below(3) ? 10.0 : -4.0;
  config.exact_phrase_bonus = w.below(3) ? 5.0 : 0.0;
  return config;
}

bool same(const MetadataSelectionResult& a, const MetadataSelectionResult& b) {
  return a.to_dict(true) == b.to_dict(true);
}

TEST(PreparedCatalog, SelectsAsTheCatalogItWasMadeFrom) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    MetadataCatalog catalog = random_catalog(seed, seed < 6 ? 8 : 120);
    PreparedCatalog prepared(catalog);
    Words w(seed * 31);
    for (int round = 0; round < 8; ++round) {
      Schemasift selector(config_of(w));
      SelectOptions options;
      if (w.below(2)) options.database = w.below(2) ? "other" : "";
      if (w.below(3) == 0) options.excluded_tables = {catalog.tables[w.below(8)].table_name};
      if (w.below(3) == 0) options.required_tables = {catalog.tables[w.below(8)].table_name};
      std::string question = question_of(w);
      MetadataCatalog copy = catalog;
      MetadataSelectionResult expected = selector.select(question, copy, options);
      EXPECT_TRUE(same(selector.select(question, prepared, options), expected))
          << "seed " << seed << " question " << question;
    }
    EXPECT_EQ(prepared.catalog(), catalog);  // selections never change it
  }
}

TEST(PreparedCatalog, MeasureFollowsTheDatabaseName) {
  MetadataCatalog catalog = random_catalog(3, 5);
  PreparedCatalog prepared(catalog);
  MetadataCatalog renamed = catalog;
  renamed.database = "elsewhere";
  Schemasift selector;
  SelectOptions options;
  options.database = "elsewhere";
  for (int i = 0; i < 6; ++i) {  // also once the measure is kept
    SelectionMetrics metrics = selector.select("revenue", prepared, options).metrics;
    EXPECT_EQ(metrics.catalog_hash, selector.select("revenue", renamed).metrics.catalog_hash);
    EXPECT_EQ(metrics.input_chars, selector.select("revenue", renamed).metrics.input_chars);
  }
  EXPECT_EQ(prepared.catalog_hash(), selector.select("revenue", catalog).metrics.catalog_hash);
}

TEST(PreparedCatalog, SerializedFormRoundTrips) {
  MetadataCatalog catalog = random_catalog(5, 20);
  catalog.tables[0].columns[0].sample_values = {
      JsonValue(-1.5), JsonValue(true), JsonValue(JsonList{JsonValue(1), JsonValue("é")}),
      JsonValue(JsonMap{{"k", JsonValue(nullptr)}}), JsonValue(static_cast<long long>(-(1LL << 62)))};
  catalog.tables[0].row_count = -3;
  catalog.tables[1].columns[0].nullable = false;
  PreparedCatalog prepared(catalog);
  std::shared_ptr<PreparedCatalog> loaded = PreparedCatalog::deserialize(prepared.serialize());
  EXPECT_EQ(loaded->catalog(), catalog);
  EXPECT_EQ(loaded->catalog_hash(), prepared.catalog_hash());
  Schemasift selector;
  EXPECT_TRUE(same(selector.select("total revenue by region", *loaded),
                   selector.select("total revenue by region", prepared)));
}

TEST(PreparedCatalog, DamagedSerializedFormsAreRefused) {
  std::string data = PreparedCatalog(random_catalog(2, 4)).serialize();
  for (std::size_t cut = 0; cut < data.size(); cut += 1 + data.size() / 200)
    EXPECT_THROW(PreparedCatalog::deserialize(data.substr(0, cut)), std::invalid_argument) << cut;
  std::mt19937 rnd(9);
  for (int i = 0; i < 300; ++i) {
    std::string damaged = data;
    for (int k = 0; k < 3; ++k) damaged[32 + rnd() % (damaged.size() - 32)] = static_cast<char>(rnd());
    try {
      PreparedCatalog::deserialize(damaged);  // may still be a valid catalog
    } catch (const std::invalid_argument&) {
    }
  }
  std::string other_version = data;
  other_version[26] = 9;  // the format number follows the magic text
  EXPECT_THROW(PreparedCatalog::deserialize(other_version), std::invalid_argument);
}

TEST(PreparedCatalog, ValuesWithoutJsonFormAreNotSerialized) {
  MetadataCatalog catalog = random_catalog(2, 2);
  catalog.tables[0].columns[0].sample_values = {JsonValue(JsonOpaque{"<object>", nullptr})};
  EXPECT_THROW(PreparedCatalog(catalog).serialize(), std::invalid_argument);
}

TEST(BatchSelection, EqualsOneSelectionAfterAnother) {
  MetadataCatalog catalog = random_catalog(4, 60);
  PreparedCatalog prepared(catalog);
  Schemasift selector;
  Words w(4);
  std::vector<std::string> questions;
  for (int i = 0; i < 25; ++i) questions.push_back(question_of(w));
  for (std::size_t threads : {1u, 2u, 4u, 0u}) {
    std::vector<MetadataSelectionResult> results =
        selector.select_many(questions, prepared, {}, threads);
    ASSERT_EQ(results.size(), questions.size());
    for (std::size_t i = 0; i < questions.size(); ++i)
      EXPECT_TRUE(same(results[i], selector.select(questions[i], prepared)));
  }
  questions[3] = " ";
  EXPECT_THROW(selector.select_many(questions, prepared, {}, 2), std::invalid_argument);
}

// Similarity by row from a per-encoder salt, so that embeddings of one
// encoder scored by another would show.
struct SaltedRows : EmbeddingMatrix {
  std::size_t rows = 0;
  int salt = 0;
};
struct SaltedEncoder : SentenceEncoder {
  explicit SaltedEncoder(int salt) : salt(salt) {}
  std::shared_ptr<const EmbeddingMatrix> encode(const std::vector<std::string_view>& t) override {
    ++encodings;
    auto m = std::make_shared<SaltedRows>();
    m->rows = t.size();
    m->salt = salt;
    return m;
  }
  std::vector<double> similarities(const EmbeddingMatrix& m, std::string_view q) override {
    const auto& rows = dynamic_cast<const SaltedRows&>(m);
    if (rows.salt != salt) throw std::runtime_error("rows of another encoder");
    std::vector<double> out(rows.rows);
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<double>((i * 7 + q.size() + static_cast<std::size_t>(salt)) % 10) / 10;
    return out;
  }
  int salt;
  int encodings = 0;
};

TEST(PreparedCatalog, EmbeddingsBelongToTheEncoderThatMadeThem) {
  auto first = std::make_shared<SaltedEncoder>(1);
  auto second = std::make_shared<SaltedEncoder>(2);
  std::shared_ptr<SaltedEncoder> current = first;
  set_sentence_encoder_loader([&](const std::string&) { return current; });
  SelectorConfig config;
  config.strategy = "embedding";
  config.use_embeddings_if_available = true;
  config.embedding_model_name_or_path = "model";
  Schemasift selector(config);
  MetadataCatalog catalog = random_catalog(6, 30);
  PreparedCatalog prepared(catalog);
  for (int round = 0; round < 2; ++round) {
    for (const char* question : {"revenue by region", "count orders"}) {
      MetadataCatalog copy = catalog;
      EXPECT_TRUE(same(selector.select(question, prepared), selector.select(question, copy)));
    }
    current = second;  // a model loaded anew: its own embeddings
  }
  EXPECT_EQ(second->encodings, 3);  // two selections on the catalog, one on the prepared one
  EXPECT_EQ(first->encodings, 3);
  set_sentence_encoder_loader({});
}

TEST(TfidfIndex, ScoringByTermEqualsTheRowScan) {
  MetadataCatalog catalog = random_catalog(8, 40);
  DocTexts docs = Schemasift::_build_doc_texts(catalog);
  std::vector<std::string_view> texts;
  for (const auto& [id, text] : docs) texts.push_back(text);
  TfidfIndex index = TfidfIndex::fit(texts);
  Words w(8);
  for (int i = 0; i < 40; ++i) {
    std::string question = question_of(w);
    // The first scoring scans rows; later ones go through the term index.
    TfidfIndex fresh = TfidfIndex::fit(texts);
    std::vector<double> scanned = fresh.similarities(question);
    std::vector<double> by_term = index.similarities(question);
    if (i > 0) {
      EXPECT_EQ(by_term, scanned) << question;
    }
  }
}

}  // namespace
}  // namespace tessarin::schemasift
