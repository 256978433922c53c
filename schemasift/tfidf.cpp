// Native TF-IDF index: one fitting pass that interns and counts terms per
// document (tokens from tfidf_tokens), then idf; scoring scans the rows and
// normalizes only the rows that share a term with the question, or reads
// the matrix filed by term once the index is scored again or kept.
#include "tessarin/schemasift/tfidf.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "tessarin/schemasift/tfidf_tokens.h"

namespace tessarin::schemasift {

using tfidf_detail::kPadding;
using tfidf_detail::load_word;
using tfidf_detail::Span;
using tfidf_detail::tokenize;
using tfidf_detail::TokenKey;

namespace {

constexpr std::size_t kIdfMemo = 4096;
constexpr std::size_t kInsertionSortLimit = 32;
constexpr std::uint32_t kMaxIndex = 0xFFFFFFFEu;  // ids, offsets and entries fit in 32 bits

// splitmix64's finalizer: spreads every input bit over the whole word.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// The first n (at most 8) bytes at p as a word; p[0, 8) must be readable.
std::uint64_t load_prefix(const char* p, std::size_t n) {
  if (n == 0) return 0;
  std::uint64_t word = load_word(p);
  if constexpr (std::endian::native == std::endian::little) {
    return word & (~0ull >> (64 - 8 * n));
  } else {
    return word & (~0ull << (64 - 8 * n));
  }
}

// The token's key; token[0, n + 8) must be readable.
TokenKey token_key(const char* token, std::size_t n) {
  std::uint64_t tail = n > 8 ? load_prefix(token + 8, std::min<std::size_t>(n - 8, 8)) : 0;
  return {load_prefix(token, std::min<std::size_t>(n, 8)), tail, n};
}

std::uint64_t token_hash(const TokenKey& key, const char* token) {
  std::uint64_t h = ((key.head ^ key.length) * 0xff51afd7ed558ccdull) ^ key.tail;
  for (std::size_t i = 16; i < key.length; i += 8)
    h = (h ^ load_prefix(token + i, std::min<std::size_t>(key.length - i, 8))) *
        0xc4ceb9fe1a85ec53ull;
  return mix(h);
}

// A hint to start loading p's cache line; lookups of a whole document are
// hinted first so that their misses overlap.
void prefetch_line(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// Divides the weights by their l2 norm; the squares are summed in order.
void normalize_l2(double* weights, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += weights[i] * weights[i];
  if (sum == 0.0) return;
  double norm = std::sqrt(sum);
  for (std::size_t i = 0; i < n; ++i) weights[i] /= norm;
}

template <class T, class Less>
void sort_small(T* begin, std::size_t n, Less less) {
  if (n > kInsertionSortLimit) {
    std::sort(begin, begin + n, less);
    return;
  }
  for (std::size_t i = 1; i < n; ++i) {
    T item = begin[i];
    std::size_t j = i;
    for (; j > 0 && less(item, begin[j - 1]); --j) begin[j] = begin[j - 1];
    begin[j] = item;
  }
}

// The power of two, 64 at least, that keeps a table of n at most half full.
std::size_t capacity_for(std::size_t n) { return std::bit_ceil(std::max<std::size_t>(64, 2 * n)); }

// The power of two, 64 at least, that keeps a table of n that no longer
// grows at most three quarters full.
std::size_t kept_capacity_for(std::size_t n) {
  return std::bit_ceil(std::max<std::size_t>(64, n + n / 3 + 1));
}

// The storage of the last index dropped, one buffer per kind, for the next
// fit to take. A selection fits an index, scores one question and drops it;
// for a big catalog, the fresh pages of a new index cost the kernel about a
// third of the whole fit, while reused ones cost nothing. What is kept is at
// most the size of the last index (and no buffer over kMaxRecycledBytes).
constexpr std::size_t kMaxRecycledBytes = std::size_t{64} << 20;

template <class T, int kKind = 0>
class Recycler {
 public:
  // An empty vector, with the capacity of the last one given if any.
  static std::vector<T> take() {
    Spare& spare = instance();
    std::lock_guard<std::mutex> lock(spare.mutex);
    return std::exchange(spare.buffer, {});
  }

  static void give(std::vector<T>&& buffer) {
    if (buffer.capacity() == 0 || buffer.capacity() > kMaxRecycledBytes / sizeof(T)) return;
    buffer.clear();
    Spare& spare = instance();
    std::lock_guard<std::mutex> lock(spare.mutex);
    spare.buffer.swap(buffer);
  }

 private:
  struct Spare {
    std::mutex mutex;
    std::vector<T> buffer;
  };
  // Never destroyed, so that indexes dropped at exit still find it.
  static Spare& instance() {
    static Spare* spare = new Spare;
    return *spare;
  }
};

// Distinguishes the recycled vectors of one element type.
enum RecycledKind { kRowBegins, kDocumentFrequencies };

void check_index(std::size_t n, const char* what) {
  if (n > kMaxIndex) throw std::length_error(what);
}

}  // namespace

// ---- term tables ----

inline bool TfidfIndex::UnigramTable::holds(const Slot& slot, const TokenKey& key,
                                            const char* token, const std::string& text) {
  return slot.head == key.head && slot.tail == key.tail && slot.length == key.length &&
         (key.length <= 16 ||
          std::memcmp(text.data() + slot.offset + 16, token + 16, key.length - 16) == 0);
}

inline const TfidfIndex::UnigramTable::Slot* TfidfIndex::UnigramTable::find(
    const TokenKey& key, const char* token, std::uint64_t hash, const std::string& text) const {
  if (slots_.empty()) return nullptr;
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.id == kUnknown) return nullptr;
    if (holds(slot, key, token, text)) return &slot;
  }
}

