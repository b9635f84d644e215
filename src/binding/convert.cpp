#include "binding/convert.hpp"

#include <climits>

namespace qbc {
namespace {

// `__int__` of a non-int object, with the host's checks on the result.
Ref int_of(PyObject* obj) {
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  if (nb == nullptr || nb->nb_int == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  Ref result = Ref::steal(nb->nb_int(obj));
  if (!result) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  if (PyLong_CheckExact(result.get())) return result;
  const char* type_name = Py_TYPE(result.get())->tp_name;
  if (PyLong_Check(result.get())) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         type_name) < 0) {
      return nullptr;
    }
    return result;
  }
  PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
               type_name);
  return nullptr;
}

bool long_value(PyObject* obj, long* out) {
  // PyLong_AsLong raises the host's own OverflowError beyond 64 bits.
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool int_value(PyObject* obj, long* out) {
  if (PyLong_Check(obj)) return long_value(obj, out);
  Ref converted = int_of(obj);
  if (!converted) return false;
  return long_value(converted.get(), out);
}

}  // namespace

bool to_int32(PyObject* obj, int32_t* out) {
  long value;
  if (!int_value(obj, &value)) return false;
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

bool to_int64(PyObject* obj, int64_t* out) {
  static_assert(sizeof(long) == sizeof(int64_t), "64-bit long expected");
  long value;
  if (!int_value(obj, &value)) return false;
  *out = value;
  return true;
}

int to_truth(PyObject* obj) {
  if (obj == Py_True) return 1;
  if (obj == Py_False || obj == Py_None) return 0;
  return PyObject_IsTrue(obj);
}

bool check_arg_type(PyObject* obj, PyTypeObject* type, const char* name) {
  if (obj == Py_None || Py_IS_TYPE(obj, type)) return true;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s", name,
               type->tp_name, Py_TYPE(obj)->tp_name, "", "");
  return false;
}

void raise_unexpected_type(const char* what, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", what, Py_TYPE(obj)->tp_name);
}

bool check_exact_or_none(PyObject* obj, PyTypeObject* type, const char* what) {
  if (obj == Py_None || Py_IS_TYPE(obj, type)) return true;
  raise_unexpected_type(what, obj);
  return false;
}

}  // namespace qbc
