// Placeholder until the native scanner lands.
#include "dictionary/token_index.hpp"

namespace qbc {

struct TokenIndex::Impl {};

TokenIndex::TokenIndex() : impl_(new Impl) {}
TokenIndex::~TokenIndex() = default;
uint32_t TokenIndex::size() const { return 0; }
PyObject* TokenIndex::token(uint32_t) const { return nullptr; }
bool TokenIndex::scan(PyObject*, SlotStream&) {
  PyErr_SetString(PyExc_NotImplementedError, "scan");
  return false;
}
bool TokenIndex::intern(PyObject*, uint32_t*) {
  PyErr_SetString(PyExc_NotImplementedError, "intern");
  return false;
}
Ref TokenIndex::split(PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "split");
  return nullptr;
}

}  // namespace qbc
