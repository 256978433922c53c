// The question's intent signals (metric, grouping, time, ranking, row
// listing) read by a small rule-based parser.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift {

struct QueryIntent {
  std::string raw_question;
  std::vector<std::string> tokens;
  bool has_time_filter = false;
  bool wants_trend = false;
  bool wants_metric = false;
  bool wants_grouping = false;
  bool wants_table_rows = false;
  std::optional<std::int64_t> top_n;
  std::optional<std::int64_t> bottom_n;
  std::vector<std::string> metric_terms;
  std::vector<std::string> dimension_terms;
  std::vector<std::string> date_terms;

  // All twelve fields in declaration order.
  JsonMap to_dict() const;

  friend bool operator==(const QueryIntent&, const QueryIntent&) = default;
};

// Words that ask for a time series.
extern const WordSet TREND_WORDS;
// Phrases that ask for plain rows, tested in this order.
extern const std::array<std::string_view, 9> ROW_LISTING_PHRASES;

class IntentParser {
 public:
  QueryIntent parse(std::string_view question) const;
};

}  // namespace tessarin::schemasift
