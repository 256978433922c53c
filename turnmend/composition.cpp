// Resolved-question composition: the base turn's query state (merged with the
// other top candidates' states), changed by the intent delta and rendered as
// one standalone "Show ..." instruction.
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "tessarin/common/display.h"
#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/ranking.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/text.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

constexpr std::string_view kPreviousRequest = "the previous request";
constexpr std::string_view kSuggestRelatedPrefix =
    "Suggest related analyses or next useful questions based on: ";
constexpr std::string_view kModificationJoiner = ". Modification: ";
constexpr std::string_view kPreviousMetric = "the previous metric";
constexpr std::string_view kShow = "Show";
constexpr std::string_view kBareShow = "show";
constexpr std::string_view kBarePreviousMetric = "show the previous metric";
constexpr std::string_view kDay = "day";
constexpr std::string_view kDaily = "daily";
constexpr std::string_view kAdverbSuffix = "ly";
constexpr std::string_view kByPrefix = "by ";
constexpr std::string_view kWherePrefix = "where ";
constexpr std::string_view kCompareJoiner = "and compare ";
constexpr std::string_view kTopPrefix = "top ";
constexpr std::string_view kBottomPrefix = "bottom ";
constexpr std::string_view kListSeparator = ", ";

constexpr std::string_view kMetric = "metric";
constexpr std::string_view kGrouping = "grouping";
constexpr std::string_view kFilter = "filter";
constexpr std::string_view kGranularity = "granularity";
constexpr std::string_view kLimit = "limit";
constexpr std::string_view kCompare = "compare";

constexpr std::array<std::string_view, 9> kMergedListKeys = {
    "active_tables", "tables",       "active_columns", "columns", "metrics",
    "dimensions",    "date_columns", "group_by",       "filters"};
constexpr std::array<std::string_view, 4> kMergedScalarKeys = {"granularity", "aggregation", "sort",
                                                               "limit"};
// The keys _state_to_question_parts reads, for merges made only to render.
constexpr std::array<std::string_view, 4> kRenderedListKeys = {"metrics", "dimensions", "group_by",
                                                               "filters"};
constexpr std::array<std::string_view, 2> kRenderedScalarKeys = {"granularity", "aggregation"};
constexpr std::array<std::string_view, 6> kTimeGroupings = {"month", "day",     "week",
                                                            "year",  "quarter", "hour"};

constexpr std::size_t kMetricItems = 3;
constexpr std::size_t kGroupingItems = 5;
constexpr std::size_t kFilterItems = 5;
constexpr std::int64_t kFilterTextChars = 120;

const JsonValue& null_value() {
  static const JsonValue null;
  return null;
}

// The value under key, or null when absent.
const JsonValue& lookup(const JsonMap& map, std::string_view key) {
  const JsonValue* value = map.find(key);
  return value ? *value : null_value();
}

// Value of the first of two keys that holds a non-empty value.
const JsonValue& first_non_empty_key(const JsonMap& map, std::string_view a, std::string_view b) {
  return first_non_empty(lookup(map, a), lookup(map, b));
}

std::string text_or_empty(const JsonValue& value) {
  return value.is_empty() ? std::string() : display_text(value);
}

std::string_view part(const QuestionParts& parts, std::string_view key) {
  const std::string* value = parts.find(key);
  return value ? std::string_view(*value) : std::string_view();
}

std::string trimmed(std::string_view text) { return std::string(unicode::strip(text)); }

std::string metric_text(const JsonValue& aggregation, const JsonValue& metrics) {
  if (aggregation.is_map()) {
    const JsonValue& column = lookup(aggregation.as_map(), "column");
    if (!column.is_empty())
      return trimmed(text_or_empty(lookup(aggregation.as_map(), "function")) + " " +
                     display_text(column));
  }
  std::string out;
  std::size_t taken = 0;
  for_each_item(metrics, [&](const JsonValue& item) {
    if (taken++ >= kMetricItems) return;
    if (taken > 1) out += ' ';
    out += display_text(item);
  });
  return out;
}

