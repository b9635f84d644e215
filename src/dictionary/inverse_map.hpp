// Rebuilding the reverse map {id: token} from a forward map, as `load_dict`
// and `decode_package` do.
#pragma once

#include "binding/handle.hpp"

namespace qbc {

// Sees every (token, id) pair in iteration order, after it is stored.
class PairVisitor {
 public:
  virtual ~PairVisitor() = default;
  // An exact dict's walk begins: its reverse map exists, and nothing but
  // the walk itself runs until it ends or until host_code_next().
  virtual void begin(PyObject* /*forward*/) {}
  // In that walk, storing the next pair may run host code: its id is not
  // an int (nor a bool), whose hash and comparisons would run none.
  virtual void host_code_next() {}
  virtual void pair(PyObject* key, PyObject* value) = 0;
};

// `{v: k for k, v in forward.items()}`: an exact dict is walked directly (and
// must not change size meanwhile); any other object is asked for `items()`
// and each item unpacked into two values. Returns null with the error set.
Ref build_inverse(PyObject* forward, PairVisitor* visitor = nullptr);

// Fills `inverse`, an empty dict that NewDictTable::fits(), with the
// reverse of the exact dict `forward`, whose values are distinct exact ints
// from 0 to 2147483647, its table built whole as storing the pairs one by
// one leaves it. `visitor` (or null) is begun and sees each pair. Returns
// false, with nothing stored or visited and no error set, when the table's
// memory could not be had.
bool fill_reverse_by_table(PyObject* forward, PyObject* inverse, PairVisitor* visitor);

// `first, second = item`: ValueError unless the item gives exactly two
// values. Returns false with the error set.
bool unpack_pair(PyObject* item, Ref* first, Ref* second);

// Keeps the largest id that the values seen give (storable_id_value).
class MaxIdVisitor : public PairVisitor {
 public:
  void pair(PyObject* key, PyObject* value) override;
  int64_t max_id() const { return max_id_; }

 private:
  int64_t max_id_ = -1;
};

}  // namespace qbc
