// Id assignment: the one way the module itself adds a token to the token
// dictionary, and the guard that keeps new ids clear of ids already present.
#pragma once

#include <cstdint>

#include "dictionary/compressor_object.hpp"

namespace qbc {

// Gives `token` its id through the host's mapping protocols on the maps held
// at this moment: a known token's stored id, or, for a new token, `next_id`
// stored into both maps before `next_id` advances. On failure returns false
// with the error set and `*line` set to the failing statement's line.
bool assign_id(CompressorObject* c, PyObject* token, int32_t* id, int* line);

// Raises `next_id` to one past the largest storable id held as a value in
// `global_dict` when it is not already above it (never lowers it). Applies
// to dicts and dict subclasses; other mappings are left to the host.
void raise_next_id_past_dict(CompressorObject* c);

// Records that `id` was just stored as a value in the forward map, whose
// version tag was `version_before` before the store, so that the cached
// largest id stays valid without a rescan.
void note_stored_id(CompressorObject* c, uint64_t version_before, int32_t id);

// Primes the cache after the whole map has been examined.
void set_max_id(CompressorObject* c, int64_t max_id);

// Version tag of a dict (changes on every modification).
inline uint64_t dict_version(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Raises the right error for an id that cannot be written to a package;
// returns false when `id` is not storable.
bool check_storable(int64_t id);

// Fails with OverflowError when no id is left to hand out.
bool check_id_available(const CompressorObject* c);

}  // namespace qbc
