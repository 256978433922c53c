// Writing and reading the binary form of catalog records.
#include "tessarin/schemasift/catalog_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "tessarin/common/parallel.h"
#include "tessarin/common/unicode.h"

namespace tessarin::schemasift::codec {

namespace {

enum Tag : unsigned char { kNull, kFalse, kTrue, kInt, kDouble, kString, kList, kMap };

// Deeper values than any catalog conversion produces are refused, so that
// crafted data cannot exhaust the stack.
constexpr int kMaxDepth = 2000;

// Catalogs of this many tables and more are written in kTableParts parts,
// so that threads decoding them finish at about the same time; they are
// decoded on several threads when their tables take this many bytes.
constexpr std::size_t kPartedTables = 256;
constexpr std::size_t kTableParts = 16;
constexpr std::size_t kThreadedBytes = std::size_t{1} << 19;
constexpr std::size_t kMaxParts = 64;

// The fewest bytes a record takes, so that a damaged count cannot make a
// reader reserve much more memory than the data could fill.
constexpr std::size_t kMinEntryBytes = 2;  // a key and a value
constexpr std::size_t kMinColumnBytes = 11;
constexpr std::size_t kMinTableBytes = 9;
constexpr std::size_t kMinRelationshipBytes = 7;
// Lists are reserved up to this many items, then grow as read.
constexpr std::size_t kMaxReserved = 256;

// Whether the bytes are all ASCII. Readable memory runs on to `end`: a
// string shorter than a word, as most are, is tested in one read of the
// word it starts.
bool all_ascii(std::string_view bytes, const char* end) {
  std::size_t n = bytes.size();
  if (n >= 8 || end - bytes.data() < 8) return unicode::is_ascii(bytes);
  std::uint64_t word;
  std::memcpy(&word, bytes.data(), 8);
  // The string's bytes are the word's low ones (high ones on big-endian).
  std::uint64_t wanted = 0;
  if (n != 0)
    wanted = std::endian::native == std::endian::little ? ~std::uint64_t{0} >> (8 * (8 - n))
                                                        : ~std::uint64_t{0} << (8 * (8 - n));
  return (word & wanted & 0x8080808080808080ull) == 0;
}

}  // namespace

// ---- writing ----

void Writer::u64(std::uint64_t value) {
  while (value >= 0x80) {
    out_.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out_.push_back(static_cast<char>(value));
}

void Writer::i64(std::int64_t value) {
  // Zigzag, so that small negative numbers stay short.
  u64((static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63));
}

void Writer::f64(double value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out_.append(bytes, sizeof value);
}

void Writer::text(std::string_view value) {
  u64(value.size());
  out_.append(value);
}

void Writer::u32s(const std::vector<std::uint32_t>& values) {
  u64(values.size());
  std::size_t at = out_.size();
  out_.resize(at + values.size() * 4);
  char* p = out_.data() + at;
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(p, values.data(), values.size() * 4);
  } else {
    for (std::uint32_t v : values)
      for (int b = 0; b < 4; ++b) *p++ = static_cast<char>((v >> (8 * b)) & 0xFF);
  }
}

void Writer::value(const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::Null:
      out_.push_back(kNull);
      return;
    case JsonValue::Kind::Bool:
      out_.push_back(v.as_bool() ? kTrue : kFalse);
      return;
    case JsonValue::Kind::Int:
      out_.push_back(kInt);
      i64(v.as_int());
      return;
    case JsonValue::Kind::Double:
      out_.push_back(kDouble);
      f64(v.as_double());
      return;
    case JsonValue::Kind::String:
      out_.push_back(kString);
      text(v.as_string());
      return;
    case JsonValue::Kind::List:
      out_.push_back(kList);
      u64(v.as_list().size());
      for (const JsonValue& item : v.as_list()) value(item);
      return;
    case JsonValue::Kind::Map:
      out_.push_back(kMap);
      map(v.as_map());
      return;
    case JsonValue::Kind::Opaque:
      throw std::invalid_argument("the catalog holds a value without a JSON form: " +
                                  v.as_opaque().display);
  }
}

void Writer::map(const JsonMap& m) {
  u64(m.size());
  for (const auto& [key, item] : m) {
    text(key);
    value(item);
  }
}

void Writer::strings(const std::vector<std::string>& items) {
  u64(items.size());
  for (const std::string& item : items) text(item);
}

