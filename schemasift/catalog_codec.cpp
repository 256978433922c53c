// Writing and reading the binary form of catalog records.
#include "tessarin/schemasift/catalog_codec.h"

#include <cstring>
#include <stdexcept>

#include "tessarin/common/unicode.h"

namespace tessarin::schemasift::codec {

namespace {

enum Tag : unsigned char { kNull, kFalse, kTrue, kInt, kDouble, kString, kList, kMap };

// Deeper values than any catalog conversion produces are refused, so that
// crafted data cannot exhaust the stack.
constexpr int kMaxDepth = 2000;

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
  u64(c.tables.size());
  for (const TableMeta& t : c.tables) table(t);
  u64(c.relationships.size());
  for (const RelationshipMeta& r : c.relationships) relationship(r);
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

std::size_t Reader::count() {
  std::uint64_t n = u64();
  // Every item takes at least one byte.
  if (n > data_.size() - at_) corrupt();
  return static_cast<std::size_t>(n);
}

std::string Reader::text() {
  std::size_t n = count();
  std::string_view bytes = data_.substr(at_, n);
  at_ += n;
  try {
    unicode::validate_utf8(bytes);
  } catch (const unicode::Utf8Error&) {
    corrupt();
  }
  return std::string(bytes);
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
      items.reserve(n);
      for (std::size_t i = 0; i < n; ++i) items.push_back(value(depth + 1));
      return JsonValue(std::move(items));
    }
    case kMap:
      return JsonValue(map(depth + 1));
    default:
      corrupt();
  }
}

JsonMap Reader::map(int depth) {
  std::size_t n = count();
  JsonMap out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::string key = text();
    out.append_new(std::move(key), value(depth));
  }
  return out;
}

std::vector<std::string> Reader::strings() {
  std::size_t n = count();
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(text());
  return out;
}

std::optional<std::string> Reader::optional_text() {
  if (!boolean()) return std::nullopt;
  return text();
}

ColumnMeta Reader::column() {
  ColumnMeta col;
  col.name = text();
  col.type = text();
  col.description = text();
  col.synonyms = strings();
  col.role = text();
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
  col.sample_values.reserve(n);
  for (std::size_t i = 0; i < n; ++i) col.sample_values.push_back(value());
  col.extra = map(0);
  return col;
}

TableMeta Reader::table() {
  TableMeta t;
  t.table_name = text();
  t.business_name = text();
  t.description = text();
  t.tags = strings();
  std::size_t n = count();
  t.columns.reserve(n);
  for (std::size_t i = 0; i < n; ++i) t.columns.push_back(column());
  t.default_date_column = optional_text();
  t.default_metric_column = optional_text();
  if (boolean()) t.row_count = i64();
  t.extra = map(0);
  return t;
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

MetadataCatalog Reader::catalog() {
  MetadataCatalog c;
  c.database = text();
  std::size_t n = count();
  c.tables.reserve(n);
  for (std::size_t i = 0; i < n; ++i) c.tables.push_back(table());
  n = count();
  c.relationships.reserve(n);
  for (std::size_t i = 0; i < n; ++i) c.relationships.push_back(relationship());
  c.extra = map(0);
  return c;
}

}  // namespace tessarin::schemasift::codec
