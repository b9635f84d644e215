#include "dictionary/inverse_map.hpp"

#include <climits>

#include "binding/host.hpp"
#include "binding/module.hpp"
#include "dictionary/id_assign.hpp"
#include "dictionary/token_index.hpp"

namespace qbc {
namespace {

void raise_too_many() {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
}

void raise_need_more(Py_ssize_t count) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
               count == 1 ? "" : "s");
}

}  // namespace

bool unpack_pair(PyObject* item, Ref* first, Ref* second) {
  // Only an exact tuple is taken apart directly: any other object,
  // a tuple subclass included, is iterated, as the host unpacks it.
  if (PyTuple_CheckExact(item)) {
    Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size == 2) {
      *first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
      *second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
      return true;
    }
    if (size < 2) {
      raise_need_more(size);
    } else {
      raise_too_many();
    }
    return false;
  }
  Ref iter = Ref::steal(PyObject_GetIter(item));
  if (!iter) return false;
  iternextfunc next = Py_TYPE(iter.get())->tp_iternext;
  Ref values[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    values[i] = Ref::steal(next(iter.get()));
    if (!values[i]) {
      if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
        PyErr_Clear();
      }
      raise_need_more(i);
      return false;
    }
  }
  Ref extra = Ref::steal(next(iter.get()));
  if (extra) {
    raise_too_many();
    return false;
  }
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
    PyErr_Clear();
  }
  *first = std::move(values[0]);
  *second = std::move(values[1]);
  return true;
}

namespace {

bool store(PyObject* inverse, PyObject* key, PyObject* value, PairVisitor* visitor) {
  if (PyDict_SetItem(inverse, value, key) < 0) return false;
  if (visitor != nullptr) visitor->pair(key, value);
  return true;
}

}  // namespace

Ref build_inverse(PyObject* forward, PairVisitor* visitor) {
  if (forward == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
    return nullptr;
  }
  if (PyDict_CheckExact(forward)) {
    const Py_ssize_t length = PyDict_GET_SIZE(forward);
    // Sized for the pairs at once, as far as the host presizes. Ids given
    // in order are small ints hashed to themselves, so their entries fill
    // the table in order, which huge pages gain nothing.
    HostBlocksInSmallPages small_pages;
    Ref inverse = Ref::steal(_PyDict_NewPresized(length));
    if (!inverse) return nullptr;
    if (visitor != nullptr) visitor->begin(forward);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (true) {
      if (PyDict_GET_SIZE(forward) != length) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return nullptr;
      }
      if (!PyDict_Next(forward, &pos, &key, &value)) break;
      if (visitor != nullptr && !PyLong_CheckExact(value) && !PyBool_Check(value)) {
        visitor->host_code_next();
      }
      // Held while the host hashes and compares them.
      Ref k = Ref::borrow(key), v = Ref::borrow(value);
      if (!store(inverse.get(), k.get(), v.get(), visitor)) return nullptr;
    }
    return inverse;
  }
  Ref inverse = Ref::steal(PyDict_New());
  if (!inverse) return nullptr;
  Ref items = call_method(forward, names().items);
  if (!items) return nullptr;
  Ref first, second;
  if (PyTuple_CheckExact(items.get()) || PyList_CheckExact(items.get())) {
    const bool is_tuple = PyTuple_CheckExact(items.get());
    for (Py_ssize_t i = 0;; ++i) {
      Py_ssize_t size = is_tuple ? PyTuple_GET_SIZE(items.get()) : PyList_GET_SIZE(items.get());
      if (i >= size) break;
      Ref item = Ref::borrow(is_tuple ? PyTuple_GET_ITEM(items.get(), i)
                                      : PyList_GET_ITEM(items.get(), i));
      if (!unpack_pair(item.get(), &first, &second)) return nullptr;
      if (!store(inverse.get(), first.get(), second.get(), visitor)) return nullptr;
    }
    return inverse;
  }
  Ref iter = Ref::steal(PyObject_GetIter(items.get()));
  if (!iter) return nullptr;
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) return nullptr;
      break;
    }
    if (!unpack_pair(item.get(), &first, &second)) return nullptr;
    if (!store(inverse.get(), first.get(), second.get(), visitor)) return nullptr;
  }
  return inverse;
}

void MaxIdVisitor::pair(PyObject*, PyObject* value) {
  const int64_t id = storable_id_value(value);
  if (id > max_id_) max_id_ = id;
}

}  // namespace qbc
