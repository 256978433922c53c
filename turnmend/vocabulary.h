// The fixed English vocabulary the resolver's rules read: word sets, phrase
// lists, alias tables, ordinal words and compiled patterns. Built once, on
// first use, and read-only afterwards (safe to share between threads).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessarin/common/regex.h"
#include "tessarin/common/words.h"
#include "tessarin/turnmend/text.h"

namespace tessarin::turnmend {

// Canonical name -> spellings (the canonical name is the first spelling).
struct AliasEntry {
  std::string_view key;
  std::vector<std::string_view> spellings;
};
using AliasTable = std::vector<AliasEntry>;

struct OrdinalWord {
  std::string_view word;
  std::int64_t value;
};

// Members keep the module's constant names; the two private patterns lose
// their leading underscore (reserved in C++): WORD_RE is _WORD_RE, CAMEL_RE
// is _CAMEL_RE and DURATION_UNITS_PATTERN is _DURATION_UNITS_PATTERN.
struct Vocabulary {
  WordSet STOPWORDS;
  WordSet FOLLOWUP_TERMS;
  WordSet MODIFY_TERMS;

  std::vector<std::string_view> SUGGESTION_PHRASES;
  std::vector<std::string_view> CLARIFICATION_RISK_PHRASES;

  AliasTable GRANULARITY_ALIASES;
  AliasTable AGGREGATION_ALIASES;
  std::vector<OrdinalWord> ORDINAL_WORDS;

  std::string DURATION_UNITS_PATTERN;

  Regex WORD_RE;
  Regex CAMEL_RE;
  Regex TOP_N_RE;
  Regex BOTTOM_N_RE;
  Regex TURN_REF_RE;
  Regex BACKREF_NUMERIC_RE;
  Regex ORDINAL_SUFFIX_RE;
  Regex GENERIC_NUMBER_RE;

  Vocabulary();
};

// The module vocabulary.
const Vocabulary& vocabulary();

// STOPWORDS as a table of word hashes, for the word counters that hash their
// words anyway.
const words::WordIndex& stopword_index();

}  // namespace tessarin::turnmend
