// The safe loader.
//
// A stream of plain data only (the module's own packages and dictionary
// files) is made into objects natively, as the host's unpickler makes them;
// every other stream goes to the host's unpickler as follows.
//
// The stream is read from the file in growing chunks and its opcodes are
// scanned as they arrive, up to STOP or the first byte the unpickler would
// reject. The bytes read are then handed, in one buffer, to a subclass of the
// host's own C unpickler whose `find_class` refuses every global except the
// two that protocols 0 to 2 write for bytes, so the objects and the error
// messages are the host's own.
//
// Two things keep what the unpickler executes equal to what the scanner saw:
//  - The unpickler gets a source whose `peek` hands it the whole buffer at
//    once, so it reads the stream linearly. (Fed by plain `read` calls it
//    keeps each frame in a buffer of its own and silently drops the rest of
//    a frame when an opcode runs over its end, which lets a crafted stream
//    execute opcodes that a linear scan takes for argument bytes.)
//  - Extension codes never reach it: the unpickler serves a cached code
//    without asking `find_class`. The stream is cut just before the code and
//    the unpickler runs up to there, so that an earlier error in the stream
//    is still reported as the host would report it.
#include "binding/safe_pickle.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>

#include "binding/host.hpp"
#include "binding/module.hpp"
#include "binding/pickle_scan.hpp"
#include "binding/plain_unpickle.hpp"
#include "dictionary/token_index.hpp"

namespace qbc {
namespace {

constexpr std::size_t kFirstChunk = std::size_t{64} << 10;
constexpr std::size_t kMaxChunk = std::size_t{4} << 20;
// Streams from this size on make their dicts' tables and their strs and
// ints in huge pages, where the few fresh huge pages they take still pay
// (the Chinese text's decode, 1.7 MB of package: 0.0209 against
// 0.0226 s). A stream of more than
// kSmallPagesFromStream takes small pages for everything: the tens of fresh
// huge pages its objects would take cost more to fault in than they save
// (the decode of GCIDE, 23 MB of package, with its strs and ints in them:
// 0.36 against 0.56 s; with only its tables in them, 0.485 against 0.415 s
// for all in small pages).
constexpr std::size_t kHugeFrom = std::size_t{1} << 20;

// ---------------------------------------------------------------------------
// The stream as read: one bytes object, filled in place and owned only here
// until finish() hands it out, so that it may be resized.

class Accumulator {
 public:
  const unsigned char* data() const {
    return bytes_ ? reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes_.get()))
                  : nullptr;
  }
  std::size_t size() const { return size_; }

  // Where `len` more bytes go after the data, with room made for them (at
  // least `first` bytes in all when nothing is held yet); null with an
  // error set when memory ran out. commit() then counts those written.
  unsigned char* room(std::size_t len, std::size_t first = kFirstChunk) {
    if (len > kMaxSize - size_) {
      PyErr_NoMemory();
      return nullptr;
    }
    const std::size_t need = size_ + len;
    if (!bytes_) {
      const std::size_t initial = std::max(need, first);
      HostBlocksInSmallPages small_pages;
      bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(initial)));
      if (!bytes_) return nullptr;
    } else if (need > capacity()) {
      std::size_t grown = capacity() <= kMaxSize / 2 ? capacity() * 2 : kMaxSize;
      if (!resize(std::max(need, grown))) return nullptr;
    }
    return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes_.get())) + size_;
  }
  void commit(std::size_t len) { size_ += len; }

  bool append(const void* src, std::size_t len) {
    if (len == 0) return true;
    unsigned char* to = room(len);
    if (to == nullptr) return false;
    std::memcpy(to, src, len);
    commit(len);
    return true;
  }

  // The first `length` bytes as an exact-size bytes object.
  Ref finish(std::size_t length) {
    if (!bytes_ || length == 0) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (length != capacity() && !resize(length)) return nullptr;
    size_ = 0;
    return std::move(bytes_);
  }

 private:
  static constexpr std::size_t kMaxSize = PY_SSIZE_T_MAX;

  std::size_t capacity() const { return static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_.get())); }

  bool resize(std::size_t n) {
    PyObject* raw = bytes_.release();
    // The bytes are written through from the start and read in order.
    HostBlocksInSmallPages small_pages;
    // Frees the object and sets `raw` to null on failure.
    int rc = _PyBytes_Resize(&raw, static_cast<Py_ssize_t>(n));
    bytes_ = Ref::steal(raw);
    return rc == 0;
  }

  Ref bytes_;
  std::size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// The source the unpickler reads: a bytes object with a read position. It
