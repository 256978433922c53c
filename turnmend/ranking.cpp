// Candidate ranking and reference detection: explicit turn and artifact
// references in the message, the score of every recent card, the rule that
// decides whether the best card is a safe base, and the question to ask back.
#include "turnmend/ranking.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <forward_list>
#include <stdexcept>
#include <unordered_map>

#include "common/display.h"
#include "common/json_text.h"
#include "common/unicode.h"
#include "turnmend/intent_delta.h"
#include "turnmend/resolver.h"
#include "turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

constexpr std::string_view kExplicitTurnReason = "explicit turn reference: ";
constexpr std::string_view kArtifactMatchReason = "artifact reference match: ";
constexpr std::string_view kActiveCardReason = "active card";
constexpr std::string_view kActiveTurnIdReason = "active turn id match";
constexpr std::string_view kLatestActiveReason = "latest active turn";
constexpr std::string_view kRecentTurnReason = "recent turn";
constexpr std::string_view kKeywordOverlapReason = "keyword overlap ";
constexpr std::string_view kEntityOverlapReason = "entity/metadata overlap ";
constexpr std::string_view kTaskTypeReason = "task type match: ";

constexpr std::string_view kTurnLabel = "turn ";
constexpr std::string_view kTurnArtifactPrefix = "turn_";
constexpr std::string_view kGenericClarification =
    "Can you clarify what you want me to use as context?";
constexpr std::string_view kWhichResultPrefix = "Which previous result should I use? ";
constexpr std::string_view kOptionSeparator = " | ";

constexpr std::size_t kAmbiguityOptions = 3;
constexpr std::int64_t kOptionLabelChars = 80;
constexpr double kPronounBaseMinScore = 0.2;
constexpr std::size_t kUsualReasons = 4;

// Patterns built from the vocabulary once: one per ordinal word (tried in
// the vocabulary's order) and the two artifact-reference forms.
struct ReferencePatterns {
  std::vector<Regex> ordinals;
  std::vector<std::u32string> ordinal_words;  // each ordinal pattern needs its word
  Regex artifact_noun{"\\b(chart|table|card|widget|result)\\s*#?\\s*(\\w+)\\b"};
  Regex artifact_identifier{"\\b(\\w+_\\d+)\\b"};

  ReferencePatterns() {
    for (const OrdinalWord& ordinal : vocabulary().ORDINAL_WORDS) {
      ordinal_words.push_back(unicode::decode_utf8(ordinal.word));
      ordinals.emplace_back("\\b" + std::string(ordinal.word) +
                            "\\s+(question|query|answer|result|chart|table|card|widget)\\b");
    }
  }
};

const ReferencePatterns& reference_patterns() {
  static const ReferencePatterns patterns;
  return patterns;
}

// Lower case without number signs.
std::string normalized_reference(std::string_view text) {
  std::string out = unicode::to_lower(text);
  std::erase(out, '#');
  return out;
}

// The quality factor: clamped to [0, 1]; an unrated (NaN) quality counts as 1.
double quality_factor(double quality) {
  if (std::isnan(quality)) return 1.0;
  return std::clamp(quality, 0.0, 1.0);
}

bool higher_score(const ContextCandidate& a, const ContextCandidate& b) {
  return detail::higher_score(a.score, b.score);
}

std::string with_number(std::string_view prefix, std::int64_t number) {
  std::string out(prefix);
  out += std::to_string(number);
  return out;
}

}  // namespace

