// Tokenizing text for the native TF-IDF index.
#include "tessarin/schemasift/tfidf_tokens.h"

#include <bit>

#include "tessarin/schemasift/tfidf.h"

namespace tessarin::schemasift::tfidf_detail {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x80 * kOnes;

bool is_ascii(std::string_view text) {
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) bits |= load_word(text.data() + i);
  for (; i < text.size(); ++i) bits |= static_cast<unsigned char>(text[i]);
  return (bits & kHighBits) == 0;
}

std::size_t tokenize_unicode(std::string_view text, std::string& buffer, std::vector<Span>& spans) {
  buffer = unicode::to_lower(text);
  std::size_t size = buffer.size();
  buffer.append(kPadding, '\0');
  const char* base = buffer.data();
  std::size_t count = 0;
  for_each_tfidf_token(std::string_view(base, size), [&](std::string_view token) {
    Span span{static_cast<std::size_t>(token.data() - base), token.size()};
    if (count == spans.size()) {
      spans.push_back(span);
    } else {
      spans[count] = span;
    }
    ++count;
  });
  return count;
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

// Turns word-byte masks, 64 bytes at a time, into the spans of the runs of
// two or more. A run begins or ends where a byte's bit differs from the
// previous byte's, so the changes alternate between beginnings and ends.
class RunCollector {
 public:
  // out has room for every run of text of size n: at most n / 2 + 1.
  explicit RunCollector(Span* out) : out_(out) {}

  void add(std::uint64_t words, std::size_t base) {
    std::uint64_t changes = words ^ ((words << 1) | carry_);
    carry_ = words >> 63;
    while (changes != 0) {
      std::size_t pos = base + static_cast<std::size_t>(std::countr_zero(changes));
      changes &= changes - 1;
      if (!open_) {
        begin_ = pos;
      } else {
        out_[count_] = {begin_, pos - begin_};
        count_ += pos - begin_ >= 2;  // no branch on the length
      }
      open_ = !open_;
    }
  }

  // The number of runs, once the text (of size n) is over.
  std::size_t finish(std::size_t n) {
    if (open_) add(0, (n + 63) / 64 * 64);
    return count_;
  }

 private:
  Span* out_;
  std::size_t count_ = 0;
  std::size_t begin_ = 0;
  std::uint64_t carry_ = 0;
  bool open_ = false;
};

// ASCII text, the usual catalog, needs no Unicode tables: only A-Z change
// case and \w is [0-9A-Za-z_], so eight bytes at a time are classified and
// lowered together; the tokens are then the runs of two or more word bytes.
}  // namespace

std::size_t tokenize(std::string_view text, std::string& buffer, std::vector<Span>& spans) {
  if (!is_ascii(text)) return tokenize_unicode(text, buffer, spans);
  std::size_t n = text.size();
  buffer.resize(n + kPadding);
  if (spans.size() < n / 2 + 1) spans.resize(n / 2 + 1);
  const char* in = text.data();
  char* out = buffer.data();
  RunCollector runs(spans.data());
  std::size_t base = 0;
  for (; base + 64 <= n; base += 64) {
    std::uint64_t words = 0;
    for (std::size_t k = 0; k < 64; k += 8)
      words |= lower_ascii_word(in + base + k, out + base + k) << k;
    runs.add(words, base);
  }
  if (base < n) {
    std::uint64_t words = 0;
    std::size_t k = 0;
    for (; base + k + 8 <= n; k += 8) words |= lower_ascii_word(in + base + k, out + base + k) << k;
    if (base + k < n) {
      char last[8] = {};
      std::memcpy(last, in + base + k, n - base - k);
      words |= lower_ascii_word(last, out + base + k) << k;
    }
    runs.add(words, base);
  }
  return runs.finish(n);
}

}  // namespace tessarin::schemasift::tfidf_detail
