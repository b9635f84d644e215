// Calls into the host's facilities as the methods make them: the start-up
// `open`, scoped file blocks with the host's with-statement semantics, and
// the module-level `os` functions looked up at each use.
#pragma once

#include <cxxabi.h>

#include <latch>
#include <optional>
#include <thread>

#include "binding/handle.hpp"
#include "binding/plain_pickle.hpp"
#include "binding/plain_unpickle.hpp"
#include "binding/traceback.hpp"
#include "dictionary/token_index.hpp"

namespace qbc {

// Calls `callable(*args)` with a fixed argument list.
template <class... A>
Ref call(PyObject* callable, A... args) {
  PyObject* argv[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                        sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Throws std::system_error, as a failed thread start does, when the process
// runs under a limit on its address space that leaves too little room for
// a new thread: its stack, and the heap the C library sets up for a
// thread's first allocation. The thread's first step below needs that
// allocation, and the system's loader ends the process when it fails. No
// limit, or one that cannot be read, never stops a thread.
void check_room_for_thread();

// Starts a thread of the module's own. Its first step makes the C++
// runtime's per-thread exception state, which is otherwise made when the
// thread throws its first exception: that is when memory has run out, and
// the system's loader ends the whole process when it cannot allocate that
// state. The caller waits for that step, so that it cannot use up the
// memory meanwhile; a later std::bad_alloc is then thrown and caught as on
// any other thread. Throws std::system_error when no thread can be
// started.
template <class F>
std::thread start_thread(F&& f) {
  check_room_for_thread();
  std::latch ready(1);
  std::thread thread([&ready, f = std::forward<F>(f)]() mutable {
    abi::__cxa_eh_globals* volatile state = abi::__cxa_get_globals();
    (void)state;
    ready.count_down();  // the last use of the caller's latch
    f();
  });
  ready.wait();
  return thread;
}

// Waits for a thread with the interpreter lock released, so that other
// threads, the one waited for among them, may take it meanwhile.
inline void join_releasing_lock(std::thread& thread) {
  if (!thread.joinable()) return;
  Py_BEGIN_ALLOW_THREADS
  thread.join();
  Py_END_ALLOW_THREADS
}

// Whether `fn` is the built-in function `name` of the C module defined
// under the name `module`: nothing written in Python can pose as one, nor
// rename the module it was defined in.
bool is_builtin_function(PyObject* fn, const char* name, const char* module);

// Whether the `open` fetched at start-up is the host's own: the built-in
// function `open` of the interpreter's `_io` module (defined under the name
// "io"), which makes its files of the host's own raw, buffered and text
// layers. It never changes.
bool opens_host_files();
// Whether `obj` is of the static (interpreter-made) type called `name`,
// which no code written in Python can make or change.
bool is_static_type_named(PyObject* obj, const char* name);

inline Ref call0(PyObject* callable) {
  return Ref::steal(PyObject_CallNoArgs(callable));
}
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return Ref::steal(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) |
                                                            PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              nullptr));
}
inline Ref getattr(PyObject* obj, PyObject* name) {
  return Ref::steal(PyObject_GetAttr(obj, name));
}

// `os.path.<fn>(args...)` with `os` looked up in the module namespace.
template <class... A>
Ref os_path_call(PyObject* fn_name, A... args);

// Opens through the `open` fetched at start-up; `kwnames`/`kwvalues` may be
// empty.
Ref open_file(PyObject* path, PyObject* mode);
Ref open_text(PyObject* path, PyObject* mode, PyObject* newline);

// A scoped file block: `__enter__` on entry, `__exit__` on every way out.
//
// run() calls `body(file)`; a body reports failure by returning false after
// adding its own traceback entry. A failure inside the block adds a second
// entry for the line that opened it; so does a failure of `__exit__`.
// Returns true when the block completed (or `__exit__` suppressed the error).
class FileBlock {
 public:
  FileBlock(const Where& where, int line) : where_(where), line_(line) {}

  // Enters the block on a context manager (normally an opened file).
  bool enter(Ref manager);
  PyObject* file() const { return file_.get(); }

  // Leaves the block after the body; `ok` says whether the body succeeded.
  bool leave(bool ok);

  template <class Body>
  bool run(Ref manager, Body&& body) {
    if (!enter(std::move(manager))) return false;
    return leave(body(file_.get()));
  }

 private:
  const Where& where_;
  int line_;
  Ref manager_;
  Ref exit_;
  Ref file_;
};

// Implementation of os_path_call.
Ref os_path_attr(PyObject* fn_name);
template <class... A>
Ref os_path_call(PyObject* fn_name, A... args) {
  Ref fn = os_path_attr(fn_name);
  if (!fn) return nullptr;
  return call(fn.get(), args...);
}

}  // namespace qbc

namespace qbc {

// `pickle.load(file)` with `pickle` looked up in the module namespace; while
// it is the host's own module with its own `load`, the safe loader reads the
// stream instead.
// `bytes_made`, `context` and `small_pages`: as for safe_pickle_load(),
// when the safe loader reads the stream.
Ref pickle_load(PyObject* file, BytesMade bytes_made = nullptr, void* context = nullptr,
                std::optional<SmallPagesOnly>* small_pages = nullptr);

// `pickle.dump(obj, file)` with `pickle` looked up in the module namespace.
// `premade`: a pickle of `obj` made ahead, written while it still holds.
Ref pickle_dump(PyObject* obj, PyObject* file, PremadePackage* premade = nullptr);

}  // namespace qbc
