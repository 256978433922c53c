// Native TF-IDF index: one fitting pass that interns terms and counts them per
// document, then the rows of twice-normalized weights; scoring
// is one sequential scan over the rows.
#include "schemasift/tfidf.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tessarin::schemasift {

namespace {

constexpr std::size_t kArenaBlock = 64 * 1024;

// Lower-cases text as str.lower does, reusing buffer; ASCII text (the usual
// catalog) skips the Unicode tables.
std::string_view lower_into(std::string_view text, std::string& buffer) {
  buffer.resize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      buffer = unicode::to_lower(text);
      return buffer;
    }
    buffer[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
  }
  return buffer;
}

// Divides the weights by their l2 norm; the squares are summed in order.
void normalize_l2(double* weights, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += weights[i] * weights[i];
  if (sum == 0.0) return;
  double norm = std::sqrt(sum);
  for (std::size_t i = 0; i < n; ++i) weights[i] /= norm;
}

// splitmix64's finalizer: spreads every input bit over the whole word.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

std::uint64_t hash_bytes(std::string_view text) {
  std::uint64_t h = 0x9e3779b97f4a7c15ull ^ text.size();
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    h = mix(h ^ word);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, text.data() + i, text.size() - i);
  return mix(h ^ tail);
}

std::uint64_t pair_key(std::uint32_t first, std::uint32_t second) {
  return (static_cast<std::uint64_t>(first) << 32) | second;
}

struct TermCount {
  std::uint32_t term;
  std::uint32_t count;
};

}  // namespace

// ---- arena ----

char* TfidfIndex::Arena::allocate(std::size_t n) {
  if (capacity_ - used_ < n) {
    std::size_t size = std::max(kArenaBlock, n);
    blocks_.emplace_back(new char[size]);
    used_ = 0;
    capacity_ = size;
  }
  char* out = blocks_.back().get() + used_;
  used_ += n;
  return out;
}

std::string_view TfidfIndex::Arena::store(std::string_view text) {
  char* out = allocate(text.size());
  std::copy(text.begin(), text.end(), out);
  return {out, text.size()};
}

std::string_view TfidfIndex::Arena::store_pair(std::string_view a, std::string_view b) {
  std::size_t size = a.size() + 1 + b.size();
  char* out = allocate(size);
  std::copy(a.begin(), a.end(), out);
  out[a.size()] = ' ';
  std::copy(b.begin(), b.end(), out + a.size() + 1);
  return {out, size};
}

// ---- term table ----

std::size_t TfidfIndex::TermTable::position(std::uint64_t key) const {
  return static_cast<std::size_t>(mix(key)) & mask_;
}

void TfidfIndex::TermTable::reserve(std::size_t n) {
  std::size_t capacity = 1024;
  while (capacity < 2 * n) capacity *= 2;
  if (capacity > slots_.size()) rehash(capacity);
}

