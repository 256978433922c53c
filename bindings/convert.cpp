// Python <-> JsonValue conversion (see convert.h).
#include "convert.h"

#include <stdexcept>

namespace tessarin::py {

namespace {

// Deeper nesting than this is refused rather than risking the C stack; it
// also stops self-containing lists and dicts.
constexpr int kMaxDepth = 400;

std::string str_of(nb::handle obj) {
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

JsonValue convert_sequence(nb::handle obj, int depth) {
  PyObject* seq = obj.ptr();
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  JsonList list;
  list.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) list.push_back(convert(items[i], depth + 1));
  return list;
}

JsonMap convert_dict(nb::handle obj, int depth) {
  JsonMap map;
  map.reserve(static_cast<size_t>(PyDict_Size(obj.ptr())));
  PyObject *key, *item;
  Py_ssize_t pos = 0;
  while (PyDict_Next(obj.ptr(), &pos, &key, &item)) {
    // Python dicts hold unique keys, so no lookup is needed.
    map.append_new(to_utf8(key, "a dict key"), convert(item, depth + 1));
  }
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

std::string python_type_name(nb::handle obj) {
  return nb::type_name(obj.type()).c_str();
}

std::string to_utf8(nb::handle obj, const char* what) {
  if (!PyUnicode_Check(obj.ptr()))
    throw nb::type_error((std::string(what) + " must be str, got " + python_type_name(obj)).c_str());
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (!text) throw nb::python_error();
  return std::string(text, static_cast<size_t>(size));
}

JsonValue to_json(nb::handle obj) { return convert(obj, 0); }

JsonMap to_json_map(nb::handle obj, const char* what) {
  if (!PyDict_Check(obj.ptr()))
    throw nb::type_error((std::string(what) + " must be a dict, got " + python_type_name(obj)).c_str());
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
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), from_json(items[i]).release().ptr());
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