// records whether the unpickler asked for more than is there ("starved"),
// which tells an unpickler that ran off the end of a cut stream from one that
// failed on its own before.

struct Source {
  PyObject_HEAD
  PyObject* data;  // bytes
  Py_ssize_t pos;
  bool starved;
};

Source* as_source(PyObject* self) { return reinterpret_cast<Source*>(self); }
const char* source_bytes(Source* s) { return PyBytes_AS_STRING(s->data); }
Py_ssize_t source_left(Source* s) { return PyBytes_GET_SIZE(s->data) - s->pos; }

// The bytes [pos, pos + n), the data object itself when that is all of it.
PyObject* source_take(Source* s, Py_ssize_t n) {
  PyObject* out;
  if (s->pos == 0 && n == PyBytes_GET_SIZE(s->data)) {
    out = Py_NewRef(s->data);
  } else {
    out = PyBytes_FromStringAndSize(source_bytes(s) + s->pos, n);
    if (out == nullptr) return nullptr;
  }
  s->pos += n;
  return out;
}

bool size_arg(PyObject* const* args, Py_ssize_t nargs, const char* fn, Py_ssize_t* out) {
  *out = -1;
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s expected at most 1 argument, got %zd", fn, nargs);
    return false;
  }
  if (nargs == 1 && args[0] != Py_None) {
    *out = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
    if (*out == -1 && PyErr_Occurred()) return false;
  }
  return true;
}

// peek([n]): everything from the position on, without consuming it. The
// unpickler adopts whatever it is given as its buffer.
PyObject* source_peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  Source* s = as_source(self);
  Py_ssize_t ignored;
  if (!size_arg(args, nargs, "peek", &ignored)) return nullptr;
  Py_ssize_t left = source_left(s);
  if (left == 0) s->starved = true;
  if (s->pos == 0) return Py_NewRef(s->data);
  return PyBytes_FromStringAndSize(source_bytes(s) + s->pos, left);
}

PyObject* source_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  Source* s = as_source(self);
  Py_ssize_t n;
  if (!size_arg(args, nargs, "read", &n)) return nullptr;
  Py_ssize_t left = source_left(s);
  if (n > left) s->starved = true;
  return source_take(s, n < 0 || n > left ? left : n);
}

PyObject* source_readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  Source* s = as_source(self);
  Py_ssize_t limit;
  if (!size_arg(args, nargs, "readline", &limit)) return nullptr;
  Py_ssize_t left = source_left(s);
  if (limit >= 0 && limit < left) left = limit;
  const char* start = source_bytes(s) + s->pos;
  const void* nl = std::memchr(start, '\n', static_cast<std::size_t>(left));
  if (nl == nullptr && left == source_left(s)) s->starved = true;
  Py_ssize_t n = nl ? static_cast<const char*>(nl) - start + 1 : left;
  return source_take(s, n);
}

PyObject* source_readinto(PyObject* self, PyObject* target) {
  Source* s = as_source(self);
  Py_buffer view;
  if (PyObject_GetBuffer(target, &view, PyBUF_WRITABLE) < 0) return nullptr;
  Py_ssize_t left = source_left(s);
  if (view.len > left) s->starved = true;
  Py_ssize_t n = std::min(view.len, left);
  std::memcpy(view.buf, source_bytes(s) + s->pos, static_cast<std::size_t>(n));
  s->pos += n;
  PyBuffer_Release(&view);
  return PyLong_FromSsize_t(n);
}

void source_dealloc(PyObject* self) {
  Py_XDECREF(as_source(self)->data);
  PyObject_Free(self);
}

PyMethodDef kSourceMethods[] = {
    {"peek", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(source_peek)),
     METH_FASTCALL, nullptr},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(source_read)),
     METH_FASTCALL, nullptr},
    {"readline", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(source_readline)),
     METH_FASTCALL, nullptr},
    {"readinto", source_readinto, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject SourceType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "qbc_compressor._PickleSource",  // tp_name
};