namespace detail {

namespace {

constexpr std::int64_t kStateTextChars = 1000;
constexpr int kMaxWalkDepth = 64;
constexpr std::uint64_t kLowerBits = 0x2020202020202020ull;
constexpr std::size_t kSmallQueryWords = 64;

// Byte classes of the ASCII scanner: a word is a run of lower-case letters
// and digits, and a capital starts a new word (identifier splitting puts a
// blank before it); everything else separates words.
enum ByteClass : std::uint8_t { kSeparator = 0, kWordByte = 1, kCapital = 2 };

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
  std::array<std::uint8_t, 256> classes{};
  for (int c = 'a'; c <= 'z'; ++c) classes[c] = kWordByte;
  for (int c = '0'; c <= '9'; ++c) classes[c] = kWordByte;
  for (int c = 'A'; c <= 'Z'; ++c) classes[c] = kCapital;
  return classes;
}
constexpr std::array<std::uint8_t, 256> kByteClasses = make_byte_classes();

// A one-to-one mix of 64 bits (the murmur3 finalizer).
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

// Up to 8 bytes of a word, lower-cased (a word byte lower-cases by setting
// bit 0x20), little-endian, zero-padded.
std::uint64_t load_lower(const char* data, std::size_t length) {
  std::uint64_t v = 0;
  if (length >= 8) {
    std::memcpy(&v, data, 8);
    return v | kLowerBits;
  }
  if (std::endian::native == std::endian::little && length >= 4) {
    // Two loads that overlap in the middle: shared bytes OR onto themselves.
    std::uint32_t head, tail;
    std::memcpy(&head, data, 4);
    std::memcpy(&tail, data + length - 4, 4);
    v = head | static_cast<std::uint64_t>(tail) << (8 * (length - 4));
  } else {
    for (std::size_t i = 0; i < length; ++i)
      v |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  }
  return v | (kLowerBits & ((std::uint64_t{1} << (8 * length)) - 1));
}

// Hash of a word, blind to the case of its letters. Words of up to 8 bytes
// hash one-to-one, so for them equal hashes and lengths mean equal words.
std::uint64_t word_hash(const char* data, std::size_t length) {
  if (length <= 8) return mix(load_lower(data, length));
  std::uint64_t h = mix(length);
  for (std::size_t i = 0; i < length; i += 8)
    h = mix(h ^ load_lower(data + i, std::min<std::size_t>(8, length - i)));
  return h;
}

struct WordRef {
  const char* data;
  std::uint32_t length;
  std::uint64_t hash;

  bool same(const char* other, std::size_t other_length, std::uint64_t other_hash) const {
    if (hash != other_hash || length != other_length) return false;
    for (std::size_t i = 8; i < length; i += 8) {
      std::size_t chunk = std::min<std::size_t>(8, length - i);
      if (load_lower(data + i, chunk) != load_lower(other + i, chunk)) return false;
    }
    return length <= 8 || load_lower(data, 8) == load_lower(other, 8);
  }
};

// The module stop words by hash: all are at most 8 bytes long, so a hash and
// a length name one word.
class StopwordHashes {
 public:
  StopwordHashes() {
    for (const std::string& word : vocabulary().STOPWORDS.words()) {
      if (word.size() > 8)
        throw std::logic_error("stop words longer than 8 bytes need byte checks");
      const std::uint64_t h = word_hash(word.data(), word.size());
      std::size_t i = h & kMask;
      while (used_[i]) i = (i + 1) & kMask;
      used_[i] = true;
      hashes_[i] = h;
    }
  }
  bool contains(std::size_t length, std::uint64_t hash) const {
    if (length > 8) return false;
    for (std::size_t i = hash & kMask; used_[i]; i = (i + 1) & kMask)
      if (hashes_[i] == hash) return true;
    return false;
  }

 private:
  static constexpr std::size_t kMask = 127;
  std::array<std::uint64_t, kMask + 1> hashes_{};
  std::array<bool, kMask + 1> used_{};
};

const StopwordHashes& stopword_hashes() {
  static const StopwordHashes table;
  return table;
}

// JSON text of a double, as the writer gives it.
void json_double_text(double x, std::string& out) {
  out.clear();
  if (std::isnan(x)) {
    out = "NaN";
  } else if (std::isinf(x)) {
    out = x < 0 ? "-Infinity" : "Infinity";
  } else {
    append_float_repr(out, x);
  }
}

// Byte classes of the one-pass scanners. Pieces: bytes from 0x80 up end the
// fast scan (other scripts need the general tokenizer). JSON strings: also
// control bytes (escaped with letters) end it, and '"' and '\\' separate
// words but take an escape.
enum ScanClass : std::uint8_t { kScanSeparator, kScanWord, kScanCapital, kScanEscaped, kScanStop };

constexpr std::array<std::uint8_t, 256> make_scan_classes(bool json_string) {
  std::array<std::uint8_t, 256> classes{};
  for (int b = 0; b < 256; ++b) {
    std::uint8_t c = kScanSeparator;
    if (kByteClasses[b] == kWordByte) c = kScanWord;
    if (kByteClasses[b] == kCapital) c = kScanCapital;
    if (b >= 0x80 || (json_string && b < 0x20)) c = kScanStop;
    if (json_string && (b == '"' || b == '\\')) c = kScanEscaped;
    classes[b] = c;
  }
  return classes;
}
constexpr std::array<std::uint8_t, 256> kPieceClasses = make_scan_classes(false);
constexpr std::array<std::uint8_t, 256> kJsonStringClasses = make_scan_classes(true);

// Hands the words of ASCII text to sink.word in one pass; returns false at
// the first byte of class kScanStop. `escapes` counts '"' and '\\'. The
// string's terminating NUL is no word byte, so a word's end needs no bounds
// check.
template <class Sink>
[[gnu::always_inline]] inline bool scan_words(const std::string& text,
                                              const std::array<std::uint8_t, 256>& classes,
                                              bool entity, Sink& sink, std::size_t& escapes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.c_str());
  const unsigned char* end = p + text.size();
  while (p < end) {
    const std::uint8_t c = classes[*p];
    if (c == kScanSeparator) {
      ++p;
    } else if (c <= kScanCapital) {
      // The first byte may be a capital; a later capital starts the next word.
      const unsigned char* start = p++;
      // Unrolled: p[k + 1] is readable once p[k] is a word byte.
      for (;;) {
        if (classes[p[0]] != kScanWord) break;
        if (classes[p[1]] != kScanWord) {
          p += 1;
          break;
        }
        if (classes[p[2]] != kScanWord) {
          p += 2;
          break;
        }
        if (classes[p[3]] != kScanWord) {
          p += 3;
          break;
        }
        p += 4;
      }
      sink.word(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start), entity);
    } else if (c == kScanEscaped) {
      ++escapes;
      ++p;
    } else {
      return false;
    }
  }
  return true;
}