void Writer::optional_text(const std::optional<std::string>& v) {
  boolean(v.has_value());
  if (v) text(*v);
}

void Writer::column(const ColumnMeta& col) {
  text(col.name);
  text(col.type);
  text(col.description);
  strings(col.synonyms);
  text(col.role);
  strings(col.tags);
  out_.push_back(col.nullable ? (*col.nullable ? '\2' : '\1') : '\0');
  boolean(col.is_primary_key);
  boolean(col.is_foreign_key);
  u64(col.sample_values.size());
  for (const JsonValue& item : col.sample_values) value(item);
  map(col.extra);
}

void Writer::table(const TableMeta& t) {
  text(t.table_name);
  text(t.business_name);
  text(t.description);
  strings(t.tags);
  u64(t.columns.size());
  for (const ColumnMeta& col : t.columns) column(col);
  optional_text(t.default_date_column);
  optional_text(t.default_metric_column);
  boolean(t.row_count.has_value());
  if (t.row_count) i64(*t.row_count);
  map(t.extra);
}

void Writer::relationship(const RelationshipMeta& r) {
  text(r.from_table);
  text(r.from_column);
  text(r.to_table);
  text(r.to_column);
  text(r.relationship_type);
  text(r.description);
  map(r.extra);
}

void Writer::catalog(const MetadataCatalog& c) {
  text(c.database);
  std::size_t n = c.tables.size();
  u64(n);
  std::size_t parts = n >= kPartedTables ? kTableParts : 1;
  u64(parts);
  Writer part;
  for (std::size_t i = 0; i < parts; ++i) {
    std::size_t begin = n * i / parts;
    std::size_t end = n * (i + 1) / parts;
    part.out_.clear();
    for (std::size_t t = begin; t < end; ++t) part.table(c.tables[t]);
    u64(end - begin);
    text(part.out_);
  }
  // The relationships too, so that they are read beside the tables.
  part.out_.clear();
  for (const RelationshipMeta& r : c.relationships) part.relationship(r);
  u64(c.relationships.size());
  text(part.out_);
  map(c.extra);
}

// ---- reading ----

void Reader::corrupt() {
  throw std::invalid_argument("prepared catalog data is damaged or was not written by tessarin");
}

std::uint64_t Reader::u64() {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at_ >= data_.size()) corrupt();
    auto byte = static_cast<unsigned char>(data_[at_++]);
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return value;
  }
  corrupt();
}

std::int64_t Reader::i64() {
  std::uint64_t z = u64();
  return static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1));
}

double Reader::f64() {
  double value;
  if (data_.size() - at_ < sizeof value) corrupt();
  std::memcpy(&value, data_.data() + at_, sizeof value);
  at_ += sizeof value;
  return value;
}

bool Reader::boolean() {
  if (at_ >= data_.size()) corrupt();
  char byte = data_[at_++];
  if (byte != '\0' && byte != '\1') corrupt();
  return byte == '\1';
}

std::size_t Reader::count(std::size_t item_bytes) {
  std::uint64_t n = u64();
  std::size_t left = data_.size() - at_;
  if (n > left || n * item_bytes > left) corrupt();  // the first test keeps the product small
  return static_cast<std::size_t>(n);
}

std::string_view Reader::bytes() {
  std::size_t n = count();
  std::string_view out = data_.substr(at_, n);
  at_ += n;
  return out;
}

std::string_view Reader::utf8() {
  // Most strings are shorter than 128 bytes: their length is one byte.
  std::size_t n;
  if (at_ < data_.size() && static_cast<unsigned char>(data_[at_]) < 0x80)
    n = static_cast<unsigned char>(data_[at_++]);
  else
    n = count();
  if (n > data_.size() - at_) corrupt();
  std::string_view out = data_.substr(at_, n);
  at_ += n;
  if (!all_ascii(out, data_.data() + data_.size())) {
    try {
      unicode::validate_utf8(out);
    } catch (const unicode::Utf8Error&) {
      corrupt();
    }
  }
  return out;
}

std::string Reader::text() { return std::string(utf8()); }

