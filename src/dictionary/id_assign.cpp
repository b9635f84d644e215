#include "dictionary/id_assign.hpp"

#include <climits>

#include "binding/convert.hpp"
#include "binding/handle.hpp"

namespace qbc {

bool check_storable(int64_t id) {
  if (id >= 0 && id <= INT32_MAX) return true;
  PyErr_Format(PyExc_ValueError,
               "token id %lld cannot be stored in a package (ids run from 0 to 2147483647)",
               static_cast<long long>(id));
  return false;
}

bool check_id_available(const CompressorObject* c) {
  if (c->next_id != INT32_MAX) return true;
  PyErr_SetString(PyExc_OverflowError,
                  "no token ids left: next_id has reached 2147483647");
  return false;
}

bool is_plain_key(PyObject* key) {
  return PyUnicode_CheckExact(key) || PyLong_CheckExact(key) || PyBool_Check(key) ||
         PyFloat_CheckExact(key) || PyBytes_CheckExact(key) || key == Py_None;
}

namespace {

// Examines a dict (or subclass) whole: its largest storable int value and
// whether all its keys are plain.
MapFacts examine(PyObject* dict) {
  MapFacts facts{dict, dict_version(dict), -1, true};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (facts.plain_keys && !is_plain_key(key)) facts.plain_keys = false;
    const int64_t id = storable_id_value(value);
    if (id > facts.max_id) facts.max_id = id;
  }
  return facts;
}

// What is known about `dict`, refreshed when stale; null for a non-dict.
const MapFacts* facts_for(MapFacts& facts, PyObject* dict) {
  if (!PyDict_Check(dict)) return nullptr;
  if (facts.dict != dict || facts.version != dict_version(dict)) facts = examine(dict);
  return &facts;
}

// Keeps what is known valid across a store the module made itself.
void note_store(MapFacts& facts, PyObject* dict, uint64_t version_before) {
  if (!PyDict_Check(dict) || facts.dict != dict || facts.version != version_before) return;
  facts.version = dict_version(dict);
}

}  // namespace

int64_t storable_id_value(PyObject* value) {
  if (PyLong_Check(value)) {
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0 && id >= 0 && id <= INT32_MAX ? id : -1;
  }
  if (PyFloat_CheckExact(value)) {
    // NaN fails both tests.
    const double d = PyFloat_AS_DOUBLE(value);
    return d > -1.0 && d < 2147483648.0 ? static_cast<int64_t>(d) : -1;
  }
  return -1;
}

void advance_next_id(CompressorObject* c) {
  if (c->next_id < INT32_MAX) ++c->next_id;
}

void set_max_id(CompressorObject* c, int64_t max_id, bool plain_keys) {
  if (!PyDict_Check(c->global_dict)) {
    c->forward_facts = MapFacts{};
    return;
  }
  c->forward_facts = MapFacts{c->global_dict, dict_version(c->global_dict), max_id, plain_keys};
}

void raise_next_id_past_dict(CompressorObject* c) {
  const MapFacts* facts = facts_for(c->forward_facts, c->global_dict);
  if (facts == nullptr) return;
  // max_id is -1 when the map holds no storable id: then there is nothing
  // to clear, and a negative next_id stays as it is.
  if (facts->max_id >= 0 && facts->max_id >= c->next_id) {
    c->next_id = facts->max_id >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(facts->max_id + 1);
  }
}

bool maps_are_plain(CompressorObject* c) {
  if (!PyDict_CheckExact(c->global_dict) || !PyDict_CheckExact(c->inverse_dict)) return false;
  return facts_for(c->forward_facts, c->global_dict)->plain_keys &&
         facts_for(c->inverse_facts, c->inverse_dict)->plain_keys;
}

void note_stored_id(CompressorObject* c, uint64_t version_before, int32_t id) {
  MapFacts& facts = c->forward_facts;
  const bool was_current = facts.dict == c->global_dict && facts.version == version_before;
  note_store(facts, c->global_dict, version_before);
  if (was_current && id > facts.max_id) facts.max_id = id;
}

void note_inverse_store(CompressorObject* c, uint64_t version_before) {
  note_store(c->inverse_facts, c->inverse_dict, version_before);
  // One dict serving as both maps: an int key with a token as its value
  // changes nothing known of the ids in it, where its keys are such that
  // the store could run no host code.
  if (c->inverse_dict == c->global_dict && PyDict_CheckExact(c->global_dict) &&
      c->forward_facts.plain_keys) {
    note_store(c->forward_facts, c->global_dict, version_before);
  }
}

void set_inverse_plain(CompressorObject* c, bool plain_keys) {
  if (!PyDict_Check(c->inverse_dict)) {
    c->inverse_facts = MapFacts{};
    return;
  }
  c->inverse_facts = MapFacts{c->inverse_dict, dict_version(c->inverse_dict), -1, plain_keys};
}

bool assign_id(CompressorObject* c, PyObject* token, int32_t* id, int* line) {
  int known = PySequence_Contains(c->global_dict, token);
  if (known < 0) return *line = 66, false;
  if (known) {
    Ref value = Ref::steal(PyObject_GetItem(c->global_dict, token));
    int32_t stored;
    if (!value || !to_int32(value.get(), &stored) || !check_storable(stored)) {
      return *line = 72, false;
    }
    *id = stored;
    return true;
  }
  raise_next_id_past_dict(c);
  if (!check_id_available(c) || !check_storable(c->next_id)) return *line = 67, false;
  const int32_t new_id = c->next_id;
  const bool is_dict = PyDict_Check(c->global_dict);
  const uint64_t version = is_dict ? dict_version(c->global_dict) : 0;
  Ref key_id = Ref::steal(PyLong_FromLong(new_id));
  if (!key_id || PyObject_SetItem(c->global_dict, token, key_id.get()) < 0) {
    return *line = 68, false;
  }
  if (is_dict) note_stored_id(c, version, new_id);
  Ref value_id = Ref::steal(PyLong_FromLong(new_id));
  if (!value_id) return *line = 69, false;
  Ref inverse = Ref::borrow(c->inverse_dict);
  const bool inverse_is_dict = PyDict_Check(inverse.get());
  const uint64_t inverse_version = inverse_is_dict ? dict_version(inverse.get()) : 0;
  if (PyObject_SetItem(inverse.get(), value_id.get(), token) < 0) return *line = 69, false;
  if (inverse_is_dict && inverse.get() == c->inverse_dict) note_inverse_store(c, inverse_version);
  advance_next_id(c);
  *id = new_id;
  return true;
}

}  // namespace qbc