// Walks a card's searchable text piece by piece and hands every word (stop
// words included) to sink.word(data, length, is_entity_word). A sink offers
// mark() and rewind(mark) to drop the words of a piece that has to be read
// again the long way. Word storage lives until the next scan.
class CardScanner {
 public:
  template <class Sink>
  void scan(const TurnContextCard& card, Sink& sink) {
    owned_.clear();
    piece(card.user_question, false, sink);
    // A piece read twice adds no word: the found words and the distinct
    // words are sets, and a capped count that was full stays full.
    if (card.resolved_question != card.user_question) piece(card.resolved_question, false, sink);
    piece(card.assistant_answer_summary, false, sink);
    piece(card.task_type, false, sink);
    piece(card.artifact_type, false, sink);
    if (card.artifact_id) piece(*card.artifact_id, false, sink);
    if (card.artifact_label) piece(*card.artifact_label, false, sink);
    // Joining the items with blanks joins no words, so each item is scanned alone.
    for (const StringList* list :
         {&card.topic_keywords, &card.entities, &card.selected_metadata_ids})
      for (const std::string& item : *list) piece(item, true, sink);
    state(card.query_state, 0, sink);
    state(card.retrieval_state, 1, sink);
    state(card.output_state, 2, sink);
  }

 private:
  template <class Sink>
  void piece(const std::string& text, bool entity, Sink& sink) {
    const auto mark = sink.mark();
    std::size_t escapes = 0;
    if (scan_words(text, kPieceClasses, entity, sink, escapes)) return;
    sink.rewind(mark);
    // Lower-casing other scripts can yield ASCII letters; the general
    // tokenizer handles that.
    StringList words;
    tokenize_into(text, nullptr, words);
    for (std::string& word : words) {
      const std::string& stored = owned_.emplace_front(std::move(word));
      sink.word(stored.data(), stored.size(), entity);
    }
  }

  // A state contributes the words of compact_text(state, 1000). When its
  // strings are plain and its JSON text is within the cut length, those are
  // the words of its keys and values in order, found without the text.
  template <class Sink>
  void state(const JsonMap& map, std::size_t slot, Sink& sink) {
    if (map.empty()) return;  // "{}" holds no word
    const auto mark = sink.mark();
    std::size_t length = 0;
    if (plain_map(map, 0, length, sink) && length <= static_cast<std::size_t>(kStateTextChars))
      return;
    sink.rewind(mark);
    std::string& text = texts_[slot];
    JsonValue value(map);
    JsonWriteOptions options;
    options.ensure_ascii = false;
    text = json_text(value, options);
    if (static_cast<std::int64_t>(unicode::code_point_length(text)) > kStateTextChars)
      text = compact_text(value, kStateTextChars);
    piece(text, false, sink);
  }

  // A JSON string of bytes 0x20 to 0x7F: its words, and its length with the
  // quotes and the escapes of '"' and '\\'.
  template <class Sink>
  [[gnu::always_inline]] bool plain_string(const std::string& text, std::size_t& length,
                                           Sink& sink) {
    std::size_t escapes = 0;
    if (!scan_words(text, kJsonStringClasses, false, sink, escapes)) return false;
    length += text.size() + 2 + escapes;
    return length <= static_cast<std::size_t>(kStateTextChars);
  }

