// Module definition and start-up.
//
// The module is loaded through multi-phase initialisation: the create step
// makes (or returns) the one module object of the process, the exec step
// fills it. All state is process-wide, so loading into a second interpreter
// is refused.
#include "binding/module.hpp"

#include "binding/compressor.hpp"
#include "binding/function.hpp"
#include "binding/traceback.hpp"

namespace qbc {
namespace {

PyObject* g_module = nullptr;   // the started (or starting) module
PyObject* g_globals = nullptr;  // its namespace
PyObject* g_builtins_module = nullptr;
Builtins g_builtins{};
Originals g_originals{};
Names g_names{};
bool g_constants_ready = false;

constexpr int kBuiltMajor = 3;
constexpr int kBuiltMinor = 11;

// Create step ------------------------------------------------------------------

int check_single_interpreter() {
  static int64_t main_interpreter_id = -1;
  int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
  if (main_interpreter_id == -1) {
    main_interpreter_id = current;
    return current == -1 ? -1 : 0;
  }
  if (main_interpreter_id != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
  }
  return 0;
}

int copy_spec_item(PyObject* spec, PyObject* ns, const char* from, const char* to,
                   bool allow_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  if (!allow_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(ns, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  if (check_single_interpreter() < 0) return nullptr;
  if (g_module != nullptr) return Py_NewRef(g_module);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* ns = PyModule_GetDict(module.get());
  if (ns == nullptr) return nullptr;
  if (copy_spec_item(spec, ns, "loader", "__loader__", true) < 0 ||
      copy_spec_item(spec, ns, "origin", "__file__", true) < 0 ||
      copy_spec_item(spec, ns, "parent", "__package__", true) < 0 ||
      copy_spec_item(spec, ns, "submodule_search_locations", "__path__", false) < 0) {
    return nullptr;
  }
  return module.release();
}

// Exec step ----------------------------------------------------------------------

int check_version() {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == kBuiltMajor && minor == kBuiltMinor) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof(message),
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                kBuiltMajor, kBuiltMinor, "qbc_compressor", "does not match", major, minor);
  return PyErr_WarnEx(nullptr, message, 1);
}

bool intern(PyObject** slot, const char* text) {
  *slot = PyUnicode_InternFromString(text);
  return *slot != nullptr;
}

bool init_constants() {
  if (g_constants_ready) return true;
  Names& n = g_names;
  struct Item {
    PyObject** slot;
    const char* text;
  };
  const Item items[] = {
      {&n.os, "os"},
      {&n.re, "re"},
      {&n.pickle, "pickle"},
      {&n.zstd, "zstd"},
      {&n.unpickle_fn, "__pyx_unpickle_QBCompressor"},
      {&n.path, "path"},
      {&n.exists, "exists"},
      {&n.basename, "basename"},
      {&n.join, "join"},
      {&n.makedirs, "makedirs"},
      {&n.exist_ok, "exist_ok"},
      {&n.findall, "findall"},
      {&n.load, "load"},
      {&n.dump, "dump"},
      {&n.get, "get"},
      {&n.items, "items"},
      {&n.update, "update"},
      {&n.dunder_dict, "__dict__"},
      {&n.dunder_new, "__new__"},
      {&n.dunder_enter, "__enter__"},
      {&n.dunder_exit, "__exit__"},
      {&n.read, "read"},
      {&n.write, "write"},
      {&n.flush, "flush"},
      {&n.close, "close"},
      {&n.encoding, "encoding"},
      {&n.newline, "newline"},
      {&n.level, "level"},
      {&n.threads, "threads"},
      {&n.compress, "compress"},
      {&n.decompress, "decompress"},
      {&n.popitem, "popitem"},
      {&n.readinto, "readinto"},
      {&n.release, "release"},
      {&n.BufferedReader, "BufferedReader"},
      {&n.ZstdCompressor, "ZstdCompressor"},
      {&n.ZstdDecompressor, "ZstdDecompressor"},
      {&n.tokenize, "tokenize"},
      {&n.detokenize, "detokenize"},
      {&n.load_dict, "load_dict"},
      {&n.PickleError, "PickleError"},
      {&n.dict_path, "dict_path"},
      {&n.text, "text"},
      {&n.tokens, "tokens"},
      {&n.filepaths, "filepaths"},
      {&n.output_path, "output_path"},
      {&n.zstd_level, "zstd_level"},
      {&n.package_path, "package_path"},
      {&n.output_dir, "output_dir"},
      {&n.use_zstd, "use_zstd"},
      {&n.pyx_state, "__pyx_state"},
      {&n.pyx_type, "__pyx_type"},
      {&n.pyx_checksum, "__pyx_checksum"},
      {&n.key_dict, "dict"},
      {&n.key_next_id, "next_id"},
      {&n.key_compressed, "compressed"},
      {&n.key_file_boundaries, "file_boundaries"},
      {&n.key_filenames, "filenames"},
      {&n.key_global_dict, "global_dict"},
      {&n.default_dict_path, "quorvale_dict.bin"},
      {&n.token_pattern, "\\S+|\\s+"},
      {&n.unknown_token, "<UNK>"},
      {&n.empty_str, ""},
      {&n.mode_r, "r"},
      {&n.mode_rb, "rb"},
      {&n.mode_w, "w"},
      {&n.mode_wb, "wb"},
      {&n.utf8, "utf-8"},
  };
  for (const Item& item : items) {
    if (!intern(item.slot, item.text)) return false;
  }
  n.default_level = PyLong_FromLong(6);
  n.default_threads = PyLong_FromLong(4);
  n.one = PyLong_FromLong(1);
  n.none3 = PyTuple_Pack(3, Py_None, Py_None, Py_None);
  if (!n.default_level || !n.default_threads || !n.one || !n.none3) return false;
  g_constants_ready = true;
  return true;
}

int add_to_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr) return -1;
  Ref key = Ref::steal(PyUnicode_FromString("qbc_compressor"));
  if (!key) return -1;
  int has = PyDict_Contains(modules, key.get());
  if (has < 0) return -1;
  if (has) return 0;
  return PyDict_SetItem(modules, key.get(), module);
}

