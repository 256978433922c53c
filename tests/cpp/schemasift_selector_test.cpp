// Tests of the selector: pipeline, lexical scoring, vector gates and blend,
// table/column/join choice, output budget and metrics, demonstration.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "tessarin/common/json_text.h"
#include "tessarin/common/sha256.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"

namespace tessarin::schemasift {
namespace {

ColumnMeta column(std::string name, std::string role = "unknown") {
  ColumnMeta c;
  c.name = std::move(name);
  c.role = std::move(role);
  return c;
}

TableMeta table(std::string name, std::vector<ColumnMeta> columns = {}) {
  TableMeta t;
  t.table_name = std::move(name);
  t.columns = std::move(columns);
  return t;
}

RelationshipMeta join(std::string from_table, std::string from_column, std::string to_table,
                      std::string to_column) {
  RelationshipMeta r;
  r.from_table = std::move(from_table);
  r.from_column = std::move(from_column);
  r.to_table = std::move(to_table);
  r.to_column = std::move(to_column);
  return r;
}

QueryIntent bare_intent() {
  QueryIntent intent;
  intent.raw_question = "q";
  return intent;
}

ScoredTable scored(TableMeta t, double score) {
  ScoredTable s;
  s.table = std::move(t);
  s.score = score;
  return s;
}

ScoredColumn scored(ColumnMeta c, double score) {
  ScoredColumn s;
  s.column = std::move(c);
  s.score = score;
  return s;
}

SelectorConfig lexical_config() {
  SelectorConfig config;
  config.strategy = "lexical";
  return config;
}

// Prefix and number, built without operator+ (GCC 12 misreports it).
std::string numbered(const char* prefix, int n) {
  std::string out = prefix;
  out += std::to_string(n);
  return out;
}

std::vector<std::string> table_names(const JsonMap& selected) {
  std::vector<std::string> out;
  for (const JsonValue& t : selected.find("tables")->as_list())
    out.push_back(t.get("table_name")->as_string());
  return out;
}

std::vector<std::string> column_names(const JsonMap& selected, std::size_t table_index) {
  std::vector<std::string> out;
  const JsonValue& t = selected.find("tables")->as_list()[table_index];
  for (const JsonValue& c : t.get("columns")->as_list()) out.push_back(c.get("name")->as_string());
  return out;
}

MetadataCatalog shop_catalog() {
  TableMeta orders =
      table("orders", {column("order_id", "primary_key"), column("order_date", "date"),
                       column("amount", "metric"), column("status", "dimension")});
  orders.columns[0].is_primary_key = true;
  orders.default_date_column = "order_date";
  TableMeta customers =
      table("customers", {column("customer_id", "primary_key"), column("city", "dimension")});
  TableMeta products = table("products", {column("product_id", "id"), column("price", "metric")});
  MetadataCatalog catalog;
  catalog.database = "shop";
  catalog.tables = {orders, customers, products};
  catalog.relationships = {join("orders", "customer_id", "customers", "customer_id"),
                           join("orders", "product_id", "products", "product_id")};
  return catalog;
}

// ======================= pipeline =======================

class SchemasiftPipelineBlank : public ::testing::TestWithParam<std::string> {};

TEST_P(SchemasiftPipelineBlank, BlankQuestionFailsBeforeAnyOtherWork) {
  Schemasift selector;
  // The catalog map is malformed: the question check must come first.
  JsonMap bad{{"tables", 5}};
  try {
    selector.select(GetParam(), bad);
    FAIL() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "question is required");
  }
}

INSTANTIATE_TEST_SUITE_P(Blanks, SchemasiftPipelineBlank,
                         ::testing::Values("", " ", "\t\n ", "\xe3\x80\x80"));

TEST(SchemasiftPipeline, OneLetterQuestionPasses) {
  MetadataCatalog catalog = shop_catalog();
  MetadataSelectionResult result = Schemasift(lexical_config()).select("x", catalog);
  EXPECT_EQ(result.metrics.output_tables, 1);
}

TEST(SchemasiftPipeline, ExclusionRewritesTheCallersCatalogAndItsMetrics) {
  MetadataCatalog catalog = shop_catalog();
  SelectOptions options;
  options.excluded_tables = {"customers"};
  options.required_tables = {"customers"};
  MetadataSelectionResult result =
      Schemasift(lexical_config()).select("customers by city", catalog, options);
  ASSERT_EQ(catalog.tables.size(), 2u);
  EXPECT_EQ(catalog.tables[0].table_name, "orders");
  EXPECT_EQ(catalog.tables[1].table_name, "products");
  EXPECT_EQ(result.metrics.input_tables, 2);
  EXPECT_EQ(result.metrics.input_columns, 6);
  for (const std::string& name : table_names(result.selected_metadata))
    EXPECT_NE(name, "customers");
}

TEST(SchemasiftPipeline, DatabaseArgument) {
  Schemasift selector(lexical_config());
  MetadataCatalog catalog = shop_catalog();
  SelectOptions empty_db;
  empty_db.database = "";
  selector.select("orders", catalog, empty_db);
  EXPECT_EQ(catalog.database, "shop");
  SelectOptions x_db;
  x_db.database = "x";
  selector.select("orders", catalog, x_db);
  EXPECT_EQ(catalog.database, "x");

  JsonMap map{{"database", "dev"}, {"tables", JsonList{JsonMap{{"table_name", "t"}}}}};
  MetadataSelectionResult result = selector.select("t", map, x_db);
  EXPECT_EQ(result.selected_metadata.find("database")->as_string(), "x");
  EXPECT_EQ(map.find("database")->as_string(), "dev");
}

TEST(SchemasiftPipeline, DebugRecordShapeAndLimits) {
  MetadataCatalog catalog;
  for (int i = 0; i < 25; ++i) catalog.tables.push_back(table(numbered("t", i)));
  MetadataSelectionResult result = Schemasift(lexical_config()).select("t3 rows", catalog);
  const JsonMap& debug = result.debug;
  std::vector<std::string> keys;
  for (const auto& [k, v] : debug) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"table_rankings", "selected_column_rankings",
                                            "strategy", "tfidf_available", "embedding_available"}));
  const JsonList& rankings = debug.find("table_rankings")->as_list();
  ASSERT_EQ(rankings.size(), 20u);
  EXPECT_EQ(rankings[0].get("table_name")->as_string(), "t3");
  // Equal scores keep catalog order after the best one.
  EXPECT_EQ(rankings[1].get("table_name")->as_string(), "t0");
  EXPECT_EQ(rankings[2].get("table_name")->as_string(), "t1");

  SelectorConfig quiet = lexical_config();
  quiet.include_debug = false;
  EXPECT_TRUE(Schemasift(quiet).select("t3", catalog).debug.empty());
}