  template <class Sink>
  bool plain_map(const JsonMap& map, int depth, std::size_t& length, Sink& sink) {
    if (depth > kMaxWalkDepth) return false;
    length += 2 + (map.empty() ? 0 : 2 * (map.size() - 1));
    for (const auto& [key, value] : map) {
      length += 2;  // ": "
      if (!plain_string(key, length, sink)) return false;
      const bool plain = value.is_string() ? plain_string(value.as_string(), length, sink)
                                           : plain_value(value, depth + 1, length, sink);
      if (!plain) return false;
    }
    return true;
  }

  template <class Sink>
  bool plain_value(const JsonValue& value, int depth, std::size_t& length, Sink& sink) {
    switch (value.kind()) {
      case JsonValue::Kind::String:
        return plain_string(value.as_string(), length, sink);
      case JsonValue::Kind::List: {
        if (depth > kMaxWalkDepth) return false;
        const JsonList& list = value.as_list();
        length += 2 + (list.empty() ? 0 : 2 * (list.size() - 1));
        for (const JsonValue& item : list) {
          // String items, the usual kind, without the recursive call.
          const bool plain = item.is_string() ? plain_string(item.as_string(), length, sink)
                                              : plain_value(item, depth + 1, length, sink);
          if (!plain) return false;
        }
        return true;
      }
      case JsonValue::Kind::Map:
        return plain_map(value.as_map(), depth, length, sink);
      case JsonValue::Kind::Null:
        return literal(kNullText, length, sink);
      case JsonValue::Kind::Bool:
        return literal(value.as_bool() ? kTrueText : kFalseText, length, sink);
      case JsonValue::Kind::Int: {
        char buffer[24];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value.as_int());
        return literal(owned_.emplace_front(buffer, result.ptr), length, sink);
      }
      case JsonValue::Kind::Double:
        json_double_text(value.as_double(), number_);
        return literal(owned_.emplace_front(number_), length, sink);
      case JsonValue::Kind::Opaque:
        return false;
    }
    return false;
  }

  template <class Sink>
  bool literal(const std::string& text, std::size_t& length, Sink& sink) {
    std::size_t escapes = 0;
    scan_words(text, kPieceClasses, false, sink, escapes);
    length += text.size();
    return length <= static_cast<std::size_t>(kStateTextChars);
  }

  inline static const std::string kNullText = "null";
  inline static const std::string kTrueText = "true";
  inline static const std::string kFalseText = "false";
  // Words and numbers not backed by the card; a list allocates nothing until used.
  std::forward_list<std::string> owned_;
  std::string texts_[3];  // JSON text of states that take the long way
  std::string number_;
};

// The message's distinct words, found by hash.
class QueryIndex {
 public:
  explicit QueryIndex(const StringList& tokens) {
    std::size_t capacity = 16;
    while (capacity < 2 * tokens.size()) capacity *= 2;
    slots_.assign(capacity, 0);
    words_.reserve(tokens.size());
    for (const std::string& token : tokens) {
      const std::uint64_t h = word_hash(token.data(), token.size());
      if (find(token.data(), token.size(), h) >= 0) continue;
      std::size_t i = h & (capacity - 1);
      while (slots_[i]) i = (i + 1) & (capacity - 1);
      words_.push_back(WordRef{token.data(), static_cast<std::uint32_t>(token.size()), h});
      slots_[i] = static_cast<std::uint32_t>(words_.size());
      // A card byte equal to the first byte but for bit 0x20 hashes alike.
      const auto first = static_cast<unsigned char>(token[0]);
      const auto length_bit = static_cast<std::uint16_t>(1u << length_key(token.size()));
      first_lengths_[first | 0x20] |= length_bit;
      first_lengths_[first & ~0x20] |= length_bit;
    }
  }

  std::size_t size() const { return words_.size(); }
  // False when no message word has the word's length and (case-blind) first
  // byte: most card words are rejected without hashing.
  bool may_hold(const char* data, std::size_t length) const {
    return (first_lengths_[static_cast<unsigned char>(data[0])] >> length_key(length)) & 1;
  }
  // Index of the word, or -1.
  std::ptrdiff_t find(const char* data, std::size_t length, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i]; i = (i + 1) & mask) {
      const WordRef& word = words_[slots_[i] - 1];
      if (word.same(data, length, hash)) return static_cast<std::ptrdiff_t>(slots_[i] - 1);
    }
    return -1;
  }

 private:
  // Words are never empty; lengths from 15 up share a key.
  static std::size_t length_key(std::size_t length) { return std::min<std::size_t>(length, 15); }
  std::vector<WordRef> words_;        // views of the caller's tokens
  std::vector<std::uint32_t> slots_;  // word index + 1; 0 is empty
  // By first byte, bit length_key: some message word may match.
  std::array<std::uint16_t, 256> first_lengths_{};
};

