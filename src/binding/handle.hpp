// Owning handle for host object references.
//
// Every reference the module holds on the host's objects goes through `Ref`,
// so that each early return on an error path releases what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qbc {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}

  // Takes over a new reference (or null, which propagates an error).
  static Ref steal(PyObject* obj) noexcept {
    Ref r;
    r.obj_ = obj;
    return r;
  }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return steal(obj);
  }

  Ref(const Ref& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Ref& operator=(Ref other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  // A new reference for the caller while this handle keeps its own.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(obj_);
    return obj_;
  }
  void reset() noexcept { Py_CLEAR(obj_); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Replaces the reference held in a struct slot, releasing the old one last so
// that a finaliser running on release already sees the new value.
inline void replace_slot(PyObject** slot, PyObject* value) noexcept {
  PyObject* old = *slot;
  Py_INCREF(value);
  *slot = value;
  Py_XDECREF(old);
}

}  // namespace qbc
