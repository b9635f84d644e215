#include "dictionary/new_dict_table.hpp"

#include <bit>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "binding/handle.hpp"

namespace qbc {

namespace {

// The host's keys object as this interpreter series lays it out: a header,
// the index array (1, 2, 4 or 8 bytes per place, -1 for an empty one) and
// the entries in order of insertion.
struct KeysHeader {
  Py_ssize_t refcnt;
  uint8_t log2_size;
  uint8_t log2_index_bytes;
  uint8_t kind;  // 0 general (entries keep hashes), 1 str keys only
  uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
};
static_assert(sizeof(KeysHeader) == 32);

struct StrEntry {
  PyObject* key;
  PyObject* value;
};
struct GeneralEntry {
  Py_hash_t hash;
  PyObject* key;
  PyObject* value;
};

constexpr uint8_t kKindGeneral = 0;
constexpr uint8_t kKindStr = 1;
constexpr uint8_t kLog2MinSize = 3;
constexpr unsigned kPerturbShift = 5;

constexpr size_t usable_of(uint8_t log2_size) { return (size_t{1} << log2_size << 1) / 3; }

// The smallest table (log2 of its places, at least 8) of `minsize` places.
constexpr uint8_t log2_for(size_t minsize) {
  minsize = (minsize | 8) - 1;
  return static_cast<uint8_t>(std::bit_width(minsize | 7));
}

// The table an empty dict ends with after `count` stores of new keys: the
// first store makes one of 8 places, and a store that finds no usable
// entry left grows it to hold three times the entries held.
constexpr uint8_t final_log2(size_t count) {
  uint8_t log2 = kLog2MinSize;
  size_t usable = usable_of(log2);
  while (count > usable) {
    log2 = log2_for(3 * usable);
    usable = usable_of(log2);
  }
  return log2;
}

constexpr uint8_t index_bytes_log2(uint8_t log2_size) {
  if (log2_size < 8) return log2_size;
  if (log2_size < 16) return log2_size + 1;
  if (log2_size < 32) return log2_size + 2;
  return log2_size + 3;
}

KeysHeader* header_of(PyObject* dict) {
  return reinterpret_cast<KeysHeader*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}
char* indices_of(KeysHeader* k) { return reinterpret_cast<char*>(k + 1); }
char* entries_of(KeysHeader* k) {
  return indices_of(k) + (size_t{1} << k->log2_index_bytes);
}

int64_t get_index(const KeysHeader* k, size_t i) {
  const char* at = reinterpret_cast<const char*>(k + 1);
  if (k->log2_size < 8) return reinterpret_cast<const int8_t*>(at)[i];
  if (k->log2_size < 16) return reinterpret_cast<const int16_t*>(at)[i];
  if (k->log2_size < 32) return reinterpret_cast<const int32_t*>(at)[i];
  return reinterpret_cast<const int64_t*>(at)[i];
}

void set_index(KeysHeader* k, size_t i, int64_t ix) {
  char* at = indices_of(k);
  if (k->log2_size < 8) {
    reinterpret_cast<int8_t*>(at)[i] = static_cast<int8_t>(ix);
  } else if (k->log2_size < 16) {
    reinterpret_cast<int16_t*>(at)[i] = static_cast<int16_t>(ix);
  } else if (k->log2_size < 32) {
    reinterpret_cast<int32_t*>(at)[i] = static_cast<int32_t>(ix);
  } else {
    reinterpret_cast<int64_t*>(at)[i] = ix;
  }
}

// The place the host's probe sequence for `hash` ends at: the first empty
// one, in a table without deleted entries.
size_t first_empty(const KeysHeader* k, Py_hash_t hash) {
  const size_t mask = (size_t{1} << k->log2_size) - 1;
  size_t i = static_cast<size_t>(hash) & mask;
  for (size_t perturb = static_cast<size_t>(hash); get_index(k, i) >= 0;) {
    perturb >>= kPerturbShift;
    i = (i * 5 + perturb + 1) & mask;
  }
  return i;
}

// Whether a dict filled with `keys` (all of one kind) in order is laid out
// as this file reads it: the header and every entry. Reads only what the
// header, once confirmed, says is there. Its indices are compared whole
// with a table built here (same_both_ways()).
bool host_agrees(PyObject* dict, const std::vector<Ref>& keys, const std::vector<Ref>& values,
                 uint8_t kind) {
  const size_t n = keys.size();
  if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(n)) return false;
  auto* mp = reinterpret_cast<PyDictObject*>(dict);
  if (mp->ma_values != nullptr) return false;
  const KeysHeader* k = header_of(dict);
  const uint8_t log2 = final_log2(n);
  if (k->refcnt != 1 || k->log2_size != log2 || k->log2_index_bytes != index_bytes_log2(log2) ||
      k->kind != kind || k->nentries != static_cast<Py_ssize_t>(n) ||
      k->usable != static_cast<Py_ssize_t>(usable_of(log2) - n)) {
    return false;
  }
  const char* entries = reinterpret_cast<const char*>(k + 1) + (size_t{1} << k->log2_index_bytes);
  for (size_t ix = 0; ix < n; ++ix) {
    if (kind == kKindStr) {
      const auto& e = reinterpret_cast<const StrEntry*>(entries)[ix];
      if (e.key != keys[ix].get() || e.value != values[ix].get()) return false;
    } else {
      const auto& e = reinterpret_cast<const GeneralEntry*>(entries)[ix];
      if (e.key != keys[ix].get() || e.value != values[ix].get() ||
          e.hash != PyObject_Hash(keys[ix].get())) {
        return false;
      }
    }
  }
  return true;
}

enum class Check { kSame, kDiffers, kUnchecked };

// Builds a dict of `n` entries of one kind both through the host and here,
// and compares the two whole. Unchecked when memory ran short. Throws
// std::bad_alloc.
Check same_both_ways(size_t n, NewDictTable::Keys kind) {
  std::vector<Ref> keys, values;
  for (size_t i = 0; i < n; ++i) {
    const long id = static_cast<long>(i * 7 + 3);
    Ref number = Ref::steal(PyLong_FromLong(id));
    char name[32];
    const int length = std::snprintf(name, sizeof name, "check-%ld", id);
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(name, length));
    if (!number || !text) return Check::kUnchecked;
    if (kind == NewDictTable::Keys::kStr) {
      keys.push_back(std::move(text));
      values.push_back(std::move(number));
    } else {
      keys.push_back(std::move(number));
      values.push_back(std::move(text));
    }
  }
  const uint8_t expected_kind = kind == NewDictTable::Keys::kStr ? kKindStr : kKindGeneral;
  Ref host = Ref::steal(PyDict_New());
  Ref built = Ref::steal(PyDict_New());
  if (!host || !built) return Check::kUnchecked;
  if (!NewDictTable::fits(host.get()) || !NewDictTable::fits(built.get())) {
    return Check::kDiffers;
  }
  for (size_t i = 0; i < n; ++i) {
    if (PyDict_SetItem(host.get(), keys[i].get(), values[i].get()) < 0) {
      return Check::kUnchecked;
    }
  }
  if (!host_agrees(host.get(), keys, values, expected_kind)) return Check::kDiffers;
  {
    NewDictTable table(n, kind);
    if (!table.ok()) return Check::kUnchecked;
    for (size_t i = 0; i < n; ++i) {
      table.add(keys[i].get(), PyObject_Hash(keys[i].get()), values[i].get());
    }
    if (table.give_to(built.get()) < 0) return Check::kDiffers;
  }
  KeysHeader* a = header_of(host.get());
  KeysHeader* b = header_of(built.get());
  const size_t entry = kind == NewDictTable::Keys::kStr ? sizeof(StrEntry) : sizeof(GeneralEntry);
  const size_t bytes = (size_t{1} << a->log2_index_bytes) + entry * usable_of(a->log2_size);
  const bool same = host_agrees(built.get(), keys, values, expected_kind) &&
                    std::memcmp(indices_of(a), indices_of(b), bytes) == 0 &&
                    PyObject_RichCompareBool(host.get(), built.get(), Py_EQ) == 1;
  return same ? Check::kSame : Check::kDiffers;
}

