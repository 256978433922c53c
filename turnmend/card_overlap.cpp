// The card overlap meter: the two word overlaps that ranking computes for
// every card on every resolve, measured in one pass over the card's pieces
// without building its word lists.
#include "tessarin/turnmend/card_overlap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <forward_list>
#include <stdexcept>
#include <unordered_map>

#include "tessarin/common/display.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/unicode.h"
#include "tessarin/common/words.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend::detail {

namespace {

using words::word_hash;
using words::WordRef;

constexpr std::int64_t kStateTextChars = 1000;
constexpr int kMaxWalkDepth = 64;
constexpr std::size_t kSmallQueryWords = 64;

// The words of ASCII text to sink.word; false at the first stop byte.
template <class Sink>
[[gnu::always_inline]] inline bool scan_words(const std::string& text,
                                              const words::ByteClasses& classes, bool entity,
                                              Sink& sink, std::size_t& escapes) {
  return words::scan_ascii_string_words(
      text, classes, [&](const char* data, std::size_t length) { sink.word(data, length, entity); },
      escapes);
}

// JSON text of a double, as the writer gives it.
void json_double_text(double x, std::string& out) {
  out.clear();
  append_json_double(out, x);
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
    if (scan_words(text, words::kTextBytes, entity, sink, escapes)) return;
    sink.rewind(mark);
    // Lower-casing other scripts can yield ASCII letters: the Unicode route.
    words::for_each_word(text, [&](std::string_view word) {
      const std::string& stored = owned_.emplace_front(word);
      sink.word(stored.data(), stored.size(), entity);
    });
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
    if (!scan_words(text, words::kJsonStringBytes, false, sink, escapes)) return false;
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
    scan_words(text, words::kTextBytes, false, sink, escapes);
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

// The message's distinct words, found by hash, with a filter that rules out
// most card words before any hashing.
class QueryIndex {
 public:
  explicit QueryIndex(const StringList& tokens) : words_(tokens) {
    for (const std::string& token : tokens) filter_.add(token);
  }

  std::size_t size() const { return words_.size(); }
  bool may_hold(const char* data, std::size_t length) const {
    return filter_.may_hold(data, length);
  }
  // Index of the word, or -1.
  std::ptrdiff_t find(const char* data, std::size_t length, std::uint64_t hash) const {
    return words_.find(data, length, hash);
  }

 private:
  words::WordIndex words_;
  words::FirstByteLengthFilter filter_;
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
  SmallQuerySink(const QueryIndex& query, const words::WordIndex& stopwords)
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
  // Out of line, so that the scan loops it is called from stay small.
  [[gnu::noinline]] void count_word(const char* data, std::size_t length, bool entity, bool count) {
    const std::uint64_t hash = word_hash(data, length);
    const std::ptrdiff_t index = query_.find(data, length, hash);
    if (index >= 0) {
      found_ |= std::uint64_t{1} << index;
      if (entity) entity_found_ |= std::uint64_t{1} << index;
    } else if (!count || stopwords_.contains(data, length, hash)) {
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
  const words::WordIndex& stopwords_;
  std::uint64_t found_ = 0;
  std::uint64_t entity_found_ = 0;
  CappedDistinct all_;
  CappedDistinct entity_;
  bool counting_[2] = {false, false};
};

// Overlaps for longer messages: the card's distinct words in full.
class WordSetSink {
 public:
  WordSetSink(const QueryIndex& query, const words::WordIndex& stopwords)
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
      if (stopwords_.contains(word.data, word.length, word.hash)) continue;
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
  const words::WordIndex& stopwords_;
  std::vector<std::pair<WordRef, bool>> words_;
};

}  // namespace

struct CardOverlapMeter::Impl {
  explicit Impl(const StringList& tokens)
      : query(tokens), small(query, stopword_index()), large(query, stopword_index()) {}
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

}  // namespace tessarin::turnmend::detail