#include "package/decoder.hpp"

namespace qbc {

PyObject* decode_package(PyObject*, PyObject*, PyObject*, bool) {
  PyErr_SetString(PyExc_NotImplementedError, "decode_package");
  return nullptr;
}

}  // namespace qbc
