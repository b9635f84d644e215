// The class `QBCompressor`: allocation, the constructor, the four fields,
// garbage-collector participation, and the method table with each method's
// argument binding. Method bodies live with their subsystems.
#include "binding/compressor.hpp"

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/host.hpp"
#include "binding/module.hpp"
#include "binding/pickling.hpp"
#include "dictionary/dictionary_file.hpp"
#include "dictionary/tokenize.hpp"
#include "package/decoder.hpp"
#include "package/encoder.hpp"

namespace qbc {
namespace {

// Def lines of the functions, used by argument failures.
constexpr int kInitLine = 13;
constexpr int kLoadDictLine = 21;
constexpr int kSaveDictLine = 29;
constexpr int kTokenizeLine = 38;
constexpr int kDetokenizeLine = 41;
constexpr int kEncodeLine = 45;
constexpr int kDecodeLine = 95;
constexpr int kNextIdLine = 11;
constexpr int kReduceLine = 1;
constexpr int kSetStateLine = 16;
constexpr int kUnpickleLine = 1;

// Parameter lists -------------------------------------------------------------

PyObject* const* const kInitNames[] = {&names().dict_path};
PyObject* const* const kTokenizeNames[] = {&names().text};
PyObject* const* const kDetokenizeNames[] = {&names().tokens};
PyObject* const* const kEncodeNames[] = {&names().filepaths, &names().output_path,
                                         &names().zstd_level, &names().threads};
PyObject* const* const kDecodeNames[] = {&names().package_path, &names().output_dir,
                                         &names().use_zstd};
PyObject* const* const kSetStateNames[] = {&names().pyx_state};
PyObject* const* const kUnpickleNames[] = {&names().pyx_type, &names().pyx_checksum,
                                           &names().pyx_state};

const Params kInitParams{"__init__", kInitNames, 1, 0};
const Params kTokenizeParams{"tokenize", kTokenizeNames, 1, 1};
const Params kDetokenizeParams{"detokenize", kDetokenizeNames, 1, 1};
const Params kEncodeParams{"encode_files", kEncodeNames, 4, 2};
const Params kDecodeParams{"decode_package", kDecodeNames, 3, 2};
const Params kSetStateParams{"__setstate_cython__", kSetStateNames, 1, 1};
const Params kUnpickleParams{"__pyx_unpickle_QBCompressor", kUnpickleNames, 3, 3};

// Allocation, constructor, teardown -----------------------------------------------

PyObject* compressor_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* obj;
  if (!(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) {
    obj = type->tp_alloc(type, 0);
  } else {
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    obj = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
  }
  if (obj == nullptr) return nullptr;
  CompressorObject* c = as_compressor(obj);
  c->dict_path = Py_NewRef(Py_None);
  c->global_dict = Py_NewRef(Py_None);
  c->inverse_dict = Py_NewRef(Py_None);
  c->next_id = 0;
  c->forward_facts = MapFacts{};
  c->inverse_facts = MapFacts{};
  return obj;
}

int compressor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* values[1];
  if (!bind_tuple(kInitParams, args, kwargs, values)) return fail_int(kInitWhere, kInitLine);
  CompressorObject* c = as_compressor(self);
  replace_slot(&c->dict_path, values[0] ? values[0] : names().default_dict_path);
  Ref forward = Ref::steal(PyDict_New());
  if (!forward) return fail_int(kInitWhere, 15);
  replace_slot(&c->global_dict, forward.get());
  Ref inverse = Ref::steal(PyDict_New());
  if (!inverse) return fail_int(kInitWhere, 16);
  replace_slot(&c->inverse_dict, inverse.get());
  c->next_id = 1;
  Ref load = getattr(self, names().load_dict);
  if (!load) return fail_int(kInitWhere, 18);
  Ref result = call0(load.get());
  if (!result) return fail_int(kInitWhere, 18);
  return 0;
}

int compressor_traverse(PyObject* self, visitproc visit, void* arg) {
  CompressorObject* c = as_compressor(self);
  Py_VISIT(c->dict_path);
  Py_VISIT(c->global_dict);
  Py_VISIT(c->inverse_dict);
  return 0;
}

int compressor_clear(PyObject* self) {
  CompressorObject* c = as_compressor(self);
  replace_slot(&c->dict_path, Py_None);
  replace_slot(&c->global_dict, Py_None);
  replace_slot(&c->inverse_dict, Py_None);
  return 0;
}

void compressor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // A finaliser defined on the class itself runs here first; a subclass's
  // runs in the subclass's own teardown before it reaches this one.
  if (type->tp_finalize != nullptr && !PyObject_GC_IsFinalized(self) &&
      type->tp_dealloc == compressor_dealloc) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  }
  PyObject_GC_UnTrack(self);
  // Long chains of objects (one held in another's field) are torn down
  // without recursing once per link.
  Py_TRASHCAN_BEGIN(self, compressor_dealloc)
  CompressorObject* c = as_compressor(self);
  Py_CLEAR(c->dict_path);
  Py_CLEAR(c->global_dict);
  Py_CLEAR(c->inverse_dict);
  type->tp_free(self);
  Py_TRASHCAN_END
}

