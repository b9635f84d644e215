// The table of a dict filled with many new entries, built apart and then
// given to an empty dict whole.
//
// Storing distinct keys one by one into an empty dict probes its table for
// each key, compares the key with every other key met on the way (reading
// that key's str, which is rarely in cache), and moves every entry again
// each time the table outgrows itself. The keys here are known to be
// distinct, so a key only needs the first empty place on its probe
// sequence, and the table can be made at its final size at once: storing
// the same entries in the same order leaves exactly that table, because a
// table that grows places its entries again in order, each at the first
// empty place on its sequence.
//
// Built only for exact str keys or exact int keys, with values that the
// collector does not track (ints, strs), into a dict holding the host's
// shared empty table: the one state whose growth this reproduces. The
// layout written is checked once against tables the host itself builds;
// where it differs, `available()` is false and the caller stores one by one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace qbc {

class NewDictTable {
 public:
  enum class Keys { kStr, kInt };

  // Whether tables may be built in this interpreter (checked on first use).
  static bool available();

  // Whether `dict` is an exact dict in the state a table can be given to:
  // empty, holding the host's shared empty table.
  static bool fits(PyObject* dict);

  // A table for `count` entries (at least 2). ok() is false when its memory
  // could not be had; no error is left set then.
  NewDictTable(size_t count, Keys keys);
  ~NewDictTable();
  NewDictTable(const NewDictTable&) = delete;
  NewDictTable& operator=(const NewDictTable&) = delete;

  bool ok() const { return table_ != nullptr; }

  // Adds the next entry, taking a new reference to each object. `key` must
  // be distinct from every key added before; `hash` is its hash. At most
  // `count` entries.
  void add(PyObject* key, Py_hash_t hash, PyObject* value);

  // Fetches the first place a key of hash `hash` probes.
  void prefetch(Py_hash_t hash) const;

  // Gives the table, with all `count` entries added, to `dict` (for which
  // fits() holds). The last entry is stored through the host's own
  // insertion, which gives the dict a new version tag as any store does.
  // That store runs no host code and needs no memory, the table having room
  // for it; it returns what the host's store returns.
  int give_to(PyObject* dict);

  // The key of entry `i` of those added (borrowed), while the table is held.
  PyObject* key_at(size_t i) const;

 private:
  void* table_ = nullptr;  // the host's keys object while it is built here
  size_t count_;
  size_t added_ = 0;
  Keys keys_;
  PyObject* last_key_ = nullptr;
  PyObject* last_value_ = nullptr;
};

}  // namespace qbc
