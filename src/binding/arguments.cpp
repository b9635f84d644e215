#include "binding/arguments.hpp"

namespace qbc {
namespace {

void raise_count(const Params& p, Py_ssize_t given, bool too_few) {
  const bool exact = p.required == p.count;
  const Py_ssize_t expected = too_few ? p.required : p.count;
  const char* qualifier = exact ? "exactly" : (too_few ? "at least" : "at most");
  PyErr_Format(PyExc_TypeError,
               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", p.function,
               qualifier, expected, expected == 1 ? "" : "s", given);
}

// Text equality of two str objects, lengths compared first.
int same_text(PyObject* a, PyObject* b) {
  if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return 0;
  int cmp = PyUnicode_Compare(a, b);
  if (cmp == -1 && PyErr_Occurred()) return -1;
  return cmp == 0;
}

// Index of the parameter named `key` among those from `first` on: identity
// first, then text. Returns -1 when none matches, -2 on error.
Py_ssize_t find_param(const Params& p, Py_ssize_t first, PyObject* key) {
  for (Py_ssize_t i = first; i < p.count; ++i) {
    if (*p.names[i] == key) return i;
  }
  for (Py_ssize_t i = first; i < p.count; ++i) {
    int eq = same_text(*p.names[i], key);
    if (eq < 0) return -2;
    if (eq) return i;
  }
  return -1;
}

// Matches one keyword against the parameters not bound by position.
bool bind_keyword(const Params& p, Py_ssize_t npos, PyObject* key, PyObject* value,
                  PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", p.function);
    return false;
  }
  Py_ssize_t index = find_param(p, npos, key);
  if (index == -2) return false;
  if (index >= 0) {
    out[index] = value;
    return true;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) {
    int eq = *p.names[i] == key ? 1 : same_text(*p.names[i], key);
    if (eq < 0) return false;
    if (eq) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   p.function, key);
      return false;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.function,
               key);
  return false;
}

bool check_required(const Params& p, PyObject** out) {
  for (Py_ssize_t i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) {
      raise_count(p, i, true);
      return false;
    }
  }
  return true;
}

bool bind_positional(const Params& p, PyObject* const* args, Py_ssize_t nargs, bool has_kw,
                     PyObject** out) {
  if (nargs > p.count) {
    raise_count(p, nargs, false);
    return false;
  }
  if (!has_kw && nargs < p.required) {
    raise_count(p, nargs, true);
    return false;
  }
  for (Py_ssize_t i = 0; i < p.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  return true;
}

}  // namespace

bool bind_vector(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (!bind_positional(p, args, nargs, nkw > 0, out)) return false;
  if (nkw == 0) return true;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(p, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
      return false;
    }
  }
  return check_required(p, out);
}

bool bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const bool has_kw = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
  // Too many positional arguments are reported before any keyword is looked at.
  if (!bind_positional(p, &PyTuple_GET_ITEM(args, 0), nargs, has_kw, out)) return false;
  if (!has_kw) return true;
  // Every key is tested before any is matched.
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return false;
    }
  }
  pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!bind_keyword(p, nargs, key, value, out)) return false;
  }
  return check_required(p, out);
}

bool bind_none(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 0) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function,
                 "exactly", Py_ssize_t{0}, "s", nargs);
    return false;
  }
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
      return false;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                 key);
    return false;
  }
  return true;
}

}  // namespace qbc