// Fields -------------------------------------------------------------------------

template <PyObject* CompressorObject::*Field>
PyObject* get_field(PyObject* self, void*) {
  return Py_NewRef(as_compressor(self)->*Field);
}

template <PyObject* CompressorObject::*Field>
int set_field(PyObject* self, PyObject* value, void*) {
  // Assignment stores the object unchanged; deletion stores None.
  replace_slot(&(as_compressor(self)->*Field), value ? value : Py_None);
  return 0;
}

PyObject* get_next_id(PyObject* self, void*) {
  PyObject* value = PyLong_FromLong(as_compressor(self)->next_id);
  if (value == nullptr) return fail(kNextIdGetWhere, kNextIdLine);
  return value;
}

int set_next_id(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
  }
  int32_t converted;
  if (!to_int32(value, &converted)) return fail_int(kNextIdSetWhere, kNextIdLine);
  as_compressor(self)->next_id = converted;
  return 0;
}

PyGetSetDef compressor_getset[] = {
    {"dict_path", get_field<&CompressorObject::dict_path>,
     set_field<&CompressorObject::dict_path>, nullptr, nullptr},
    {"global_dict", get_field<&CompressorObject::global_dict>,
     set_field<&CompressorObject::global_dict>, nullptr, nullptr},
    {"inverse_dict", get_field<&CompressorObject::inverse_dict>,
     set_field<&CompressorObject::inverse_dict>, nullptr, nullptr},
    {"next_id", get_next_id, set_next_id, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Method bodies with their binding ------------------------------------------------

PyObject* load_dict_method(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (!bind_none("load_dict", nargs, kwnames)) return nullptr;
  return load_dict(self);
}

PyObject* save_dict_method(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (!bind_none("save_dict", nargs, kwnames)) return nullptr;
  return save_dict(self);
}

PyObject* tokenize_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* v[1];
  if (!bind_vector(kTokenizeParams, args, nargs, kwnames, v)) {
    return fail(kTokenizeWhere, kTokenizeLine);
  }
  if (!check_arg_type(v[0], &PyUnicode_Type, "text")) return nullptr;
  return tokenize_builtin(v[0]).release();
}

PyObject* detokenize_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* v[1];
  if (!bind_vector(kDetokenizeParams, args, nargs, kwnames, v)) {
    return fail(kDetokenizeWhere, kDetokenizeLine);
  }
  if (!check_arg_type(v[0], &PyList_Type, "tokens")) return nullptr;
  return detokenize_builtin(v[0]).release();
}

PyObject* encode_files_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* v[4];
  if (!bind_vector(kEncodeParams, args, nargs, kwnames, v)) {
    return fail(kEncodeWhere, kEncodeLine);
  }
  int32_t level = 6, threads = 4;
  if (v[2] != nullptr && !to_int32(v[2], &level)) return fail(kEncodeWhere, kEncodeLine);
  if (v[3] != nullptr && !to_int32(v[3], &threads)) return fail(kEncodeWhere, kEncodeLine);
  if (!check_arg_type(v[0], &PyList_Type, "filepaths")) return nullptr;
  if (!check_arg_type(v[1], &PyUnicode_Type, "output_path")) return nullptr;
  return encode_files(self, v[0], v[1], level, threads);
}

PyObject* decode_package_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* v[3];
  if (!bind_vector(kDecodeParams, args, nargs, kwnames, v)) {
    return fail(kDecodeWhere, kDecodeLine);
  }
  bool use_zstd = true;
  if (v[2] != nullptr) {
    int truth = to_truth(v[2]);
    if (truth < 0) return fail(kDecodeWhere, kDecodeLine);
    use_zstd = truth != 0;
  }
  if (!check_arg_type(v[0], &PyUnicode_Type, "package_path")) return nullptr;
  if (!check_arg_type(v[1], &PyUnicode_Type, "output_dir")) return nullptr;
  return decode_package(self, v[0], v[1], use_zstd);
}

PyObject* reduce_method(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) {
  if (!bind_none("__reduce_cython__", nargs, kwnames)) return nullptr;
  return reduce_object(self);
}

PyObject* setstate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* v[1];
  if (!bind_vector(kSetStateParams, args, nargs, kwnames, v)) {
    return fail(kSetStateWhere, kSetStateLine);
  }
  return setstate_object(self, v[0]);
}

PyObject* unpickle_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* v[3];
  if (!bind_vector(kUnpickleParams, args, nargs, kwnames, v)) {
    return fail(kUnpickleWhere, kUnpickleLine);
  }
  int64_t checksum;
  if (!to_int64(v[1], &checksum)) return fail(kUnpickleWhere, kUnpickleLine);
  return unpickle_object(v[0], checksum, v[2]);
}

// Function definitions -------------------------------------------------------------------