void TfidfIndex::TermTable::rehash(std::size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{0, kUnknown});
  mask_ = capacity - 1;
  for (const Slot& slot : old) {
    if (slot.id == kUnknown) continue;
    std::size_t i = position(slot.key);
    while (slots_[i].id != kUnknown) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

template <class Same>
std::uint32_t TfidfIndex::TermTable::find(std::uint64_t key, Same&& same) const {
  if (slots_.empty()) return kUnknown;
  for (std::size_t i = position(key);; i = (i + 1) & mask_) {
    const Slot& slot = slots_[i];
    if (slot.id == kUnknown) return kUnknown;
    if (slot.key == key && same(slot.id)) return slot.id;
  }
}

template <class Same>
std::uint32_t TfidfIndex::TermTable::insert(std::uint64_t key, std::uint32_t new_id, Same&& same,
                                            bool& inserted) {
  // At most half full, so probes stay short.
  if (2 * (size_ + 1) > slots_.size()) rehash(std::max<std::size_t>(1024, 2 * slots_.size()));
  for (std::size_t i = position(key);; i = (i + 1) & mask_) {
    Slot& slot = slots_[i];
    if (slot.id == kUnknown) {
      slot = Slot{key, new_id};
      ++size_;
      inserted = true;
      return new_id;
    }
    if (slot.key == key && same(slot.id)) {
      inserted = false;
      return slot.id;
    }
  }
}

// ---- vocabulary ----

std::uint32_t TfidfIndex::find_unigram(std::string_view token) const {
  return unigrams_.find(hash_bytes(token), [&](std::uint32_t id) { return terms_[id] == token; });
}

std::uint32_t TfidfIndex::find_bigram(std::uint32_t first, std::uint32_t second) const {
  if (first == kUnknown || second == kUnknown) return kUnknown;
  return bigrams_.find(pair_key(first, second), [](std::uint32_t) { return true; });
}

std::uint32_t TfidfIndex::intern_unigram(std::string_view token) {
  bool inserted = false;
  auto new_id = static_cast<std::uint32_t>(terms_.size());
  std::uint32_t id = unigrams_.insert(
      hash_bytes(token), new_id, [&](std::uint32_t id) { return terms_[id] == token; }, inserted);
  if (inserted) terms_.push_back(arena_.store(token));
  return id;
}

// Tokens hold no blank, so a bigram is known by its pair of unigram ids.
std::uint32_t TfidfIndex::intern_bigram(std::uint32_t first, std::uint32_t second) {
  bool inserted = false;
  auto new_id = static_cast<std::uint32_t>(terms_.size());
  std::uint32_t id = bigrams_.insert(
      pair_key(first, second), new_id, [](std::uint32_t) { return true; }, inserted);
  if (inserted) terms_.push_back(arena_.store_pair(terms_[first], terms_[second]));
  return id;
}

double TfidfIndex::idf(std::string_view term) const {
  std::uint32_t id = kUnknown;
  std::size_t blank = term.find(' ');
  if (blank == std::string_view::npos) {
    id = find_unigram(term);
  } else {
    id = find_bigram(find_unigram(term.substr(0, blank)), find_unigram(term.substr(blank + 1)));
  }
  return id == kUnknown ? 0.0 : idf_[id];
}

// ---- fitting ----

TfidfIndex TfidfIndex::fit(const std::vector<std::string_view>& docs) {
  TfidfIndex index;
  index.document_count_ = docs.size();

  // Per document, its distinct terms with their counts, by ascending term id
  // (the order in which row norms are summed).
  std::vector<TermCount> entries;
  std::size_t total_bytes = 0;
  for (std::string_view doc : docs) total_bytes += doc.size();
  entries.reserve(total_bytes / 6);  // roughly one distinct term per six bytes
  index.unigrams_.reserve(docs.size());
  index.bigrams_.reserve(2 * docs.size());
  std::vector<std::size_t> row_begin{0};
  row_begin.reserve(docs.size() + 1);
  std::vector<std::uint32_t> last_doc;   // per term: 1 + the last document holding it
  std::vector<std::uint32_t> last_slot;  // per term: its entry in that document
  std::vector<std::uint32_t> tokens;
  std::string buffer;

  for (std::size_t d = 0; d < docs.size(); ++d) {
    auto stamp = static_cast<std::uint32_t>(d + 1);
    auto add = [&](std::uint32_t term) {
      if (term >= last_doc.size()) {
        last_doc.resize(term + 1, 0);
        last_slot.resize(term + 1, 0);
      }
      if (last_doc[term] == stamp) {
        ++entries[last_slot[term]].count;
        return;
      }
      last_doc[term] = stamp;
      last_slot[term] = static_cast<std::uint32_t>(entries.size());
      entries.push_back({term, 1});
    };
    tokens.clear();
    for_each_tfidf_token(lower_into(docs[d], buffer), [&](std::string_view token) {
      tokens.push_back(index.intern_unigram(token));
    });
    for (std::uint32_t token : tokens) add(token);
    for (std::size_t i = 1; i < tokens.size(); ++i)
      add(index.intern_bigram(tokens[i - 1], tokens[i]));
    std::sort(entries.begin() + static_cast<std::ptrdiff_t>(row_begin.back()), entries.end(),
              [](const TermCount& a, const TermCount& b) { return a.term < b.term; });
    row_begin.push_back(entries.size());
  }

  std::size_t term_count = index.terms_.size();
  std::vector<std::uint32_t> df(term_count, 0);
  for (const TermCount& entry : entries) ++df[entry.term];

  // Smoothed idf: as if one more document held every term once.
  index.idf_.resize(term_count);
  double n = static_cast<double>(docs.size() + 1);
  for (std::size_t t = 0; t < term_count; ++t)
    index.idf_[t] = std::log(n / static_cast<double>(df[t] + 1)) + 1.0;

  // Rows are normalized by the vectorizer and again by cosine scoring; both
  // are done here once, in the same order.
  index.row_begin_ = std::move(row_begin);
  index.row_term_.resize(entries.size());
  index.row_weight_.resize(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    index.row_term_[i] = entries[i].term;
    index.row_weight_[i] = static_cast<double>(entries[i].count) * index.idf_[entries[i].term];
  }
  for (std::size_t d = 0; d < docs.size(); ++d) {
    double* row = index.row_weight_.data() + index.row_begin_[d];
    std::size_t size = index.row_begin_[d + 1] - index.row_begin_[d];
    normalize_l2(row, size);
    normalize_l2(row, size);
  }
  return index;
}

// ---- scoring ----

void TfidfIndex::known_features(std::string_view text, std::vector<std::uint32_t>& out) const {
  std::string buffer;
  std::vector<std::uint32_t> tokens;
  for_each_tfidf_token(lower_into(text, buffer),
                       [&](std::string_view token) { tokens.push_back(find_unigram(token)); });
  for (std::uint32_t token : tokens)
    if (token != kUnknown) out.push_back(token);
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    std::uint32_t bigram = find_bigram(tokens[i - 1], tokens[i]);
    if (bigram != kUnknown) out.push_back(bigram);
  }
}

