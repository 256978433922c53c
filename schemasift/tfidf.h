// Native TF-IDF index over word unigrams and bigrams with cosine scoring.
//
// Terms are lower-cased runs of two or more word characters and the pairs of
// adjacent runs joined by one blank; idf is smoothed, tf is the raw count and
// every row is l2-normalized in float64. The floating-point operations follow
// the order of the usual sparse-matrix implementation (row sums in order of
// first appearance in the corpus, question terms in code-point order), so the
// similarities match it to the last bit in practice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/unicode.h"
#include "schemasift/vector_backends.h"

namespace tessarin::schemasift {

// Calls f(token) for every maximal run of two or more word characters of
// already lower-cased UTF-8 text, in order: the matches of \b\w\w+\b, since a
// greedy run always ends on a boundary and no boundary lies inside a run.
// Throws unicode::Utf8Error on invalid UTF-8.
template <class F>
void for_each_tfidf_token(std::string_view lowered, F&& f);

class TfidfIndex {
 public:
  // Fits the vocabulary, idf and document rows in one pass over the texts.
  // Throws unicode::Utf8Error on invalid UTF-8.
  static TfidfIndex fit(const std::vector<std::string_view>& docs);

  // Cosine similarity of the question to every document, in document order.
  // Empty when the vocabulary is empty (no documents, or no terms in any):
  // there is nothing to score against.
  std::vector<double> similarities(std::string_view question) const;

  std::size_t document_count() const { return document_count_; }
  std::size_t vocabulary_size() const { return terms_.size(); }
  // The idf of a term, or 0.0 when the term is not in the vocabulary.
  double idf(std::string_view term) const;

  TfidfIndex(TfidfIndex&&) noexcept = default;
  TfidfIndex& operator=(TfidfIndex&&) noexcept = default;

 private:
  TfidfIndex() = default;

  static constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;

  // Stable storage for term texts (string_views into it stay valid).
  class Arena {
   public:
    std::string_view store(std::string_view text);
    std::string_view store_pair(std::string_view a, std::string_view b);

   private:
    char* allocate(std::size_t n);
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t used_ = 0;
    std::size_t capacity_ = 0;
  };

  // Open-addressing table from a 64-bit key to a term id; much lighter than
  // node-based maps for the hundreds of thousands of terms of a big catalog.
  class TermTable {
   public:
    // The id stored under key for which same(id) holds, or kUnknown.
    template <class Same>
    std::uint32_t find(std::uint64_t key, Same&& same) const;
    // The id stored under key for which same(id) holds; when there is none,
    // stores new_id and sets inserted.
    template <class Same>
    std::uint32_t insert(std::uint64_t key, std::uint32_t new_id, Same&& same, bool& inserted);
    void reserve(std::size_t n);

   private:
    struct Slot {
      std::uint64_t key;
      std::uint32_t id;
    };
    std::size_t position(std::uint64_t key) const;
    void rehash(std::size_t capacity);

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
  };

  std::uint32_t find_unigram(std::string_view token) const;
  std::uint32_t find_bigram(std::uint32_t first, std::uint32_t second) const;
  std::uint32_t intern_unigram(std::string_view token);
  std::uint32_t intern_bigram(std::uint32_t first, std::uint32_t second);
  // Known term ids of the text's unigrams then bigrams, repeats included.
  void known_features(std::string_view text, std::vector<std::uint32_t>& out) const;

  std::size_t document_count_ = 0;
  // Term ids are given in order of first appearance over the corpus.
  std::vector<std::string_view> terms_;
  std::vector<double> idf_;
  TermTable unigrams_;  // keyed by the hash of the token
  TermTable bigrams_;   // keyed by the pair of unigram ids
  // Document d's row is [row_begin_[d], row_begin_[d + 1]) of its term ids
  // (ascending) and their weights in the twice-normalized row (once by the
  // vectorizer, once by cosine scoring).
  std::vector<std::size_t> row_begin_;
  std::vector<std::uint32_t> row_term_;
  std::vector<double> row_weight_;
  Arena arena_;
};

// The native facility behind OptionalTfidfBackend's vectorizer interface.
class NativeTfidfVectorizer final : public TfidfVectorizer {
 public:
  std::shared_ptr<const TfidfMatrix> fit_transform(
      const std::vector<std::string_view>& texts) override;
  std::vector<double> cosine_similarity(const TfidfMatrix& matrix,
                                        std::string_view question) const override;
};

// A TfidfVectorizerFactory for set_tfidf_vectorizer_factory.
std::shared_ptr<TfidfVectorizer> make_native_tfidf_vectorizer();

namespace tfidf_detail {

inline bool is_ascii_word(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace tfidf_detail

template <class F>
void for_each_tfidf_token(std::string_view lowered, F&& f) {
  std::size_t run_begin = 0;
  std::size_t run_length = 0;  // in code points
  std::size_t i = 0;
  while (i < lowered.size()) {
    std::size_t start = i;
    auto byte = static_cast<unsigned char>(lowered[i]);
    bool word;
    if (byte < 0x80) {
      word = tfidf_detail::is_ascii_word(byte);
      ++i;
    } else {
      word = unicode::is_word(unicode::next_code_point(lowered, i));
    }
    if (word) {
      if (run_length++ == 0) run_begin = start;
    } else {
      if (run_length >= 2) f(lowered.substr(run_begin, start - run_begin));
      run_length = 0;
    }
  }
  if (run_length >= 2) f(lowered.substr(run_begin));
}

}  // namespace tessarin::schemasift