std::string grouping_text(const JsonValue& dimensions, const JsonValue& group_by) {
  std::string out;
  std::size_t kept = 0;
  for_each_item(dimensions.is_empty() ? group_by : dimensions, [&](const JsonValue& item) {
    if (kept >= kGroupingItems) return;
    std::string text = display_text(item);
    std::string lowered = unicode::to_lower(std::string_view(text));
    if (std::find(kTimeGroupings.begin(), kTimeGroupings.end(), lowered) != kTimeGroupings.end())
      return;
    if (kept++ > 0) out += kListSeparator;
    out += text;
  });
  return out;
}

std::string filter_item_text(const JsonValue& item) {
  if (!item.is_map()) return display_text(item);
  const JsonMap& filter = item.as_map();
  std::string text = text_or_empty(first_non_empty_key(filter, "column", "field"));
  text += ' ';
  text += text_or_empty(first_non_empty_key(filter, "operation", "operator"));
  text += ' ';
  text += text_or_empty(first_non_empty_key(filter, "value", "values"));
  return trimmed(text);
}

// The integer in decimal for integral values, else the display text.
std::string numeric_value_text(double value) {
  if (std::isfinite(value) && value == std::trunc(value)) {
    if (std::fabs(value) < 9.2e18) return std::to_string(static_cast<std::int64_t>(value));
    return format_fixed(value, 0);
  }
  return float_repr(value);
}

// A copy of the text with the last number of GENERIC_NUMBER_RE replaced by
// value_text (keeping a leading "$" and a trailing "%"); null when it has none.
std::optional<std::string> with_last_number_replaced(std::string_view text,
                                                     std::string_view value_text) {
  const std::u32string cps = unicode::decode_utf8(text);
  const std::vector<RegexMatch> matches = vocabulary().GENERIC_NUMBER_RE.find_all(cps);
  if (matches.empty()) return std::nullopt;
  const RegexMatch& last = matches.back();
  const std::u32string_view matched = last.group(cps, 0);
  std::string out = unicode::encode_utf8(std::u32string_view(cps).substr(0, last.start()));
  if (matched.starts_with(U'$')) out += '$';
  out += value_text;
  if (matched.ends_with(U'%')) out += '%';
  out += unicode::encode_utf8(std::u32string_view(cps).substr(last.end()));
  return out;
}

// Lower-cased display texts seen so far, in one buffer.
class SeenMarkers {
 public:
  void clear() {
    buffer_.clear();
    spans_.clear();
  }
  // Whether the item's marker is new; remembers it.
  bool insert(const JsonValue& item) {
    const std::size_t offset = buffer_.size();
    append_lowered_marker(item);
    const std::string_view marker(buffer_.data() + offset, buffer_.size() - offset);
    const std::size_t hash = std::hash<std::string_view>{}(marker);
    for (const Span& span : spans_) {
      if (span.hash == hash &&
          std::string_view(buffer_.data() + span.start, span.length) == marker) {
        buffer_.resize(offset);
        return false;
      }
    }
    spans_.push_back(Span{offset, marker.size(), hash});
    return true;
  }

 private:
  // The item's display text, lower-cased (ASCII strings without decoding).
  void append_lowered_marker(const JsonValue& item) {
    if (item.is_string()) {
      const std::string& text = item.as_string();
      bool ascii = true;
      for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
      if (ascii) {
        const std::size_t offset = buffer_.size();
        buffer_ += text;
        for (std::size_t i = offset; i < buffer_.size(); ++i)
          if (buffer_[i] >= 'A' && buffer_[i] <= 'Z')
            buffer_[i] = static_cast<char>(buffer_[i] + 32);
        return;
      }
    }
    buffer_ += unicode::to_lower(std::string_view(display_text(item)));
  }

  struct Span {
    std::size_t start, length, hash;
  };
  std::string buffer_;
  std::vector<Span> spans_;
};

