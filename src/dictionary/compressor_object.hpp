// The compressor object's layout: the four fields the host sees, plus native
// caches that never change what the host observes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qbc {

// What is known about one of the maps, valid while the map is the same dict
// object with the same version tag (tags are unique across all dicts).
struct MapFacts {
  PyObject* dict = nullptr;  // identity only, never dereferenced when stale
  uint64_t version = 0;
  int64_t max_id = -1;       // the largest storable int value; -1: none
  bool plain_keys = false;   // hashing and comparing every key runs no host code
};

struct CompressorObject {
  PyObject_HEAD
  PyObject* dict_path;
  PyObject* global_dict;
  PyObject* inverse_dict;
  int32_t next_id;
  MapFacts forward_facts;  // about global_dict
  MapFacts inverse_facts;  // about inverse_dict
};

inline CompressorObject* as_compressor(PyObject* obj) {
  return reinterpret_cast<CompressorObject*>(obj);
}

}  // namespace qbc
