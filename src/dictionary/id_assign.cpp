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

void set_max_id(CompressorObject* c, int64_t max_id) {
  if (!PyDict_Check(c->global_dict)) {
    c->max_id_cache = MaxIdCache{};
    return;
  }
  c->max_id_cache = MaxIdCache{c->global_dict, dict_version(c->global_dict), max_id};
}

void raise_next_id_past_dict(CompressorObject* c) {
  PyObject* forward = c->global_dict;
  if (!PyDict_Check(forward)) return;
  MaxIdCache& cache = c->max_id_cache;
  if (cache.dict != forward || cache.version != dict_version(forward)) {
    int64_t max_id = -1;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(forward, &pos, &key, &value)) {
      if (!PyLong_Check(value)) continue;
      int overflow = 0;
      long long id = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow == 0 && id >= 0 && id <= INT32_MAX && id > max_id) max_id = id;
    }
    cache = MaxIdCache{forward, dict_version(forward), max_id};
  }
  // max_id is -1 when the map holds no storable id: then there is nothing
  // to clear, and a negative next_id stays as it is.
  if (cache.max_id >= 0 && cache.max_id >= c->next_id) {
    c->next_id = cache.max_id >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(cache.max_id + 1);
  }
}

void note_stored_id(CompressorObject* c, uint64_t version_before, int32_t id) {
  MaxIdCache& cache = c->max_id_cache;
  PyObject* forward = c->global_dict;
  if (!PyDict_Check(forward) || cache.dict != forward || cache.version != version_before) {
    return;
  }
  cache.version = dict_version(forward);
  if (id > cache.max_id) cache.max_id = id;
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
  if (!value_id || PyObject_SetItem(c->inverse_dict, value_id.get(), token) < 0) {
    return *line = 69, false;
  }
  c->next_id = new_id + 1;
  *id = new_id;
  return true;
}

}  // namespace qbc
