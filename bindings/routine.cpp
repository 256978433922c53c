// Routine wrappers: _core._Function and _core._Method hold a nanobind
// function and forward calls to it unchanged, adding what nanobind functions
// lack: a __signature__ for inspect and help() (built on first use by
// tessarin._signatures from the function's declaration and its stub), a writable
// __dict__ for __doc__ and __module__, pickling by qualified name, and a
// TypeError naming the argument when a call does not fit the signature (an
// unknown or missing keyword, too many positional arguments) in place of
// nanobind's generic overload report. A call that fits the signature but not
// the argument types keeps nanobind's message.
//
// _check_construction(cls) gives a native class's constructor the same
// explanation of failed calls.
//
// _Method binds like a Python function (the instance becomes the first
// argument); _Function never binds: a module function, or a static method
// (inside a staticmethod).
#include <nanobind/nanobind.h>
#include <structmember.h>

#include <cstring>
#include <iterator>

#include "register.h"

namespace tessarin::py {

namespace nb = nanobind;

namespace {

struct Routine {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* func;
  PyObject* dict;
};

// Calls the helper of tessarin._signatures named `helper` with (target,
// args, kwargs) built from a vectorcall; its result, or null (error cleared).
PyObject* call_helper(const char* helper, PyObject* target, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) {
  const Py_ssize_t n_args = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* positional = PyTuple_New(n_args);
  PyObject* keywords = PyDict_New();
  PyObject* module = PyImport_ImportModule("tessarin._signatures");
  PyObject* result = nullptr;
  if (positional && keywords && module) {
    for (Py_ssize_t i = 0; i < n_args; ++i) {
      Py_INCREF(args[i]);
      PyTuple_SET_ITEM(positional, i, args[i]);
    }
    bool ok = true;
    for (Py_ssize_t i = 0; i < n_kw && ok; ++i)
      ok = PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[n_args + i]) == 0;
    if (ok) result = PyObject_CallMethod(module, helper, "OOO", target, positional, keywords);
  }
  Py_XDECREF(positional);
  Py_XDECREF(keywords);
  Py_XDECREF(module);
  PyErr_Clear();
  return result;
}

// Replaces nanobind's overload report (a TypeError is pending) by what the
// helper says is wrong with the arguments, when it says anything.
void explain_failure(const char* helper, PyObject* target, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  const char* message = text ? PyUnicode_AsUTF8(text) : nullptr;
  PyObject* replacement = nullptr;
  if (message && std::strstr(message, "(): incompatible function arguments"))
    replacement = call_helper(helper, target, args, nargsf, kwnames);
  Py_XDECREF(text);
  PyErr_Clear();
  if (replacement && PyUnicode_Check(replacement)) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    PyErr_SetObject(PyExc_TypeError, replacement);
  } else {
    PyErr_Restore(type, value, trace);
  }
  Py_XDECREF(replacement);
}

PyObject* routine_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* r = reinterpret_cast<Routine*>(self);
  PyObject* result = PyObject_Vectorcall(r->func, args, nargsf, kwnames);
  if (!result && PyErr_ExceptionMatches(PyExc_TypeError))
    explain_failure("binding_error", self, args, nargsf, kwnames);
  return result;
}

PyObject* routine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* func = nullptr;
  if (kwargs && PyDict_Size(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "routine wrappers take no keyword arguments");
    return nullptr;
  }
  if (!PyArg_ParseTuple(args, "O", &func)) return nullptr;
  if (!PyCallable_Check(func)) {
    PyErr_Format(PyExc_TypeError, "expected a callable, got %s", Py_TYPE(func)->tp_name);
    return nullptr;
  }
  auto* r = reinterpret_cast<Routine*>(type->tp_alloc(type, 0));
  if (!r) return nullptr;
  r->vectorcall = routine_call;
  r->func = Py_NewRef(func);
  r->dict = nullptr;
  return reinterpret_cast<PyObject*>(r);
}

int routine_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* r = reinterpret_cast<Routine*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(r->func);
  Py_VISIT(r->dict);
  return 0;
}

int routine_clear(PyObject* self) {
  auto* r = reinterpret_cast<Routine*>(self);
  Py_CLEAR(r->func);
  Py_CLEAR(r->dict);
  return 0;
}