TEST(SchemasiftPipeline, NothingMatchesStillOneTableAndEmptyCatalogNone) {
  MetadataCatalog catalog = shop_catalog();
  MetadataSelectionResult result = Schemasift(lexical_config()).select("zzz qqq", catalog);
  EXPECT_EQ(table_names(result.selected_metadata), std::vector<std::string>{"orders"});

  MetadataCatalog empty;
  MetadataSelectionResult none = Schemasift(lexical_config()).select("zzz", empty);
  EXPECT_TRUE(none.selected_metadata.find("tables")->as_list().empty());
  EXPECT_EQ(none.metrics.output_tables, 0);
}

TEST(SchemasiftPipeline, RequiredColumnsOfAnUnchosenTableChangeNothing) {
  Schemasift selector(lexical_config());
  SelectorConfig one = lexical_config();
  one.top_k_tables = 1;
  MetadataCatalog a = shop_catalog(), b = shop_catalog();
  SelectOptions options;
  options.required_columns.set("products", {"price"});
  MetadataSelectionResult with = Schemasift(one).select("order amount", a, options);
  MetadataSelectionResult without = Schemasift(one).select("order amount", b);
  EXPECT_EQ(with.selected_metadata, without.selected_metadata);
}

TEST(SchemasiftPipeline, SelectMetadataWithEmbeddingsButNoModelRunsNoEmbedding) {
  SelectMetadataOptions options;
  options.use_embeddings = true;
  JsonMap catalog = demo_catalog();
  MetadataSelectionResult result = select_metadata("revenue", catalog, options);
  EXPECT_EQ(*result.debug.find("embedding_available"), JsonValue(false));
  EXPECT_EQ(*result.debug.find("strategy"), JsonValue("hybrid"));
}

// ======================= lexical scoring =======================

TEST(SchemasiftLexical, TokenOverlapScore) {
  std::vector<std::string> reasons;
  double score = Schemasift::_token_overlap_score(
      {"revenue", "region", "total"}, {"revenue", "amount"}, 10.0, reasons, "column name");
  EXPECT_DOUBLE_EQ(score, 3.333333333333333);
  EXPECT_EQ(score, 1.0 / 3.0 * 10.0);
  EXPECT_EQ(reasons, std::vector<std::string>{"column name overlap: revenue"});

  WordSet nine = {"i", "h", "g", "f", "e", "d", "c", "b", "a"};
  reasons.clear();
  EXPECT_EQ(Schemasift::_token_overlap_score(nine, nine, 0.0, reasons, "x"), 0.0);
  EXPECT_EQ(reasons, std::vector<std::string>{"x overlap: a, b, c, d, e, f, g, h"});

  reasons.clear();
  EXPECT_EQ(Schemasift::_token_overlap_score({}, {"a"}, 1.0, reasons, "x"), 0.0);
  EXPECT_EQ(Schemasift::_token_overlap_score({"a"}, {"b"}, 1.0, reasons, "x"), 0.0);
  EXPECT_TRUE(reasons.empty());
}

