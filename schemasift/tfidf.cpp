// Native TF-IDF index: one fitting pass that tokenizes, interns and counts
// terms per document, then idf and two l2 norms per document; scoring scans
// the rows and weighs only the terms the question shares.
#include "schemasift/tfidf.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tessarin::schemasift {

using tfidf_detail::TokenKey;

namespace {

// Tokens are read in whole words, so the buffers holding them go on for
// this many bytes past the text.
constexpr std::size_t kPadding = 8;
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x80 * kOnes;
constexpr std::size_t kIdfMemo = 4096;
constexpr std::size_t kInsertionSortLimit = 32;
constexpr std::uint32_t kMaxIndex = 0xFFFFFFFEu;  // ids, offsets and entries fit in 32 bits

struct Span {
  std::size_t begin;
  std::size_t length;
};

std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

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

bool is_ascii(std::string_view text) {
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) bits |= load_word(text.data() + i);
  for (; i < text.size(); ++i) bits |= static_cast<unsigned char>(text[i]);
  return (bits & kHighBits) == 0;
}

void tokenize_unicode(std::string_view text, std::string& buffer, std::vector<Span>& spans) {
  buffer = unicode::to_lower(text);
  std::size_t size = buffer.size();
  buffer.append(kPadding, '\0');
  const char* base = buffer.data();
  for_each_tfidf_token(std::string_view(base, size), [&](std::string_view token) {
    spans.push_back({static_cast<std::size_t>(token.data() - base), token.size()});
  });
}

// The high bit of every byte of x (each below 0x80) lying strictly between
// low and high; no carry crosses a byte.
constexpr std::uint64_t bytes_between(std::uint64_t x, std::uint64_t low, std::uint64_t high) {
  return (kOnes * (127 + high) - x) & (x + kOnes * (127 - low)) & kHighBits;
}

// One bit per byte of m (whose bits are all high bits), byte k to bit k.
constexpr std::uint64_t gather_high_bits(std::uint64_t m) {
  return ((m >> 7) * 0x0102040810204080ull) >> 56;
}

// Lower-cases eight ASCII bytes into out and returns which are word bytes.
// OR-ing 0x20 maps A-Z and nothing else onto a-z.
std::uint64_t lower_ascii_word(const char* in, char* out) {
  std::uint64_t x = load_word(in);
  std::uint64_t letters = bytes_between(x | (kOnes * 0x20), 'a' - 1, 'z' + 1);
  std::uint64_t words =
      letters | bytes_between(x, '0' - 1, '9' + 1) | bytes_between(x, '_' - 1, '_' + 1);
  x |= letters >> 2;
  std::memcpy(out, &x, 8);
  return gather_high_bits(words);
}

// The first position at or after pos whose bit is set (or, with flip, clear),
// or n; bits past n are clear.
std::size_t next_bit(const std::vector<std::uint64_t>& bits, std::size_t pos, std::size_t n,
                     std::uint64_t flip) {
  std::size_t w = pos / 64;
  std::uint64_t word = (bits[w] ^ flip) & (~0ull << (pos % 64));
  while (word == 0) {
    if (++w == bits.size()) return n;
    word = bits[w] ^ flip;
  }
  return std::min(n, w * 64 + static_cast<std::size_t>(std::countr_zero(word)));
}

// Lower-cases text into buffer as str.lower does and lists the tokens there.
// ASCII text, the usual catalog, needs no Unicode tables: only A-Z change
// case and \w is [0-9A-Za-z_], so eight bytes at a time are classified and
// lowered together; the tokens are then the runs of two or more word bytes.
void tokenize(std::string_view text, std::string& buffer, std::vector<std::uint64_t>& bits,
              std::vector<Span>& spans) {
  spans.clear();
  if (!is_ascii(text)) {
    tokenize_unicode(text, buffer, spans);
    return;
  }
  std::size_t n = text.size();
  buffer.resize(n + kPadding);
  bits.assign(n / 64 + 1, 0);
  char* out = buffer.data();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) bits[i / 64] |= lower_ascii_word(text.data() + i, out + i) << (i % 64);
  if (i < n) {
    char last[8] = {};
    std::memcpy(last, text.data() + i, n - i);
    bits[i / 64] |= lower_ascii_word(last, out + i) << (i % 64);
  }
  for (std::size_t pos = 0;;) {
    std::size_t begin = next_bit(bits, pos, n, 0);
    if (begin == n) return;
    pos = next_bit(bits, begin, n, ~0ull);
    if (pos - begin >= 2) spans.push_back({begin, pos - begin});
  }
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