inline TfidfIndex::UnigramTable::Slot& TfidfIndex::UnigramTable::find_or_add(
    const TokenKey& key, const char* token, std::uint64_t hash, const std::string& text) {
  if (2 * (size_ + 1) > slots_.size()) make_room(1, text);
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.id == kUnknown) {
      ++size_;
      slot.head = key.head;
      slot.tail = key.tail;
      return slot;
    }
    if (holds(slot, key, token, text)) return slot;
  }
}

inline void TfidfIndex::UnigramTable::make_room(std::size_t n, const std::string& text) {
  if (2 * (size_ + n) > slots_.size()) grow(capacity_for(size_ + n), text);
}

inline void TfidfIndex::UnigramTable::prefetch(std::uint64_t hash) const {
  if (!slots_.empty()) prefetch_line(&slots_[hash & (slots_.size() - 1)]);
}

void TfidfIndex::UnigramTable::grow(std::size_t capacity, const std::string& text) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{0, 0, kUnknown, 0, 0, 0});
  std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.id == kUnknown) continue;
    const char* token = text.data() + slot.offset;
    std::size_t i = token_hash(TokenKey{slot.head, slot.tail, slot.length}, token) & mask;
    while (slots_[i].id != kUnknown) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

// Rebuilding at the smaller capacity: the moved-from table holds no buffer, so
// the new one is allocated at exactly that size.
void TfidfIndex::UnigramTable::shrink(const std::string& text) {
  std::size_t capacity = kept_capacity_for(size_);
  if (capacity >= slots_.capacity()) return;
  grow(capacity, text);
}

// Fibonacci hashing of the pair: the top bits of the product depend on all
// bits of both ids.
inline std::size_t TfidfIndex::BigramTable::position(std::uint32_t first,
                                                     std::uint32_t second) const {
  std::uint64_t key = (static_cast<std::uint64_t>(first) << 32) | second;
  return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ull) >> shift_);
}

inline const TfidfIndex::BigramTable::Slot* TfidfIndex::BigramTable::find(
    std::uint32_t first, std::uint32_t second) const {
  if (slots_.empty()) return nullptr;
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = position(first, second);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.id == kUnknown) return nullptr;
    if (slot.first == first && slot.second == second) return &slot;
  }
}

inline TfidfIndex::BigramTable::Slot& TfidfIndex::BigramTable::find_or_add(std::uint32_t first,
                                                                           std::uint32_t second) {
  if (2 * (size_ + 1) > slots_.size()) make_room(1);
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = position(first, second);; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.id == kUnknown) {
      ++size_;
      slot.first = first;
      slot.second = second;
      return slot;
    }
    if (slot.first == first && slot.second == second) return slot;
  }
}

inline void TfidfIndex::BigramTable::make_room(std::size_t n) {
  if (2 * (size_ + n) > slots_.size()) grow(capacity_for(size_ + n));
}

inline void TfidfIndex::BigramTable::prefetch(std::uint32_t first, std::uint32_t second) const {
  if (!slots_.empty()) prefetch_line(&slots_[position(first, second)]);
}