TEST(SchemasiftLexical, NormalizeLexical) {
  EXPECT_EQ(Schemasift::_normalize_lexical(0.0), 0.0);
  EXPECT_EQ(Schemasift::_normalize_lexical(-3.0), 0.0);
  EXPECT_EQ(Schemasift::_normalize_lexical(std::nan("")), 0.0);
  EXPECT_EQ(Schemasift::_normalize_lexical(10.0), 0.5);
  EXPECT_EQ(Schemasift::_normalize_lexical(5.0), 0.3333333333333333);
}

struct ColumnCase {
  const char* name;
  const char* question;
  ColumnMeta col;
  double raw;
  std::vector<std::string> reasons;
};

class SchemasiftLexicalColumn : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(SchemasiftLexicalColumn, ScoresAndReasons) {
  const ColumnCase& c = GetParam();
  Schemasift selector;
  QueryIntent intent = selector.intent_parser.parse(c.question);
  LexicalScore score = selector._lexical_score_column(c.question, TableMeta{}, c.col, intent);
  EXPECT_EQ(score.first, Schemasift::_normalize_lexical(c.raw));
  EXPECT_EQ(score.second, c.reasons);
}

ColumnMeta with_synonyms(ColumnMeta c, std::vector<std::string> synonyms) {
  c.synonyms = std::move(synonyms);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SchemasiftLexicalColumn,
    ::testing::Values(
        ColumnCase{"two_synonym_phrases",
                   "sales date and created date",
                   with_synonyms(column("qq"), {"Sales Date", "created date", "zzz"}),
                   // tokens: sales, date, created (3); synonym overlap 3/3 * 8
                   8.0 + 5.0 + 5.0,
                   {"column synonym overlap: created, date, sales",
                    "exact synonym phrase: Sales Date", "exact synonym phrase: created date"}},
        ColumnCase{"count_bonus_primary_key",
                   "count orders",
                   column("x", "primary_key"),
                   0.8,
                   {"id column useful for count intent"}},
        ColumnCase{"no_count_no_bonus", "orders", column("x", "id"), 0.0, {}},
        ColumnCase{"any_keyword_in_name",
                   "type of orders",
                   column("order_status", "dimension"),
                   4.0 + 1.2,
                   {"dimension role matches grouping intent", "common dimension keyword match"}},
        ColumnCase{"exact_column_phrase_from_camel_case",
                   "show order date please",
                   column("OrderDate", "unknown"),
                   // tokens: order, date, please; name tokens order, date
                   2.0 / 3.0 * 10.0 + 5.0,
                   {"column name overlap: date, order", "exact column phrase"}},
        ColumnCase{"stop_word_question_tokens_never_overlap",
                   "the data",
                   column("the_data"),
                   // both words are stop words: no tokens, yet the phrase matches
                   5.0,
                   {"exact column phrase"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SchemasiftLexical, DateRoleFiresForTrendWithoutTimeFilter) {
  Schemasift selector;
  QueryIntent intent = bare_intent();
  intent.wants_trend = true;
  LexicalScore score =
      selector._lexical_score_column("q", TableMeta{}, column("d", "datetime"), intent);
  EXPECT_EQ(score.second, std::vector<std::string>{"date role matches time/trend intent"});
  // Tables never get role bonuses.
  EXPECT_EQ(selector._lexical_score_table("q", table("d"), intent).first, 0.0);
}

TEST(SchemasiftLexical, TableScore) {
  Schemasift selector;
  TableMeta t = table("sales_orders");
  t.business_name = "Sales Orders";
  t.tags = {"Revenue", "orders"};
  t.description = "All sales";
  std::string q = "sales orders by region";
  LexicalScore score = selector._lexical_score_table(q, t, selector.intent_parser.parse(q));
  // tokens: sales, orders, region
  double raw = 2.0 / 3 * 8 + 2.0 / 3 * 6 + 1.0 / 3 * 4 + 1.0 / 3 * 2 + 5 + 5;
  EXPECT_EQ(score.first, Schemasift::_normalize_lexical(raw));
  EXPECT_EQ(score.second,
            (std::vector<std::string>{
                "table name overlap: orders, sales", "business name overlap: orders, sales",
                "table tags overlap: orders", "table description overlap: sales",
                "exact table phrase", "exact business phrase"}));
}

// A direct transcription of the scoring rules on top of the text
// primitives, to check the allocation-free scanner against.
LexicalScore reference_column_score(const SelectorConfig& cfg, std::string_view question,
                                    const ColumnMeta& c, const QueryIntent& intent) {
  auto set_of = [](std::string_view text) {
    std::vector<std::string> tokens = tokenize(text);
    return WordSet(tokens.begin(), tokens.end());
  };
  auto joined = [](const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? " " : "") + items[i];
    return out;
  };
  WordSet q(intent.tokens.begin(), intent.tokens.end());
  std::string ql = unicode::to_lower(question);
  std::vector<std::string> reasons;
  double raw = 0.0;
  raw += Schemasift::_token_overlap_score(q, set_of(c.name), cfg.column_name_weight, reasons,
                                          "column name");
  raw += Schemasift::_token_overlap_score(q, set_of(joined(c.synonyms)), cfg.column_synonym_weight,
                                          reasons, "column synonym");
  raw += Schemasift::_token_overlap_score(q, set_of(joined(c.tags)), cfg.column_tag_weight, reasons,
                                          "column tags");
  raw += Schemasift::_token_overlap_score(q, set_of(c.description), cfg.column_description_weight,
                                          reasons, "column description");
  std::string phrase = _split_identifier(c.name);
  if (!phrase.empty() && ql.find(phrase) != std::string::npos) {
    raw += cfg.exact_phrase_bonus;
    reasons.push_back("exact column phrase");
  }
  for (const std::string& s : c.synonyms) {
    std::string low = unicode::to_lower(s);
    if (!low.empty() && ql.find(low) != std::string::npos) {
      raw += cfg.exact_phrase_bonus;
      reasons.push_back("exact synonym phrase: " + s);
    }
  }
  const std::string& r = c.role;
  if ((r == "date" || r == "datetime") && (intent.has_time_filter || intent.wants_trend)) {
    raw += cfg.role_intent_weight;
    reasons.push_back("date role matches time/trend intent");
  }
  if (r == "metric" && intent.wants_metric) {
    raw += cfg.role_intent_weight;
    reasons.push_back("metric role matches metric intent");
  }
  if ((r == "dimension" || r == "text") && intent.wants_grouping) {
    raw += cfg.role_intent_weight;
    reasons.push_back("dimension role matches grouping intent");
  }
  if ((q.count("count") || q.count("total")) && (r == "id" || r == "primary_key")) {
    raw += 0.8;
    reasons.push_back("id column useful for count intent");
  }
  std::string name_lower = unicode::to_lower(c.name);
  bool keyword_in_name = false;
  for (const char* k : {"status", "type", "category"})
    keyword_in_name = keyword_in_name || name_lower.find(k) != std::string::npos;
  if ((q.count("status") || q.count("type") || q.count("category")) &&
      (r == "dimension" || r == "text") && keyword_in_name) {
    raw += 1.2;
    reasons.push_back("common dimension keyword match");
  }
  return {Schemasift::_normalize_lexical(raw), reasons};
}

TEST(SchemasiftLexical, ScannerAgreesWithTheRulesOnRandomText) {
  const std::vector<std::string> words = {"Revenue",
                                          "revenue",
                                          "total",
                                          "count",
                                          "by",
                                          "the",
                                          "order_date",
                                          "OrderDate",
                                          "customerID",
                                          "Status",
                                          "type",
                                          "category",
                                          "sales",
                                          "region",
                                          "caf\xc3\xa9",
                                          "\xe2\x84\xaa"
                                          "elvin",
                                          "\xc4\xb0stanbul",
                                          "x-y.z",
                                          "A",
                                          "_",
                                          " ",
                                          "6",
                                          "months",
                                          "TYPE",
                                          "data",
                                          "URLPath",
                                          "na\xc3\xafve",
                                          "daily",
                                          "sales date",
                                          "\xce\xa3\xce\xa3"};
  const std::vector<std::string> roles = {"metric",      "dimension", "date",    "datetime", "id",
                                          "primary_key", "text",      "unknown", "Metric"};
  std::mt19937 rng(7);
  auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  auto phrase = [&](int max_words) {
    std::string out;
    int n = static_cast<int>(rng() % (max_words + 1));
    const char* seps[] = {" ", "_", "", "-", "  "};
    for (int i = 0; i < n; ++i) out += (i ? seps[rng() % 5] : "") + pick(words);
    return out;
  };
  Schemasift selector;
  for (int trial = 0; trial < 3000; ++trial) {
    std::string question = phrase(6);
    QueryIntent intent = selector.intent_parser.parse(question);
    if (trial % 5 == 0) intent.tokens.push_back(pick(words));  // tokens the parser never makes
    ColumnMeta c = column(phrase(3), pick(roles));
    for (int i = static_cast<int>(rng() % 3); i > 0; --i) c.synonyms.push_back(phrase(2));
    for (int i = static_cast<int>(rng() % 3); i > 0; --i) c.tags.push_back(phrase(2));
    c.description = phrase(5);
    LexicalScore fast = selector._lexical_score_column(question, TableMeta{}, c, intent);
    LexicalScore slow = reference_column_score(selector.config, question, c, intent);
    ASSERT_EQ(fast.first, slow.first) << question << " | " << c.name;
    ASSERT_EQ(fast.second, slow.second) << question << " | " << c.name;
  }
}

// ======================= vector backends and blend =======================

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

// ======================= choice =======================

TEST(SchemasiftChoice, RequiredTablesFirstAndTopKCut) {
  SelectorConfig config = lexical_config();
  Schemasift selector(config);
  MetadataCatalog catalog = shop_catalog();
  QueryIntent intent = selector.intent_parser.parse("amount");
  std::vector<ScoredTable> scored =
      selector._score_tables("amount", catalog, intent, {}, {}, {"customers"});
  ASSERT_EQ(scored.size(), 3u);
  EXPECT_EQ(scored[1].reasons.back(), "required table");
  EXPECT_GE(scored[1].score, 100.0);
  std::vector<ScoredTable> chosen = selector._choose_tables(scored, {"customers"});
  EXPECT_EQ(chosen[0].table.table_name, "customers");

  config.top_k_tables = 1;
  std::vector<ScoredTable> both = Schemasift(config)._score_tables("products", catalog, intent, {},
                                                                   {}, {"customers", "products"});
  std::vector<ScoredTable> one = Schemasift(config)._choose_tables(both, {"customers", "products"});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].table.table_name, "products");
}

