// The dictionary file: `load_dict` and `save_dict`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qbc {

// Bodies of the two methods; both return None, or null with an error and
// their traceback entries.
PyObject* load_dict(PyObject* self);
PyObject* save_dict(PyObject* self);

}  // namespace qbc
