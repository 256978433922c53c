// A small process-wide cache of what was computed from a list of document
// texts (a fitted TF-IDF index, document embeddings), keyed by the texts
// themselves.
//
// A service selects from the same catalog on every message, and the scoring
// documents only change when the catalog does; refitting an index over tens
// of thousands of documents each time would cost far more than the rest of
// the selection. An entry is reused only when every text is equal, so a hit
// gives exactly what computing anew would give. The least recently used
// entry goes when the cache is full. Safe to use from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::schemasift {

// 64-bit digest of the texts and their boundaries (not cryptographic: equal
// digests are confirmed by comparing the texts).
std::uint64_t document_digest(const std::vector<std::string_view>& texts);

class DocumentSetStore {
 public:
  // The stored texts with their lengths, for comparison.
  explicit DocumentSetStore(const std::vector<std::string_view>& texts);
  bool equals(const std::vector<std::string_view>& texts) const;
  std::size_t bytes() const { return data_.size(); }

 private:
  std::string data_;
  std::vector<std::size_t> ends_;
};

template <class T>
class DocumentCache {
 public:
  explicit DocumentCache(std::size_t capacity) : capacity_(capacity) {}

  // The value cached for these texts, or make() (stored when the cache has
  // room). make() runs without the lock, so a slow computation does not
  // hold back other selections; its exceptions propagate and nothing is
  // stored.
  template <class Make>
  std::shared_ptr<const T> find_or_make(const std::vector<std::string_view>& texts, Make&& make) {
    std::uint64_t digest = document_digest(texts);
    if (auto hit = find(digest, texts)) return hit;
    std::shared_ptr<const T> value = make();
    if (value) store(digest, texts, value);
    return value;
  }

  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

 private:
  struct Entry {
    std::uint64_t digest;
    DocumentSetStore texts;
    std::shared_ptr<const T> value;
  };

  std::shared_ptr<const T> find(std::uint64_t digest, const std::vector<std::string_view>& texts) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->digest != digest || !it->texts.equals(texts)) continue;
      entries_.splice(entries_.begin(), entries_, it);  // most recent first
      return entries_.front().value;
    }
    return nullptr;
  }

  void store(std::uint64_t digest, const std::vector<std::string_view>& texts,
             std::shared_ptr<const T> value) {
    if (capacity_ == 0) return;
    Entry entry{digest, DocumentSetStore(texts), std::move(value)};
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_)
      if (e.digest == digest && e.texts.equals(texts)) return;  // another thread was first
    entries_.push_front(std::move(entry));
    while (entries_.size() > capacity_) entries_.pop_back();
  }

  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Entry> entries_;
};

}  // namespace tessarin::schemasift
