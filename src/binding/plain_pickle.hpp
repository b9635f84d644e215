// Objects pickled as the host's pickle.dump(obj, file) pickles them, byte
// for byte, without the host's pickler, for the plain objects the module
// stores: its package and its dictionary file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qbc {

// Writes `obj` into `file` with the bytes `dump(obj, file)` would write,
// where that is certain: `dump` is the host's own C function of its
// `_pickle` module, `file` the host's own buffered writer, and every object
// in `obj` one the host pickles in a fixed way (exact dicts, lists, strs
// and bytes, and exact ints that fit in 32 bits, nested a few levels at
// most). The whole pickle is made before the first write, so no other
// thread runs while the objects are walked. Returns 1 when written, 0 when
// not (nothing was written: the caller then calls `dump`) and -1 with the
// error of the file's write() set.
int dump_plain(PyObject* dump, PyObject* obj, PyObject* file);

}  // namespace qbc
