// The compressor object's layout: the four fields the host sees, plus native
// caches that never change what the host observes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qbc {

// What is known about the largest id in the forward map, valid while the map
// is the same dict object with the same version tag.
struct MaxIdCache {
  PyObject* dict = nullptr;  // identity only, never dereferenced when stale
  uint64_t version = 0;
  int64_t max_id = -1;       // -1: no storable id present
};

struct CompressorObject {
  PyObject_HEAD
  PyObject* dict_path;
  PyObject* global_dict;
  PyObject* inverse_dict;
  int32_t next_id;
  MaxIdCache max_id_cache;
};

inline CompressorObject* as_compressor(PyObject* obj) {
  return reinterpret_cast<CompressorObject*>(obj);
}

}  // namespace qbc
