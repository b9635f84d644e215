// The function type of the class's methods and the module function.
//
// A function object binds as a method when read from an instance, carries
// `__name__`, `__qualname__`, `__module__`, `__doc__`, `__defaults__` and a
// code object with its parameter names, so that `inspect.signature` works,
// and is called through vectorcall.
#pragma once

#include "binding/handle.hpp"

namespace qbc {

// The body behind a function: receives the instance (null for the module
// function) and the arguments after it, in vectorcall form.
using FunctionBody = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

struct FunctionDef {
  const char* name;      // "load_dict"
  const char* qualname;  // "QBCompressor.load_dict"
  const char* const* params;  // parameter names, `self` included for methods
  int nparams;
  bool is_method;        // the first argument is the instance
  const char* file;      // file name of the code object
  int first_line;
  FunctionBody body;
};

extern PyTypeObject FunctionType;

bool function_type_ready();

// A new function object for `fdef`; `defaults` may be null (no defaults).
Ref function_new(const FunctionDef* fdef, PyObject* defaults, PyObject* module_name,
                 PyObject* globals);

// True when `obj` is the function object made for `fdef`, or a method bound
// from it.
bool is_function_for(PyObject* obj, const FunctionDef* fdef);

}  // namespace qbc