bool source_type_ready() {
  PyTypeObject& t = SourceType;
  if (t.tp_flags & Py_TPFLAGS_READY) return true;
  t.tp_basicsize = sizeof(Source);
  t.tp_dealloc = source_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_methods = kSourceMethods;
  return PyType_Ready(&t) == 0;
}

Ref source_new(Ref data) {
  Source* s = PyObject_New(Source, &SourceType);
  if (s == nullptr) return nullptr;
  s->data = data.release();
  s->pos = 0;
  s->starved = false;
  return Ref::steal(reinterpret_cast<PyObject*>(s));
}

// ---------------------------------------------------------------------------
// The restricted unpickler and the stand-ins it hands out.

struct Machinery {
  PyObject* unpickler;  // the subclass of the host's Unpickler
  PyObject* error;      // the host's pickle.UnpicklingError
  PyObject* encode;     // stand-in for _codecs.encode
  PyObject* bytes_old;  // stand-in for __builtin__.bytes
  PyObject* bytes_new;  // stand-in for builtins.bytes
};
Machinery g_machinery{};

// Counts the stand-ins handed out, so a load can tell whether its result
// needs to be searched for one that escaped.
std::uint64_t g_standins_handed = 0;

bool is_standin(PyObject* obj) {
  const Machinery& m = g_machinery;
  return obj == m.encode || obj == m.bytes_old || obj == m.bytes_new;
}

std::nullptr_t refuse_global(PyObject* module, PyObject* name) {
  if (PyUnicode_Check(module) && PyUnicode_Check(name)) {
    PyErr_Format(g_machinery.error, "global '%U.%U' is forbidden", module, name);
  } else {
    PyErr_SetString(g_machinery.error, "global of a non-text name is forbidden");
  }
  return nullptr;
}

// A stand-in used any other way than the one form it stands for.
std::nullptr_t refuse_standin(PyObject* qualname, bool is_encode) {
  if (is_encode) {
    PyErr_Format(g_machinery.error, "global '%U' is forbidden except as %U(<str>, 'latin1')",
                 qualname, qualname);
  } else {
    PyErr_Format(g_machinery.error, "global '%U' is forbidden except as %U()", qualname,
                 qualname);
  }
  return nullptr;
}

// The same for a stand-in object (its `self` is its qualified name).
std::nullptr_t refuse_standin(PyObject* standin) {
  return refuse_standin(PyCFunction_GET_SELF(standin), standin == g_machinery.encode);
}

bool no_keywords(PyObject* kwargs) { return kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0; }

// bytes(): the empty bytes, as protocols 0 to 2 write them.
PyObject* bytes_standin(PyObject* qualname, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || !no_keywords(kwargs)) return refuse_standin(qualname, false);
  return PyBytes_FromStringAndSize(nullptr, 0);
}

// _codecs.encode(text, 'latin1'): non-empty bytes, as protocols 0 to 2 write
// them (each byte as the code point of the same value).
PyObject* encode_standin(PyObject* qualname, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 2 || !no_keywords(kwargs)) return refuse_standin(qualname, true);
  PyObject* text = PyTuple_GET_ITEM(args, 0);
  PyObject* encoding = PyTuple_GET_ITEM(args, 1);
  if (!PyUnicode_CheckExact(text) || !PyUnicode_CheckExact(encoding) ||
      PyUnicode_CompareWithASCIIString(encoding, "latin1") != 0) {
    return refuse_standin(qualname, true);
  }
  return PyUnicode_AsLatin1String(text);
}

bool text_is(PyObject* obj, const char* text) {
  return PyUnicode_CheckExact(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// find_class(module, name), as the unpickler calls it for GLOBAL,
// STACK_GLOBAL, INST and extension codes.
PyObject* restricted_find_class(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "find_class expected 2 arguments, got %zd", nargs);
    return nullptr;
  }
  PyObject* module = args[0];
  PyObject* name = args[1];
  const Machinery& m = g_machinery;
  PyObject* standin = nullptr;
  if (text_is(module, "_codecs") && text_is(name, "encode")) {
    standin = m.encode;
  } else if (text_is(name, "bytes")) {
    if (text_is(module, "__builtin__")) standin = m.bytes_old;
    if (text_is(module, "builtins")) standin = m.bytes_new;
  }
  if (standin == nullptr) return refuse_global(module, name);
  ++g_standins_handed;
  return Py_NewRef(standin);
}