const char* const kSelf[] = {"self"};
const char* const kTokenizeParamNames[] = {"self", "text"};
const char* const kDetokenizeParamNames[] = {"self", "tokens"};
const char* const kEncodeParamNames[] = {"self", "filepaths", "output_path", "zstd_level",
                                         "threads"};
const char* const kDecodeParamNames[] = {"self", "package_path", "output_dir", "use_zstd"};
const char* const kSetStateParamNames[] = {"self", "__pyx_state"};
const char* const kUnpickleParamNames[] = {"__pyx_type", "__pyx_checksum", "__pyx_state"};

const FunctionDef kLoadDictDef{"load_dict", "QBCompressor.load_dict", kSelf, 1, true,
                                 kSourceFile, kLoadDictLine, load_dict_method};
const FunctionDef kSaveDictDef{"save_dict", "QBCompressor.save_dict", kSelf, 1, true,
                                 kSourceFile, kSaveDictLine, save_dict_method};
const FunctionDef kTokenizeDef{"tokenize", "QBCompressor.tokenize", kTokenizeParamNames, 2,
                                 true, kSourceFile, kTokenizeLine, tokenize_method};
const FunctionDef kDetokenizeDef{"detokenize", "QBCompressor.detokenize",
                                   kDetokenizeParamNames, 2, true, kSourceFile,
                                   kDetokenizeLine, detokenize_method};
const FunctionDef kEncodeDef{"encode_files", "QBCompressor.encode_files", kEncodeParamNames,
                               5, true, kSourceFile, kEncodeLine, encode_files_method};
const FunctionDef kDecodeDef{"decode_package", "QBCompressor.decode_package",
                               kDecodeParamNames, 4, true, kSourceFile, kDecodeLine,
                               decode_package_method};
const FunctionDef kReduceDef{"__reduce_cython__", "QBCompressor.__reduce_cython__", kSelf,
                               1, true, kPickleSourceFile, kReduceLine, reduce_method};
const FunctionDef kSetStateDef{"__setstate_cython__", "QBCompressor.__setstate_cython__",
                                 kSetStateParamNames, 2, true, kPickleSourceFile,
                                 kSetStateLine, setstate_method};

PyObject* encode_defaults() {
  return PyTuple_Pack(2, names().default_level, names().default_threads);
}
PyObject* decode_defaults() { return PyTuple_Pack(1, Py_True); }

// The pickling entry points as the type's own methods; start-up moves them
// to `__reduce__` and `__setstate__`.
PyMethodDef compressor_methods[] = {
    {"__reduce_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_method)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setstate_method)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const FunctionDef kUnpickleDef{"__pyx_unpickle_QBCompressor", "__pyx_unpickle_QBCompressor",
                                 kUnpickleParamNames, 3, false, kPickleSourceFile,
                                 kUnpickleLine, unpickle_function};

const MethodEntry kMethods[] = {
    {&kLoadDictDef, nullptr, kLoadDictLine, kSourceFile},
    {&kSaveDictDef, nullptr, kSaveDictLine, kSourceFile},
    {&kTokenizeDef, nullptr, kTokenizeLine, kSourceFile},
    {&kDetokenizeDef, nullptr, kDetokenizeLine, kSourceFile},
    {&kEncodeDef, encode_defaults, kEncodeLine, kSourceFile},
    {&kDecodeDef, decode_defaults, kDecodeLine, kSourceFile},
    {&kReduceDef, nullptr, kReduceLine, kPickleSourceFile},
    {&kSetStateDef, nullptr, kSetStateLine, kPickleSourceFile},
};
const int kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);

PyTypeObject CompressorType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "qbc_compressor.QBCompressor",  // tp_name
};

bool compressor_type_ready() {
  PyTypeObject& t = CompressorType;
  if (t.tp_flags & Py_TPFLAGS_READY) return true;
  t.tp_basicsize = sizeof(CompressorObject);
  t.tp_dealloc = compressor_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = compressor_traverse;
  t.tp_clear = compressor_clear;
  t.tp_methods = compressor_methods;
  t.tp_getset = compressor_getset;
  t.tp_init = compressor_init;
  t.tp_new = compressor_new;
  t.tp_free = PyObject_GC_Del;
  if (PyType_Ready(&t) < 0) return false;
  return setup_pickling(&t);
}

bool tokenize_is_fixed(PyObject* self) {
  const PyTypeObject* type = Py_TYPE(self);
  return type->tp_dictoffset == 0 &&
         !(type->tp_flags & (Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE));
}

int dispatch_tokenize(PyObject* self, PyObject* text, Ref* result) {
  if (tokenize_is_fixed(self)) return 1;
  Ref method = getattr(self, names().tokenize);
  if (!method) return fail_int(kTokenizeWhere, kTokenizeLine);
  if (is_function_for(method.get(), &kTokenizeDef)) return 1;
  Ref value = call(method.get(), text);
  if (!value || !check_exact_or_none(value.get(), &PyList_Type, "list")) {
    return fail_int(kTokenizeWhere, kTokenizeLine);
  }
  *result = std::move(value);
  return 0;
}

}  // namespace qbc