TEST(SchemasiftChoice, BelowMinimumGivesTheBestOneAndTiesKeepOrder) {
  SelectorConfig config = lexical_config();
  config.min_table_score = 0.9;
  Schemasift selector(config);
  std::vector<ScoredTable> entries = {scored(table("a"), 0.1), scored(table("b"), 0.3),
                                      scored(table("c"), 0.3)};
  std::vector<ScoredTable> chosen = selector._choose_tables(entries, {});
  ASSERT_EQ(chosen.size(), 1u);
  EXPECT_EQ(chosen[0].table.table_name, "b");
  config.min_table_score = 0.0;
  config.top_k_tables = 0;
  EXPECT_EQ(Schemasift(config)._choose_tables(entries, {}).size(), 1u);
  config.top_k_tables = 5;
  std::vector<ScoredTable> all = Schemasift(config)._choose_tables(entries, {});
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].table.table_name, "c");
  EXPECT_TRUE(Schemasift(config)._choose_tables({}, {}).empty());
}

TEST(SchemasiftChoice, IdenticalTwinTablesAreChosenOnce) {
  SelectorConfig config = lexical_config();
  config.min_table_score = 0.0;
  MetadataCatalog catalog;
  catalog.tables = {table("t"), table("t"), table("u")};
  MetadataSelectionResult result = Schemasift(config).select("t", catalog);
  EXPECT_EQ(table_names(result.selected_metadata), (std::vector<std::string>{"t", "u"}));
}

