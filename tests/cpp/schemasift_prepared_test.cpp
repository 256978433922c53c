// Prepared catalogs: selections equal to those on the catalog, the binary
// form and its damage checks, batch selection, and TF-IDF scoring by term.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessarin/common/json_text.h"
#include "tessarin/common/sha256.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/catalog_codec.h"
#include "tessarin/schemasift/catalog_text.h"
#include "tessarin/schemasift/lexical_index.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/prepared.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"
#include "tessarin/schemasift/tfidf.h"
#include "test_support.h"

namespace tessarin::schemasift {
namespace {

const std::vector<std::string> kWords = {
    "order", "customer", "revenue", "region", "status", "type",     "category",  "date",
    "total", "count",    "id",      "name",   "Café",   "İstanbul", "OrderDate", "x"};
const std::vector<std::string> kRoles = {"metric", "dimension", "date",       "id",
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
  catalog.relationships.push_back({catalog.tables[0].table_name,
                                   "id",
                                   catalog.tables.back().table_name,
                                   "id",
                                   "many_to_one",
                                   "",
                                   {}});
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
  catalog.tables[0].columns[0].sample_values = {JsonValue(-1.5), JsonValue(true),
                                                JsonValue(JsonList{JsonValue(1), JsonValue("é")}),
                                                JsonValue(JsonMap{{"k", JsonValue(nullptr)}}),
                                                JsonValue(static_cast<long long>(-(1LL << 62)))};
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
    for (int k = 0; k < 3; ++k)
      damaged[32 + rnd() % (damaged.size() - 32)] = static_cast<char>(rnd());
    try {
      PreparedCatalog::deserialize(damaged);  // may still be a valid catalog
    } catch (const std::invalid_argument&) {
    }
  }
  std::string other_version = data;
  other_version[26] = 9;  // the format number follows the magic text
  EXPECT_THROW(PreparedCatalog::deserialize(other_version), std::invalid_argument);
}

// Offsets in the serialized form: the format number follows the magic
// text, then a checksum of everything after it.
constexpr std::size_t kFormatAt = 26;
constexpr std::size_t kChecksumAt = 27;
constexpr std::size_t kBodyAt = 35;

void reseal(std::string& data) {
  std::uint64_t sum = codec::checksum(std::string_view(data).substr(kBodyAt));
  for (std::size_t b = 0; b < 8; ++b) data[kChecksumAt + b] = static_cast<char>(sum >> (8 * b));
}

TEST(PreparedCatalog, DamageUnderAValidChecksumIsRefusedOrHarmless) {
  // Every length and position read is checked, whatever the checksum says:
  // a damaged form fails with invalid_argument, or loads into a catalog that
  // selects without fault. Big enough to be written in parts.
  for (std::size_t tables : {4u, 300u}) {
    MetadataCatalog catalog = random_catalog(11, tables);
    std::string data = PreparedCatalog(catalog).serialize();
    std::mt19937 rnd(static_cast<unsigned>(tables));
    Schemasift selector;
    int loaded = 0;
    for (int i = 0; i < (tables > 100 ? 60 : 400); ++i) {
      std::string damaged = data;
      if (i % 4 == 0) {
        damaged.resize(kBodyAt + rnd() % (damaged.size() - kBodyAt));
      } else {
        for (int k = 0; k < 1 + i % 3; ++k) {
          std::size_t at = kBodyAt + rnd() % (damaged.size() - kBodyAt);
          damaged[at] = static_cast<char>(damaged[at] ^ (1u << (rnd() % 8)));
        }
      }
      reseal(damaged);
      try {
        std::shared_ptr<PreparedCatalog> prepared = PreparedCatalog::deserialize(damaged);
        ++loaded;
        for (const char* question : {"total revenue by region", "order date status x"})
          selector.select(question, *prepared);
      } catch (const std::invalid_argument&) {
      }
    }
    EXPECT_LT(loaded, 400);
  }
}

TEST(PreparedCatalog, DamageIsCaughtByTheChecksum) {
  MetadataCatalog catalog = random_catalog(12, 300);
  std::string data = PreparedCatalog(catalog).serialize();
  std::mt19937 rnd(3);
  for (int i = 0; i < 200; ++i) {
    std::string damaged = data;
    std::size_t at = kChecksumAt + rnd() % (damaged.size() - kChecksumAt);
    damaged[at] = static_cast<char>(damaged[at] ^ (1u << (rnd() % 8)));
    EXPECT_THROW(PreparedCatalog::deserialize(damaged), std::invalid_argument) << at;
  }
  std::string other = data;
  other[kFormatAt] = 1;
  try {
    PreparedCatalog::deserialize(other);
    ADD_FAILURE() << "format 1 was read";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("format 1"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("format 3"), std::string::npos) << e.what();
  }
}

TEST(PreparedCatalog, DamageFoundWhileDecodingOnThreadsIsReportedAsDamage) {
  // Large enough to be decoded on several threads, where the checksum is
  // worked out beside the records: whatever a decoder trips over first, a
  // wrong checksum is what the error says.
  MetadataCatalog catalog = random_catalog(13, 5000);
  std::string data = PreparedCatalog(catalog).serialize();
  ASSERT_GE(data.size(), std::size_t{1} << 19);
  std::mt19937 rnd(4);
  for (int i = 0; i < 40; ++i) {
    std::string damaged = data;
    std::size_t at = kBodyAt + rnd() % (damaged.size() - kBodyAt);
    damaged[at] = static_cast<char>(damaged[at] ^ (1u << (rnd() % 8)));
    if (i % 2) damaged.resize(kBodyAt + rnd() % (damaged.size() - kBodyAt));
    try {
      PreparedCatalog::deserialize(damaged);
      ADD_FAILURE() << "damage at " << at << " was read";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
    }
  }
  std::shared_ptr<PreparedCatalog> loaded = PreparedCatalog::deserialize(data);
  EXPECT_EQ(loaded->catalog(), catalog);
  EXPECT_EQ(loaded->serialize(), data);
}

TEST(PreparedCatalog, LoadedIndexSelectsAsTheBuiltOne) {
  // Past 256 tables the records go in parts, decoded on several threads.
  for (std::size_t tables : {1u, 255u, 256u, 700u}) {
    MetadataCatalog catalog = random_catalog(static_cast<unsigned>(tables), tables);
    catalog.tables[0].table_name = "_";  // an identifier that splits to nothing
    PreparedCatalog prepared(catalog);
    std::shared_ptr<PreparedCatalog> loaded = PreparedCatalog::deserialize(prepared.serialize());
    EXPECT_EQ(loaded->catalog(), catalog);
    EXPECT_EQ(loaded->nbytes() > 0, true);
    Words w(static_cast<unsigned>(tables) + 5);
    for (int round = 0; round < 6; ++round) {
      Schemasift selector(config_of(w));
      std::string question = question_of(w);
      MetadataCatalog copy = catalog;
      EXPECT_TRUE(same(selector.select(question, *loaded), selector.select(question, copy)))
          << tables << " tables, question " << question;
    }
  }
}

TEST(PreparedCatalog, BuiltWhileReadEqualsPreparedAtOnce) {
  for (std::size_t tables : {0u, 1u, 40u, 300u}) {
    MetadataCatalog catalog =
        random_catalog(static_cast<unsigned>(tables) + 2, tables ? tables : 1);
    if (tables == 0) catalog.tables.clear();
    MetadataCatalog records;
    records.database = catalog.database;
    records.tables.reserve(catalog.tables.size());
    PreparedCatalog::Builder builder;
    for (const TableMeta& table : catalog.tables) {
      records.tables.push_back(table);
      builder.table_added(records.tables.data(), records.tables.size());
    }
    records.relationships = catalog.relationships;
    std::shared_ptr<PreparedCatalog> built = builder.finish(std::move(records));
    PreparedCatalog whole(catalog);
    EXPECT_EQ(built->catalog(), catalog);
    EXPECT_EQ(built->catalog_hash(), whole.catalog_hash());
    EXPECT_EQ(built->serialize(), whole.serialize());  // the same index, to the byte
    Schemasift selector;
    EXPECT_TRUE(same(selector.select("total revenue by region x", *built),
                     selector.select("total revenue by region x", whole)));
  }
}

TEST(PreparedCatalog, BuilderLeftOrGivenOtherTablesIsSafe) {
  MetadataCatalog catalog = random_catalog(4, 50);
  {
    MetadataCatalog records;
    records.tables.reserve(catalog.tables.size());
    PreparedCatalog::Builder builder;
    for (std::size_t t = 0; t < 20; ++t) {
      records.tables.push_back(catalog.tables[t]);
      builder.table_added(records.tables.data(), records.tables.size());
    }
  }  // given up half way: the threads stop before the records go
  PreparedCatalog::Builder builder;
  MetadataCatalog partial = catalog;
  builder.table_added(partial.tables.data(), 10);
  // finish with a catalog of other tables than those handed over
  std::shared_ptr<PreparedCatalog> built = builder.finish(catalog);
  EXPECT_EQ(built->catalog_hash(), PreparedCatalog(catalog).catalog_hash());
}

// Strings that need escapes, multi-byte characters, and runs long enough
// to cross every word and block boundary of the text writer.
std::string tricky_text(std::mt19937& rnd) {
  static const char* pieces[] = {"a",
                                 "Z9",
                                 "\"",
                                 "\\",
                                 "\n",
                                 "\x01",
                                 "\x1f",
                                 "\x7f",
                                 "/",
                                 "\xC3\xA9",
                                 "\xE6\x97\xA5",
                                 "\xF0\x9F\x98\x80",
                                 "\xE2\x80\xA8",
                                 " ",
                                 "abcdefgh"};
  std::string out;
  for (std::size_t n = rnd() % 24; n > 0; --n) out += pieces[rnd() % std::size(pieces)];
  return out;
}

JsonValue tricky_value(std::mt19937& rnd) {
  return test_support::random_json(rnd, 0, tricky_text, [](std::mt19937& r, std::size_t n) {
    return tricky_text(r) + std::to_string(n);
  });
}

MetadataCatalog tricky_catalog(unsigned seed) {
  std::mt19937 rnd(seed);
  MetadataCatalog catalog = random_catalog(seed, 1 + seed % 9);
  catalog.database = tricky_text(rnd);
  for (TableMeta& table : catalog.tables) {
    table.description = tricky_text(rnd);
    table.extra[tricky_text(rnd)] = tricky_value(rnd);
    if (rnd() % 3 == 0) table.row_count = static_cast<std::int64_t>(rnd()) - (1LL << 31);
    for (ColumnMeta& col : table.columns) {
      col.name += tricky_text(rnd);
      col.sample_values = {tricky_value(rnd), tricky_value(rnd)};
      col.extra[tricky_text(rnd)] = tricky_value(rnd);
      col.nullable = rnd() % 3 == 0 ? std::optional<bool>() : std::optional<bool>(rnd() % 2);
    }
  }
  catalog.relationships[0].description = tricky_text(rnd);
  catalog.relationships[0].extra["note"] = tricky_value(rnd);
  return catalog;
}

TEST(CatalogText, MeasureIsThatOfTheSortedJsonOfThePromptMap) {
  JsonWriteOptions sorted;
  sorted.sort_keys = true;
  sorted.ensure_ascii = false;
  for (unsigned seed = 1; seed <= 60; ++seed) {
    MetadataCatalog catalog = tricky_catalog(seed);
    std::string expected = json_text(JsonValue(catalog.to_prompt_dict()), sorted);
    EXPECT_EQ(internal::sorted_prompt_text(catalog, catalog.database), expected) << seed;
    CatalogTextMeasure measure = internal::measure_catalog_text(catalog, catalog.database);
    EXPECT_EQ(measure.chars, static_cast<std::int64_t>(unicode::code_point_length(expected)));
    EXPECT_EQ(measure.hash, sha256_hex(expected).substr(0, 16));
    // The same, written table by table.
    internal::CatalogTextBuilder builder;
    for (const TableMeta& table : catalog.tables) builder.add_table(table);
    CatalogTextMeasure built = builder.finish(catalog, "other name");
    CatalogTextMeasure renamed = internal::measure_catalog_text(catalog, "other name");
    EXPECT_EQ(built.hash, renamed.hash);
    EXPECT_EQ(built.chars, renamed.chars);
  }
}

TEST(CatalogText, TrickyCatalogsRoundTripThroughTheSerializedForm) {
  for (unsigned seed = 1; seed <= 30; ++seed) {
    MetadataCatalog catalog = tricky_catalog(seed);
    PreparedCatalog prepared(catalog);
    std::shared_ptr<PreparedCatalog> loaded = PreparedCatalog::deserialize(prepared.serialize());
    // NaN is not equal to itself: compare the texts instead of the records.
    EXPECT_EQ(internal::sorted_prompt_text(loaded->catalog(), "d"),
              internal::sorted_prompt_text(catalog, "d"));
    EXPECT_EQ(loaded->catalog_hash(), prepared.catalog_hash());
  }
}

TEST(KeySet, NumbersKeysInOrderAndFindsThemBack) {
  internal::KeySet keys;
  std::vector<std::string> words;
  for (int i = 0; i < 5000; ++i) words.push_back(std::string(i % 37, 'k') + std::to_string(i));
  words.push_back("");
  for (std::size_t i = 0; i < words.size(); ++i) EXPECT_EQ(keys.insert(words[i]), i);
  EXPECT_EQ(keys.insert(words[17]), 17u);  // already there
  EXPECT_EQ(keys.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(keys.find(words[i]), i);
    EXPECT_EQ(keys.key(static_cast<std::uint32_t>(i)), words[i]);
  }
  EXPECT_EQ(keys.find("absent"), internal::KeySet::kNone);

  codec::Writer out;
  keys.write(out);
  internal::KeySet read;
  codec::Reader in(out.data());
  read.read(in);
  EXPECT_TRUE(in.at_end());
  for (std::size_t i = 0; i < words.size(); i += 97) EXPECT_EQ(read.find(words[i]), i);

  // Written twice, a key is refused; so are offsets past the text.
  codec::Writer twice;
  twice.bytes("abab");
  twice.u32s({0, 2, 4});
  codec::Reader twice_in(twice.data());
  EXPECT_THROW(internal::KeySet().read(twice_in), std::invalid_argument);
  codec::Writer past;
  past.bytes("ab");
  past.u32s({0, 3});
  codec::Reader past_in(past.data());
  EXPECT_THROW(internal::KeySet().read(past_in), std::invalid_argument);
}

TEST(CatalogCodec, StringsAreCheckedWhateverTheirLengthAndNeighbours) {
  // Short strings are tested for ASCII in one read of the word they start:
  // what follows them (here non-ASCII, or the end of the data) must not
  // count, and a bad byte anywhere in them must.
  const std::string tails[] = {"", "\xc3\xa9tail", "z"};
  for (std::size_t n = 0; n < 20; ++n) {
    for (const std::string& tail : tails) {
      std::string ascii(n, 'a');
      codec::Writer out;
      out.text(ascii);
      out.data() += tail;
      codec::Reader in(out.data());
      EXPECT_EQ(in.utf8(), ascii) << n;
      for (std::size_t at = 0; at < n; ++at) {
        std::string bad = ascii;
        bad[at] = '\xff';
        codec::Writer bad_out;
        bad_out.text(bad);
        bad_out.data() += tail;
        codec::Reader bad_in(bad_out.data());
        EXPECT_THROW(bad_in.utf8(), std::invalid_argument) << n << " " << at;
      }
    }
  }
  codec::Writer accented;
  accented.text("Caf\xc3\xa9");
  accented.text(std::string(200, 'q'));  // a length of two bytes
  codec::Reader accented_in(accented.data());
  EXPECT_EQ(accented_in.utf8(), "Caf\xc3\xa9");
  EXPECT_EQ(accented_in.utf8(), std::string(200, 'q'));
  EXPECT_TRUE(accented_in.at_end());
}

TEST(CatalogCodec, NumberListsAndChecksums) {
  codec::Writer out;
  std::vector<std::uint32_t> numbers = {0, 1, 0xFFFFFFFFu, 123456789};
  out.u32s(numbers);
  out.u32s({});
  codec::Reader in(out.data());
  EXPECT_EQ(in.u32s(), numbers);
  EXPECT_TRUE(in.u32s().empty());
  EXPECT_TRUE(in.at_end());
  for (std::size_t cut = 0; cut + 1 < out.data().size(); ++cut) {
    codec::Reader short_in(std::string_view(out.data()).substr(0, cut));
    EXPECT_THROW(
        {
          short_in.u32s();
          short_in.u32s();
        },
        std::invalid_argument)
        << cut;
  }
  std::string data(1000, 'x');
  std::uint64_t sum = codec::checksum(data);
  for (std::size_t at : {0u, 7u, 31u, 32u, 500u, 999u}) {
    std::string flipped = data;
    flipped[at] ^= 1;
    EXPECT_NE(codec::checksum(flipped), sum) << at;
  }
  EXPECT_NE(codec::checksum(data.substr(0, 999)), sum);
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
