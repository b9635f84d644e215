// `decode_package`: a package file back into text files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qbc {

PyObject* decode_package(PyObject* self, PyObject* package_path, PyObject* output_dir,
                         bool use_zstd);

}  // namespace qbc