PyMethodDef kFindClassDef = {
    "find_class",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restricted_find_class)),
    METH_FASTCALL, nullptr};
PyMethodDef kBytesDef = {
    "bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bytes_standin)),
    METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef kEncodeDef = {
    "encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_standin)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

Ref standin_new(PyMethodDef* def, const char* qualname) {
  Ref self = Ref::steal(PyUnicode_FromString(qualname));
  if (!self) return nullptr;
  return Ref::steal(PyCFunction_NewEx(def, self.get(), nullptr));
}

// Builds the unpickler subclass and the stand-ins on first use; they live as
// long as the process.
const Machinery* machinery() {
  if (g_machinery.unpickler != nullptr) return &g_machinery;
  if (!source_type_ready()) return nullptr;
  PyObject* pickle = originals().pickle_module;
  Ref error = Ref::steal(PyObject_GetAttrString(pickle, "UnpicklingError"));
  if (!error) return nullptr;
  Ref base = Ref::steal(PyObject_GetAttrString(pickle, "Unpickler"));
  if (!base) return nullptr;
  Ref encode = standin_new(&kEncodeDef, "_codecs.encode");
  Ref bytes_old = standin_new(&kBytesDef, "__builtin__.bytes");
  Ref bytes_new = standin_new(&kBytesDef, "builtins.bytes");
  Ref find_class = Ref::steal(PyCFunction_NewEx(&kFindClassDef, nullptr, nullptr));
  if (!encode || !bytes_old || !bytes_new || !find_class) return nullptr;

  Ref name = Ref::steal(PyUnicode_FromString("SafeUnpickler"));
  Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
  Ref slots = Ref::steal(PyTuple_New(0));
  Ref module_name = Ref::steal(PyUnicode_FromString("qbc_compressor"));
  Ref ns = Ref::steal(PyDict_New());
  if (!name || !bases || !slots || !module_name || !ns ||
      PyDict_SetItemString(ns.get(), "find_class", find_class.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0) {
    return nullptr;
  }
  Ref type = call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get());
  if (!type) return nullptr;

  // Host code run above (a collection, say) may have let another thread
  // finish first; its objects stay in use.
  if (g_machinery.unpickler != nullptr) return &g_machinery;
  g_machinery.error = error.release();
  g_machinery.encode = encode.release();
  g_machinery.bytes_old = bytes_old.release();
  g_machinery.bytes_new = bytes_new.release();
  g_machinery.unpickler = type.release();
  return &g_machinery;
}

// Searches the containers reachable from `root` for a stand-in that the
// stream left in the data instead of calling it. Runs no host code.
PyObject* escaped_standin(PyObject* root) {
  std::vector<PyObject*> todo{root};
  std::unordered_set<PyObject*> seen;
  while (!todo.empty()) {
    PyObject* obj = todo.back();
    todo.pop_back();
    if (is_standin(obj)) return obj;
    const bool container = PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj) ||
                           PyAnySet_Check(obj);
    if (!container || !seen.insert(obj).second) continue;
    if (PyDict_Check(obj)) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(obj, &pos, &key, &value)) {
        todo.push_back(key);
        todo.push_back(value);
      }
    } else if (PyList_Check(obj)) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) todo.push_back(PyList_GET_ITEM(obj, i));
    } else if (PyTuple_Check(obj)) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
        todo.push_back(PyTuple_GET_ITEM(obj, i));
      }
    } else {
      Py_ssize_t pos = 0;
      PyObject* key;
      Py_hash_t hash;
      while (_PySet_NextEntry(obj, &pos, &key, &hash)) todo.push_back(key);
    }
  }
  return nullptr;
}

