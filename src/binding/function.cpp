#include "binding/function.hpp"

#include <structmember.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "binding/compressor.hpp"

namespace qbc {
namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* fdef;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* code;
  PyObject* globals;
  PyObject* dict;
  PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

// Runs a body. The bodies deal with running out of memory where they
// allocate; a C++ exception that still reaches this point (a container
// that could not grow) becomes the host's error here instead of ending the
// process on its way through the interpreter's frames. Every reference the
// body held is released as the exception passes.
PyObject* run_body(const FunctionDef* fdef, PyObject* self, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return fdef->body(self, args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "%.200s() failed: %.200s", fdef->name, e.what());
  }
  return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* f = as_function(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!f->fdef->is_method) return run_body(f->fdef, nullptr, args, nargs, kwnames);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", f->fdef->name, "needs an argument");
    return nullptr;
  }
  PyObject* self = args[0];
  if (!PyObject_TypeCheck(self, &CompressorType)) {
    // Only instances carry the fields the bodies work on.
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%.200s' for '%.100s' objects doesn't apply to a '%.100s' object",
                 f->fdef->name, CompressorType.tp_name, Py_TYPE(self)->tp_name);
    return nullptr;
  }
  return run_body(f->fdef, self, args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* func, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(func);
  return PyMethod_New(func, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->code);
  Py_VISIT(f->globals);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->code);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Attributes -----------------------------------------------------------------

PyObject* get_str_slot(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

int set_str_slot(PyObject** slot, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  replace_slot(slot, value);
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_str_slot(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_slot(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
  return get_str_slot(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_slot(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) { return get_str_slot(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
  replace_slot(&as_function(self)->doc, value ? value : Py_None);
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
  return get_str_slot(as_function(self)->defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
  // Stored for introspection only: calls always use the built-in defaults.
  if (value == nullptr) value = Py_None;
  if (value != Py_None && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  replace_slot(&as_function(self)->defaults, value);
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  return get_str_slot(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) value = Py_None;
  if (value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  replace_slot(&as_function(self)->kwdefaults, value);
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (f->annotations == nullptr) {
    f->annotations = PyDict_New();
    if (f->annotations == nullptr) return nullptr;
  }
  return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) value = Py_None;
  if (value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  replace_slot(&as_function(self)->annotations, value);
  return 0;
}

PyObject* get_code(PyObject* self, void*) { return get_str_slot(as_function(self)->code); }
PyObject* get_globals(PyObject* self, void*) {
  return get_str_slot(as_function(self)->globals);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, like the host's own functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A code object listing the parameters, with the given file and first line.
Ref make_code(const FunctionDef* fdef) {
  Ref code = Ref::steal(
      reinterpret_cast<PyObject*>(PyCode_NewEmpty(fdef->file, fdef->name, fdef->first_line)));
  if (!code) return nullptr;
  Ref varnames = Ref::steal(PyTuple_New(fdef->nparams));
  if (!varnames) return nullptr;
  for (int i = 0; i < fdef->nparams; ++i) {
    PyObject* name = PyUnicode_InternFromString(fdef->params[i]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(varnames.get(), i, name);
  }
  Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
  if (!replace) return nullptr;
  Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O,s:i,s:s}", "co_argcount", fdef->nparams,
                                        "co_nlocals", fdef->nparams, "co_varnames",
                                        varnames.get(), "co_flags",
                                        CO_OPTIMIZED | CO_NEWLOCALS, "co_qualname",
                                        fdef->qualname));
  if (!kwargs) return nullptr;
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!empty) return nullptr;
  return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

}  // namespace

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "qbc_compressor.compiled_function",  // tp_name
};

bool function_type_ready() {
  PyTypeObject& t = FunctionType;
  if (t.tp_flags & Py_TPFLAGS_READY) return true;
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  t.tp_methods = function_methods;
  t.tp_members = function_members;
  t.tp_getset = function_getset;
  t.tp_descr_get = function_descr_get;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  return PyType_Ready(&t) == 0;
}

Ref function_new(const FunctionDef* fdef, PyObject* defaults, PyObject* module_name,
                 PyObject* globals) {
  Ref code = make_code(fdef);
  if (!code) return nullptr;
  Ref name = Ref::steal(PyUnicode_InternFromString(fdef->name));
  Ref qualname = Ref::steal(PyUnicode_FromString(fdef->qualname));
  if (!name || !qualname) return nullptr;
  FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->fdef = fdef;
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = Py_NewRef(module_name);
  f->doc = Py_NewRef(Py_None);
  f->defaults = defaults ? Py_NewRef(defaults) : nullptr;
  f->kwdefaults = nullptr;
  f->annotations = nullptr;
  f->code = code.release();
  f->globals = Py_XNewRef(globals);
  f->dict = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

bool is_function_for(PyObject* obj, const FunctionDef* fdef) {
  if (PyMethod_Check(obj)) obj = PyMethod_GET_FUNCTION(obj);
  return Py_IS_TYPE(obj, &FunctionType) && as_function(obj)->fdef == fdef;
}

}  // namespace qbc
