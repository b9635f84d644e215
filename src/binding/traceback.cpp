#include "binding/traceback.hpp"

#include <frameobject.h>

#include <map>
#include <tuple>

#include "binding/module.hpp"

namespace qbc {
namespace {

// Code objects are cached per (name, file, line): the number of distinct
// failure sites is small and fixed.
using CodeKey = std::tuple<const char*, const char*, int>;
std::map<CodeKey, PyObject*>& code_cache() {
  static auto* cache = new std::map<CodeKey, PyObject*>();
  return *cache;
}

PyCodeObject* code_for(const Where& where, int line) {
  auto& cache = code_cache();
  CodeKey key{where.name, where.file, line};
  if (auto it = cache.find(key); it != cache.end()) {
    Py_INCREF(it->second);
    return reinterpret_cast<PyCodeObject*>(it->second);
  }
  // An empty code object whose first line is the failing line: a frame made
  // from it reports that line without executing anything.
  PyCodeObject* code = PyCode_NewEmpty(where.file, where.name, line);
  if (code == nullptr) return nullptr;
  Py_INCREF(code);
  cache.emplace(key, reinterpret_cast<PyObject*>(code));
  return code;
}

}  // namespace

void add_traceback(const Where& where, int line) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyCodeObject* code = code_for(where, line);
  if (code == nullptr) {
    // Creating the entry failed; the new error replaces the old one.
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return;
  }
  PyErr_Restore(type, value, tb);
  PyObject* globals = module_globals();
  PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
  Py_DECREF(code);
  if (frame == nullptr) return;
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace qbc
