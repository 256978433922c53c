// Tests of the vector backends in a selection: the strategy and switch
// gates, the score blend, and failures of the TF-IDF and embedding facilities.
#include <gtest/gtest.h>

#include <stdexcept>

#include "schemasift_test_support.h"
#include "tessarin/schemasift/selector.h"

namespace tessarin::schemasift {
namespace {

using namespace test_support;

struct FakeMatrix : TfidfMatrix {
  std::vector<std::string> texts;
};

// Similarity 0.9 for documents that hold the question as a substring.
struct FakeVectorizer : TfidfVectorizer {
  static inline int made = 0;
  static inline bool fail_fit = false;
  static inline bool fail_score = false;
  std::shared_ptr<const TfidfMatrix> fit_transform(
      const std::vector<std::string_view>& texts) override {
    if (fail_fit) throw std::runtime_error("fit failed");
    auto m = std::make_shared<FakeMatrix>();
    for (std::string_view t : texts) m->texts.emplace_back(t);
    return m;
  }
  std::vector<double> cosine_similarity(const TfidfMatrix& matrix,
                                        std::string_view question) const override {
    if (fail_score) throw std::runtime_error("score failed");
    std::vector<double> out;
    for (const std::string& t : static_cast<const FakeMatrix&>(matrix).texts)
      out.push_back(t.find(question) != std::string::npos ? 0.9 : 0.0);
    return out;
  }
};

class SchemasiftVectors : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeVectorizer::made = 0;
    FakeVectorizer::fail_fit = FakeVectorizer::fail_score = false;
    set_tfidf_vectorizer_factory([] {
      ++FakeVectorizer::made;
      return std::make_shared<FakeVectorizer>();
    });
  }
  void TearDown() override {
    restore_native_tfidf_vectorizer();
    set_sentence_encoder_loader({});
  }
};

TEST_F(SchemasiftVectors, BlendByStrategy) {
  SelectorConfig config;
  Schemasift hybrid(config);
  EXPECT_EQ(hybrid._blend_scores(0.5, 0.2, 0.0), 0.4470588235294118);
  EXPECT_EQ(hybrid._blend_scores(0.4, 0.0, 0.0), 0.39999999999999997);
  EXPECT_EQ(hybrid._blend_scores(0.4, -0.1, 0.0), (0.7 * 0.4 + 0.15 * -0.1) / (0.7 + 0.15));
  config.lexical_alpha = 0.0;
  EXPECT_EQ(Schemasift(config)._blend_scores(0.4, 0.0, 0.0), 0.0);
  config.strategy = "something else";
  EXPECT_EQ(Schemasift(config)._blend_scores(0.4, 0.0, 0.2), 0.2);
  config.strategy = "tfidf";
  EXPECT_EQ(Schemasift(config)._blend_scores(0.4, 0.0, 0.3), 0.4);
  EXPECT_EQ(Schemasift(config)._blend_scores(0.4, 0.6, 0.3), 0.6);
  config.strategy = "embedding";
  EXPECT_EQ(Schemasift(config)._blend_scores(0.4, 0.6, 0.0), 0.4);
  EXPECT_EQ(Schemasift(config)._blend_scores(0.4, 0.6, 0.3), 0.3);
  config.strategy = "lexical";
  EXPECT_EQ(Schemasift(config)._blend_scores(0.4, 0.6, 0.3), 0.4);
}

TEST_F(SchemasiftVectors, DocumentsInCatalogOrderLaterTwinWins) {
  MetadataCatalog catalog;
  catalog.tables = {table("a", {column("x")}), table("b"), table("a", {column("y")})};
  catalog.tables[2].description = "second";
  DocTexts docs = Schemasift::_build_doc_texts(catalog);
  std::vector<std::string> ids;
  for (const auto& [id, text] : docs) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<std::string>{"table::a", "column::a.x", "table::b", "column::a.y"}));
  EXPECT_EQ(*docs.find("table::a"), catalog.tables[2].searchable_text());
  EXPECT_EQ(*docs.find("column::a.x"), catalog.tables[0].columns[0].searchable_text("a", ""));
}

TEST_F(SchemasiftVectors, StrategyAndSwitchGates) {
  DocTexts docs{{"table::t", "revenue table"}, {"table::u", "other"}};
  SelectorConfig config;
  config.strategy = "lexical";
  EXPECT_TRUE(Schemasift(config)._get_tfidf_scores("revenue", docs).empty());
  config.strategy = "embedding";
  EXPECT_TRUE(Schemasift(config)._get_tfidf_scores("revenue", docs).empty());
  EXPECT_EQ(FakeVectorizer::made, 0);
  config.strategy = "hybrid";
  config.use_tfidf_if_available = false;
  EXPECT_TRUE(Schemasift(config)._get_tfidf_scores("revenue", docs).empty());
  EXPECT_EQ(FakeVectorizer::made, 0);
  config.use_tfidf_if_available = true;
  DocScores scores = Schemasift(config)._get_tfidf_scores("revenue", docs);
  EXPECT_EQ(scores, (DocScores{{"table::t", 0.9}, {"table::u", 0.0}}));
  config.strategy = "tfidf";
  EXPECT_EQ(Schemasift(config)._get_tfidf_scores("revenue", docs).size(), 2u);
}