// The refusal of an extension code, naming the global registered for it.
// Only plain dictionary lookups on the copyreg module already loaded.
std::nullptr_t refuse_extension(std::int64_t code) {
  PyObject* error = g_machinery.error;
  Ref key = Ref::steal(PyLong_FromLongLong(code));
  if (!key) return nullptr;
  Ref copyreg_name = Ref::steal(PyUnicode_FromString("copyreg"));
  if (!copyreg_name) return nullptr;
  Ref copyreg = Ref::steal(PyImport_GetModule(copyreg_name.get()));
  PyObject* entry = nullptr;
  if (copyreg && PyModule_Check(copyreg.get())) {
    PyObject* registry =
        PyDict_GetItemString(PyModule_GetDict(copyreg.get()), "_inverted_registry");
    if (registry != nullptr && PyDict_CheckExact(registry)) {
      entry = PyDict_GetItemWithError(registry, key.get());
    }
  }
  PyErr_Clear();
  if (entry != nullptr && PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) == 2 &&
      PyUnicode_Check(PyTuple_GET_ITEM(entry, 0)) && PyUnicode_Check(PyTuple_GET_ITEM(entry, 1))) {
    PyErr_Format(error, "global '%U.%U' (extension code %lld) is forbidden",
                 PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1),
                 static_cast<long long>(code));
  } else {
    PyErr_Format(error, "extension code %lld is forbidden", static_cast<long long>(code));
  }
  return nullptr;
}

// Reads the file for the scanner. A file of the host's own buffered binary
// type is read straight into the accumulated stream (`readinto`, which for
// such a file does what `read` does, without a bytes object per chunk),
// with room for the whole of a regular file from the start; any other file
// object through its `read`.
class FileReader {
 public:
  bool open(PyObject* file) {
    if (!is_buffered_reader(file)) {
      read_ = getattr(file, names().read);
      return static_cast<bool>(read_);
    }
    readinto_ = getattr(file, names().readinto);
    if (!readinto_) return false;
    const int fd = PyObject_AsFileDescriptor(file);
    struct stat st;
    if (fd < 0) {
      PyErr_Clear();
    } else if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      // One byte more, so that reaching the end needs no growth.
      expected_ = static_cast<std::size_t>(st.st_size) + 1;
    }
    return true;
  }

  // Appends up to `chunk` bytes (or what is left of a regular file) to
  // `stream`. Returns 1 when it read some, 0 at the end of the file, or -1
  // with an error set.
  int read_into(Accumulator& stream, std::size_t chunk) {
    if (!readinto_) return read_piece(stream, chunk);
    if (expected_ > stream.size()) chunk = std::max(chunk, expected_ - stream.size());
    unsigned char* to = stream.room(chunk, std::max(kFirstChunk, expected_));
    if (to == nullptr) return -1;
    Ref view = Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(to),
                                                  static_cast<Py_ssize_t>(chunk), PyBUF_WRITE));
    if (!view) return -1;
    Ref got = call(readinto_.get(), view.get());
    // The view points into the stream's buffer, which may move later: no
    // one may use it after this call, which failed or not. A failure of the
    // read is the one raised.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref released = call_method(view.get(), names().release);
    if (type != nullptr) {
      // Replaces an error of the release, if any.
      PyErr_Restore(type, value, tb);
      return -1;
    }
    if (!got || !released) return -1;
    const Py_ssize_t n = PyLong_AsSsize_t(got.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0 || static_cast<std::size_t>(n) > chunk) {
      PyErr_SetString(PyExc_OSError, "readinto returned an impossible count");
      return -1;
    }
    stream.commit(static_cast<std::size_t>(n));
    return n > 0 ? 1 : 0;
  }

 private:
  static bool is_buffered_reader(PyObject* file) {
    static PyObject* type = nullptr;
    if (type == nullptr) {
      Ref io = Ref::steal(PyImport_ImportModule("_io"));
      Ref t = io ? getattr(io.get(), names().BufferedReader) : Ref();
      if (!t) {
        PyErr_Clear();
        return false;
      }
      type = t.release();  // kept for the life of the process
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(file)) == type;
  }

  int read_piece(Accumulator& stream, std::size_t chunk) {
    Ref want = Ref::steal(PyLong_FromSize_t(chunk));
    if (!want) return -1;
    Ref piece = call(read_.get(), want.get());
    if (!piece) return -1;
    Py_buffer view;
    if (PyObject_GetBuffer(piece.get(), &view, PyBUF_SIMPLE) < 0) return -1;
    const bool at_end = view.len == 0;
    const bool ok = stream.append(view.buf, static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    if (!ok) return -1;
    return at_end ? 0 : 1;
  }

  Ref read_;
  Ref readinto_;
  std::size_t expected_ = 0;
};