void routine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  routine_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Attributes not set on the wrapper (__name__, __qualname__,
// __nb_signature__, ...) are those of the wrapped function.
PyObject* routine_getattro(PyObject* self, PyObject* name) {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return PyObject_GetAttr(reinterpret_cast<Routine*>(self)->func, name);
}

PyObject* routine_get_signature(PyObject* self, void*) {
  auto* r = reinterpret_cast<Routine*>(self);
  if (r->dict) {
    if (PyObject* cached = PyDict_GetItemString(r->dict, "__signature__")) return Py_NewRef(cached);
  }
  PyObject* helper = PyImport_ImportModule("tessarin._signatures");
  if (!helper) return nullptr;
  PyObject* signature = PyObject_CallMethod(helper, "signature_of", "O", self);
  Py_DECREF(helper);
  if (!signature) return nullptr;
  if (!r->dict) r->dict = PyDict_New();
  if (!r->dict || PyDict_SetItemString(r->dict, "__signature__", signature) != 0) {
    Py_DECREF(signature);
    return nullptr;
  }
  return signature;
}

PyObject* routine_repr(PyObject* self) {
  PyObject* qualname = PyObject_GetAttrString(self, "__qualname__");
  if (!qualname) return nullptr;
  PyObject* out = PyUnicode_FromFormat("<function %U>", qualname);
  Py_DECREF(qualname);
  return out;
}

// Pickled by reference: __module__ and __qualname__ name it.
PyObject* routine_reduce(PyObject* self, PyObject*) {
  return PyObject_GetAttrString(self, "__qualname__");
}

// A function never binds; being a descriptor at all is what makes inspect
// treat it as a routine.
PyObject* function_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyMemberDef routine_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Routine, vectorcall), READONLY, nullptr},
    {"__wrapped__", T_OBJECT_EX, offsetof(Routine, func), READONLY,
     "The nanobind function called."},
    {"__dictoffset__", T_PYSSIZET, offsetof(Routine, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef routine_getset[] = {
    {"__signature__", routine_get_signature, nullptr, "inspect.Signature of the call.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef routine_methods[] = {{"__reduce__", routine_reduce, METH_NOARGS, nullptr},
                                 {nullptr, nullptr, 0, nullptr}};

// The slots of both wrappers; the descriptor slot (the last one set) is
// filled in for each before its type is made, which copies the slots.
PyType_Slot routine_slots[] = {{Py_tp_new, reinterpret_cast<void*>(routine_new)},
                               {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                               {Py_tp_traverse, reinterpret_cast<void*>(routine_traverse)},
                               {Py_tp_clear, reinterpret_cast<void*>(routine_clear)},
                               {Py_tp_dealloc, reinterpret_cast<void*>(routine_dealloc)},
                               {Py_tp_getattro, reinterpret_cast<void*>(routine_getattro)},
                               {Py_tp_repr, reinterpret_cast<void*>(routine_repr)},
                               {Py_tp_members, routine_members},
                               {Py_tp_getset, routine_getset},
                               {Py_tp_methods, routine_methods},
                               {Py_tp_descr_get, nullptr},
                               {0, nullptr}};

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;

struct RoutineKind {
  const char* name;
  unsigned flags;
  descrgetfunc get;
};
// METHOD_DESCRIPTOR: obj.method(...) calls the wrapper with obj first, with no
// bound-method object in between.
constexpr RoutineKind kRoutineKinds[] = {
    {"tessarin._core._Function", kFlags, function_get},
    {"tessarin._core._Method", kFlags | Py_TPFLAGS_METHOD_DESCRIPTOR, method_get}};

// Construction of native classes: nanobind's own type call, with the same
// explanation of arguments that do not fit the constructor. nanobind gives
// every class one type call, so one saved pointer serves them all.
vectorcallfunc native_construct = nullptr;

PyObject* checked_construct(PyObject* type, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  PyObject* result = native_construct(type, args, nargsf, kwnames);
  if (!result && PyErr_ExceptionMatches(PyExc_TypeError))
    explain_failure("construction_error", type, args, nargsf, kwnames);
  return result;
}

void check_construction(nb::handle cls) {
  if (!PyType_Check(cls.ptr())) throw nb::type_error("expected a class");
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  if (type->tp_vectorcall == checked_construct) return;
  if (!type->tp_vectorcall || (native_construct && type->tp_vectorcall != native_construct))
    throw nb::type_error("not a class constructed by nanobind's type call");
  native_construct = type->tp_vectorcall;
  type->tp_vectorcall = checked_construct;
}

}  // namespace

void register_routines(nb::module_& m) {
  for (const RoutineKind& kind : kRoutineKinds) {
    routine_slots[std::size(routine_slots) - 2].pfunc = reinterpret_cast<void*>(kind.get);
    PyType_Spec shape = {kind.name, sizeof(Routine), 0, kind.flags, routine_slots};
    nb::object type = nb::steal(PyType_FromModuleAndSpec(m.ptr(), &shape, nullptr));
    if (!type.is_valid()) throw nb::python_error();
    m.attr(std::strrchr(kind.name, '.') + 1) = type;
  }
  m.def("_check_construction", &check_construction, nb::arg("cls"),
        "Makes a failed construction of the class name the argument that does not fit.");
}

}  // namespace tessarin::py
