#include "binding/host.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "binding/convert.hpp"
#include "binding/module.hpp"
#include "binding/plain_pickle.hpp"

namespace qbc {
namespace {

// Looks a special method up on the object's type and binds it, as the host's
// with-statement does.
Ref lookup_special(PyObject* obj, PyObject* name) {
  PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);
  if (attr == nullptr) {
    PyErr_SetObject(PyExc_AttributeError, name);
    return nullptr;
  }
  descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
  if (get == nullptr) return Ref::borrow(attr);
  return Ref::steal(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

}  // namespace

Ref os_path_attr(PyObject* fn_name) {
  Ref os = module_global(names().os);
  if (!os) return nullptr;
  Ref path = getattr(os.get(), names().path);
  if (!path) return nullptr;
  return getattr(path.get(), fn_name);
}

Ref open_file(PyObject* path, PyObject* mode) { return call(builtins().open, path, mode); }

bool is_builtin_function(PyObject* fn, const char* name, const char* module) {
  if (fn == nullptr || !PyCFunction_Check(fn)) return false;
  const auto* f = reinterpret_cast<PyCFunctionObject*>(fn);
  if (f->m_ml == nullptr || std::strcmp(f->m_ml->ml_name, name) != 0) return false;
  PyObject* owner = f->m_self;
  if (owner == nullptr || !PyModule_CheckExact(owner)) return false;
  const PyModuleDef* def = PyModule_GetDef(owner);
  return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, module) == 0;
}

void check_room_for_thread() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  // The address space in use: the first field of /proc/self/statm, in
  // pages, read without the C library's buffered streams.
  const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char text[64];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return;
  text[got] = '\0';
  const uint64_t used =
      std::strtoull(text, nullptr, 10) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  // The stack a thread gets by default, and the C library's reservation
  // for a new heap, which it first asks for twice over to align it.
  size_t stack = size_t{8} << 20;
  pthread_attr_t attr;
  if (pthread_getattr_default_np(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_destroy(&attr);
  }
  constexpr uint64_t kHeapReserve = uint64_t{128} << 20;
  constexpr uint64_t kSlack = uint64_t{4} << 20;
  if (used + stack + kHeapReserve + kSlack > static_cast<uint64_t>(limit.rlim_cur)) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
}

bool opens_host_files() {
  static int known = -1;
  if (known < 0) known = is_builtin_function(builtins().open, "open", "io") ? 1 : 0;
  return known == 1;
}

bool is_static_type_named(PyObject* obj, const char* name) {
  const PyTypeObject* type = Py_TYPE(obj);
  return (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 && std::strcmp(type->tp_name, name) == 0;
}

Ref open_text(PyObject* path, PyObject* mode, PyObject* newline) {
  const Names& n = names();
  if (newline == nullptr) {
    PyObject* argv[] = {nullptr, path, mode, n.utf8};
    Ref kw = Ref::steal(PyTuple_Pack(1, n.encoding));
    if (!kw) return nullptr;
    return Ref::steal(PyObject_Vectorcall(builtins().open, argv + 1,
                                          2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
  }
  PyObject* argv[] = {nullptr, path, mode, n.utf8, newline};
  Ref kw = Ref::steal(PyTuple_Pack(2, n.encoding, n.newline));
  if (!kw) return nullptr;
  return Ref::steal(PyObject_Vectorcall(builtins().open, argv + 1,
                                        2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
}

bool FileBlock::enter(Ref manager) {
  if (!manager) return fail_int(where_, line_), false;
  manager_ = std::move(manager);
  exit_ = lookup_special(manager_.get(), names().dunder_exit);
  if (!exit_) return fail_int(where_, line_), false;
  Ref enter_fn = lookup_special(manager_.get(), names().dunder_enter);
  if (!enter_fn) return fail_int(where_, line_), false;
  file_ = call0(enter_fn.get());
  if (!file_) return fail_int(where_, line_), false;
  return true;
}

bool FileBlock::leave(bool ok) {
  if (ok) {
    Ref result = Ref::steal(PyObject_Call(exit_.get(), names().none3, nullptr));
    if (!result) return fail_int(where_, line_), false;
    return true;
  }
  // The failure is handled while `__exit__` runs, so that an error raised by
  // `__exit__` carries it as its context.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  PyObject* previous = PyErr_GetHandledException();
  PyErr_SetHandledException(value);
  Ref result = call(exit_.get(), type, value, tb ? tb : Py_None);
  int suppress = result ? to_truth(result.get()) : -1;
  PyErr_SetHandledException(previous);
  Py_XDECREF(previous);
  if (suppress < 0) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return fail_int(where_, line_), false;
  }
  if (suppress) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return true;
  }
  PyErr_Restore(type, value, tb);
  return fail_int(where_, line_), false;
}

}  // namespace qbc

#include "binding/safe_pickle.hpp"

namespace qbc {

Ref pickle_load(PyObject* file, BytesMade bytes_made, void* context,
                std::optional<SmallPagesOnly>* small_pages) {
  Ref pickle = module_global(names().pickle);
  if (!pickle) return nullptr;
  Ref load = getattr(pickle.get(), names().load);
  if (!load) return nullptr;
  const Originals& o = originals();
  if (pickle.get() == o.pickle_module && load.get() == o.pickle_load) {
    return safe_pickle_load(file, bytes_made, context, small_pages);
  }
  return call(load.get(), file);
}

Ref pickle_dump(PyObject* obj, PyObject* file, PremadePackage* premade) {
  Ref pickle = module_global(names().pickle);
  if (!pickle) return nullptr;
  Ref dump = getattr(pickle.get(), names().dump);
  if (!dump) return nullptr;
  // The host's own dump of plain objects into the host's own file: the same
  // bytes, made natively.
  const int native = dump_plain(dump.get(), obj, file, premade);
  if (native < 0) return nullptr;
  if (native > 0) return Ref::borrow(Py_None);
  return call(dump.get(), obj, file);
}

}  // namespace qbc