// `data` with the 9 bytes of each FRAME opcode at `headers` (ascending)
// left out.
Ref without_frame_headers(PyObject* data, const std::size_t* headers, std::size_t count) {
  constexpr std::size_t kHeader = 9;
  const char* from = PyBytes_AS_STRING(data);
  const std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
  Ref out = Ref::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size - kHeader * count)));
  if (!out) return nullptr;
  char* to = PyBytes_AS_STRING(out.get());
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(to, from + at, headers[i] - at);
    to += headers[i] - at;
    at = headers[i] + kHeader;
  }
  std::memcpy(to, from + at, size - at);
  return out;
}

}  // namespace

Ref safe_pickle_load(PyObject* file, BytesMade bytes_made, void* context,
                     std::optional<SmallPagesOnly>* small_pages) {
  using pickle_scan::Result;
  const Machinery* m = machinery();
  if (m == nullptr) return nullptr;
  std::optional<SmallPagesOnly> own_small_pages;
  if (small_pages == nullptr) small_pages = &own_small_pages;

  // Read until the scan ends or the file does.
  Accumulator stream;
  pickle_scan::Scanner scanner;
  Result scanned = Result::kNeedMore;
  FileReader reader;
  if (!reader.open(file)) return nullptr;
  for (std::size_t chunk = kFirstChunk;; chunk = std::min(chunk * 2, kMaxChunk)) {
    scanned = scanner.scan(stream.data(), stream.size());
    if (scanned != Result::kNeedMore) break;
    const int got = reader.read_into(stream, chunk);
    if (got < 0) return nullptr;
    if (got == 0) break;
    if (stream.size() > kSmallPagesFromStream && !*small_pages) small_pages->emplace();
  }

  // The bytes the unpickler is allowed to see. A stream that ends inside the
  // data of a counted string, bytes object or frame is cut before that
  // opcode, so that the unpickler never allocates a length the file does
  // not back; reaching the cut means the data was truncated.
  const bool truncated = scanned == Result::kNeedMore && scanner.short_data();
  std::size_t length = stream.size();
  if (scanned == Result::kStop || scanned == Result::kInvalid) length = scanner.end();
  if (scanned == Result::kExtension || truncated) length = scanner.opcode_offset();
  Ref data = stream.finish(length);
  if (!data) return nullptr;
  if (scanned == Result::kExtension || truncated) {
    // A frame that runs past the cut would be refused whole as truncated;
    // without its header its opcodes before the cut still run, as they do
    // in the whole stream.
    std::size_t headers[pickle_scan::Scanner::kOpenFrames];
    std::size_t count = 0;
    if (scanner.frames_over(length, headers, &count) && count > 0) {
      data = without_frame_headers(data.get(), headers, count);
      if (!data) return nullptr;
    }
  }
  if (scanned == Result::kStop) {
    // Plain data, what the module itself writes, is made natively: the same
    // objects. Anything else goes to the host's unpickler.
    std::optional<HostMemoryInHugePages> huge_pages;
    if (length >= kHugeFrom && !*small_pages) huge_pages.emplace(/*arenas=*/true);
    Ref plain = load_plain(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.get())),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())), bytes_made,
                           context);
    if (plain) return plain;
  }
  Ref source = source_new(std::move(data));
  if (!source) return nullptr;

  const std::uint64_t handed = g_standins_handed;
  Ref result;
  {
    std::optional<HostMemoryInHugePages> huge_pages;
    if (length >= kHugeFrom && !*small_pages) huge_pages.emplace(/*arenas=*/true);
    Ref unpickler = call(m->unpickler, source.get());
    if (unpickler) result = call_method(unpickler.get(), names().load);
  }
  if (scanned == Result::kExtension || truncated) {
    // An unpickler that stopped before running out of bytes met an error of
    // its own earlier in the stream.
    if (!result && !as_source(source.get())->starved) return nullptr;
    PyErr_Clear();
    if (truncated) {
      PyErr_SetString(m->error, "pickle data was truncated");
      return nullptr;
    }
    return refuse_extension(scanner.extension_code());
  }
  if (!result) return nullptr;
  if (g_standins_handed != handed) {
    if (PyObject* standin = escaped_standin(result.get())) return refuse_standin(standin);
  }
  return result;
}

}  // namespace qbc
