// Digest and stored copies of document lists for DocumentCache.
#include "tessarin/schemasift/document_cache.h"

#include <cstring>

namespace tessarin::schemasift {

namespace {

// FNV-1a over 8-byte words, then a final mix: fast enough to be negligible
// next to the comparison that confirms a hit.
constexpr std::uint64_t kPrime = 0x100000001b3ULL;

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

std::uint64_t add_bytes(std::uint64_t h, std::string_view text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    h = (h ^ word) * kPrime;
  }
  for (; i < text.size(); ++i) h = (h ^ static_cast<unsigned char>(text[i])) * kPrime;
  return h;
}

}  // namespace

std::uint64_t document_digest(const std::vector<std::string_view>& texts) {
  std::uint64_t h = 0xcbf29ce484222325ULL ^ texts.size();
  for (std::string_view text : texts) {
    h = (h ^ text.size()) * kPrime;
    h = add_bytes(h, text);
  }
  return mix(h);
}

DocumentSetStore::DocumentSetStore(const std::vector<std::string_view>& texts) {
  std::size_t total = 0;
  for (std::string_view text : texts) total += text.size();
  data_.reserve(total);
  ends_.reserve(texts.size());
  for (std::string_view text : texts) {
    data_ += text;
    ends_.push_back(data_.size());
  }
}

bool DocumentSetStore::equals(const std::vector<std::string_view>& texts) const {
  if (texts.size() != ends_.size()) return false;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::size_t end = ends_[i];
    if (texts[i] != std::string_view(data_).substr(begin, end - begin)) return false;
    begin = end;
  }
  return true;
}

}  // namespace tessarin::schemasift