Check check_layout() {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
  if (sizeof(PyDictObject) != 48 || Py_Version < 0x030B0000 || Py_Version >= 0x030C0000) {
    return Check::kDiffers;
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  // Sizes that index with 1 and 2 bytes per place: wider indices follow
  // the same rule, and checking them would take tens of thousands of
  // entries at the first call.
  Check outcome = Check::kSame;
  try {
    for (const size_t n : {size_t{90}, size_t{600}}) {
      for (const auto kind : {NewDictTable::Keys::kStr, NewDictTable::Keys::kInt}) {
        if (outcome == Check::kSame) outcome = same_both_ways(n, kind);
      }
    }
  } catch (const std::bad_alloc&) {
    outcome = Check::kUnchecked;
  }
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
  return outcome;
#else
  return Check::kDiffers;
#endif
}

}  // namespace

bool NewDictTable::available() {
  // Checked again at a later call when memory ran short for the check.
  static int known = -1;
  if (known < 0) {
    const Check outcome = check_layout();
    if (outcome != Check::kUnchecked) known = outcome == Check::kSame ? 1 : 0;
  }
  return known == 1;
}

bool NewDictTable::fits(PyObject* dict) {
  if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 0) return false;
  auto* mp = reinterpret_cast<PyDictObject*>(dict);
  // Only the shared empty table has no places: every table a store makes
  // has at least 8.
  return mp->ma_values == nullptr && header_of(dict)->log2_size == 0 &&
         header_of(dict)->nentries == 0;
}