Ref builtin_named(const char* name) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) return nullptr;
  PyObject* value = PyObject_GetAttr(g_builtins_module, key.get());
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
  }
  return Ref::steal(value);
}

bool fetch_builtins() {
  struct Item {
    PyObject** slot;
    const char* name;
  };
  Builtins b{};
  const Item items[] = {
      {&b.open, "open"},
      {&b.range, "range"},
      {&b.zip, "zip"},
      {&b.import, "__import__"},
      {&b.value_error, "ValueError"},
      {&b.memory_error, "MemoryError"},
      {&b.enumerate, "enumerate"},
      {&b.type_error, "TypeError"},
      {&b.assertion_error, "AssertionError"},
      {&b.ellipsis, "Ellipsis"},
      {&b.id, "id"},
      {&b.index_error, "IndexError"},
  };
  for (const Item& item : items) {
    Ref value = builtin_named(item.name);
    if (!value) {
      for (const Item& done : items) Py_XDECREF(*done.slot);
      return false;
    }
    *item.slot = value.release();
  }
  g_builtins = b;
  return true;
}

// Imports one host module and binds it in the namespace under `as`.
Ref import_module(const char* name, PyObject* as) {
  Ref module_name = Ref::steal(PyUnicode_FromString(name));
  if (!module_name) return nullptr;
  Ref empty = Ref::steal(PyDict_New());
  if (!empty) return nullptr;
  Ref module = Ref::steal(
      PyImport_ImportModuleLevelObject(module_name.get(), g_globals, empty.get(), nullptr, 0));
  if (!module) return nullptr;
  if (PyDict_SetItem(g_globals, as, module.get()) < 0) return nullptr;
  return module;
}

// An attribute of a freshly imported module, or null when it lacks it.
PyObject* optional_attr(PyObject* obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj, name);
  if (value == nullptr) PyErr_Clear();
  return value;
}

