// The cache of values computed from document lists, and its use for the
// native TF-IDF facility.
#include "tessarin/schemasift/document_cache.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/vector_backends.h"

namespace tessarin::schemasift {
namespace {

using Texts = std::vector<std::string_view>;

TEST(DocumentCache, HitsOnlyOnEqualTextsWithEqualBoundaries) {
  DocumentCache<int> cache(4);
  int made = 0;
  auto get = [&](const Texts& texts) {
    return *cache.find_or_make(texts, [&] { return std::make_shared<const int>(++made); });
  };
  EXPECT_EQ(get({"ab", "c"}), 1);
  EXPECT_EQ(get({"ab", "c"}), 1);
  EXPECT_EQ(get({"a", "bc"}), 2);
  EXPECT_EQ(get({"ab", "c", ""}), 3);
  EXPECT_EQ(get({}), 4);
  EXPECT_EQ(get({}), 4);
  std::string copy = "ab";
  EXPECT_EQ(get({copy, "c"}), 1);  // equal content, other storage
  EXPECT_NE(document_digest({"ab", "c"}), document_digest({"a", "bc"}));
}

TEST(DocumentCache, EvictsTheLeastRecentlyUsed) {
  DocumentCache<int> cache(2);
  int made = 0;
  auto get = [&](std::string_view text) {
    return *cache.find_or_make(Texts{text}, [&] { return std::make_shared<const int>(++made); });
  };
  get("a");
  get("b");
  get("a");  // b is now the oldest
  get("c");
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(get("a"), 1);
  EXPECT_EQ(get("b"), 4);
  cache.clear();
  EXPECT_EQ(get("a"), 5);
}

TEST(DocumentCache, FailuresAreNotStoredAndZeroCapacityStoresNothing) {
  DocumentCache<int> cache(2);
  EXPECT_THROW(cache.find_or_make(
                   Texts{"x"},
                   []() -> std::shared_ptr<const int> { throw std::runtime_error("fit failed"); }),
               std::runtime_error);
  EXPECT_EQ(cache.size(), 0u);
  DocumentCache<int> none(0);
  none.find_or_make(Texts{"x"}, [] { return std::make_shared<const int>(1); });
  EXPECT_EQ(none.size(), 0u);
}

TEST(DocumentCache, ConcurrentUseGivesOneValuePerTextList) {
  DocumentCache<std::string> cache(8);
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::string text = std::to_string(i % 5);
        auto value = cache.find_or_make(
            Texts{text}, [&] { return std::make_shared<const std::string>("v" + text); });
        if (*value != "v" + text) seen[t] = "wrong value for " + text;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& s : seen) EXPECT_EQ(s, "");
  EXPECT_EQ(cache.size(), 5u);
}

TEST(NativeTfidfFacility, ReusedIndexGivesTheScoresOfAFreshFit) {
  clear_tfidf_cache();
  DocTexts docs{{"table::orders", "orders revenue region"}, {"table::people", "customer age"}};
  DocTexts changed{{"table::orders", "orders revenue region"}, {"table::people", "revenue age"}};
  auto scores = [](const DocTexts& d) {
    OptionalTfidfBackend backend;
    backend.build(d);
    return std::make_pair(backend.score("revenue by region"), backend.matrix);
  };
  auto [first, first_matrix] = scores(docs);
  auto [again, again_matrix] = scores(docs);
  auto [other, other_matrix] = scores(changed);
  EXPECT_EQ(first, again);
  EXPECT_EQ(first_matrix, again_matrix);  // fitted once
  EXPECT_NE(first_matrix, other_matrix);
  EXPECT_NE(*first.find("table::people"), *other.find("table::people"));
  clear_tfidf_cache();
  EXPECT_NE(scores(docs).second, first_matrix);
  EXPECT_EQ(scores(docs).first, first);
}

}  // namespace
}  // namespace tessarin::schemasift
