// Argument binding shared by every method, the constructor and the module
// function: counting, keyword matching and their messages.
#pragma once

#include "binding/handle.hpp"

namespace qbc {

// The parameters of one function (not counting `self`).
struct Params {
  const char* function;      // plain name used in messages, e.g. "tokenize"
  PyObject* const* const* names;  // addresses of the interned parameter names
  Py_ssize_t count;
  Py_ssize_t required;       // leading parameters without a default
};

// Binds positional arguments and keywords (vectorcall form) to `out`, which
// receives borrowed references; parameters left unbound stay null. Returns
// false with TypeError set.
bool bind_vector(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out);

// The same rules for a tuple of positional arguments and a keyword dict.
bool bind_tuple(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

// Parameterless functions: any positional argument or keyword fails.
bool bind_none(const char* function, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qbc