void TfidfIndex::BigramTable::grow(std::size_t capacity) {
  std::vector<Slot> fresh = Recycler<Slot>::take();
  fresh.assign(capacity, Slot{0, 0, kUnknown, 0});
  rehash_into(std::move(fresh));
}

void TfidfIndex::BigramTable::shrink() {
  std::size_t capacity = kept_capacity_for(size_);
  if (capacity >= slots_.capacity()) return;
  // A fresh buffer rather than a recycled one, which may be larger.
  rehash_into(std::vector<Slot>(capacity, Slot{0, 0, kUnknown, 0}));
}

void TfidfIndex::BigramTable::rehash_into(std::vector<Slot> fresh) {
  std::vector<Slot> old = std::exchange(slots_, std::move(fresh));
  shift_ = 64 - std::countr_zero(slots_.size());
  std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.id == kUnknown) continue;
    std::size_t i = position(slot.first, slot.second);
    while (slots_[i].id != kUnknown) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

// The table is sized once per fit, for the whole corpus, so a recycled
// buffer serves that one allocation.
void TfidfIndex::BigramTable::recycle() { Recycler<Slot>::give(std::move(slots_)); }

// ---- vocabulary ----

std::uint32_t TfidfIndex::find_unigram(std::string_view token) const {
  TokenKey key = token_key(token.data(), token.size());
  const UnigramTable::Slot* slot =
      unigrams_.find(key, token.data(), token_hash(key, token.data()), text_);
  return slot == nullptr ? kUnknown : slot->id;
}

std::uint32_t TfidfIndex::find_bigram(std::uint32_t first, std::uint32_t second) const {
  if (first == kUnknown || second == kUnknown) return kUnknown;
  const BigramTable::Slot* slot = bigrams_.find(first, second);
  return slot == nullptr ? kUnknown : slot->id;
}

std::string TfidfIndex::term_text(std::uint32_t id) const {
  const Term& term = terms_[id];
  if (term.length > 0) return text_.substr(term.first, term.length);
  return term_text(term.first) + ' ' + term_text(term.second);
}

double TfidfIndex::idf(std::string_view term) const {
  std::string padded(term);
  padded.append(kPadding, '\0');
  std::string_view text(padded.data(), term.size());
  std::uint32_t id = kUnknown;
  std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) {
    id = find_unigram(text);
  } else {
    // The first part is no longer followed by its padding but by the rest of
    // the term, which is readable all the same.
    id = find_bigram(find_unigram(text.substr(0, blank)), find_unigram(text.substr(blank + 1)));
  }
  return id == kUnknown ? 0.0 : idf_[id];
}

// ---- fitting ----

TfidfIndex::~TfidfIndex() {
  Recycler<Entry>::give(std::move(entries_));
  Recycler<Term>::give(std::move(terms_));
  Recycler<double>::give(std::move(idf_));
  Recycler<std::uint32_t, kRowBegins>::give(std::move(row_begin_));
  bigrams_.recycle();
}