namespace {

// An empty keys object, laid out as the host lays one out, for `count`
// entries stored one by one into an empty dict; null when memory ran short
// (no error is set).
KeysHeader* empty_table(size_t count, NewDictTable::Keys keys) {
  const uint8_t log2 = final_log2(count);
  const uint8_t log2_bytes = index_bytes_log2(log2);
  const size_t entry = keys == NewDictTable::Keys::kStr ? sizeof(StrEntry) : sizeof(GeneralEntry);
  const size_t usable = usable_of(log2);
  const size_t index_bytes = size_t{1} << log2_bytes;
  void* memory = PyObject_Malloc(sizeof(KeysHeader) + index_bytes + entry * usable);
  if (memory == nullptr) return nullptr;
  auto* k = static_cast<KeysHeader*>(memory);
  k->refcnt = 1;
  k->log2_size = log2;
  k->log2_index_bytes = log2_bytes;
  k->kind = keys == NewDictTable::Keys::kStr ? kKindStr : kKindGeneral;
  k->version = 0;
  k->usable = static_cast<Py_ssize_t>(usable);
  k->nentries = 0;
  std::memset(indices_of(k), 0xFF, index_bytes);
  std::memset(entries_of(k), 0, entry * usable);
  return k;
}

// Hands `k` to `dict`, which holds the host's shared empty table: the
// dict's reference to that table goes, as when a store replaces it; that
// table is never freed.
void replace_empty_table(PyObject* dict, KeysHeader* k) {
  --header_of(dict)->refcnt;
  reinterpret_cast<PyDictObject*>(dict)->ma_keys = reinterpret_cast<PyDictKeysObject*>(k);
}

// The host's equality of two exact strs: equal strs have the same width.
bool equal_strs(PyObject* a, PyObject* b) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
         std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace

NewDictTable::NewDictTable(size_t count, Keys keys) : count_(count), keys_(keys) {
  if (count < 2) return;
  table_ = empty_table(count, keys);
}

bool NewDictTable::presize(PyObject* dict, size_t count, Keys keys) {
  KeysHeader* k = empty_table(count, keys);
  if (k == nullptr) return false;
  replace_empty_table(dict, k);
  return true;
}

bool NewDictTable::oversized(PyObject* dict, Keys keys) {
  const KeysHeader* k = header_of(dict);
  // Only a key of another type into a str table grows such a table before
  // it holds `count` keys, and that makes it general.
  if (k->kind != (keys == Keys::kStr ? kKindStr : kKindGeneral)) return false;
  return k->log2_size != final_log2(static_cast<size_t>(PyDict_GET_SIZE(dict)));
}

NewDictTable::~NewDictTable() {
  if (table_ != nullptr) {
    auto* k = static_cast<KeysHeader*>(table_);
    for (Py_ssize_t i = 0; i < k->nentries; ++i) {
      if (keys_ == Keys::kStr) {
        auto& e = reinterpret_cast<StrEntry*>(entries_of(k))[i];
        Py_DECREF(e.key);
        Py_DECREF(e.value);
      } else {
        auto& e = reinterpret_cast<GeneralEntry*>(entries_of(k))[i];
        Py_DECREF(e.key);
        Py_DECREF(e.value);
      }
    }
    PyObject_Free(table_);
  }
  Py_XDECREF(last_key_);
  Py_XDECREF(last_value_);
}

void NewDictTable::prefetch(Py_hash_t hash) const {
  const auto* k = static_cast<const KeysHeader*>(table_);
  const size_t i = static_cast<size_t>(hash) & ((size_t{1} << k->log2_size) - 1);
  const unsigned width_log2 = k->log2_index_bytes - k->log2_size;
  __builtin_prefetch(reinterpret_cast<const char*>(k + 1) + (i << width_log2), 1);
}

void NewDictTable::add(PyObject* key, Py_hash_t hash, PyObject* value) {
  Py_INCREF(key);
  Py_INCREF(value);
  if (++added_ == count_) {
    // Kept for give_to(), which stores it the host's way.
    last_key_ = key;
    last_value_ = value;
    return;
  }
  auto* k = static_cast<KeysHeader*>(table_);
  const Py_ssize_t at = k->nentries;
  set_index(k, first_empty(k, hash), at);
  if (keys_ == Keys::kStr) {
    reinterpret_cast<StrEntry*>(entries_of(k))[at] = StrEntry{key, value};
  } else {
    reinterpret_cast<GeneralEntry*>(entries_of(k))[at] = GeneralEntry{hash, key, value};
  }
  ++k->nentries;
  --k->usable;
}

PyObject* NewDictTable::key_at(size_t i) const {
  if (i + 1 == count_ && added_ == count_) return last_key_;
  auto* k = static_cast<KeysHeader*>(table_);
  return keys_ == Keys::kStr ? reinterpret_cast<StrEntry*>(entries_of(k))[i].key
                             : reinterpret_cast<GeneralEntry*>(entries_of(k))[i].key;
}

int NewDictTable::give_to(PyObject* dict) {
  auto* mp = reinterpret_cast<PyDictObject*>(dict);
  auto* k = static_cast<KeysHeader*>(table_);
  replace_empty_table(dict, k);
  mp->ma_used = k->nentries;
  table_ = nullptr;
  // Str keys with their hashes kept, or ints compared by identity and hash:
  // the store runs no host code, and the table has room for it.
  const int stored = PyDict_SetItem(dict, last_key_, last_value_);
  Py_CLEAR(last_key_);
  Py_CLEAR(last_value_);
  return stored;
}

StrTableStores::StrTableStores(PyObject* dict, size_t count)
    : dict_(dict), table_(header_of(dict)) {
  try {
    hashes_.reserve(count);
  } catch (const std::bad_alloc&) {
    table_ = nullptr;
  }
}

bool StrTableStores::store(PyObject* key, PyObject* value) {
  KeysHeader* k = header_of(dict_);
  if (k != table_ || k->kind != kKindStr || k->usable <= 0 || !PyUnicode_CheckExact(key) ||
      !(PyLong_CheckExact(value) || PyUnicode_CheckExact(value)) ||
      hashes_.size() != static_cast<size_t>(k->nentries)) {
    return false;
  }
  // A str's hash never fails.
  const Py_hash_t hash = PyObject_Hash(key);
  auto* entries = reinterpret_cast<StrEntry*>(entries_of(k));
  const size_t mask = (size_t{1} << k->log2_size) - 1;
  size_t i = static_cast<size_t>(hash) & mask;
  // No entry is ever deleted here, so the first empty place ends the probe.
  for (size_t perturb = static_cast<size_t>(hash);;) {
    const int64_t ix = get_index(k, i);
    if (ix < 0) break;
    StrEntry& e = entries[ix];
    if (e.key == key || (hashes_[static_cast<size_t>(ix)] == hash && equal_strs(e.key, key))) {
      // The key is there: its value is replaced, the old one let go of.
      PyObject* old = e.value;
      Py_INCREF(value);
      e.value = value;
      Py_DECREF(old);
      return true;
    }
    perturb >>= kPerturbShift;
    i = (i * 5 + perturb + 1) & mask;
  }
  try {
    hashes_.push_back(hash);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const Py_ssize_t at = k->nentries;
  set_index(k, i, at);
  Py_INCREF(key);
  Py_INCREF(value);
  entries[at] = StrEntry{key, value};
  ++k->nentries;
  --k->usable;
  // A new key invalidates the version of the keys, as the host's store does.
  k->version = 0;
  ++reinterpret_cast<PyDictObject*>(dict_)->ma_used;
  return true;
}

void StrTableStores::stored_by_host(PyObject* key) {
  const KeysHeader* k = header_of(dict_);
  if (k != table_ || k->kind != kKindStr) {
    table_ = nullptr;
    return;
  }
  // A new entry, or a value replaced.
  if (static_cast<size_t>(k->nentries) == hashes_.size() + 1) {
    try {
      hashes_.push_back(PyObject_Hash(key));
    } catch (const std::bad_alloc&) {
      table_ = nullptr;
    }
  } else if (static_cast<size_t>(k->nentries) != hashes_.size()) {
    table_ = nullptr;
  }
}

}  // namespace qbc
