#include "dictionary/inverse_map.hpp"

#include <climits>
#include <optional>
#include <vector>

#include "binding/host.hpp"
#include "binding/module.hpp"
#include "dictionary/id_assign.hpp"
#include "dictionary/new_dict_table.hpp"
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

// Entries from which the reverse map of distinct ids gets its table built.
constexpr Py_ssize_t kTableFrom = 1024;

// Whether every value of the exact dict `forward` (`length` entries) is an
// exact int from 0 to 2147483647, no two the same: the reverse map then
// gets one entry per pair, in order, and storing them runs no host code.
bool distinct_small_ids(PyObject* forward, Py_ssize_t length) {
  // One bit per id up to a bound that keeps the bits within a byte per
  // entry; ids spread wider are stored one by one.
  const uint64_t bound = uint64_t(length) * 8 + 1024;
  std::vector<uint64_t> seen;
  try {
    seen.assign(static_cast<size_t>(bound / 64 + 1), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(forward, &pos, &key, &value)) {
    const int64_t id = PyLong_CheckExact(value) ? storable_id_value(value) : -1;
    if (id < 0 || uint64_t(id) >= bound) return false;
    uint64_t& word = seen[static_cast<size_t>(id) / 64];
    const uint64_t bit = uint64_t{1} << (id % 64);
    if (word & bit) return false;
    word |= bit;
  }
  return true;
}

}  // namespace

bool fill_reverse_by_table(PyObject* forward, PyObject* inverse, PairVisitor* visitor) {
  // Ids given in order fill the table in order, which huge pages gain
  // nothing.
  std::optional<NewDictTable> table;
  {
    HostBlocksInSmallPages small_pages;
    table.emplace(static_cast<size_t>(PyDict_GET_SIZE(forward)), NewDictTable::Keys::kInt);
  }
  if (!table->ok()) return false;
  if (visitor != nullptr) visitor->begin(forward);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(forward, &pos, &key, &value)) {
    // A small non-negative int is its own hash.
    table->add(value, static_cast<Py_hash_t>(PyLong_AsLong(value)), key);
    if (visitor != nullptr) visitor->pair(key, value);
  }
  table->give_to(inverse);
  return true;
}

Ref build_inverse(PyObject* forward, PairVisitor* visitor) {
  if (forward == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
    return nullptr;
  }
  if (PyDict_CheckExact(forward)) {
    const Py_ssize_t length = PyDict_GET_SIZE(forward);
    if (length >= kTableFrom && NewDictTable::available() &&
        distinct_small_ids(forward, length)) {
      Ref inverse = Ref::steal(PyDict_New());
      if (!inverse) return nullptr;
      if (fill_reverse_by_table(forward, inverse.get(), visitor)) return inverse;
    }
    // Grown as the pairs are stored, as a new empty dict does: where ids
    // repeat, a table sized for every pair would be larger than the one
    // storing them leaves. Ids given in order are small ints hashed to
    // themselves, so their entries fill the table in order, which huge
    // pages gain nothing.
    HostBlocksInSmallPages small_pages;
    Ref inverse = Ref::steal(PyDict_New());
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