// Distinct words seen, counted up to a cap of at most kSmallQueryWords: the
// overlap coefficient divides by the smaller set, so past the message's word
// count the card's exact count does not matter. The words live inline.
class CappedDistinct {
 public:
  void reset(std::size_t cap) {
    if (cap > kSmallQueryWords) throw std::logic_error("distinct word cap too large");
    cap_ = cap;
    size_ = 0;
    full_ = cap_ == 0;
  }
  // Kept as a flag: every card word asks.
  bool full() const { return full_; }
  std::size_t size() const { return size_; }
  void truncate(std::size_t size) {
    size_ = std::min(size_, size);
    full_ = size_ >= cap_;
  }
  void add(const char* data, std::size_t length, std::uint64_t hash) {
    if (full_) return;
    for (std::size_t i = 0; i < size_; ++i)
      if (words_[i].same(data, length, hash)) return;
    words_[size_++] = WordRef{data, static_cast<std::uint32_t>(length), hash};
    full_ = size_ >= cap_;
  }

 private:
  std::size_t cap_ = 0;
  std::size_t size_ = 0;
  bool full_ = true;
  std::array<WordRef, kSmallQueryWords> words_;
};

double overlap(std::size_t common, std::size_t a, std::size_t b) {
  if (a == 0 || b == 0) return 0.0;
  return static_cast<double>(common) / static_cast<double>(std::min(a, b));
}

// Overlaps for messages of up to 64 distinct words: found words are bits,
// and once both distinct counts reach the cap only words of the length and
// first letter of some message word are hashed at all.
class SmallQuerySink {
 public:
  SmallQuerySink(const QueryIndex& query, const StopwordHashes& stopwords)
      : query_(query), stopwords_(stopwords) {}

  void reset() {
    found_ = entity_found_ = 0;
    all_.reset(query_.size());
    entity_.reset(query_.size());
    update_counting();
  }

  struct Mark {
    std::uint64_t found, entity_found;
    std::size_t all, entity;
  };
  Mark mark() const { return {found_, entity_found_, all_.size(), entity_.size()}; }
  void rewind(const Mark& m) {
    found_ = m.found;
    entity_found_ = m.entity_found;
    all_.truncate(m.all);
    entity_.truncate(m.entity);
    update_counting();
  }

  [[gnu::always_inline]] void word(const char* data, std::size_t length, bool entity) {
    const bool count = counting_[entity];
    if (!count && !query_.may_hold(data, length)) return;
    count_word(data, length, entity, count);
  }

 private:
  void count_word(const char* data, std::size_t length, bool entity, bool count) {
    const std::uint64_t hash = word_hash(data, length);
    const std::ptrdiff_t index = query_.find(data, length, hash);
    if (index >= 0) {
      found_ |= std::uint64_t{1} << index;
      if (entity) entity_found_ |= std::uint64_t{1} << index;
    } else if (!count || stopwords_.contains(length, hash)) {
      return;  // message words are never stop words
    }
    if (!count) return;
    all_.add(data, length, hash);
    if (entity) entity_.add(data, length, hash);
    update_counting();
  }

  // Whether a word (index 0) or an entity word (index 1) still adds to a
  // distinct count; kept as flags since every card word asks.
  void update_counting() {
    counting_[0] = !all_.full();
    counting_[1] = !all_.full() || !entity_.full();
  }

 public:
  CardOverlaps overlaps() const {
    return {overlap(static_cast<std::size_t>(std::popcount(found_)), query_.size(), all_.size()),
            overlap(static_cast<std::size_t>(std::popcount(entity_found_)), query_.size(),
                    entity_.size())};
  }

 private:
  const QueryIndex& query_;
  const StopwordHashes& stopwords_;
  std::uint64_t found_ = 0;
  std::uint64_t entity_found_ = 0;
  CappedDistinct all_;
  CappedDistinct entity_;
  bool counting_[2] = {false, false};
};

// Overlaps for longer messages: the card's distinct words in full.
class WordSetSink {
 public:
  WordSetSink(const QueryIndex& query, const StopwordHashes& stopwords)
      : query_(query), stopwords_(stopwords) {}

