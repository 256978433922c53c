// Helpers shared by the binding files (see convert.h).
#include "convert.h"

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

namespace tessarin::py {

namespace {

// Deeper nesting than this is refused rather than risking the C stack; it
// also stops self-containing lists and dicts.
constexpr int kMaxDepth = 400;

// Counts the calls back into Python code made while converting: only those
// can change a container under conversion.
thread_local std::uint64_t callbacks_run = 0;

std::string str_of(nb::handle obj) {
  ++callbacks_run;
  nb::object text = nb::steal(PyObject_Str(obj.ptr()));
  if (!text.is_valid()) throw nb::python_error();
  return to_utf8(text, "str() of a value");
}

JsonValue opaque(nb::handle obj) {
  JsonOpaque value;
  value.display = str_of(obj);
  Py_INCREF(obj.ptr());
  value.payload = std::shared_ptr<void>(obj.ptr(), [](void* p) {
    PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(static_cast<PyObject*>(p));
    PyGILState_Release(state);
  });
  return value;
}

JsonValue convert(nb::handle obj, int depth);

// A str() or other callback run while converting an item may change the
// container, so every item read is held by a strong reference and the size is
// checked after each one. Tuples cannot change and keep the direct read.
JsonValue convert_sequence(nb::handle obj, int depth) {
  PyObject* seq = obj.ptr();
  JsonList list;
  if (PyTuple_Check(seq)) {
    Py_ssize_t n = PyTuple_GET_SIZE(seq);
    list.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) list.push_back(convert(PyTuple_GET_ITEM(seq, i), depth + 1));
    return list;
  }
  Py_ssize_t n = PyList_GET_SIZE(seq);
  list.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyList_GET_SIZE(seq) != n) throw std::runtime_error("list changed size during conversion");
    nb::object item = nb::borrow(PyList_GET_ITEM(seq, i));
    list.push_back(convert(item, depth + 1));
  }
  if (PyList_GET_SIZE(seq) != n) throw std::runtime_error("list changed size during conversion");
  return list;
}

bool has_repeated_key(const JsonMap& map) {
  std::unordered_set<std::string_view> seen;
  for (const auto& entry : map)
    if (!seen.insert(entry.first).second) return true;
  return false;
}

[[noreturn]] void dict_changed() {
  throw std::runtime_error("dict changed size during conversion");
}

JsonMap convert_dict(nb::handle obj, int depth) {
  JsonMap map;
  const Py_ssize_t n = PyDict_Size(obj.ptr());
  map.reserve(static_cast<size_t>(n));
  const std::uint64_t callbacks_before = callbacks_run;
  PyObject *key, *item;
  Py_ssize_t pos = 0;
  while (PyDict_Next(obj.ptr(), &pos, &key, &item)) {
    nb::object k = nb::borrow(key), v = nb::borrow(item);
    // A key replaced by a callback may not be a str any more.
    std::string name = to_utf8(k, "a dict key");
    // Python dicts hold unique keys, so no lookup is needed.
    map.append_new(std::move(name), convert(v, depth + 1));
    if (PyDict_Size(obj.ptr()) != n) dict_changed();
  }
  if (static_cast<Py_ssize_t>(map.size()) != n) dict_changed();
  // A key removed and added back by a callback can be met twice.
  if (callbacks_run != callbacks_before && has_repeated_key(map)) dict_changed();
  return map;
}

bool has_only_str_keys(nb::handle obj) {
  PyObject *key, *item;
  Py_ssize_t pos = 0;
  while (PyDict_Next(obj.ptr(), &pos, &key, &item))
    if (!PyUnicode_Check(key)) return false;
  return true;
}

JsonValue convert(nb::handle obj, int depth) {
  if (depth > kMaxDepth) throw nb::value_error("value is nested too deeply to convert");
  PyObject* p = obj.ptr();
  if (p == Py_None) return JsonValue();
  if (PyBool_Check(p)) return JsonValue(p == Py_True);
  if (PyLong_Check(p)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
    if (overflow != 0)
      throw std::overflow_error("integer " + str_of(obj) + " does not fit in 64 bits");
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return JsonValue(static_cast<std::int64_t>(v));
  }
  if (PyFloat_Check(p)) return JsonValue(PyFloat_AS_DOUBLE(p));
  if (PyUnicode_Check(p)) return JsonValue(to_utf8(obj, "a string"));
  if (PyList_Check(p) || PyTuple_Check(p)) return convert_sequence(obj, depth);
  if (PyDict_Check(p) && has_only_str_keys(obj)) return convert_dict(obj, depth);
  return opaque(obj);
}

}  // namespace

std::string python_type_name(nb::handle obj) { return nb::type_name(obj.type()).c_str(); }

std::string to_utf8(nb::handle obj, const char* what) {
  if (!PyUnicode_Check(obj.ptr()))
    throw nb::type_error(
        (std::string(what) + " must be str, got " + python_type_name(obj)).c_str());
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (!text) throw nb::python_error();
  return std::string(text, static_cast<size_t>(size));
}

std::vector<std::string> str_items(nb::handle iterable, const char* what, const char* item_what) {
  std::vector<std::string> out;
  for_each_item(iterable, what, [&](nb::handle item) { out.push_back(to_utf8(item, item_what)); });
  return out;
}

std::vector<std::string> str_items_skipping(nb::handle iterable) {
  std::vector<std::string> out;
  for (nb::handle item : nb::iter(iterable))
    if (PyUnicode_Check(item.ptr())) out.push_back(to_utf8(item, "name"));
  return out;
}

bool is_interrupt(nb::python_error& error) {
  return error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit);
}

void restore_interrupt(const std::exception_ptr& cause) {
  try {
    std::rethrow_exception(cause);
  } catch (nb::python_error& original) {
    original.restore();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "interrupted");
  }
}

JsonValue to_json(nb::handle obj) { return convert(obj, 0); }

JsonMap to_json_map(nb::handle obj, const char* what) {
  if (!PyDict_Check(obj.ptr()))
    throw nb::type_error(
        (std::string(what) + " must be a dict, got " + python_type_name(obj)).c_str());
  if (!has_only_str_keys(obj))
    throw nb::type_error((std::string(what) + " must have str keys").c_str());
  return convert_dict(obj, 0);
}

namespace {

nb::object str_object(const std::string& s) {
  return nb::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

}  // namespace

nb::object from_json_map(const JsonMap& map) {
  nb::dict dict;
  for (const auto& [key, item] : map) {
    nb::object k = str_object(key);
    if (!k.is_valid()) throw nb::python_error();
    dict[k] = from_json(item);
  }
  return dict;
}

nb::object from_json(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return nb::none();
    case JsonValue::Kind::Bool:
      return nb::bool_(value.as_bool());
    case JsonValue::Kind::Int:
      return nb::int_(value.as_int());
    case JsonValue::Kind::Double:
      return nb::float_(value.as_double());
    case JsonValue::Kind::String: {
      nb::object s = str_object(value.as_string());
      if (!s.is_valid()) throw nb::python_error();
      return s;
    }
    case JsonValue::Kind::List: {
      const JsonList& items = value.as_list();
      nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list.is_valid()) throw nb::python_error();
      for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                        from_json(items[i]).release().ptr());
      return list;
    }
    case JsonValue::Kind::Map:
      return from_json_map(value.as_map());
    case JsonValue::Kind::Opaque: {
      const JsonOpaque& o = value.as_opaque();
      if (o.payload) return nb::borrow(static_cast<PyObject*>(o.payload.get()));
      return str_object(o.display);
    }
  }
  return nb::none();
}

}  // namespace tessarin::py
