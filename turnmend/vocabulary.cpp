// The resolver's module vocabulary, built once on first use.
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

std::string join_alias_keys(const AliasTable& table) {
  std::string out;
  for (const AliasEntry& entry : table) {
    if (!out.empty()) out += '|';
    out += entry.key;
  }
  return out;
}

AliasTable granularity_aliases() {
  return {
      {"hour", {"hour", "hourly", "hr"}},
      {"day", {"day", "daily", "date wise", "date-wise", "day wise", "day-wise"}},
      {"week", {"week", "weekly", "week wise", "week-wise"}},
      {"month", {"month", "monthly", "month wise", "month-wise"}},
      {"quarter", {"quarter", "quarterly", "quarter wise", "quarter-wise"}},
      {"year", {"year", "yearly", "annual", "year wise", "year-wise"}},
  };
}

}  // namespace

Vocabulary::Vocabulary()
    : STOPWORDS{"a",        "an",     "the",     "and",  "or",     "of",      "for",
                "to",       "by",     "in",      "on",   "at",     "from",    "with",
                "without",  "show",   "give",    "get",  "find",   "list",    "display",
                "make",     "change", "convert", "it",   "this",   "that",    "those",
                "these",    "one",    "same",    "also", "please", "can",     "could",
                "would",    "me",     "we",      "i",    "you",    "based",   "wise",
                "consider", "use",    "using",   "as",   "into",   "instead", "rather"},
      FOLLOWUP_TERMS{"it",     "this",  "that",  "same",  "previous", "last",  "above", "earlier",
                     "before", "again", "also",  "too",   "these",    "those", "one",   "ones",
                     "result", "chart", "table", "query", "answer",   "output"},
      MODIFY_TERMS{"make",  "change",  "convert", "replace", "switch", "instead", "consider",
                   "use",   "remove",  "exclude", "include", "add",    "sort",    "filter",
                   "group", "compare", "show",    "split",   "break",  "drill",   "drilldown"},
      SUGGESTION_PHRASES{"what else",         "what more",
                         "other insights",    "suggest",
                         "recommend",         "possible analysis",
                         "possible analyses", "what can",
                         "what all",          "what are the options",
                         "next analysis",     "more charts",
                         "other charts",      "more questions",
                         "what else we get",  "what else can we get"},
      CLARIFICATION_RISK_PHRASES{"that one",  "this one", "the other one", "same one",
                                 "do that",   "do this",  "change that",   "compare that",
                                 "like that", "for that", "that side",     "other side"},
      GRANULARITY_ALIASES(granularity_aliases()),
      AGGREGATION_ALIASES{
          {"sum", {"sum", "total", "overall", "aggregate"}},
          {"count", {"count", "number of", "how many", "total records", "record count"}},
          {"avg", {"avg", "average", "mean"}},
          {"min", {"min", "minimum", "least", "lowest"}},
          {"max", {"max", "maximum", "highest", "largest"}},
      },
      ORDINAL_WORDS{{"first", 1}, {"second", 2},  {"third", 3},  {"fourth", 4}, {"fifth", 5},
                    {"sixth", 6}, {"seventh", 7}, {"eighth", 8}, {"ninth", 9},  {"tenth", 10}},
      DURATION_UNITS_PATTERN(join_alias_keys(GRANULARITY_ALIASES)),
      WORD_RE("[a-zA-Z0-9_]+"),
      CAMEL_RE("(?<!^)(?=[A-Z])"),
      TOP_N_RE("\\btop\\s+(\\d+)\\b", true),
      BOTTOM_N_RE("\\bbottom\\s+(\\d+)\\b", true),
      TURN_REF_RE(
          "(?:turn|question|query|answer|result|chart|table|card|widget)\\s*#?\\s*(\\d+)"
          "|#\\s*(\\d+)"
          "|\\b(\\d+)\\s*(?:st|nd|rd|th)?\\s+"
          "(?:question|query|answer|result|chart|table|card|widget)\\b",
          true),
      BACKREF_NUMERIC_RE(
          "\\b(?:last|previous)\\s+(?:\\d+\\s*)?(?:" + DURATION_UNITS_PATTERN + ")s?\\b", true),
      ORDINAL_SUFFIX_RE("\\d+\\s*(?:st|nd|rd|th)\\b", true),
      GENERIC_NUMBER_RE("\\$?\\d+(?:\\.\\d+)?%?") {}

const Vocabulary& vocabulary() {
  static const Vocabulary instance;
  return instance;
}

const words::WordIndex& stopword_index() {
  static const words::WordIndex index(vocabulary().STOPWORDS.words());
  return index;
}

}  // namespace tessarin::turnmend