  void reset() { words_.clear(); }
  std::size_t mark() const { return words_.size(); }
  void rewind(std::size_t mark) { words_.resize(mark); }

  void word(const char* data, std::size_t length, bool entity) {
    words_.push_back({WordRef{data, static_cast<std::uint32_t>(length), 0}, entity});
  }

  CardOverlaps overlaps() {
    std::vector<std::uint8_t> found(query_.size());  // bit 0: card word, bit 1: entity word
    Index all, entities;
    for (auto& [word, entity] : words_) {
      word.hash = word_hash(word.data, word.length);
      if (stopwords_.contains(word.length, word.hash)) continue;
      const std::ptrdiff_t index = query_.find(word.data, word.length, word.hash);
      if (index >= 0) found[static_cast<std::size_t>(index)] |= entity ? 3 : 1;
      add_distinct(all, word);
      if (entity) add_distinct(entities, word);
    }
    std::size_t common = 0, entity_common = 0;
    for (std::uint8_t f : found) {
      common += f & 1;
      entity_common += (f >> 1) & 1;
    }
    return {overlap(common, query_.size(), all.size()),
            overlap(entity_common, query_.size(), entities.size())};
  }

 private:
  using Index = std::unordered_multimap<std::uint64_t, WordRef>;
  static void add_distinct(Index& index, const WordRef& word) {
    auto [first, last] = index.equal_range(word.hash);
    for (auto it = first; it != last; ++it)
      if (it->second.same(word.data, word.length, word.hash)) return;
    index.emplace(word.hash, word);
  }

  const QueryIndex& query_;
  const StopwordHashes& stopwords_;
  std::vector<std::pair<WordRef, bool>> words_;
};

}  // namespace

struct CardOverlapMeter::Impl {
  explicit Impl(const StringList& tokens)
      : query(tokens), small(query, stopword_hashes()), large(query, stopword_hashes()) {}
  QueryIndex query;
  CardScanner scanner;
  SmallQuerySink small;
  WordSetSink large;
};

CardOverlapMeter::CardOverlapMeter(const StringList& message_tokens)
    : impl_(std::make_unique<Impl>(message_tokens)) {}

CardOverlapMeter::~CardOverlapMeter() = default;

CardOverlaps CardOverlapMeter::measure(const TurnContextCard& card) {
  if (impl_->query.size() == 0) return {};
  if (impl_->query.size() <= kSmallQueryWords) {
    impl_->small.reset();
    impl_->scanner.scan(card, impl_->small);
    return impl_->small.overlaps();
  }
  impl_->large.reset();
  impl_->scanner.scan(card, impl_->large);
  return impl_->large.overlaps();
}

}  // namespace detail