TEST(SchemasiftChoice, BestColumnAddsAFifthOfItsLexicalScore) {
  Schemasift selector(lexical_config());
  TableMeta t = table("zz", {column("amount", "metric"), column("other")});
  std::string q = "amount";
  QueryIntent intent = selector.intent_parser.parse(q);
  double best = selector._lexical_score_column(q, t, t.columns[0], intent).first;
  MetadataCatalog catalog;
  catalog.tables = {t, table("empty")};
  std::vector<ScoredTable> scored = selector._score_tables(q, catalog, intent, {}, {}, {});
  EXPECT_EQ(scored[0].score, selector._lexical_score_table(q, t, intent).first + 0.2 * best);
  EXPECT_EQ(scored[1].score, 0.0);
}

TEST(SchemasiftChoice, ExcludedDefaultDateColumnIsNeverChosen) {
  Schemasift selector(lexical_config());
  TableMeta t = shop_catalog().tables[0];
  std::string q = "amount last month";
  QueryIntent intent = selector.intent_parser.parse(q);
  ASSERT_TRUE(intent.has_time_filter);
  std::vector<ScoredColumn> cols =
      selector._score_and_choose_columns(q, t, intent, {}, {}, {}, {"order_date"});
  for (const ScoredColumn& c : cols) EXPECT_NE(c.column.name, "order_date");
  std::vector<ScoredColumn> with_date =
      selector._score_and_choose_columns(q, t, intent, {}, {}, {}, {});
  EXPECT_EQ(with_date[0].column.name, "order_date");
  EXPECT_EQ(with_date[0].reasons.back(), "default date column for time intent");
}

TEST(SchemasiftChoice, TrendWithoutTimeFilterAddsADateColumnWithoutTheDefaultBonus) {
  Schemasift selector(lexical_config());
  TableMeta t = table("t", {column("a"), column("when", "date"), column("b")});
  t.default_date_column = "when";
  QueryIntent intent = bare_intent();
  intent.wants_trend = true;
  SelectorConfig strict = lexical_config();
  strict.min_column_score = 0.99;
  std::vector<ScoredColumn> cols =
      Schemasift(strict)._score_and_choose_columns("q", t, intent, {}, {}, {}, {});
  ASSERT_EQ(cols.size(), 1u);
  EXPECT_EQ(cols[0].column.name, "when");
  EXPECT_EQ(cols[0].reasons, std::vector<std::string>{"date role matches time/trend intent"});
}