std::vector<double> TfidfIndex::similarities(std::string_view question) const {
  if (terms_.empty()) return {};
  std::vector<double> sums(document_count_, 0.0);

  std::vector<std::uint32_t> features;
  known_features(question, features);
  if (features.empty()) return sums;

  std::sort(features.begin(), features.end());
  std::vector<TermCount> counts;
  for (std::uint32_t term : features) {
    if (!counts.empty() && counts.back().term == term) {
      ++counts.back().count;
    } else {
      counts.push_back({term, 1});
    }
  }
  // The question's row is summed in vocabulary order, which is code-point
  // order of the terms (UTF-8 byte order is the same).
  std::sort(counts.begin(), counts.end(), [this](const TermCount& a, const TermCount& b) {
    return terms_[a.term] < terms_[b.term];
  });
  std::vector<double> weights(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i)
    weights[i] = static_cast<double>(counts[i].count) * idf_[counts[i].term];
  normalize_l2(weights.data(), weights.size());
  normalize_l2(weights.data(), weights.size());

  // Each document's products are added in the question's term order, as a
  // sparse product of the question row with the matrix does.
  std::vector<std::uint32_t> position(terms_.size(), kUnknown);
  for (std::size_t i = 0; i < counts.size(); ++i)
    position[counts[i].term] = static_cast<std::uint32_t>(i);
  struct Product {
    std::uint32_t position;
    double value;
  };
  std::vector<Product> products;
  for (std::size_t d = 0; d < document_count_; ++d) {
    products.clear();
    for (std::size_t e = row_begin_[d]; e < row_begin_[d + 1]; ++e) {
      std::uint32_t p = position[row_term_[e]];
      if (p != kUnknown) products.push_back({p, weights[p] * row_weight_[e]});
    }
    if (products.empty()) continue;
    std::sort(products.begin(), products.end(),
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