// The states of the top candidates merged for the given keys: list items
// gathered without case-blind repeats, the first non-empty scalar.
template <std::size_t ListKeys, std::size_t ScalarKeys>
JsonMap merge_states(const ContextCandidate& base_candidate,
                     const std::vector<ContextCandidate>& candidates, std::int64_t top_n,
                     const std::array<std::string_view, ListKeys>& list_keys,
                     const std::array<std::string_view, ScalarKeys>& scalar_keys) {
  std::vector<const ContextCandidate*> top;
  top.reserve(candidates.size() + 1);
  for (const ContextCandidate& candidate : candidates)
    if (candidate.card) top.push_back(&candidate);
  std::stable_sort(top.begin(), top.end(),
                   [](const ContextCandidate* a, const ContextCandidate* b) {
                     return detail::higher_score(a->score, b->score);
                   });
  const std::size_t keep = static_cast<std::size_t>(std::max<std::int64_t>(1, top_n));
  if (top.size() > keep) top.resize(keep);
  if (base_candidate.card && std::none_of(top.begin(), top.end(), [&](const ContextCandidate* c) {
        return c->turn_id == base_candidate.turn_id;
      }))
    top.insert(top.begin(), &base_candidate);

  JsonMap merged;
  merged.reserve(ListKeys + ScalarKeys);
  SeenMarkers seen;
  for (std::string_view key : list_keys) {
    JsonList kept;
    seen.clear();
    for (const ContextCandidate* candidate : top) {
      for_each_item(lookup(candidate->card->query_state, key), [&](const JsonValue& item) {
        if (seen.insert(item)) kept.push_back(item);
      });
    }
    if (!kept.empty()) merged.append_new(std::string(key), JsonValue(std::move(kept)));
  }
  for (std::string_view key : scalar_keys) {
    for (const ContextCandidate* candidate : top) {
      const JsonValue& value = lookup(candidate->card->query_state, key);
      if (value.is_empty()) continue;
      merged.append_new(std::string(key), value);
      break;
    }
  }
  return merged;
}

std::string granularity_adverb(std::string_view granularity) {
  if (granularity == kDay) return std::string(kDaily);
  return std::string(granularity) + std::string(kAdverbSuffix);
}

}  // namespace

std::string Turnmend::_compose_resolved_question(const std::string& current_question,
                                                 const TurnContextCard& base,
                                                 const IntentDelta& delta,
                                                 const std::string& context_type,
                                                 const std::vector<ContextCandidate>& candidates,
                                                 const ContextCandidate* base_candidate) const {
  const std::string base_question = !base.resolved_question.empty() ? base.resolved_question
                                    : !base.user_question.empty()   ? base.user_question
                                                                    : std::string(kPreviousRequest);
  if (context_type == context_types::kSuggestionRequest)
    return std::string(kSuggestRelatedPrefix) + base_question;
  if (_looks_like_complete_question(current_question) && !_has_pronoun_followup(current_question))
    return current_question;

  QuestionParts parts;
  if (!candidates.empty() && base_candidate) {
    parts = _state_to_question_parts(
        merge_states(*base_candidate, candidates, 3, kRenderedListKeys, kRenderedScalarKeys));
  } else {
    parts = _state_to_question_parts(base.query_state);
  }
  _apply_numeric_override(parts, delta);

  if (delta.granularity && !delta.granularity->empty())
    parts.set(std::string(kGranularity), *delta.granularity);
  if (delta.dimension_hint && !delta.dimension_hint->empty())
    parts.set(std::string(kGrouping), *delta.dimension_hint);
  if (delta.metric_hint && !delta.metric_hint->empty())
    parts.set(std::string(kMetric), *delta.metric_hint);
  if (delta.filter_hint && !delta.filter_hint->empty()) {
    std::string_view current = part(parts, kFilter);
    std::string filter =
        current.empty() ? *delta.filter_hint
                        : std::string(current) + std::string(kListSeparator) + *delta.filter_hint;
    parts.set(std::string(kFilter), std::move(filter));
  }
  if (delta.top_n && *delta.top_n != 0)
    parts.set(std::string(kLimit), std::string(kTopPrefix) + std::to_string(*delta.top_n));
  if (delta.bottom_n && *delta.bottom_n != 0)
    parts.set(std::string(kLimit), std::string(kBottomPrefix) + std::to_string(*delta.bottom_n));
  if (delta.compare_hint && !delta.compare_hint->empty())
    parts.set(std::string(kCompare), *delta.compare_hint);

  const std::string fallback = base_question + std::string(kModificationJoiner) + current_question;
  return _render_question_parts(parts, fallback);
}

