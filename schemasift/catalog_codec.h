// A compact binary form of catalog records, for shipping prepared catalogs
// between processes (pickles): lengths as varints, strings as raw bytes,
// free-form values tagged by kind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/schemasift/catalog.h"

namespace tessarin::schemasift::codec {

// A catalog read but for its tables and relationships, which are located in
// the data and decoded by decode_frame.
struct CatalogFrame {
  // Records written one after the other: `count` of them in `data`.
  struct Part {
    std::size_t count = 0;
    std::string_view data;
  };
  MetadataCatalog catalog;  // its database and extra
  std::size_t table_count = 0;
  std::vector<Part> parts;  // the tables
  Part relationships;
};

class Writer {
 public:
  void u64(std::uint64_t value);
  void i64(std::int64_t value);
  void f64(double value);
  void boolean(bool value) { out_.push_back(value ? '\1' : '\0'); }
  void text(std::string_view value);
  // Bytes of any kind, read back as a view.
  void bytes(std::string_view value) { text(value); }
  // A length, then the numbers as raw little-endian words.
  void u32s(const std::vector<std::uint32_t>& values);
  // Throws std::invalid_argument for a value without a JSON form.
  void value(const JsonValue& value);
  // The tables go in a few self-contained parts, each with its byte length,
  // so that a reader may decode them at once on several threads.
  void catalog(const MetadataCatalog& catalog);

  std::string& data() { return out_; }

 private:
  void map(const JsonMap& map);
  void strings(const std::vector<std::string>& items);
  void optional_text(const std::optional<std::string>& value);
  void column(const ColumnMeta& col);
  void table(const TableMeta& table);
  void relationship(const RelationshipMeta& rel);

  std::string out_;
};

// Reads what Writer wrote; throws std::invalid_argument on data that ends
// early or holds what no Writer writes.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}

  std::uint64_t u64();
  std::int64_t i64();
  double f64();
  bool boolean();
  std::string text();
  // What text() holds, checked, as a view of the data.
  std::string_view utf8();
  std::string_view bytes();
  std::vector<std::uint32_t> u32s();
  JsonValue value(int depth = 0);
  // The catalog but for its tables and relationships (located, to be decoded
  // by decode_frame); the reader is left past the catalog.
  CatalogFrame catalog_frame();
  // One table, read into `table` (a fresh record).
  void table(TableMeta& table);
  // The n relationships the data holds, and nothing else.
  void relationships(std::size_t n, std::vector<RelationshipMeta>& out);
  bool at_end() const { return at_ == data_.size(); }
  std::size_t remaining() const { return data_.size() - at_; }
  [[noreturn]] static void corrupt();

 private:
  // A length, checked against what is left: each item takes at least
  // item_bytes.
  std::size_t count(std::size_t item_bytes = 1);
  JsonMap map(int depth);
  void append_value(JsonList& items, int depth);
  std::vector<std::string> strings();
  std::optional<std::string> optional_text();
  void column(ColumnMeta& col);
  RelationshipMeta relationship();

  std::string_view data_;
  std::size_t at_ = 0;
};

// The frame's catalog with its tables and relationships, decoded on the
// machine's cores (when there are enough of them to be worth it); each task
// of `alongside` runs on those threads too, beside them. Once every part
// and task has ended, the first error of a part or task is thrown.
MetadataCatalog decode_frame(CatalogFrame frame,
                             const std::vector<std::function<void()>>& alongside = {});

// A 64-bit checksum of data, to tell damaged data from what was written.
std::uint64_t checksum(std::string_view data);

}  // namespace tessarin::schemasift::codec