TEST(SchemasiftChoice, IntentColumnsAreCutByTheColumnLimit) {
  SelectorConfig config = lexical_config();
  config.max_columns_per_table = 2;
  config.min_column_score = 0.3;  // the date column gets in only for the time intent
  TableMeta t = table("t", {column("amount", "metric"), column("price", "metric"),
                            column("cost", "metric"), column("day", "date")});
  std::string q = "amount price cost last month";
  Schemasift selector(config);
  QueryIntent intent = selector.intent_parser.parse(q);
  std::vector<ScoredColumn> cols = selector._score_and_choose_columns(q, t, intent, {}, {}, {}, {});
  ASSERT_EQ(cols.size(), 2u);
  config.max_columns_per_table = 4;
  std::vector<ScoredColumn> all =
      Schemasift(config)._score_and_choose_columns(q, t, intent, {}, {}, {}, {});
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[3].column.name, "day");
  for (const ScoredColumn& c : cols) EXPECT_NE(c.column.name, "day");
}

TEST(SchemasiftChoice, EnsureIntentColumnsAddsOneBestUnchosenPerRoleGroup) {
  QueryIntent intent = bare_intent();
  intent.has_time_filter = intent.wants_metric = intent.wants_grouping = true;
  std::vector<ScoredColumn> ranked = {
      scored(column("m1", "metric"), 0.5), scored(column("d1", "dimension"), 0.4),
      scored(column("t1", "text"), 0.3), scored(column("m2", "metric"), 0.2),
      scored(column("x", "datetime"), 0.1)};
  std::vector<ScoredColumn> selected = {ranked[0]};
  std::vector<ScoredColumn>& out =
      Schemasift::_ensure_intent_columns(TableMeta{}, ranked, selected, intent);
  EXPECT_EQ(&out, &selected);
  std::vector<std::string> names;
  for (const ScoredColumn& c : selected) names.push_back(c.column.name);
  EXPECT_EQ(names, (std::vector<std::string>{"m1", "x", "m2", "d1"}));
}

TEST(SchemasiftChoice, RequiredColumnsBelowTheMinimumAreKept) {
  SelectorConfig config = lexical_config();
  config.min_column_score = 0.5;
  TableMeta t = table("t", {column("a"), column("b"), column("c")});
  QueryIntent intent = bare_intent();
  std::vector<ScoredColumn> cols =
      Schemasift(config)._score_and_choose_columns("q", t, intent, {}, {}, {"c", "zz"}, {"a"});
  ASSERT_EQ(cols.size(), 1u);
  EXPECT_EQ(cols[0].column.name, "c");
  EXPECT_EQ(cols[0].score, 100.0);
  // Nothing passes: the best non-excluded column stays.
  std::vector<ScoredColumn> fallback =
      Schemasift(config)._score_and_choose_columns("q", t, intent, {}, {}, {}, {"a"});
  ASSERT_EQ(fallback.size(), 1u);
  EXPECT_EQ(fallback[0].column.name, "b");
}

TEST(SchemasiftChoice, RelationshipsAndNeighbourJoins) {
  MetadataCatalog catalog = shop_catalog();
  catalog.relationships.push_back(catalog.relationships[1]);  // a duplicate neighbour join
  SelectorConfig config = lexical_config();
  std::vector<ScoredTable> chosen = {scored(catalog.tables[0], 1.0),
                                     scored(catalog.tables[1], 0.5)};
  std::vector<RelationshipMeta> joins = Schemasift(config)._select_relationships(catalog, chosen);
  ASSERT_EQ(joins.size(), 1u);
  EXPECT_EQ(joins[0].to_table, "customers");
  config.include_neighbor_tables_for_joins = true;
  joins = Schemasift(config)._select_relationships(catalog, chosen);
  ASSERT_EQ(joins.size(), 2u);
  EXPECT_EQ(joins[1].to_table, "products");
  config.include_relationships = false;
  EXPECT_TRUE(Schemasift(config)._select_relationships(catalog, chosen).empty());
}

// ======================= output, budget, metrics =======================

std::size_t measured(const JsonMap& m) {
  JsonWriteOptions options;
  options.ensure_ascii = false;
  return unicode::code_point_length(json_text(JsonValue(m), options));
}

