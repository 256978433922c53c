// Tests of the native TF-IDF index: tokens, idf, hand-computed similarities,
// empty inputs and the vectorizer facility behind OptionalTfidfBackend.
#include "tessarin/schemasift/tfidf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace tessarin::schemasift {
namespace {

std::vector<std::string> tokens_of(std::string_view lowered) {
  std::vector<std::string> out;
  for_each_tfidf_token(lowered, [&](std::string_view t) { out.emplace_back(t); });
  return out;
}

std::vector<double> similarities(const std::vector<std::string_view>& docs,
                                 std::string_view question) {
  return TfidfIndex::fit(docs).similarities(question);
}

struct TokenCase {
  const char* text;
  std::vector<std::string> tokens;
};

TEST(TfidfTokens, RunsOfTwoOrMoreWordCharacters) {
  const std::vector<TokenCase> cases = {
      {"", {}},
      {"a b c", {}},
      {"ab c de", {"ab", "de"}},
      {"customer_id", {"customer_id"}},
      {"customer-id x", {"customer", "id"}},
      {"table::orders_12.customer_id", {"table", "orders_12", "customer_id"}},
      {"  42 7 2024-01 ", {"42", "2024", "01"}},
      {"__ _", {"__"}},
      {"straße über", {"straße", "über"}},
      {"x² \xd9\xa3\xd9\xa4", {"x²", "\xd9\xa3\xd9\xa4"}},  // superscript two, Arabic-Indic digits
      {"i\xcc\x87stanbul", {"stanbul"}},                    // a combining dot splits the run
      {"日本 語", {"日本"}},
      {"end", {"end"}},
  };
  for (const auto& c : cases) EXPECT_EQ(tokens_of(c.text), c.tokens) << c.text;
}

TEST(TfidfIndex, SmoothedIdfOfUnigramsAndBigrams) {
  TfidfIndex index = TfidfIndex::fit({"apple banana", "apple", "cherry"});
  EXPECT_EQ(index.document_count(), 3u);
  EXPECT_EQ(index.vocabulary_size(), 4u);  // apple, banana, apple banana, cherry
  EXPECT_DOUBLE_EQ(index.idf("apple"), std::log(4.0 / 3.0) + 1.0);
  EXPECT_DOUBLE_EQ(index.idf("banana"), std::log(2.0) + 1.0);
  EXPECT_DOUBLE_EQ(index.idf("apple banana"), std::log(2.0) + 1.0);
  EXPECT_EQ(index.idf("banana apple"), 0.0);
  EXPECT_EQ(index.idf("durian"), 0.0);
}

TEST(TfidfIndex, BigramsJoinAdjacentTokensOnly) {
  TfidfIndex index = TfidfIndex::fit({"Order x, ID!", "order total"});
  EXPECT_GT(index.idf("order id"), 0.0);  // the one-letter word is no token
  EXPECT_GT(index.idf("order total"), 0.0);
  EXPECT_EQ(index.idf("id order"), 0.0);
  EXPECT_EQ(index.idf("order  id"), 0.0);
}

TEST(TfidfIndex, HandComputedSimilarities) {
  // apple is in both documents (idf 1); banana and "apple banana" in one.
  double b = std::log(1.5) + 1.0;
  std::vector<double> sims = similarities({"apple banana", "APPLE"}, "apple");
  ASSERT_EQ(sims.size(), 2u);
  EXPECT_NEAR(sims[0], 1.0 / std::sqrt(1.0 + 2.0 * b * b), 1e-15);
  EXPECT_NEAR(sims[1], 1.0, 1e-15);

  // Raw counts: the question's row is (2, 1) over apple and banana.
  sims = similarities({"apple banana", "apple"}, "banana apple apple");
  double question_norm = std::sqrt(4.0 + b * b);
  double doc_norm = std::sqrt(1.0 + 2.0 * b * b);
  EXPECT_NEAR(sims[0], (2.0 + b * b) / (question_norm * doc_norm), 1e-15);
  EXPECT_NEAR(sims[1], 2.0 / question_norm, 1e-15);
}

TEST(TfidfIndex, IdenticalTextScoresOne) {
  std::vector<double> sims =
      similarities({"column::orders.customer_id customer id", "sales region"},
                   "Column::Orders.Customer_ID customer id");
  EXPECT_NEAR(sims[0], 1.0, 1e-15);
  EXPECT_EQ(sims[1], 0.0);
}

TEST(TfidfIndex, UnicodeLowerCasingBeforeTokenizing) {
  // Upper-case sigma lowers to the final form at a word's end.
  std::vector<double> sims = similarities({"ΟΔΟΣ ΑΘΗΝΩΝ", "Straße"}, "οδος");
  EXPECT_GT(sims[0], 0.0);
  EXPECT_EQ(similarities({"ΟΔΟΣ ΑΘΗΝΩΝ", "Straße"}, "οδοσ")[0], 0.0);
  EXPECT_NEAR(similarities({"ΟΔΟΣ ΑΘΗΝΩΝ", "Straße"}, "STRASSE straße")[1], 1.0, 1e-15);
  // Dotted capital I lowers to i and a combining dot, which ends the word.
  sims = similarities({"İSTANBUL office", "ankara office"}, "stanbul");
  EXPECT_GT(sims[0], 0.0);
  EXPECT_EQ(sims[1], 0.0);
}

TEST(TfidfIndex, QuestionsWithoutKnownTermsScoreZero) {
  for (std::string_view question : {"", "   ", "a b c", "durian", "Bananas-Apples"}) {
    EXPECT_EQ(similarities({"apple banana", "apple", ""}, question), std::vector<double>(3, 0.0))
        << question;
  }
}

TEST(TfidfIndex, DocumentWithoutTermsNeverMatches) {
  std::vector<double> sims = similarities({"apple banana", "x y z", "apple"}, "banana-free? no");
  EXPECT_GT(sims[0], 0.0);
  EXPECT_EQ(sims[1], 0.0);
  EXPECT_EQ(sims[2], 0.0);
}

TEST(TfidfIndex, EmptyVocabularyGivesNoScores) {
  EXPECT_TRUE(similarities({}, "orders").empty());
  EXPECT_TRUE(similarities({"", "a b", "!!"}, "orders").empty());
  EXPECT_EQ(TfidfIndex::fit({}).vocabulary_size(), 0u);
}

TEST(TfidfIndex, InvalidUtf8IsRejected) {
  EXPECT_THROW(TfidfIndex::fit({"ok \xff bad"}), unicode::Utf8Error);
  TfidfIndex index = TfidfIndex::fit({"ok fine"});
  EXPECT_THROW(index.similarities("fine \xc3"), unicode::Utf8Error);
}

TEST(TfidfIndex, ManyDocumentsShareTermsConsistently) {
  std::vector<std::string> texts;
  for (int i = 0; i < 500; ++i)
    texts.push_back("table::orders_" + std::to_string(i) + " orders " + std::to_string(i) +
                    " sales order table");
  std::vector<std::string_view> docs(texts.begin(), texts.end());
  std::vector<double> sims = similarities(docs, "orders 7 sales");
  ASSERT_EQ(sims.size(), 500u);
  // Documents of the same shape score alike; one-digit numbers are no
  // tokens, so documents 0 to 9 hold one term fewer.
  EXPECT_EQ(sims[1], sims[2]);
  EXPECT_EQ(sims[7], sims[1]);
  EXPECT_EQ(sims[100], sims[499]);
  EXPECT_GT(sims[1], sims[100]);
  sims = similarities(docs, "orders 17 sales");
  EXPECT_GT(sims[17], sims[16]);
  EXPECT_EQ(sims[16], sims[18]);
}

// Deterministic ASCII texts with runs of every length around the 8- and
// 64-byte words the fast path reads, upper case, digits and separators.
std::vector<std::string> ascii_corpus(int count, unsigned seed) {
  const std::string word_bytes = "abcxyzABCXYZ0189_";
  const std::string separators = " .,:-/()\t\n'\x7f\x01";
  std::vector<std::string> texts;
  unsigned state = seed;
  auto next = [&](unsigned bound) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % bound;
  };
  for (int i = 0; i < count; ++i) {
    std::string text;
    std::size_t target = next(300);
    while (text.size() < target) {
      std::size_t run = next(4) == 0 ? 1 + next(70) : 1 + next(6);
      for (std::size_t k = 0; k < run; ++k) text += word_bytes[next(word_bytes.size())];
      text += separators[next(separators.size())];
    }
    texts.push_back(text);
  }
  return texts;
}