TEST_F(SchemasiftVectors, LexicalSelectionNeverMakesABackend) {
  MetadataCatalog catalog = shop_catalog();
  MetadataSelectionResult result = Schemasift(lexical_config()).select("amount", catalog);
  EXPECT_EQ(FakeVectorizer::made, 0);
  EXPECT_EQ(*result.debug.find("tfidf_available"), JsonValue(false));
}

TEST_F(SchemasiftVectors, TfidfStrategyUsesSimilarityWhereThereIsOne) {
  MetadataCatalog catalog = shop_catalog();
  SelectorConfig config;
  config.strategy = "tfidf";
  config.top_k_tables = 3;
  // Only the documents of "products" hold the text "products".
  MetadataSelectionResult result = Schemasift(config).select("products", catalog);
  EXPECT_EQ(*result.debug.find("tfidf_available"), JsonValue(true));
  const JsonList& rankings = result.debug.find("table_rankings")->as_list();
  EXPECT_EQ(rankings[0].get("table_name")->as_string(), "products");
  // 0.9 from TF-IDF plus a fifth of the best lexical column score (none).
  EXPECT_EQ(rankings[0].get("score")->as_double(), 0.9);
}

TEST_F(SchemasiftVectors, FailuresOfTheFacility) {
  MetadataCatalog catalog = shop_catalog();
  SelectorConfig config;
  FakeVectorizer::fail_score = true;
  EXPECT_EQ(*Schemasift(config).select("amount", catalog).debug.find("tfidf_available"),
            JsonValue(false));
  FakeVectorizer::fail_score = false;
  FakeVectorizer::fail_fit = true;
  EXPECT_THROW(Schemasift(config).select("amount", catalog), std::runtime_error);
  set_tfidf_vectorizer_factory(
      []() -> std::shared_ptr<TfidfVectorizer> { throw std::runtime_error("cannot load"); });
  EXPECT_FALSE(OptionalTfidfBackend().available);
  EXPECT_NO_THROW(Schemasift(config).select("amount", catalog));
  // An interruption is not a failure of the facility: it ends the selection.
  set_tfidf_vectorizer_factory(
      []() -> std::shared_ptr<TfidfVectorizer> { throw FacilityInterrupted{}; });
  EXPECT_THROW(Schemasift(config).select("amount", catalog), FacilityInterrupted);
  set_sentence_encoder_loader(
      [](const std::string&) -> std::shared_ptr<SentenceEncoder> { throw FacilityInterrupted{}; });
  EXPECT_THROW(OptionalEmbeddingBackend("model"), FacilityInterrupted);
}

struct FakeEmbeddings : EmbeddingMatrix {
  std::size_t rows = 0;
};
struct FakeEncoder : SentenceEncoder {
  std::shared_ptr<const EmbeddingMatrix> encode(const std::vector<std::string_view>& t) override {
    auto m = std::make_shared<FakeEmbeddings>();
    m->rows = t.size();
    return m;
  }
  std::vector<double> similarities(const EmbeddingMatrix& m, std::string_view) override {
    // One similarity short: the shorter sequence decides.
    return std::vector<double>(static_cast<const FakeEmbeddings&>(m).rows - 1, 0.5);
  }
};

TEST_F(SchemasiftVectors, EmbeddingBackendNeedsAModelName) {
  int loads = 0;
  set_sentence_encoder_loader([&](const std::string& name) -> std::shared_ptr<SentenceEncoder> {
    ++loads;
    if (name == "missing") throw std::runtime_error("no such model");
    return std::make_shared<FakeEncoder>();
  });
  EXPECT_FALSE(OptionalEmbeddingBackend().available);
  EXPECT_FALSE(OptionalEmbeddingBackend(std::string()).available);
  EXPECT_FALSE(OptionalEmbeddingBackend(std::string("missing")).available);
  EXPECT_EQ(loads, 1);
  OptionalEmbeddingBackend backend(std::string("local-model"));
  ASSERT_TRUE(backend.available);
  EXPECT_TRUE(backend.score("q").empty());  // not built yet
  backend.build(DocTexts{{"a", "x"}, {"b", "y"}});
  EXPECT_EQ(backend.score("q"), (DocScores{{"a", 0.5}}));

  SelectorConfig config;
  config.strategy = "embedding";
  config.use_embeddings_if_available = true;
  DocTexts docs{{"a", "x"}, {"b", "y"}};
  EXPECT_TRUE(Schemasift(config)._get_embedding_scores("q", docs).empty());
  config.embedding_model_name_or_path = "local-model";
  EXPECT_EQ(Schemasift(config)._get_embedding_scores("q", docs).size(), 1u);
}

}  // namespace
}  // namespace tessarin::schemasift