TfidfIndex TfidfIndex::fit(const std::vector<std::string_view>& docs) {
  TfidfIndex index;
  index.document_count_ = docs.size();
  index.entries_ = Recycler<Entry>::take();
  index.terms_ = Recycler<Term>::take();
  index.idf_ = Recycler<double>::take();
  index.row_begin_ = Recycler<std::uint32_t, kRowBegins>::take();
  std::vector<Entry>& entries = index.entries_;
  std::vector<Term>& terms = index.terms_;
  std::size_t total_bytes = 0;
  for (std::string_view doc : docs) total_bytes += doc.size();
  // Catalog text has about one distinct term per six bytes, and each
  // document brings about two new terms.
  entries.reserve(total_bytes / 6 + 2 * docs.size());
  terms.reserve(2 * docs.size() + 256);
  index.row_begin_.reserve(docs.size() + 1);
  index.row_begin_.push_back(0);
  // Catalog documents bring about two new bigrams each.
  index.bigrams_.make_room(2 * docs.size());

  std::vector<std::uint32_t> df = Recycler<std::uint32_t, kDocumentFrequencies>::take();
  df.reserve(terms.capacity());  // per term
  std::string& text = index.text_;
  text.assign(kPadding, '\0');
  std::string buffer;
  std::vector<Span> spans;
  std::vector<std::uint32_t> tokens;  // unigram ids of the document, in order
  struct HashedKey {
    TokenKey key;
    std::uint64_t hash;
  };
  std::vector<HashedKey> keys;

  for (std::string_view doc : docs) {
    std::size_t token_count = tokenize(doc, buffer, spans);
    std::size_t row = entries.size();
    check_index(row + 2 * token_count, "too many terms to index");
    check_index(terms.size() + 2 * token_count, "too many terms to index");
    // A slot's entry is in this document's row when it is at least row.
    auto count = [&](std::uint32_t id, std::uint32_t& entry, bool fresh) {
      if (!fresh && entry >= row) {
        ++entries[entry].count;
        return;
      }
      entry = static_cast<std::uint32_t>(entries.size());
      entries.push_back({id, 1});
      ++df[id];
    };

    // All lookups of the document are hinted before the first is made.
    index.unigrams_.make_room(token_count, text);
    if (keys.size() < token_count) keys.resize(token_count);
    for (std::size_t t = 0; t < token_count; ++t) {
      const char* token = buffer.data() + spans[t].begin;
      TokenKey key = token_key(token, spans[t].length);
      std::uint64_t hash = token_hash(key, token);
      index.unigrams_.prefetch(hash);
      keys[t] = {key, hash};
    }
    if (tokens.size() < token_count) tokens.resize(token_count);
    for (std::size_t t = 0; t < token_count; ++t) {
      const Span& span = spans[t];
      const char* token = buffer.data() + span.begin;
      UnigramTable::Slot& slot =
          index.unigrams_.find_or_add(keys[t].key, token, keys[t].hash, text);
      bool fresh = slot.id == kUnknown;
      if (fresh) {
        std::size_t offset = text.size() - kPadding;
        check_index(offset + span.length, "too much term text to index");
        text.insert(offset, token, span.length);
        slot.offset = static_cast<std::uint32_t>(offset);
        slot.length = static_cast<std::uint32_t>(span.length);
        slot.id = static_cast<std::uint32_t>(terms.size());
        terms.push_back({slot.offset, 0, slot.length});
        df.push_back(0);
      }
      count(slot.id, slot.entry, fresh);
      tokens[t] = slot.id;
    }

    if (token_count > 1) index.bigrams_.make_room(token_count - 1);
    for (std::size_t t = 1; t < token_count; ++t) index.bigrams_.prefetch(tokens[t - 1], tokens[t]);
    for (std::size_t t = 1; t < token_count; ++t) {
      BigramTable::Slot& slot = index.bigrams_.find_or_add(tokens[t - 1], tokens[t]);
      bool fresh = slot.id == kUnknown;
      if (fresh) {
        slot.id = static_cast<std::uint32_t>(terms.size());
        terms.push_back({tokens[t - 1], tokens[t], 0});
        df.push_back(0);
      }
      count(slot.id, slot.entry, fresh);
    }
    index.row_begin_.push_back(static_cast<std::uint32_t>(entries.size()));
  }

  // Smoothed idf: as if one more document held every term once. It depends
  // on the document frequency alone, and most terms share a small one.
  index.idf_.resize(terms.size());
  double n = static_cast<double>(docs.size() + 1);
  std::array<double, kIdfMemo> memo{};  // 0 until computed; an idf is at least 1
  for (std::size_t t = 0; t < terms.size(); ++t) {
    std::uint32_t d = df[t];
    if (d < kIdfMemo && memo[d] != 0.0) {
      index.idf_[t] = memo[d];
      continue;
    }
    double idf = std::log(n / static_cast<double>(d + 1)) + 1.0;
    if (d < kIdfMemo) memo[d] = idf;
    index.idf_[t] = idf;
  }
  Recycler<std::uint32_t, kDocumentFrequencies>::give(std::move(df));
  return index;
}

// ---- scoring ----

// The vectorizer normalizes each row, cosine scoring again. Both norms sum
// the squares in order of term id, so the row is sorted first (in scratch:
// most rows share no term with a question and are never sorted).
TfidfIndex::Norms TfidfIndex::row_norms(std::size_t d, std::vector<Entry>& scratch) const {
  scratch.assign(entries_.begin() + static_cast<std::ptrdiff_t>(row_begin_[d]),
                 entries_.begin() + static_cast<std::ptrdiff_t>(row_begin_[d + 1]));
  sort_small(scratch.data(), scratch.size(),
             [](const Entry& a, const Entry& b) { return a.term < b.term; });
  double sum = 0.0;
  for (const Entry& entry : scratch) {
    double weight = static_cast<double>(entry.count) * idf_[entry.term];
    sum += weight * weight;
  }
  // Dividing by 1 where normalizing would skip a zero row changes nothing.
  double first = sum == 0.0 ? 1.0 : std::sqrt(sum);
  sum = 0.0;
  for (const Entry& entry : scratch) {
    double weight = static_cast<double>(entry.count) * idf_[entry.term] / first;
    sum += weight * weight;
  }
  return {first, sum == 0.0 ? 1.0 : std::sqrt(sum)};
}