std::vector<std::uint32_t> Reader::u32s() {
  std::uint64_t n = u64();
  if (n > (data_.size() - at_) / 4) corrupt();
  std::vector<std::uint32_t> out(static_cast<std::size_t>(n));
  const char* p = data_.data() + at_;
  if constexpr (std::endian::native == std::endian::little) {
    if (n) std::memcpy(out.data(), p, out.size() * 4);
  } else {
    for (std::uint32_t& v : out) {
      v = 0;
      for (int b = 0; b < 4; ++b) v |= std::uint32_t{static_cast<unsigned char>(*p++)} << (8 * b);
    }
  }
  at_ += out.size() * 4;
  return out;
}

JsonValue Reader::value(int depth) {
  if (depth > kMaxDepth || at_ >= data_.size()) corrupt();
  switch (static_cast<unsigned char>(data_[at_++])) {
    case kNull:
      return JsonValue();
    case kFalse:
      return JsonValue(false);
    case kTrue:
      return JsonValue(true);
    case kInt:
      return JsonValue(static_cast<long long>(i64()));
    case kDouble:
      return JsonValue(f64());
    case kString:
      return JsonValue(text());
    case kList: {
      std::size_t n = count();
      JsonList items;
      items.reserve(std::min(n, kMaxReserved));
      for (std::size_t i = 0; i < n; ++i) append_value(items, depth + 1);
      return JsonValue(std::move(items));
    }
    case kMap:
      return JsonValue(map(depth + 1));
    default:
      corrupt();
  }
}

// Strings and numbers, the usual items, are built in their place in the
// list: a value moved in would cost a move and a destruction more.
void Reader::append_value(JsonList& items, int depth) {
  if (at_ >= data_.size()) corrupt();
  switch (static_cast<unsigned char>(data_[at_])) {
    case kString:
      ++at_;
      items.emplace_back(utf8());
      return;
    case kInt:
      ++at_;
      items.emplace_back(static_cast<long long>(i64()));
      return;
    case kDouble:
      ++at_;
      items.emplace_back(f64());
      return;
    default:
      items.push_back(value(depth));
  }
}

JsonMap Reader::map(int depth) {
  std::size_t n = count(kMinEntryBytes);
  JsonMap out;
  out.reserve(std::min(n, kMaxReserved));
  for (std::size_t i = 0; i < n; ++i) {
    std::string_view key = utf8();
    if (at_ < data_.size() && static_cast<unsigned char>(data_[at_]) == kString) {
      ++at_;
      out.emplace_new(key, utf8());  // the usual value, built in place
    } else {
      out.emplace_new(key, value(depth));
    }
  }
  return out;
}

std::vector<std::string> Reader::strings() {
  std::size_t n = count();
  std::vector<std::string> out;
  out.reserve(std::min(n, kMaxReserved));
  for (std::size_t i = 0; i < n; ++i) out.emplace_back(utf8());
  return out;
}

std::optional<std::string> Reader::optional_text() {
  if (!boolean()) return std::nullopt;
  return std::optional<std::string>(std::in_place, utf8());
}

// Strings are written into the fresh record in place: a short one moved
// in costs a copy of its own.
void Reader::column(ColumnMeta& col) {
  col.name.assign(utf8());
  col.type.assign(utf8());
  col.description.assign(utf8());
  col.synonyms = strings();
  col.role.assign(utf8());
  col.tags = strings();
  if (at_ >= data_.size()) corrupt();
  switch (data_[at_++]) {
    case '\0':
      break;
    case '\1':
      col.nullable = false;
      break;
    case '\2':
      col.nullable = true;
      break;
    default:
      corrupt();
  }
  col.is_primary_key = boolean();
  col.is_foreign_key = boolean();
  std::size_t n = count();
  col.sample_values.reserve(std::min(n, kMaxReserved));
  for (std::size_t i = 0; i < n; ++i) append_value(col.sample_values, 0);
  col.extra = map(0);
}

void Reader::table(TableMeta& t) {
  t.table_name.assign(utf8());
  t.business_name.assign(utf8());
  t.description.assign(utf8());
  t.tags = strings();
  std::size_t n = count(kMinColumnBytes);
  t.columns.reserve(std::min(n, kMaxReserved));
  // Read in place: a column moved into the list would cost as much again.
  for (std::size_t i = 0; i < n; ++i) column(t.columns.emplace_back());
  t.columns.shrink_to_fit();
  t.default_date_column = optional_text();
  t.default_metric_column = optional_text();
  if (boolean()) t.row_count = i64();
  t.extra = map(0);
}