std::vector<std::string_view> views_of(const std::vector<std::string>& texts) {
  return {texts.begin(), texts.end()};
}

TEST(TfidfIndex, AsciiFastPathAgreesWithUnicodePath) {
  // A trailing no-break space is a separator that sends a text down the
  // Unicode path without changing its terms, so both paths must give the
  // very same similarities.
  std::vector<std::string> ascii = ascii_corpus(120, 7);
  std::vector<std::string> unicode;
  for (const std::string& text : ascii) unicode.push_back(text + "\xc2\xa0");
  for (std::size_t q = 0; q < 6; ++q) {
    const std::string& question = ascii[q * 17];
    EXPECT_EQ(similarities(views_of(ascii), question),
              similarities(views_of(unicode), question + "\xc2\xa0"))
        << question;
  }
}

TEST(TfidfIndex, AsciiFastPathFindsTheReferenceTerms) {
  for (const std::string& text : ascii_corpus(200, 11)) {
    std::vector<std::string> tokens = tokens_of(unicode::to_lower(text));
    std::vector<std::string> terms = tokens;
    for (std::size_t i = 1; i < tokens.size(); ++i)
      terms.push_back(tokens[i - 1] + " " + tokens[i]);
    std::sort(terms.begin(), terms.end());
    terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
    TfidfIndex index = TfidfIndex::fit({text});
    ASSERT_EQ(index.vocabulary_size(), terms.size()) << text;
    for (const std::string& term : terms) EXPECT_EQ(index.idf(term), 1.0) << text << " / " << term;
  }
}

