// `encode_files`: text files into one package file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qbc {

PyObject* encode_files(PyObject* self, PyObject* filepaths, PyObject* output_path,
                       int32_t zstd_level, int32_t threads);

}  // namespace qbc