std::vector<double> TfidfIndex::similarities(std::string_view question) const {
  if (terms_.empty()) return {};
  std::vector<double> sums(document_count_, 0.0);

  std::string buffer;
  std::vector<Span> spans;
  spans.resize(tokenize(question, buffer, spans));
  std::vector<std::uint32_t> tokens;
  std::vector<std::uint32_t> features;
  for (const Span& span : spans) {
    std::uint32_t id = find_unigram(std::string_view(buffer.data() + span.begin, span.length));
    tokens.push_back(id);
    if (id != kUnknown) features.push_back(id);
  }
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    std::uint32_t bigram = find_bigram(tokens[i - 1], tokens[i]);
    if (bigram != kUnknown) features.push_back(bigram);
  }
  if (features.empty()) return sums;

  std::sort(features.begin(), features.end());
  struct QuestionTerm {
    std::string text;
    std::uint32_t term;
    std::uint32_t count;
  };
  std::vector<QuestionTerm> counts;
  for (std::uint32_t term : features) {
    if (!counts.empty() && counts.back().term == term) {
      ++counts.back().count;
    } else {
      counts.push_back({term_text(term), term, 1});
    }
  }
  // The question's row is summed in vocabulary order, which is code-point
  // order of the terms (UTF-8 byte order is the same).
  std::sort(counts.begin(), counts.end(),
            [](const QuestionTerm& a, const QuestionTerm& b) { return a.text < b.text; });
  std::vector<double> weights(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i)
    weights[i] = static_cast<double>(counts[i].count) * idf_[counts[i].term];
  normalize_l2(weights.data(), weights.size());
  normalize_l2(weights.data(), weights.size());

  if (std::shared_ptr<const TermIndex> by_term = term_index()) {
    // Each document's products are added in the question's term order, as
    // the row scan below does.
    for (std::size_t i = 0; i < counts.size(); ++i) {
      std::uint32_t term = counts[i].term;
      for (std::uint32_t p = by_term->begin[term]; p < by_term->begin[term + 1]; ++p) {
        const Entry& posting = by_term->postings[p];
        const Norms& norms = by_term->norms[posting.term];
        double weight = static_cast<double>(posting.count) * idf_[term];
        sums[posting.term] += weights[i] * (weight / norms.first / norms.second);
      }
    }
    return sums;
  }

  // Rows are scanned against a bit per term; a hit finds the term's place in
  // the question's order by binary search.
  std::vector<std::uint64_t> in_question((terms_.size() + 63) / 64, 0);
  struct Place {
    std::uint32_t term;
    std::uint32_t position;
  };
  std::vector<Place> places;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    std::uint32_t term = counts[i].term;
    in_question[term >> 6] |= std::uint64_t{1} << (term & 63);
    places.push_back({term, static_cast<std::uint32_t>(i)});
  }
  std::sort(places.begin(), places.end(),
            [](const Place& a, const Place& b) { return a.term < b.term; });

  // Each document's products are added in the question's term order, as a
  // sparse product of the question row with the matrix does.
  struct Product {
    std::uint32_t position;
    double weight;  // count * idf, then the product
  };
  std::vector<Product> products;
  std::vector<Entry> scratch;
  for (std::size_t d = 0; d < document_count_; ++d) {
    products.clear();
    for (std::size_t e = row_begin_[d]; e < row_begin_[d + 1]; ++e) {
      std::uint32_t term = entries_[e].term;
      if (((in_question[term >> 6] >> (term & 63)) & 1) == 0) continue;
      auto place = std::lower_bound(places.begin(), places.end(), term,
                                    [](const Place& p, std::uint32_t t) { return p.term < t; });
      products.push_back({place->position, static_cast<double>(entries_[e].count) * idf_[term]});
    }
    if (products.empty()) continue;
    Norms norms = row_norms(d, scratch);
    for (Product& product : products)
      product.weight = weights[product.position] * (product.weight / norms.first / norms.second);
    sort_small(products.data(), products.size(),
               [](const Product& a, const Product& b) { return a.position < b.position; });
    double sum = 0.0;
    for (const Product& product : products) sum += product.weight;
    sums[d] = sum;
  }
  return sums;
}

