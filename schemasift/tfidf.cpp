// Native TF-IDF index: one fitting pass that interns terms, counts them per
// document and builds an inverted index of twice-normalized weights; scoring
// walks the postings of the question's terms only.
#include "schemasift/tfidf.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace tessarin::schemasift {

namespace {

constexpr std::size_t kArenaBlock = 64 * 1024;

// Lower-cases text as str.lower does, reusing buffer; ASCII text (the usual
// catalog) skips the Unicode tables.
std::string_view lower_into(std::string_view text, std::string& buffer) {
  bool ascii = std::all_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) {
    buffer = unicode::to_lower(text);
    return buffer;
  }
  buffer.assign(text);
  for (char& c : buffer)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
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

// ---- vocabulary ----

std::uint32_t TfidfIndex::find_unigram(std::string_view token) const {
  auto found = unigrams_.find(token);
  return found == unigrams_.end() ? kUnknown : found->second;
}

std::uint32_t TfidfIndex::find_bigram(std::uint32_t first, std::uint32_t second) const {
  if (first == kUnknown || second == kUnknown) return kUnknown;
  auto found = bigrams_.find(pair_key(first, second));
  return found == bigrams_.end() ? kUnknown : found->second;
}

std::uint32_t TfidfIndex::intern_unigram(std::string_view token) {
  auto found = unigrams_.find(token);
  if (found != unigrams_.end()) return found->second;
  auto id = static_cast<std::uint32_t>(terms_.size());
  std::string_view stored = arena_.store(token);
  terms_.push_back(stored);
  unigrams_.emplace(stored, id);
  return id;
}

// Tokens hold no blank, so a bigram is known by its pair of unigram ids.
std::uint32_t TfidfIndex::intern_bigram(std::uint32_t first, std::uint32_t second) {
  auto [it, inserted] =
      bigrams_.try_emplace(pair_key(first, second), static_cast<std::uint32_t>(terms_.size()));
  if (inserted) terms_.push_back(arena_.store_pair(terms_[first], terms_[second]));
  return it->second;
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
  std::vector<std::size_t> df(term_count, 0);
  for (const TermCount& entry : entries) ++df[entry.term];

  // Smoothed idf: as if one more document held every term once.
  index.idf_.resize(term_count);
  double n = static_cast<double>(docs.size() + 1);
  for (std::size_t t = 0; t < term_count; ++t)
    index.idf_[t] = std::log(n / static_cast<double>(df[t] + 1)) + 1.0;

  // Rows are normalized by the vectorizer and again by cosine scoring; both
  // are done here once, in the same order.
  std::vector<double> weights(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    weights[i] = static_cast<double>(entries[i].count) * index.idf_[entries[i].term];
  for (std::size_t d = 0; d < docs.size(); ++d) {
    double* row = weights.data() + row_begin[d];
    std::size_t size = row_begin[d + 1] - row_begin[d];
    normalize_l2(row, size);
    normalize_l2(row, size);
  }

  index.posting_begin_.assign(term_count + 1, 0);
  for (std::size_t t = 0; t < term_count; ++t)
    index.posting_begin_[t + 1] = index.posting_begin_[t] + df[t];
  index.posting_doc_.resize(entries.size());
  index.posting_weight_.resize(entries.size());
  std::vector<std::size_t> next(index.posting_begin_.begin(), index.posting_begin_.end() - 1);
  for (std::size_t d = 0; d < docs.size(); ++d) {
    for (std::size_t i = row_begin[d]; i < row_begin[d + 1]; ++i) {
      std::size_t slot = next[entries[i].term]++;
      index.posting_doc_[slot] = static_cast<std::uint32_t>(d);
      index.posting_weight_[slot] = weights[i];
    }
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

  for (std::size_t i = 0; i < counts.size(); ++i) {
    double weight = weights[i];
    std::size_t end = posting_begin_[counts[i].term + 1];
    for (std::size_t p = posting_begin_[counts[i].term]; p < end; ++p)
      sums[posting_doc_[p]] += weight * posting_weight_[p];
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
