// The class `QBCompressor`: its type object, the method table installed at
// start-up, and the traceback identities of its functions.
#pragma once

#include "binding/function.hpp"
#include "binding/traceback.hpp"
#include "dictionary/compressor_object.hpp"

namespace qbc {

extern PyTypeObject CompressorType;

// Prepares the type (fields, slots, pickling entry points).
bool compressor_type_ready();

// The functions installed on the class at start-up, in installation order,
// each with the traceback line of its installation.
struct MethodEntry {
  const FunctionDef* fdef;
  PyObject* (*defaults)();  // new reference, or null with no error for none
  int install_line;
  const char* install_file;
};
extern const MethodEntry kMethods[];
extern const int kMethodCount;

// The module function that rebuilds pickled objects.
extern const FunctionDef kUnpickleDef;

// Dispatch of the overridable `tokenize` for calls made by the module itself.
// Returns 1 when the built-in operation applies (the caller runs it), 0 with
// `*result` set to an override's result (a list or None), -1 on error.
int dispatch_tokenize(PyObject* self, PyObject* text, Ref* result);
// Whether `self` is of a type whose `tokenize` no one can override, so that
// dispatch_tokenize() returns 1 without looking at anything.
bool tokenize_is_fixed(PyObject* self);

// Traceback identities.
inline constexpr Where kInitWhere{"qbc_compressor.QBCompressor.__init__", kSourceFile};
inline constexpr Where kLoadDictWhere{"qbc_compressor.QBCompressor.load_dict", kSourceFile};
inline constexpr Where kSaveDictWhere{"qbc_compressor.QBCompressor.save_dict", kSourceFile};
inline constexpr Where kTokenizeWhere{"qbc_compressor.QBCompressor.tokenize", kSourceFile};
inline constexpr Where kDetokenizeWhere{"qbc_compressor.QBCompressor.detokenize",
                                        kSourceFile};
inline constexpr Where kEncodeWhere{"qbc_compressor.QBCompressor.encode_files", kSourceFile};
inline constexpr Where kDecodeWhere{"qbc_compressor.QBCompressor.decode_package",
                                    kSourceFile};
inline constexpr Where kNextIdGetWhere{"qbc_compressor.QBCompressor.next_id.__get__",
                                       kSourceFile};
inline constexpr Where kNextIdSetWhere{"qbc_compressor.QBCompressor.next_id.__set__",
                                       kSourceFile};
inline constexpr Where kReduceWhere{"qbc_compressor.QBCompressor.__reduce_cython__",
                                    kPickleSourceFile};
inline constexpr Where kSetStateWhere{"qbc_compressor.QBCompressor.__setstate_cython__",
                                      kPickleSourceFile};
inline constexpr Where kUnpickleWhere{"qbc_compressor.__pyx_unpickle_QBCompressor",
                                      kPickleSourceFile};
inline constexpr Where kSetStateFnWhere{"qbc_compressor.__pyx_unpickle_QBCompressor__set_state",
                                        kPickleSourceFile};
inline constexpr Where kModuleInitWhere{"init qbc_compressor", kSourceFile};

}  // namespace qbc
