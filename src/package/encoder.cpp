#include "package/encoder.hpp"

namespace qbc {

PyObject* encode_files(PyObject*, PyObject*, PyObject*, int32_t, int32_t) {
  PyErr_SetString(PyExc_NotImplementedError, "encode_files");
  return nullptr;
}

}  // namespace qbc