TEST(SchemasiftOutput, MapShapeAndConditionalKeys) {
  SelectorConfig config = lexical_config();
  config.include_sample_values = true;
  config.max_sample_values_per_column = 0;
  TableMeta t = table("t", {column("f", "foreign_key"), column("s")});
  t.row_count = 0;
  t.columns[1].sample_values = {1, 2};
  t.columns[1].is_foreign_key = true;
  TableMeta u = table("u");
  u.default_date_column = "";
  MetadataCatalog db_catalog;
  db_catalog.database = "db";
  ScoredTable st = scored(t, 0.1234566);
  st.columns = {scored(t.columns[0], 1.0 / 3), scored(t.columns[1], 0.5)};
  JsonMap out = Schemasift(config)._build_selected_metadata(db_catalog, {st, scored(u, 0.0)}, {});
  std::string text = json_text(JsonValue(out));
  EXPECT_EQ(text,
            "{\"database\": \"db\", \"tables\": [{\"table_name\": \"t\", \"score\": 0.123457, "
            "\"columns\": [{\"name\": \"f\", \"type\": \"\", \"role\": \"foreign_key\", \"score\": "
            "0.333333}, {\"name\": \"s\", \"type\": \"\", \"role\": \"unknown\", \"score\": 0.5, "
            "\"is_foreign_key\": true, \"sample_values\": []}], \"row_count\": 0}, "
            "{\"table_name\": \"u\", \"score\": 0.0, \"columns\": []}], \"relationships\": []}");
}

class SchemasiftOutputBudget : public ::testing::Test {
 protected:
  JsonMap built() {
    MetadataCatalog catalog;
    catalog.database = "db";
    std::vector<ScoredTable> tables;
    for (int t = 0; t < 2; ++t) {
      TableMeta meta = table(numbered("t", t));
      meta.description = std::string(40, 'd');
      ScoredTable st = scored(meta, 0.5);
      for (int c = 0; c < 8; ++c) {
        ColumnMeta col = column(numbered("c", c));
        col.description = "about " + col.name;
        col.synonyms = {"alias"};
        col.sample_values = {1};
        st.columns.push_back(scored(col, 0.1));
      }
      tables.push_back(st);
    }
    std::vector<RelationshipMeta> rels = {join("t0", "c0", "t1", "c0")};
    return Schemasift(config_)._build_selected_metadata(catalog, tables, rels);
  }
  void SetUp() override {
    config_.include_sample_values = true;
    config_.max_columns_per_table = 8;
  }
  SelectorConfig config_ = lexical_config();
};

TEST_F(SchemasiftOutputBudget, NoBudgetOrRoomyBudgetKeepsEverything) {
  JsonMap full = built();
  EXPECT_EQ(Schemasift(config_)._apply_output_budget(full), full);
  config_.max_output_chars = 0;
  EXPECT_FALSE(Schemasift(config_)._trimmed_to_budget(full));
  config_.max_output_chars = static_cast<std::int64_t>(measured(full));
  EXPECT_FALSE(Schemasift(config_)._trimmed_to_budget(full));
}

TEST_F(SchemasiftOutputBudget, StageOneDropsDescriptionsSynonymsAndSamplesOnly) {
  JsonMap full = built();
  JsonMap expected = full;
  for (JsonValue& t : expected.find("tables")->as_list()) {
    t.as_map().erase("description");
    for (JsonValue& c : t.as_map().find("columns")->as_list()) {
      c.as_map().erase("description");
      c.as_map().erase("synonyms");
      c.as_map().erase("sample_values");
    }
  }
  config_.max_output_chars = static_cast<std::int64_t>(measured(expected));
  EXPECT_EQ(Schemasift(config_)._apply_output_budget(full), expected);
}

TEST_F(SchemasiftOutputBudget, StageTwoKeepsHalfTheColumnLimitButAtLeastThree) {
  JsonMap full = built();
  config_.max_output_chars = static_cast<std::int64_t>(measured(full)) / 3;
  JsonMap trimmed = Schemasift(config_)._apply_output_budget(full);
  EXPECT_EQ(column_names(trimmed, 0), (std::vector<std::string>{"c0", "c1", "c2", "c3"}));
  EXPECT_EQ(trimmed.find("relationships")->as_list().size(), 1u);
  config_.max_columns_per_table = 2;
  JsonMap three = Schemasift(config_)._apply_output_budget(built());
  EXPECT_EQ(column_names(three, 1).size(), 3u);
}

TEST_F(SchemasiftOutputBudget, StageThreeKeepsOneTableWhateverItsSize) {
  config_.max_output_chars = 1;
  JsonMap trimmed = Schemasift(config_)._apply_output_budget(built());
  EXPECT_EQ(table_names(trimmed), std::vector<std::string>{"t0"});
  EXPECT_TRUE(trimmed.find("relationships")->as_list().empty());
  std::vector<std::string> keys;
  for (const auto& [k, v] : trimmed) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"database", "tables", "relationships"}));
  EXPECT_GT(measured(trimmed), 1u);
}