RelationshipMeta Reader::relationship() {
  RelationshipMeta r;
  r.from_table = text();
  r.from_column = text();
  r.to_table = text();
  r.to_column = text();
  r.relationship_type = text();
  r.description = text();
  r.extra = map(0);
  return r;
}

CatalogFrame Reader::catalog_frame() {
  CatalogFrame frame;
  frame.catalog.database = text();
  std::size_t n = count(kMinTableBytes);
  std::size_t part_count = count();
  if (part_count > kMaxParts) corrupt();
  frame.parts.resize(part_count);
  std::size_t listed = 0;
  for (CatalogFrame::Part& part : frame.parts) {
    part.count = count();
    part.data = bytes();
    listed += part.count;
    if (part.count * kMinTableBytes > part.data.size() || listed > n) corrupt();
  }
  if (listed != n) corrupt();
  frame.table_count = n;
  frame.relationships.count = count();
  frame.relationships.data = bytes();
  if (frame.relationships.count * kMinRelationshipBytes > frame.relationships.data.size())
    corrupt();
  frame.catalog.extra = map(0);
  return frame;
}

void Reader::relationships(std::size_t n, std::vector<RelationshipMeta>& out) {
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(relationship());
  if (!at_end()) corrupt();
}

MetadataCatalog decode_frame(CatalogFrame frame,
                             const std::vector<std::function<void()>>& alongside) {
  std::vector<std::vector<TableMeta>> decoded(frame.parts.size());
  // The other tasks, the relationships, then the parts of the tables.
  std::size_t first_part = alongside.size() + 1;
  std::vector<std::exception_ptr> errors(first_part + frame.parts.size());
  std::size_t bytes = 0;
  for (const CatalogFrame::Part& part : frame.parts) bytes += part.data.size();
  // The other tasks first: each is one long piece of work, while the
  // parts are many and even them out at the end.
  auto run = [&](std::size_t i) {
    try {
      if (i < alongside.size()) {
        alongside[i]();
        return;
      }
      if (i < first_part) {
        Reader(frame.relationships.data)
            .relationships(frame.relationships.count, frame.catalog.relationships);
        return;
      }
      std::size_t p = i - first_part;
      const CatalogFrame::Part& part = frame.parts[p];
      Reader in(part.data);
      decoded[p].reserve(part.count);
      for (std::size_t t = 0; t < part.count; ++t) in.table(decoded[p].emplace_back());
      if (!in.at_end()) Reader::corrupt();
    } catch (...) {
      errors[i] = std::current_exception();
    }
  };
  parallel::for_each_index(errors.size(),
                           bytes >= kThreadedBytes ? parallel::core_count() : std::size_t{1}, run);
  for (const std::exception_ptr& error : errors)
    if (error) std::rethrow_exception(error);
  MetadataCatalog& c = frame.catalog;
  c.tables.reserve(frame.table_count);
  for (std::vector<TableMeta>& part : decoded)
    for (TableMeta& t : part) c.tables.push_back(std::move(t));
  return std::move(c);
}

std::uint64_t checksum(std::string_view data) {
  // Four independent lanes of multiply and shift over 8-byte words.
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  std::uint64_t lanes[4] = {1, 2, 3, 4};
  const char* p = data.data();
  std::size_t n = data.size();
  std::size_t i = 0;
  auto step = [&](std::uint64_t& lane, std::uint64_t word) {
    lane = (lane ^ word) * kMultiplier;
    lane ^= lane >> 29;
  };
  for (; i + 32 <= n; i += 32) {
    for (int k = 0; k < 4; ++k) {
      std::uint64_t word;
      std::memcpy(&word, p + i + 8 * k, 8);
      if constexpr (std::endian::native == std::endian::big) {
        std::uint64_t swapped = 0;
        for (int b = 0; b < 8; ++b) swapped |= ((word >> (8 * b)) & 0xFF) << (56 - 8 * b);
        word = swapped;
      }
      step(lanes[k], word);
    }
  }
  for (; i < n; ++i) step(lanes[i & 3], static_cast<unsigned char>(p[i]) | 0x100u);
  std::uint64_t h = n;
  for (std::uint64_t lane : lanes) step(h, lane);
  return h;
}

}  // namespace tessarin::schemasift::codec