std::size_t TfidfIndex::nbytes() const {
  std::size_t bytes = terms_.capacity() * sizeof(Term) + idf_.capacity() * sizeof(double) +
                      text_.capacity() + unigrams_.nbytes() + bigrams_.nbytes() +
                      row_begin_.capacity() * sizeof(std::uint32_t) +
                      entries_.capacity() * sizeof(Entry);
  std::lock_guard lock(shared_->mutex);
  if (const TermIndex* by_term = shared_->term_index.get())
    bytes += by_term->begin.capacity() * sizeof(std::uint32_t) +
             by_term->postings.capacity() * sizeof(Entry) +
             by_term->norms.capacity() * sizeof(Norms);
  return bytes;
}

void TfidfIndex::keep() {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->term_index) return;
  }
  std::shared_ptr<const TermIndex> by_term = build_term_index();
  {
    std::lock_guard lock(shared_->mutex);
    shared_->term_index = std::move(by_term);
  }
  // Scoring reads the term index from now on, never the rows.
  std::vector<Entry>().swap(entries_);
  std::vector<std::uint32_t>().swap(row_begin_);
  terms_.shrink_to_fit();
  idf_.shrink_to_fit();
  text_.shrink_to_fit();
  unigrams_.shrink(text_);
  bigrams_.shrink();
}

std::shared_ptr<const TfidfIndex::TermIndex> TfidfIndex::term_index() const {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->term_index || shared_->scorings++ == 0) return shared_->term_index;
  }
  // Built outside the lock; should two scorings build it at once, both
  // results are equal and either is kept.
  std::shared_ptr<const TermIndex> built = build_term_index();
  std::lock_guard lock(shared_->mutex);
  if (!shared_->term_index) shared_->term_index = built;
  return shared_->term_index;
}

std::shared_ptr<const TfidfIndex::TermIndex> TfidfIndex::build_term_index() const {
  auto index = std::make_shared<TermIndex>();
  index->begin.assign(terms_.size() + 1, 0);
  for (const Entry& entry : entries_) ++index->begin[entry.term + 1];
  for (std::size_t t = 0; t < terms_.size(); ++t) index->begin[t + 1] += index->begin[t];
  index->postings.resize(entries_.size());
  std::vector<std::uint32_t> next(index->begin.begin(), index->begin.end() - 1);
  index->norms.reserve(document_count_);
  std::vector<Entry> scratch;
  for (std::size_t d = 0; d < document_count_; ++d) {
    for (std::size_t e = row_begin_[d]; e < row_begin_[d + 1]; ++e)
      index->postings[next[entries_[e].term]++] = {static_cast<std::uint32_t>(d),
                                                   entries_[e].count};
    index->norms.push_back(row_norms(d, scratch));
  }
  return index;
}

// ---- vectorizer facility ----

namespace {

class NativeTfidfMatrix final : public TfidfMatrix {
 public:
  explicit NativeTfidfMatrix(TfidfIndex index) : index(std::move(index)) {}
  std::size_t nbytes() const override { return index.nbytes(); }
  TfidfIndex index;
};

}  // namespace

std::shared_ptr<const TfidfMatrix> NativeTfidfVectorizer::fit_transform(
    const std::vector<std::string_view>& texts) {
  // Not made const, so that kept_tfidf_matrix may ready it.
  return std::make_shared<NativeTfidfMatrix>(TfidfIndex::fit(texts));
}

std::shared_ptr<const TfidfMatrix> kept_tfidf_matrix(std::shared_ptr<const TfidfMatrix> matrix) {
  const auto* native = dynamic_cast<const NativeTfidfMatrix*>(matrix.get());
  if (native && matrix.use_count() == 1) const_cast<NativeTfidfMatrix*>(native)->index.keep();
  return matrix;
}

std::vector<double> NativeTfidfVectorizer::cosine_similarity(const TfidfMatrix& matrix,
                                                             std::string_view question) const {
  const auto* native = dynamic_cast<const NativeTfidfMatrix*>(&matrix);
  if (native == nullptr) throw std::invalid_argument("matrix was fitted by another vectorizer");
  return native->index.similarities(question);
}

std::shared_ptr<TfidfVectorizer> make_native_tfidf_vectorizer() {
  return std::make_shared<NativeTfidfVectorizer>();
}

}  // namespace tessarin::schemasift