int module_exec_impl(PyObject* module) {
  int line = 1;
  const char* file = kSourceFile;
  auto fail_at = [&](int at, const char* in_file = kSourceFile) {
    line = at;
    file = in_file;
    return -1;
  };
  auto body = [&]() -> int {
    // 2: the namespace and its built-ins.
    g_module = Py_NewRef(module);
    g_globals = PyModule_GetDict(module);
    if (g_globals == nullptr) return -1;
    Py_INCREF(g_globals);
    if (g_builtins_module == nullptr) {
      g_builtins_module = PyImport_AddModule("builtins");
      if (g_builtins_module == nullptr) return -1;
      Py_INCREF(g_builtins_module);
    }
    if (PyObject_SetAttrString(module, "__builtins__", g_builtins_module) < 0) return -1;
    // 3: the version check.
    if (check_version() < 0) return -1;
    // 4: constants.
    if (!init_constants() || !function_type_ready()) return -1;
    return 0;
  };
  if (body() < 0) {
    // Failures before the constants exist carry no traceback entry.
    Py_CLEAR(g_globals);
    Py_CLEAR(g_module);
    return -1;
  }

  auto rest = [&]() -> int {
    // 5: the module registry.
    if (add_to_sys_modules(module) < 0) return fail_at(1);
    // 6: built-ins.
    if (!fetch_builtins()) return fail_at(1);
    // 7: the class.
    if (!compressor_type_ready()) return fail_at(1);
    if (PyObject_SetAttrString(module, "QBCompressor",
                               reinterpret_cast<PyObject*>(&CompressorType)) < 0) {
      return fail_at(1);
    }
    // 8: host modules, each bound right after its import.
    const Names& n = g_names;
    Ref os = import_module("os", n.os);
    if (!os) return fail_at(1);
    Ref re = import_module("re", n.re);
    if (!re) return fail_at(2);
    Ref struct_module = Ref::steal(PyUnicode_InternFromString("struct"));
    if (!struct_module || !import_module("struct", struct_module.get())) return fail_at(3);
    Ref pickle = import_module("pickle", n.pickle);
    if (!pickle) return fail_at(4);
    Ref zstd = import_module("zstandard", n.zstd);
    if (!zstd) return fail_at(5);
    Originals o{};
    o.os_module = os.new_ref();
    o.re_module = re.new_ref();
    o.re_findall = optional_attr(re.get(), "findall");
    o.pickle_module = pickle.new_ref();
    o.pickle_load = optional_attr(pickle.get(), "load");
    o.zstd_module = zstd.new_ref();
    o.zstd_compressor = optional_attr(zstd.get(), "ZstdCompressor");
    o.zstd_decompressor = optional_attr(zstd.get(), "ZstdDecompressor");
    g_originals = o;
    // 9: the methods, then the module function.
    PyObject* type_dict = CompressorType.tp_dict;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return fail_at(kMethods[0].install_line, kMethods[0].install_file);
    for (int i = 0; i < kMethodCount; ++i) {
      const MethodEntry& m = kMethods[i];
      Ref defaults;
      if (m.defaults != nullptr) {
        defaults = Ref::steal(m.defaults());
        if (!defaults && PyErr_Occurred()) return fail_at(m.install_line, m.install_file);
      }
      Ref fn = function_new(m.fdef, defaults.get(), module_name.get(), g_globals);
      if (!fn) return fail_at(m.install_line, m.install_file);
      Ref name = Ref::steal(PyUnicode_InternFromString(m.fdef->name));
      if (!name || PyDict_SetItem(type_dict, name.get(), fn.get()) < 0) {
        return fail_at(m.install_line, m.install_file);
      }
      PyType_Modified(&CompressorType);
    }
    Ref unpickle = function_new(&kUnpickleDef, nullptr, module_name.get(), g_globals);
    if (!unpickle || PyDict_SetItem(g_globals, n.unpickle_fn, unpickle.get()) < 0) {
      return fail_at(1, kPickleSourceFile);
    }
    return 0;
  };
  if (rest() < 0) {
    add_traceback(Where{kModuleInitWhere.name, file}, line);
    Py_CLEAR(g_globals);
    Py_CLEAR(g_module);
    return -1;
  }
  return 0;
}

int module_exec(PyObject* module) {
  if (g_module != nullptr) {
    if (g_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'qbc_compressor' has already been imported. Re-initialisation is "
                    "not supported.");
    return -1;
  }
  return module_exec_impl(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qbc_compressor",  // m_name
    nullptr,           // m_doc
    0,                 // m_size
    nullptr,           // m_methods
    module_slots,      // m_slots
    nullptr,           // m_traverse
    nullptr,           // m_clear
    nullptr,           // m_free
};

}  // namespace

PyObject* module_globals() { return g_globals; }

Ref module_global(PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(g_globals, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return nullptr;
  value = PyObject_GetAttr(g_builtins_module, name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return Ref::steal(value);
}

const Builtins& builtins() { return g_builtins; }
const Originals& originals() { return g_originals; }
const Names& names() { return g_names; }

}  // namespace qbc

PyMODINIT_FUNC PyInit_qbc_compressor(void) { return PyModuleDef_Init(&qbc::module_def); }