TEST(TfidfIndex, LongTokensDifferingLateAreDistinct) {
  // Tokens are keyed by their first 16 bytes and length; the rest decides
  // only on a full match.
  std::string stem(16, 'k');
  std::vector<std::string> texts = {stem + "a " + stem + "b", stem + "b", stem.substr(0, 8) + "x",
                                    stem.substr(0, 8) + "y " + stem + "a"};
  TfidfIndex index = TfidfIndex::fit(views_of(texts));
  EXPECT_EQ(index.vocabulary_size(), 6u);
  EXPECT_DOUBLE_EQ(index.idf(stem + "a"), std::log(5.0 / 3.0) + 1.0);
  EXPECT_DOUBLE_EQ(index.idf(stem + "b"), std::log(5.0 / 3.0) + 1.0);
  EXPECT_DOUBLE_EQ(index.idf(stem + "a " + stem + "b"), std::log(5.0 / 2.0) + 1.0);
  EXPECT_DOUBLE_EQ(index.idf(stem.substr(0, 8) + "y " + stem + "a"), std::log(5.0 / 2.0) + 1.0);
  EXPECT_EQ(index.idf(stem + "c"), 0.0);
  EXPECT_EQ(index.idf(stem), 0.0);
  EXPECT_EQ(index.idf(stem.substr(0, 8)), 0.0);
  std::vector<double> sims = index.similarities(stem + "B");
  EXPECT_GT(sims[0], 0.0);
  EXPECT_NEAR(sims[1], 1.0, 1e-15);
  EXPECT_EQ(sims[2], 0.0);
  EXPECT_EQ(sims[3], 0.0);
}

TEST(TfidfIndex, StorageOfDroppedIndexesDoesNotLeakIntoNewOnes) {
  std::vector<std::string> small = ascii_corpus(30, 3);
  std::vector<std::string> big = ascii_corpus(400, 5);
  const std::string& question = small[4];
  std::vector<double> expected = similarities(views_of(small), question);
  { TfidfIndex dropped = TfidfIndex::fit(views_of(big)); }
  EXPECT_EQ(similarities(views_of(small), question), expected);
  // Two live indexes never share storage.
  TfidfIndex first = TfidfIndex::fit(views_of(big));
  TfidfIndex second = TfidfIndex::fit(views_of(small));
  EXPECT_EQ(second.similarities(question), expected);
  EXPECT_EQ(first.similarities(question), similarities(views_of(big), question));
  TfidfIndex moved = std::move(first);
  EXPECT_EQ(moved.similarities(question), similarities(views_of(big), question));
}

TEST(TfidfVectorizerFacility, FitsAndScoresThroughTheVectorizerInterface) {
  std::shared_ptr<TfidfVectorizer> vectorizer = make_native_tfidf_vectorizer();
  ASSERT_NE(vectorizer, nullptr);
  auto matrix = vectorizer->fit_transform({"orders order table", "id identifier"});
  EXPECT_EQ(vectorizer->cosine_similarity(*matrix, "orders"),
            similarities({"orders order table", "id identifier"}, "orders"));
  auto empty = vectorizer->fit_transform({});
  EXPECT_TRUE(vectorizer->cosine_similarity(*empty, "orders").empty());

  class OtherMatrix : public TfidfMatrix {};
  EXPECT_THROW(vectorizer->cosine_similarity(OtherMatrix{}, "orders"), std::invalid_argument);
}

TEST(TfidfIndex, KeptIndexScoresTheSameToTheBitAndHoldsLess) {
  std::vector<std::string> docs;
  const char* words[] = {"order", "customer", "revenue", "région", "status", "x", "order_id"};
  for (int d = 0; d < 300; ++d) {
    std::string doc;
    for (int k = 0; k < 3 + d % 7; ++k) doc += std::string(words[(d * 7 + k * 3) % 7]) + " ";
    docs.push_back(doc + std::to_string(d % 13));
  }
  std::vector<std::string_view> views(docs.begin(), docs.end());
  std::shared_ptr<TfidfVectorizer> vectorizer = make_native_tfidf_vectorizer();
  std::shared_ptr<const TfidfMatrix> fresh = vectorizer->fit_transform(views);
  std::shared_ptr<const TfidfMatrix> kept = kept_tfidf_matrix(vectorizer->fit_transform(views));
  EXPECT_LT(kept->nbytes(), fresh->nbytes());
  for (const char* question : {"order status", "Revenue by région", "customer 7 x", "nothing", ""})
    EXPECT_EQ(vectorizer->cosine_similarity(*kept, question),
              vectorizer->cosine_similarity(*fresh, question))
        << question;
  // A matrix held elsewhere is left as it is.
  std::shared_ptr<const TfidfMatrix> shared = vectorizer->fit_transform(views);
  std::shared_ptr<const TfidfMatrix> other = shared;
  std::size_t before = shared->nbytes();
  EXPECT_EQ(kept_tfidf_matrix(shared)->nbytes(), before);
}

}  // namespace
}  // namespace tessarin::schemasift
