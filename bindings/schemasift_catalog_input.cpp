// Reading catalog dicts in place: the normalizer's rules over Python objects.
#include "schemasift_catalog_input.h"

#include "convert.h"
#include "tessarin/common/display.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/normalizer_core.h"

namespace tessarin::py {

namespace {

namespace ss = tessarin::schemasift;

// Thrown when a value is not of a plain built-in type: reading it could run
// Python code (str(), __eq__) that changes the catalog under us, so the
// whole catalog takes the converting route instead.
struct NeedsConversion {};

constexpr int kMaxDepth = 400;

// Values are borrowed references into the caller's catalog, which no Python
// code can change while this runs (only plain built-ins are touched).
struct PythonSource {
  using Value = PyObject*;
  using Map = PyObject*;

  struct KeyStore {
    Value hold(std::string_view, Value key_object) { return key_object; }
  };

  static bool missing(Value v) { return v == nullptr; }
  static bool is_null(Value v) { return v == Py_None; }

  static void require_plain(Value v) {
    if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
        PyUnicode_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v) ||
        PyDict_CheckExact(v))
      return;
    throw NeedsConversion{};
  }

  static bool is_empty(Value v) {
    require_plain(v);
    if (v == Py_None || v == Py_False) return true;
    if (v == Py_True) return false;
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) == 0.0;
    if (PyUnicode_CheckExact(v)) return PyUnicode_GET_LENGTH(v) == 0;
    if (PyList_CheckExact(v)) return PyList_GET_SIZE(v) == 0;
    if (PyTuple_CheckExact(v)) return PyTuple_GET_SIZE(v) == 0;
    if (PyDict_CheckExact(v)) return PyDict_GET_SIZE(v) == 0;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) throw NeedsConversion{};
    return n == 0;
  }
  static bool is_list(Value v) {
    require_plain(v);
    return PyList_CheckExact(v) || PyTuple_CheckExact(v);
  }
  static bool is_map(Value v) {
    require_plain(v);
    return PyDict_CheckExact(v);
  }
  static bool is_empty_string(Value v) {
    return PyUnicode_CheckExact(v) && PyUnicode_GET_LENGTH(v) == 0;
  }
  static Map as_map(Value v) { return v; }
  static std::size_t list_size(Value v) {
    return static_cast<std::size_t>(PyList_CheckExact(v) ? PyList_GET_SIZE(v)
                                                         : PyTuple_GET_SIZE(v));
  }
  static Value list_item(Value v, std::size_t i) {
    Py_ssize_t at = static_cast<Py_ssize_t>(i);
    return PyList_CheckExact(v) ? PyList_GET_ITEM(v, at) : PyTuple_GET_ITEM(v, at);
  }

  static std::string_view utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
      PyErr_Clear();
      throw NeedsConversion{};
    }
    return std::string_view(data, static_cast<std::size_t>(size));
  }

  template <class F>
  static void for_each(Map m, F&& f) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(m, &pos, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) throw NeedsConversion{};
      f(utf8(key), key, value);
    }
  }
  // Only called on maps whose keys for_each has seen, or after check_keys.
  static Value find(Map m, std::string_view key) {
    return PyDict_GetItemString(m, std::string(key).c_str());
  }
  static void check_keys(Map m) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(m, &pos, &key, &value))
      if (!PyUnicode_CheckExact(key)) throw NeedsConversion{};
  }

  static std::string text(Value v) {
    if (PyUnicode_CheckExact(v)) return std::string(utf8(v));
    return display_text(json(v));
  }
  static JsonValue json(Value v) { return json_at(v, 0); }
  static std::string kind_name(Value v) { return python_type_name(nb::handle(v)); }
  static std::string_view key_text(Value v) { return utf8(v); }

 private:
  static JsonValue json_at(Value v, int depth) {
    if (depth > kMaxDepth) throw NeedsConversion{};
    require_plain(v);
    if (v == Py_None) return JsonValue();
    if (PyBool_Check(v)) return JsonValue(v == Py_True);
    if (PyLong_CheckExact(v)) {
      int overflow = 0;
      long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
      if (overflow) throw NeedsConversion{};
      return JsonValue(n);
    }
    if (PyFloat_CheckExact(v)) return JsonValue(PyFloat_AS_DOUBLE(v));
    if (PyUnicode_CheckExact(v)) return JsonValue(std::string(utf8(v)));
    if (PyDict_CheckExact(v)) {
      JsonMap map;
      map.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(v)));
      for_each(v, [&](std::string_view key, Value, Value item) {
        map.append_new(std::string(key), json_at(item, depth + 1));
      });
      return map;
    }
    JsonList list;
    std::size_t n = list_size(v);
    list.reserve(n);
    for (std::size_t i = 0; i < n; ++i) list.push_back(json_at(list_item(v, i), depth + 1));
    return list;
  }
};

}  // namespace

schemasift::MetadataCatalog normalize_catalog_object(nb::handle catalog,
                                                     const std::optional<std::string>& database) {
  if (!PyDict_Check(catalog.ptr()))
    throw nb::type_error(("catalog must be a map, got " + python_type_name(catalog)).c_str());
  if (PyDict_CheckExact(catalog.ptr())) {
    try {
      PythonSource::check_keys(catalog.ptr());
      return ss::normalizer_core::Normalizer<PythonSource>().normalize(catalog.ptr(), database);
    } catch (const NeedsConversion&) {
      // Fall through to the converting route.
    }
  }
  JsonValue value = to_json(catalog);
  nb::gil_scoped_release release;
  return ss::CatalogNormalizer::normalize(value, database);
}

std::shared_ptr<ss::PreparedCatalog> prepare_catalog_object(nb::handle catalog) {
  if (PyDict_CheckExact(catalog.ptr())) {
    try {
      PythonSource::check_keys(catalog.ptr());
      // The builder goes first, stopping its threads before the records
      // they read are gone.
      ss::MetadataCatalog records;
      ss::PreparedCatalog::Builder builder;
      ss::normalizer_core::Normalizer<PythonSource> normalizer;
      normalizer.on_table_added(&ss::PreparedCatalog::Builder::notify, &builder);
      normalizer.normalize_into(catalog.ptr(), std::nullopt, records);
      nb::gil_scoped_release release;
      return builder.finish(std::move(records));
    } catch (const NeedsConversion&) {
      // Fall through to the converting route.
    }
  }
  ss::MetadataCatalog records = normalize_catalog_object(catalog, std::nullopt);
  nb::gil_scoped_release release;
  return std::make_shared<ss::PreparedCatalog>(std::move(records));
}

}  // namespace tessarin::py