TEST(SchemasiftOutput, MeasuringCountsCodePoints) {
  EXPECT_EQ(internal::measured_size(JsonMap{{"a", "\xc3\xa9"}}), 10);
  EXPECT_EQ(Schemasift::_reduction_percent(0, 0), 0.0);
  EXPECT_EQ(Schemasift::_reduction_percent(10, 4), 60.0);
  EXPECT_EQ(Schemasift::_reduction_percent(3, 1), 66.66666666666666);
  EXPECT_EQ(Schemasift::_reduction_percent(4, 10), 0.0);
  EXPECT_EQ(Schemasift::_reduction_percent(-1, -5), 0.0);
}

TEST(SchemasiftOutput, CatalogTextIsThePromptFormWithSortedKeys) {
  MetadataCatalog catalog = shop_catalog();
  ColumnMeta& c = catalog.tables[0].columns[1];
  c.description = "quote \" back \\ nl \n tab \t bell \x07 del \x7f \xc3\xa9 \xf0\x9f\x98\x80";
  c.nullable = false;
  c.synonyms = {"b", "a"};
  c.sample_values = {
      1.5,  std::nan(""), JsonMap{{"z", 1}, {"a", JsonList{JsonMap{{"y", 2}, {"b", 3}}}}},
      -0.0, 1e16,         "s"};
  c.extra = JsonMap{{"zeta", true}, {"alpha", JsonValue()}, {"\xc3\xa9", 1}, {"Z", 2}};
  catalog.tables[1].row_count = 12;
  catalog.tables[1].default_metric_column = "x";
  catalog.relationships[0].extra = JsonMap{{"b", 1}, {"a", 2}};
  JsonWriteOptions sorted;
  sorted.sort_keys = true;
  sorted.ensure_ascii = false;
  JsonValue prompt(catalog.to_prompt_dict());
  EXPECT_EQ(internal::sorted_prompt_text(catalog, catalog.database), json_text(prompt, sorted));
  internal::CatalogMeasure m =
      internal::measure_catalog(internal::measure_catalog_text(catalog, catalog.database), 4.0);
  EXPECT_EQ(m.hash, stable_hash(prompt));
  JsonWriteOptions plain;
  plain.ensure_ascii = false;
  EXPECT_EQ(m.chars,
            static_cast<std::int64_t>(unicode::code_point_length(json_text(prompt, plain))));
}

TEST(SchemasiftOutput, MetricsFollowTheBudgetedOutput) {
  MetadataCatalog catalog = shop_catalog();
  SelectorConfig config = lexical_config();
  config.max_output_chars = 1;
  MetadataSelectionResult r = Schemasift(config).select("orders customers products", catalog);
  const SelectionMetrics& m = r.metrics;
  EXPECT_EQ(m.input_tables, 3);
  EXPECT_EQ(m.input_columns, 8);
  EXPECT_EQ(m.output_tables, 1);
  EXPECT_EQ(m.output_columns,
            static_cast<std::int64_t>(column_names(r.selected_metadata, 0).size()));
  EXPECT_EQ(m.output_chars, static_cast<std::int64_t>(measured(r.selected_metadata)));
  EXPECT_EQ(m.output_estimated_tokens,
            estimate_tokens(internal::measuring_text(r.selected_metadata)));
  EXPECT_EQ(m.table_reduction_percent, Schemasift::_reduction_percent(3, 1));
  EXPECT_EQ(m.compression_ratio,
            static_cast<double>(m.input_estimated_tokens) / m.output_estimated_tokens);
  EXPECT_EQ(m.catalog_hash, stable_hash(JsonValue(catalog.to_prompt_dict())));
}

// ======================= demonstration =======================

TEST(SchemasiftDemo, CatalogShape) {
  JsonMap demo = demo_catalog();
  MetadataCatalog catalog = CatalogNormalizer::normalize(demo);
  ASSERT_EQ(catalog.tables.size(), 2u);
  EXPECT_EQ(catalog.tables[0].columns.size(), 5u);
  EXPECT_EQ(catalog.tables[1].columns[2].synonyms, (std::vector<std::string>{"age", "age band"}));
  EXPECT_EQ(catalog.relationships.size(), 1u);
  std::vector<std::string> keys;
  for (const auto& [k, v] : demo.find("tables")->as_list()[1].as_map()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"table_name", "business_name", "description", "tags",
                                            "columns"}));
}

TEST(SchemasiftDemo, OutputLines) {
  std::string out = demo_output();
  EXPECT_NE(out.find("\ntables 2 \xe2\x86\x92 2 (0.0% cut), columns 8 \xe2\x86\x92 8 (0.0% cut), "
                     "tokens ~671 \xe2\x86\x92 ~452 (32.6% cut), compression 1.48x\n"),
            std::string::npos);
  EXPECT_TRUE(out.ends_with("  \"tfidf_available\": true,\n  \"embedding_available\": false\n}\n"));
  EXPECT_EQ(out.substr(0, 52), "{\n  \"database\": \"client_abc_db\",\n  \"tables\": [\n    {");
}

}  // namespace
}  // namespace tessarin::schemasift
