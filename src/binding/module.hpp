// Process-wide module state: the module object and namespace, the host
// built-ins fetched at start-up, interned names, and the host modules as they
// were imported (kept to recognise when a fast native path is equivalent).
#pragma once

#include "binding/handle.hpp"

namespace qbc {

// The module namespace (borrowed; null before start-up reached it).
PyObject* module_globals();

// Looks `name` up in the module namespace, then in the host built-ins, as
// every method does for `os`, `re`, `pickle`, `zstd` and the unpickling
// function. A name found in neither raises NameError.
Ref module_global(PyObject* name);

// Built-ins fetched once at start-up.
struct Builtins {
  PyObject* open;
  PyObject* range;
  PyObject* zip;
  PyObject* import;
  PyObject* value_error;
  PyObject* memory_error;
  PyObject* enumerate;
  PyObject* type_error;
  PyObject* assertion_error;
  PyObject* ellipsis;
  PyObject* id;
  PyObject* index_error;
};
const Builtins& builtins();

// Host objects as start-up imported them.
struct Originals {
  PyObject* os_module;
  PyObject* re_module;
  PyObject* re_findall;
  PyObject* pickle_module;
  PyObject* pickle_load;
  PyObject* zstd_module;
  PyObject* zstd_compressor;
  PyObject* zstd_decompressor;
};
const Originals& originals();

// Interned names and constants made at start-up.
struct Names {
  PyObject* os;
  PyObject* re;
  PyObject* pickle;
  PyObject* zstd;
  PyObject* unpickle_fn;  // "__pyx_unpickle_QBCompressor"
  PyObject* path;
  PyObject* exists;
  PyObject* basename;
  PyObject* join;
  PyObject* makedirs;
  PyObject* exist_ok;
  PyObject* findall;
  PyObject* load;
  PyObject* dump;
  PyObject* get;
  PyObject* items;
  PyObject* update;
  PyObject* dunder_dict;
  PyObject* dunder_new;
  PyObject* dunder_enter;
  PyObject* dunder_exit;
  PyObject* read;
  PyObject* write;
  PyObject* flush;
  PyObject* close;
  PyObject* encoding;
  PyObject* newline;
  PyObject* level;
  PyObject* threads;
  PyObject* compress;
  PyObject* decompress;
  PyObject* popitem;
  PyObject* readinto;
  PyObject* release;
  PyObject* BufferedReader;
  PyObject* ZstdCompressor;
  PyObject* ZstdDecompressor;
  PyObject* tokenize;
  PyObject* detokenize;
  PyObject* load_dict;
  PyObject* PickleError;
  // Argument and key texts.
  PyObject* dict_path;
  PyObject* text;
  PyObject* tokens;
  PyObject* filepaths;
  PyObject* output_path;
  PyObject* zstd_level;
  PyObject* package_path;
  PyObject* output_dir;
  PyObject* use_zstd;
  PyObject* pyx_state;
  PyObject* pyx_type;
  PyObject* pyx_checksum;
  PyObject* key_dict;
  PyObject* key_next_id;
  PyObject* key_compressed;
  PyObject* key_file_boundaries;
  PyObject* key_filenames;
  PyObject* key_global_dict;
  // Constant values.
  PyObject* default_dict_path;  // "quorvale_dict.bin"
  PyObject* token_pattern;      // "\S+|\s+"
  PyObject* unknown_token;      // "<UNK>"
  PyObject* empty_str;
  PyObject* mode_r;
  PyObject* mode_rb;
  PyObject* mode_w;
  PyObject* mode_wb;
  PyObject* utf8;
  PyObject* default_level;    // 6
  PyObject* default_threads;  // 4
  PyObject* one;              // 1
  PyObject* none3;            // (None, None, None)
};
const Names& names();

}  // namespace qbc
