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

// `next_id` += 1 after a new token's two stores, read then: host code the
// stores ran may have set it. It stays at 2147483647, where ids have run
// out, rather than wrap.
void advance_next_id(CompressorObject* c);

// Raises `next_id` to one past the largest storable id held as a value in
// `global_dict` when it is not already above it (never lowers it). Applies
// to dicts and dict subclasses; other mappings are left to the host.
void raise_next_id_past_dict(CompressorObject* c);

// The id that a stored value gives without running host code, when a
// package can hold it (0 to 2147483647): an int's value, or an exact
// float's truncated toward zero, as converting it gives; -1 for any other
// value.
int64_t storable_id_value(PyObject* value);

// Records that the module just stored a str key with the int value `id` in
// the forward map (version tag `version_before` before the store), or an
// int key in the reverse map, so that what is known stays valid without a
// rescan.
void note_stored_id(CompressorObject* c, uint64_t version_before, int32_t id);
void note_inverse_store(CompressorObject* c, uint64_t version_before);

// True when both maps are plain dicts whose keys all hash and compare
// without running host code (str, int, float, bytes, None), so that the
// module's own lookups and insertions cannot run host code either.
bool maps_are_plain(CompressorObject* c);

// Primes what is known about the maps after they have been examined whole
// elsewhere (the reverse map's keys are the forward map's values).
void set_max_id(CompressorObject* c, int64_t max_id, bool plain_keys);
void set_inverse_plain(CompressorObject* c, bool plain_keys);

// Keys of these types hash and compare without running host code.
bool is_plain_key(PyObject* key);

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
