// Objects pickled as the host's pickle.dump(obj, file) pickles them, byte
// for byte, without the host's pickler, for the plain objects the module
// stores: its package and its dictionary file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace qbc {

// The pickle of a package dict made before its first value, the
// compressed bytes, exists: made while they are being compressed, and
// written by dump_plain() for the package once it is made, as long as
// nothing in it has changed meanwhile.
class PremadePackage {
 public:
  static constexpr int kItems = 4;

  PremadePackage();
  ~PremadePackage();
  PremadePackage(const PremadePackage&) = delete;
  PremadePackage& operator=(const PremadePackage&) = delete;

  // Pickles the dict {keys[i]: values[i]} but for values[0], which is
  // left for bytes of 64 KiB or more. Runs no host code and sets no error;
  // does nothing when the objects are not plain, when any value but an
  // exact dict of ints holds a container, or when memory runs out.
  void make(PyObject* const keys[kItems], PyObject* const values[kItems]);
  bool made() const { return made_ != nullptr; }

  struct Made;

 private:
  friend int dump_plain(PyObject* dump, PyObject* obj, PyObject* file,
                        PremadePackage* premade);
  std::unique_ptr<Made> made_;
};

// Writes `obj` into `file` with the bytes `dump(obj, file)` would write,
// where that is certain: `dump` is the host's own C function of its
// `_pickle` module, `file` the host's own buffered writer, and every object
// in `obj` one the host pickles in a fixed way (exact dicts, lists, strs
// and bytes, and exact ints that fit in 32 bits, nested a few levels at
// most). The whole pickle is made before the first write, so no other
// thread runs while the objects are walked. Returns 1 when written, 0 when
// not (nothing was written: the caller then calls `dump`) and -1 with the
// error of the file's write() set.
//
// `premade`, when it was made for `obj` with the same keys and the same
// later values, none of them changed since, gives the bytes instead.
int dump_plain(PyObject* dump, PyObject* obj, PyObject* file, PremadePackage* premade = nullptr);

}  // namespace qbc
