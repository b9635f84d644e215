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
#include <vector>

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

  // Gives `dict` (for which fits() holds) an empty table of the size that
  // storing `count` new keys one by one into an empty dict leaves: of the
  // str kind (kStr), or of the general kind that any key takes (kInt), as
  // the first key stored makes it. Storing up to `count` distinct keys with
  // the host's insertion then never grows it, and leaves the table that
  // storing them into an empty dict leaves: a key of another type moves a
  // str table to the general kind at the same point either way, at a size
  // set by the entries held alone. False, with the dict as it was and no
  // error set, when memory ran short.
  static bool presize(PyObject* dict, size_t count, Keys keys);

  // Whether `dict`, given a table by presize() with `keys`, still holds it
  // and holds fewer distinct keys than storing one by one would have made
  // that table for: then its table is larger than the one storing its
  // entries one by one into an empty dict leaves. A str table that a key
  // of another type moved to the general kind is the host's own.
  static bool oversized(PyObject* dict, Keys keys);

 private:
  void* table_ = nullptr;  // the host's keys object while it is built here
  size_t count_;
  size_t added_ = 0;
  Keys keys_;
  PyObject* last_key_ = nullptr;
  PyObject* last_value_ = nullptr;
};

// Stores items into a dict that NewDictTable::presize() gave a str table,
// as the host's own insertion stores them, without reading the keys met on
// the way: the hash of every entry is kept beside the table, so that a
// probe compares hashes, as in a table of the general kind, and reads a key
// only when its hash is the one looked for. Only exact str keys with exact
// int or str values are stored here: then the dict needs no tracking by
// the collector. The caller stores anything else through the host, and
// tells of it with stored_by_host().
class StrTableStores {
 public:
  // For a dict given a str table by presize() for `count` keys.
  StrTableStores(PyObject* dict, size_t count);

  // Stores `key` -> `value` as the host's insertion does, but for the
  // dict's version tag, which only the host's stores change. False, with
  // nothing changed, when the host must store it: another type, the table
  // no longer the one given, or no memory for the hashes.
  bool store(PyObject* key, PyObject* value);

  // Tells that the host has stored `key` into the dict.
  void stored_by_host(PyObject* key);

 private:
  PyObject* dict_;
  const void* table_;  // the table given; stores here end once it is not
  std::vector<Py_hash_t> hashes_;  // of the entries, in order
};

}  // namespace qbc