void check_index(std::size_t n, const char* what) {
  if (n > kMaxIndex) throw std::length_error(what);
}

}  // namespace

// ---- term tables ----

bool TfidfIndex::UnigramTable::holds(const Slot& slot, const TokenKey& key, const char* token,
                                     const std::string& text) {
  return slot.head == key.head && slot.tail == key.tail && slot.length == key.length &&
         (key.length <= 16 ||
          std::memcmp(text.data() + slot.offset + 16, token + 16, key.length - 16) == 0);
}

const TfidfIndex::UnigramTable::Slot* TfidfIndex::UnigramTable::find(
    const TokenKey& key, const char* token, std::uint64_t hash, const std::string& text) const {
  if (slots_.empty()) return nullptr;
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.id == kUnknown) return nullptr;
    if (holds(slot, key, token, text)) return &slot;
  }
}

TfidfIndex::UnigramTable::Slot& TfidfIndex::UnigramTable::find_or_add(const TokenKey& key,
                                                                      const char* token,
                                                                      std::uint64_t hash,
                                                                      const std::string& text) {
  if (2 * (size_ + 1) > slots_.size()) grow(text);
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

void TfidfIndex::UnigramTable::grow(const std::string& text) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(std::max<std::size_t>(64, 2 * old.size()), Slot{0, 0, kUnknown, 0, 0, 0});
  std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.id == kUnknown) continue;
    const char* token = text.data() + slot.offset;
    std::size_t i = token_hash(TokenKey{slot.head, slot.tail, slot.length}, token) & mask;
    while (slots_[i].id != kUnknown) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

// Fibonacci hashing of the pair: the top bits of the product depend on all
// bits of both ids.
std::size_t TfidfIndex::BigramTable::position(std::uint32_t first, std::uint32_t second) const {
  std::uint64_t key = (static_cast<std::uint64_t>(first) << 32) | second;
  return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ull) >> shift_);
}

const TfidfIndex::BigramTable::Slot* TfidfIndex::BigramTable::find(std::uint32_t first,
                                                                   std::uint32_t second) const {
  if (slots_.empty()) return nullptr;
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = position(first, second);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.id == kUnknown) return nullptr;
    if (slot.first == first && slot.second == second) return &slot;
  }
}

TfidfIndex::BigramTable::Slot& TfidfIndex::BigramTable::find_or_add(std::uint32_t first,
                                                                    std::uint32_t second) {
  if (2 * (size_ + 1) > slots_.size()) grow();
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

void TfidfIndex::BigramTable::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(std::max<std::size_t>(64, 2 * old.size()), Slot{0, 0, kUnknown, 0});
  shift_ = 64 - std::countr_zero(slots_.size());
  std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.id == kUnknown) continue;
    std::size_t i = position(slot.first, slot.second);
    while (slots_[i].id != kUnknown) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

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

