// Pickling of compressor objects: the reduce step, the state step and the
// module function that rebuilds an object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qbc {

// Layout checksum written by the reduce step, and the values accepted back.
inline constexpr int64_t kLayoutChecksum = 0x3e12e10;
inline constexpr int64_t kAcceptedChecksums[] = {0x3e12e10, 0x7d3093e, 0x18c54b4};

PyObject* reduce_object(PyObject* self);
// `state` already bound; returns None.
PyObject* setstate_object(PyObject* self, PyObject* state);
PyObject* unpickle_object(PyObject* type, int64_t checksum, PyObject* state);

// Moves the pickling entry points to `__reduce__` and `__setstate__` once the
// type is ready.
bool setup_pickling(PyTypeObject* type);

}  // namespace qbc