namespace detail {

namespace {

constexpr std::array<std::u32string_view, 5> kArtifactNouns = {U"chart", U"table", U"card",
                                                               U"widget", U"result"};

// The first word run of the form \w+_\d+, what \b(\w+_\d+)\b finds: a
// match can only start where a run starts and end where it ends (\d is
// part of \w), and its digits are the run's trailing digits with a "_"
// and at least one character before them.
std::optional<std::u32string_view> first_numbered_identifier(std::u32string_view q) {
  std::size_t i = 0;
  while (i < q.size()) {
    if (!unicode::is_word(q[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < q.size() && unicode::is_word(q[i])) ++i;
    std::size_t digits = i;
    while (digits > start && unicode::is_decimal(q[digits - 1])) --digits;
    if (digits < i && digits >= start + 2 && q[digits - 1] == U'_')
      return q.substr(start, i - start);
  }
  return std::nullopt;
}

}  // namespace

std::string two_decimal_text(double x) {
  if (!(x > 0.0 && x <= 1.0)) return format_fixed(x, 2);
  // x * 100 is off the exact product by far less than 1e-6, so away from a
  // midpoint both round alike; near one the exact digits decide.
  const double y = x * 100.0;
  const double whole = std::floor(y);
  const double fraction = y - whole;
  if (std::fabs(fraction - 0.5) < 1e-6) return format_fixed(x, 2);
  const int k = static_cast<int>(whole) + (fraction > 0.5 ? 1 : 0);
  const char text[4] = {static_cast<char>('0' + k / 100), '.', static_cast<char>('0' + k / 10 % 10),
                        static_cast<char>('0' + k % 10)};
  return std::string(text, 4);
}

std::optional<std::int64_t> explicit_turn_reference(std::u32string_view q) {
  // Each alternative of TURN_REF_RE holds a digit run.
  std::optional<RegexMatch> match;
  if (has_decimal_digit(q)) match = vocabulary().TURN_REF_RE.search(q);
  if (match) {
    for (std::size_t group = 1; group <= 3; ++group) {
      if (!match->matched(group)) continue;
      if (std::optional<std::int64_t> number = digits_to_int64(match->group(q, group)))
        return number;
    }
  }
  const std::vector<OrdinalWord>& words = vocabulary().ORDINAL_WORDS;
  const std::vector<Regex>& patterns = reference_patterns().ordinals;
  const std::vector<std::u32string>& literals = reference_patterns().ordinal_words;
  for (std::size_t i = 0; i < words.size(); ++i)
    if (q.find(literals[i]) != std::u32string_view::npos && patterns[i].contains(q))
      return words[i].value;
  return std::nullopt;
}

std::optional<std::string> artifact_reference(std::u32string_view q) {
  const ReferencePatterns& patterns = reference_patterns();
  // Every match of the noun pattern holds one of its nouns.
  bool noun = false;
  for (std::u32string_view word : kArtifactNouns) noun = noun || q.find(word) != q.npos;
  RegexMatch match;
  if (noun && patterns.artifact_noun.search(q, 0, match))
    return group_text(match, q, 1) + "_" + group_text(match, q, 2);
  if (std::optional<std::u32string_view> identifier = first_numbered_identifier(q))
    return unicode::encode_utf8(*identifier);
  return std::nullopt;
}

std::optional<std::string> artifact_reference_by_pattern(std::u32string_view q) {
  const ReferencePatterns& patterns = reference_patterns();
  RegexMatch match;
  if (patterns.artifact_noun.search(q, 0, match))
    return group_text(match, q, 1) + "_" + group_text(match, q, 2);
  if (patterns.artifact_identifier.search(q, 0, match)) return group_text(match, q, 1);
  return std::nullopt;
}

}  // namespace detail

std::optional<std::int64_t> Turnmend::_detect_explicit_turn_reference(const std::string& question) {
  return detail::explicit_turn_reference(detail::lowered_code_points(question));
}

std::optional<std::string> Turnmend::_detect_artifact_reference(const std::string& question) {
  return detail::artifact_reference(detail::lowered_code_points(question));
}

bool Turnmend::_artifact_matches(const std::string& ref, const TurnContextCard& card) {
  const std::string wanted = normalized_reference(ref);
  const std::string turn = std::to_string(card.turn_id);
  const std::array<std::string, 4> values = {
      card.artifact_id.value_or(std::string()), card.artifact_label.value_or(std::string()),
      card.artifact_type + "_" + turn, std::string(kTurnArtifactPrefix) + turn};
  for (const std::string& value : values)
    if (!value.empty() && normalized_reference(value) == wanted) return true;
  return false;
}

std::vector<ContextCandidate> Turnmend::_rank_candidates(
    const std::string& current_question, const CardList& cards,
    std::optional<std::int64_t> explicit_turn_id,
    const std::optional<std::string>& explicit_artifact_ref,
    std::optional<std::int64_t> active_turn_id,
    const std::optional<std::string>& preferred_task_type) const {
  const StringList q_tokens = tokenize(std::string_view(current_question));
  detail::CardOverlapMeter overlap_meter(q_tokens);
  const std::optional<std::int64_t> latest = _latest_active_turn_id(cards);

  std::vector<const CardRef*> ordered;
  ordered.reserve(cards.size());
  for (const CardRef& card : cards)
    if (card) ordered.push_back(&card);
  std::stable_sort(ordered.begin(), ordered.end(), [](const CardRef* a, const CardRef* b) {
    return (*a)->turn_id > (*b)->turn_id;
  });
  const std::size_t n = ordered.size();
  const double rank_divisor = static_cast<double>(std::max<std::size_t>(1, n ? n - 1 : 0) + 1);
  const bool artifact_given = explicit_artifact_ref && !explicit_artifact_ref->empty();
  const bool task_type_given = preferred_task_type && !preferred_task_type->empty();

  std::vector<ContextCandidate> candidates;
  candidates.reserve(n);
  std::size_t run_end = 0;  // one past the last card sharing the current turn_id
  for (std::size_t position = 0; position < n; ++position) {
    const CardRef& ref = *ordered[position];
    const TurnContextCard& card = *ref;
    // Cards sharing a turn_id are adjacent; they all take the last position.
    if (position >= run_end) {
      run_end = position + 1;
      while (run_end < n && (*ordered[run_end])->turn_id == card.turn_id) ++run_end;
    }
    const std::size_t rank = run_end - 1;

    ContextCandidate candidate{card.turn_id, 0.0, {}, ref};
    double& score = candidate.score;
    StringList& reasons = candidate.reasons;
    reasons.reserve(kUsualReasons);
    if (explicit_turn_id && *explicit_turn_id == card.turn_id) {
      score += config.explicit_reference_weight;
      reasons.push_back(with_number(kExplicitTurnReason, card.turn_id));
    }
    if (artifact_given && _artifact_matches(*explicit_artifact_ref, card)) {
      score += config.artifact_match_weight;
      reasons.push_back(std::string(kArtifactMatchReason) + *explicit_artifact_ref);
    }
    if (card.is_active) {
      score += config.active_card_bonus;
      reasons.emplace_back(kActiveCardReason);
    }
    if (active_turn_id && *active_turn_id == card.turn_id) {
      score += config.active_card_bonus;
      reasons.emplace_back(kActiveTurnIdReason);
    }
    if (latest && *latest == card.turn_id) {
      score += config.active_card_bonus;
      reasons.emplace_back(kLatestActiveReason);
    }
    const double recency = 1.0 - static_cast<double>(rank) / rank_divisor;
    score += recency * config.recency_weight;
    if (recency > 0.5) reasons.emplace_back(kRecentTurnReason);

    const detail::CardOverlaps overlaps = overlap_meter.measure(card);
    const double keyword_overlap = overlaps.keyword;
    if (keyword_overlap != 0.0) {
      score += keyword_overlap * config.keyword_overlap_weight;
      reasons.push_back(std::string(kKeywordOverlapReason) +
                        detail::two_decimal_text(keyword_overlap));
    }
    const double entity_overlap = overlaps.entity;
    if (entity_overlap != 0.0) {
      score += entity_overlap * config.entity_overlap_weight;
      reasons.push_back(std::string(kEntityOverlapReason) +
                        detail::two_decimal_text(entity_overlap));
    }
    if (task_type_given && *preferred_task_type == card.task_type) {
      score += config.task_type_match_weight;
      reasons.push_back(std::string(kTaskTypeReason) + *preferred_task_type);
    }
    score *= quality_factor(card.quality_score);
    candidates.push_back(std::move(candidate));
  }
  // Recency often leaves them in order already; otherwise the indices are
  // sorted and each candidate moved once.
  if (std::is_sorted(candidates.begin(), candidates.end(), higher_score)) return candidates;
  std::vector<std::size_t> order(candidates.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return higher_score(candidates[a], candidates[b]);
  });
  std::vector<ContextCandidate> sorted;
  sorted.reserve(candidates.size());
  for (std::size_t i : order) sorted.push_back(std::move(candidates[i]));
  return sorted;
}

const ContextCandidate* Turnmend::_choose_base_for_contextual_request(
    const ContextCandidate* best, const ContextCandidate* second,
    const std::string& current_question, bool ambiguous_reference) const {
  if (!best) return nullptr;
  if (best->score >= config.followup_threshold) {
    if (!config.ask_clarification_when_ambiguous) return best;
    if (second && best->score - second->score < config.clarification_margin && ambiguous_reference)
      return nullptr;
    return best;
  }
  if (config.prefer_latest_for_pronoun_followup && _has_pronoun_followup(current_question))
    return best->score >= kPronounBaseMinScore ? best : nullptr;
  return nullptr;
}

std::string Turnmend::_build_ambiguity_question(const std::vector<ContextCandidate>& candidates) {
  std::string options;
  const std::size_t considered = std::min(kAmbiguityOptions, candidates.size());
  for (std::size_t i = 0; i < considered; ++i) {
    const ContextCandidate& candidate = candidates[i];
    if (!candidate.card) continue;
    const TurnContextCard& card = *candidate.card;
    std::string label = !card.resolved_question.empty() ? card.resolved_question
                        : !card.user_question.empty()   ? card.user_question
                                                      : with_number(kTurnLabel, candidate.turn_id);
    if (!options.empty()) options += kOptionSeparator;
    options += with_number(kTurnLabel, candidate.turn_id);
    options += ": ";
    options += compact_text(std::string_view(label), kOptionLabelChars);
  }
  if (options.empty()) return std::string(kGenericClarification);
  return std::string(kWhichResultPrefix) + options;
}

}  // namespace tessarin::turnmend