TfidfIndex TfidfIndex::fit(const std::vector<std::string_view>& docs) {
  TfidfIndex index;
  index.document_count_ = docs.size();
  std::vector<Entry>& entries = index.entries_;
  std::vector<Term>& terms = index.terms_;
  std::size_t total_bytes = 0;
  for (std::string_view doc : docs) total_bytes += doc.size();
  entries.reserve(total_bytes / 4 + 16);  // catalog text has about one entry per six bytes
  index.row_begin_.reserve(docs.size() + 1);
  index.row_begin_.push_back(0);

  std::vector<std::uint32_t> df;  // per term
  std::string& text = index.text_;
  text.assign(kPadding, '\0');
  std::string buffer;
  std::vector<std::uint64_t> bits;
  std::vector<Span> spans;
  std::vector<std::uint32_t> tokens;  // unigram ids of the document, in order

  for (std::string_view doc : docs) {
    tokenize(doc, buffer, bits, spans);
    std::size_t row = entries.size();
    check_index(row + 2 * spans.size(), "too many terms to index");
    check_index(terms.size() + 2 * spans.size(), "too many terms to index");
    // Room for every term of the document; the row is cut to size after.
    entries.resize(row + 2 * spans.size());
    Entry* row_entries = entries.data();
    std::size_t end = row;
    // A slot's entry is in this document's row when it is at least row.
    auto count = [&](std::uint32_t id, std::uint32_t& entry, bool fresh) {
      if (!fresh && entry >= row) {
        ++row_entries[entry].count;
        return;
      }
      entry = static_cast<std::uint32_t>(end);
      row_entries[end++] = {id, 1};
      ++df[id];
    };

    tokens.clear();
    for (const Span& span : spans) {
      const char* token = buffer.data() + span.begin;
      TokenKey key = token_key(token, span.length);
      UnigramTable::Slot& slot =
          index.unigrams_.find_or_add(key, token, token_hash(key, token), text);
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
      tokens.push_back(slot.id);
    }
    for (std::size_t i = 1; i < tokens.size(); ++i) {
      BigramTable::Slot& slot = index.bigrams_.find_or_add(tokens[i - 1], tokens[i]);
      bool fresh = slot.id == kUnknown;
      if (fresh) {
        slot.id = static_cast<std::uint32_t>(terms.size());
        terms.push_back({tokens[i - 1], tokens[i], 0});
        df.push_back(0);
      }
      count(slot.id, slot.entry, fresh);
    }
    entries.resize(end);
    // Row norms are summed in order of term id.
    sort_small(entries.data() + row, end - row,
               [](const Entry& a, const Entry& b) { return a.term < b.term; });
    index.row_begin_.push_back(end);
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

  // The vectorizer normalizes each row, cosine scoring again; the norms of
  // both are kept (dividing by 1 where a row is empty changes nothing).
  index.norms_.resize(docs.size());
  for (std::size_t d = 0; d < docs.size(); ++d) {
    const Entry* row = entries.data() + index.row_begin_[d];
    std::size_t size = index.row_begin_[d + 1] - index.row_begin_[d];
    double sum = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
      double weight = static_cast<double>(row[i].count) * index.idf_[row[i].term];
      sum += weight * weight;
    }
    double first = sum == 0.0 ? 1.0 : std::sqrt(sum);
    sum = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
      double weight = static_cast<double>(row[i].count) * index.idf_[row[i].term] / first;
      sum += weight * weight;
    }
    index.norms_[d] = {first, sum == 0.0 ? 1.0 : std::sqrt(sum)};
  }
  return index;
}

// ---- scoring ----

std::vector<double> TfidfIndex::similarities(std::string_view question) const {
  if (terms_.empty()) return {};
  std::vector<double> sums(document_count_, 0.0);

  std::string buffer;
  std::vector<std::uint64_t> bits;
  std::vector<Span> spans;
  tokenize(question, buffer, bits, spans);
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
    double value;
  };
  std::vector<Product> products;
  for (std::size_t d = 0; d < document_count_; ++d) {
    products.clear();
    for (std::size_t e = row_begin_[d]; e < row_begin_[d + 1]; ++e) {
      std::uint32_t term = entries_[e].term;
      if (((in_question[term >> 6] >> (term & 63)) & 1) == 0) continue;
      auto place = std::lower_bound(places.begin(), places.end(), term,
                                    [](const Place& p, std::uint32_t t) { return p.term < t; });
      double weight =
          static_cast<double>(entries_[e].count) * idf_[term] / norms_[d].first / norms_[d].second;
      products.push_back({place->position, weights[place->position] * weight});
    }
    if (products.empty()) continue;
    sort_small(products.data(), products.size(),
               [](const Product& a, const Product& b) { return a.position < b.position; });
    double sum = 0.0;
    for (const Product& product : products) sum += product.value;
    sums[d] = sum;
  }
  return sums;
}

// ---- vectorizer facility ----

namespace {

class NativeTfidfMatrix final : public TfidfMatrix {
 public:
  explicit NativeTfidfMatrix(TfidfIndex index) : index(std::move(index)) {}
  TfidfIndex index;
};

}  // namespace

std::shared_ptr<const TfidfMatrix> NativeTfidfVectorizer::fit_transform(
    const std::vector<std::string_view>& texts) {
  return std::make_shared<const NativeTfidfMatrix>(TfidfIndex::fit(texts));
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
