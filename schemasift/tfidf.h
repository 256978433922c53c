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
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/vector_backends.h"

namespace tessarin::schemasift {

namespace tfidf_detail {

// A token's first 16 bytes as two words (zero past its end) and its length:
// most tokens compare equal or not on these alone.
struct TokenKey {
  std::uint64_t head;
  std::uint64_t tail;
  std::size_t length;
};

}  // namespace tfidf_detail

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
  // Memory held, in bytes (the term index too, once built).
  std::size_t nbytes() const;
  // The idf of a term, or 0.0 when the term is not in the vocabulary.
  double idf(std::string_view term) const;
  // Readies an index that will be scored many times: files the matrix by
  // term now and frees the rows and the room left over from fitting. Scores
  // stay the same to the bit.
  void keep();

  TfidfIndex(TfidfIndex&&) noexcept = default;
  TfidfIndex& operator=(TfidfIndex&&) noexcept = default;
  // Leaves the big buffers to the next fit (see Recycler in tfidf.cpp).
  ~TfidfIndex();

 private:
  TfidfIndex() = default;

  static constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;

  // A unigram is its text, text_[first, first + length); a bigram (length 0)
  // is the pair of unigram ids first and second, so no bigram text is kept.
  struct Term {
    std::uint32_t first;
    std::uint32_t second;
    std::uint32_t length;
  };

  // A distinct term of a document and its count there.
  struct Entry {
    std::uint32_t term;
    std::uint32_t count;
  };

  // Open-addressing tables from a token or a pair of unigram ids to a term
  // id, at most half full. Besides the id, a slot holds the term's entry in
  // the document being fitted, so that counting a term costs no second
  // lookup.
  class UnigramTable {
   public:
    struct Slot {
      std::uint64_t head;
      std::uint64_t tail;
      std::uint32_t id;
      std::uint32_t entry;
      std::uint32_t offset;  // of the text in text_
      std::uint32_t length;
    };
    // The slot holding the token, or nullptr; token points into a buffer
    // that goes on for 8 readable bytes past it.
    const Slot* find(const tfidf_detail::TokenKey& key, const char* token, std::uint64_t hash,
                     const std::string& text) const;
    // The slot holding the token, or a fresh one (id kUnknown) to fill.
    Slot& find_or_add(const tfidf_detail::TokenKey& key, const char* token, std::uint64_t hash,
                      const std::string& text);
    // Grows the table now so that adding n more tokens moves no slot.
    void make_room(std::size_t n, const std::string& text);
    // Starts loading the slot where a lookup of the hash begins.
    void prefetch(std::uint64_t hash) const;
    std::size_t nbytes() const { return slots_.capacity() * sizeof(Slot); }
    // Once nothing more is added: a table up to three quarters full.
    void shrink(const std::string& text);

   private:
    static bool holds(const Slot& slot, const tfidf_detail::TokenKey& key, const char* token,
                      const std::string& text);
    void grow(std::size_t capacity, const std::string& text);
    std::vector<Slot> slots_;
    std::size_t size_ = 0;
  };

  class BigramTable {
   public:
    struct Slot {
      std::uint32_t first;
      std::uint32_t second;
      std::uint32_t id;
      std::uint32_t entry;
    };
    const Slot* find(std::uint32_t first, std::uint32_t second) const;
    Slot& find_or_add(std::uint32_t first, std::uint32_t second);
    void make_room(std::size_t n);
    void recycle();
    void prefetch(std::uint32_t first, std::uint32_t second) const;
    std::size_t nbytes() const { return slots_.capacity() * sizeof(Slot); }
    // Once nothing more is added: a table up to three quarters full.
    void shrink();

   private:
    std::size_t position(std::uint32_t first, std::uint32_t second) const;
    void grow(std::size_t capacity);
    // Takes the empty slots as the table and places the old slots into them.
    void rehash_into(std::vector<Slot> fresh);
    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    int shift_ = 64;
  };

  // The token's storage must go on for 8 readable bytes past its end.
  std::uint32_t find_unigram(std::string_view token) const;
  std::uint32_t find_bigram(std::uint32_t first, std::uint32_t second) const;
  std::string term_text(std::uint32_t id) const;

  // The l2 norms of document d's row of count * idf weights: first of the
  // row, then of the row divided by the first.
  struct Norms {
    double first;
    double second;
  };
  Norms row_norms(std::size_t d, std::vector<Entry>& scratch) const;

  // The matrix by term, so that scoring a question visits only the
  // documents that share a term with it. Built by the second scoring of an
  // index: a one-off scoring scans the rows instead.
  struct TermIndex {
    std::vector<std::uint32_t> begin;  // per term, then the total
    std::vector<Entry> postings;       // `term` holds the document
    std::vector<Norms> norms;          // per document
  };
  struct SharedState {
    std::mutex mutex;
    std::size_t scorings = 0;
    std::shared_ptr<const TermIndex> term_index;
  };
  // The term index once the index has been scored before, else nullptr.
  std::shared_ptr<const TermIndex> term_index() const;
  std::shared_ptr<const TermIndex> build_term_index() const;

  std::size_t document_count_ = 0;
  // Term ids are given in order of first appearance over the corpus.
  std::vector<Term> terms_;
  std::vector<double> idf_;
  std::string text_;  // the unigrams' texts, back to back, then 8 zero bytes
  UnigramTable unigrams_;
  BigramTable bigrams_;
  // Document d's row is entries_[row_begin_[d], row_begin_[d + 1]), in order
  // of first appearance in the document.
  std::vector<std::uint32_t> row_begin_;
  std::vector<Entry> entries_;
  std::unique_ptr<SharedState> shared_ = std::make_unique<SharedState>();
};

// The native facility behind OptionalTfidfBackend's vectorizer interface.
class NativeTfidfVectorizer final : public TfidfVectorizer {
 public:
  std::shared_ptr<const TfidfMatrix> fit_transform(
      const std::vector<std::string_view>& texts) override;
  std::vector<double> cosine_similarity(const TfidfMatrix& matrix,
                                        std::string_view question) const override;
};

// The matrix readied to be kept (TfidfIndex::keep) when it is a native one
// that nothing else holds yet; any other is returned as it is.
std::shared_ptr<const TfidfMatrix> kept_tfidf_matrix(std::shared_ptr<const TfidfMatrix> matrix);

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
