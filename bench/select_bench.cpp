// Cost of Schemasift::select from C++: median milliseconds per call on a
// generated catalog of 100 tables of 30 columns, lexical and hybrid (TF-IDF)
// strategies, from a MetadataCatalog and from a prepared catalog.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/selector.h"

using namespace tessarin;
using namespace tessarin::schemasift;

namespace {

const char* const kWords[] = {"order",   "customer", "product",  "region",  "revenue",
                              "amount",  "status",   "type",     "date",    "created",
                              "price",   "quantity", "store",    "channel", "segment",
                              "account", "invoice",  "payment",  "item",    "category",
                              "country", "city",     "discount", "margin",  "shipment"};
const char* const kTypes[] = {"String", "Int64", "Float64", "Date", "DateTime", "Bool"};

const char* const kQuestions[] = {
    "total revenue by region and product category for the last 6 months",
    "Top 10 customers by order amount",
    "weekly shipment count per store",
    "payment status of invoices in Germany",
};

// A fixed pseudo-random sequence, so every build selects from one catalog.
struct Draw {
  std::uint64_t state = 1;
  std::size_t operator()(std::size_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::size_t>(state >> 33) % n;
  }
};

JsonMap generated_catalog(int n_tables, int n_columns) {
  Draw draw;
  auto word = [&] { return std::string(kWords[draw(std::size(kWords))]); };
  JsonList tables;
  for (int t = 0; t < n_tables; ++t) {
    JsonList columns;
    for (int c = 0; c < n_columns; ++c) {
      const std::string a = word(), b = word();
      JsonMap column{{"name", a + "_" + b + "_" + std::to_string(c)},
                     {"type", kTypes[draw(std::size(kTypes))]},
                     {"description", "The " + a + " " + b + " of the " + word() + " record"}};
      if (c % 3 == 0) column["synonyms"] = JsonList{b, a + " " + b};
      if (c == 0) column["is_primary_key"] = true;
      columns.emplace_back(std::move(column));
    }
    tables.emplace_back(JsonMap{{"table_name", word() + "_" + word() + "_" + std::to_string(t)},
                                {"business_name", word() + " facts"},
                                {"description", "Facts about " + word() + " and " + word()},
                                {"tags", JsonList{word()}},
                                {"columns", std::move(columns)}});
  }
  return JsonMap{{"database", "bench"}, {"tables", std::move(tables)}};
}

Schemasift selector(const char* strategy) {
  SelectorConfig config;
  config.strategy = strategy;
  return Schemasift(config);
}

// A fixed amount of work for instruction counting (valgrind --tool=callgrind
// --toggle-collect='*profile_rounds*'): rounds of the questions, each once
// on the catalog map and once on the prepared catalog.
[[gnu::noinline]] std::size_t profile_rounds(const Schemasift& s, const JsonMap& catalog,
                                             const PreparedCatalog& prepared, int rounds) {
  std::size_t sink = 0;
  for (int i = 0; i < rounds; ++i)
    for (const char* q : kQuestions) {
      sink += s.select(q, catalog).metrics.output_columns;
      sink += s.select(q, prepared).metrics.output_columns;
    }
  return sink;
}

double median_ms(const Schemasift& s, const JsonMap& catalog, int rounds) {
  std::vector<double> samples;
  std::size_t sink = 0;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    for (const char* q : kQuestions) sink += s.select(q, catalog).metrics.output_columns;
    auto stop = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::milli>(stop - start).count() /
                      static_cast<double>(std::size(kQuestions)));
  }
  std::nth_element(samples.begin(), samples.begin() + rounds / 2, samples.end());
  if (sink == 0) std::puts("");
  return samples[static_cast<std::size_t>(rounds / 2)];
}

}  // namespace

// With "--profile N [lexical|hybrid]": only N rounds, no timing.
int main(int argc, char** argv) {
  const JsonMap catalog = generated_catalog(100, 30);
  if (argc >= 3 && std::string(argv[1]) == "--profile") {
    const Schemasift s = selector(argc >= 4 ? argv[3] : "lexical");
    const PreparedCatalog prepared(CatalogNormalizer::normalize(catalog));
    s.warm_up(prepared);
    profile_rounds(s, catalog, prepared, 1);  // first-use statics
    return profile_rounds(s, catalog, prepared, std::stoi(argv[2])) == 0;
  }
  std::printf("schemasift select (C++), 100 tables x 30 columns, median per call\n");
  for (const char* strategy : {"lexical", "hybrid"})
    std::printf("  %-8s: %8.3f ms\n", strategy, median_ms(selector(strategy), catalog, 20));
  return 0;
}