JsonMap Turnmend::_merge_top_candidate_states(const ContextCandidate& base_candidate,
                                              const std::vector<ContextCandidate>& candidates,
                                              std::int64_t top_n) {
  return merge_states(base_candidate, candidates, top_n, kMergedListKeys, kMergedScalarKeys);
}

QuestionParts Turnmend::_state_to_question_parts(const JsonMap& state) {
  QuestionParts parts;
  parts.append_new(std::string(kMetric),
                   metric_text(lookup(state, "aggregation"), lookup(state, "metrics")));
  parts.append_new(std::string(kGrouping),
                   grouping_text(lookup(state, "dimensions"), lookup(state, "group_by")));
  parts.append_new(std::string(kFilter), _filters_to_text(lookup(state, "filters")));
  parts.append_new(std::string(kGranularity), text_or_empty(lookup(state, "granularity")));
  return parts;
}

std::string Turnmend::_filters_to_text(const JsonValue& filters) {
  if (filters.is_empty()) return std::string();
  if (!filters.is_list()) return compact_text(filters, kFilterTextChars);
  std::string out;
  const JsonList& items = filters.as_list();
  const std::size_t considered = std::min(kFilterItems, items.size());
  for (std::size_t i = 0; i < considered; ++i) {
    std::string text = filter_item_text(items[i]);
    if (text.empty()) continue;
    if (!out.empty()) out += kListSeparator;
    out += text;
  }
  return out;
}

void Turnmend::_apply_numeric_override(QuestionParts& parts, const IntentDelta& delta) {
  if (!delta.replace_numeric_value) return;
  const std::string value_text = numeric_value_text(*delta.replace_numeric_value);
  for (std::string_view key : {kFilter, kMetric}) {
    std::string* text = parts.find(key);
    if (!text || text->empty()) continue;
    std::optional<std::string> replaced = with_last_number_replaced(*text, value_text);
    if (!replaced) continue;
    *text = std::move(*replaced);
    return;
  }
}

std::string Turnmend::_render_question_parts(const QuestionParts& parts,
                                             const std::string& fallback) {
  std::string_view metric = part(parts, kMetric);
  if (metric.empty()) metric = kPreviousMetric;
  const std::string_view grouping = part(parts, kGrouping);
  const std::string_view granularity = part(parts, kGranularity);
  const std::string_view filter = part(parts, kFilter);
  const std::string_view limit = part(parts, kLimit);
  const std::string_view compare = part(parts, kCompare);

  std::string text;
  auto add = [&text](std::string_view prefix, std::string_view piece) {
    if (prefix.empty() && piece.empty()) return;
    if (!text.empty()) text += ' ';
    text += prefix;
    text += piece;
  };
  add(kShow, "");
  if (!granularity.empty()) add("", granularity_adverb(granularity));
  add("", metric);
  if (!grouping.empty()) add(kByPrefix, grouping);
  if (!filter.empty()) add(kWherePrefix, filter);
  add("", limit);
  if (!compare.empty()) add(kCompareJoiner, compare);

  std::string result = collapse_whitespace(text);
  const std::string lowered = unicode::to_lower(std::string_view(result));
  if (lowered == kBarePreviousMetric || lowered == kBareShow) return fallback;
  return result;
}

}  // namespace tessarin::turnmend
