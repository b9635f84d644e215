// Traceback entries for failures that leave the module's functions.
//
// Each entry is a frame whose code object carries the function's traceback
// name, a source file name and the failing line, with the module namespace as
// its globals, so that the host prints "File "compressor", line 38, in
// qbc_compressor.QBCompressor.tokenize".
#pragma once

#include "binding/handle.hpp"

namespace qbc {

inline constexpr const char* kSourceFile = "compressor";
inline constexpr const char* kPickleSourceFile = "<stringsource>";

// The traceback identity of one function: its name and file.
struct Where {
  const char* name;
  const char* file;
};

// Appends one entry for `where` at `line` to the pending exception.
void add_traceback(const Where& where, int line);

// Helpers for the usual "record and fail" return statements.
inline std::nullptr_t fail(const Where& where, int line) {
  add_traceback(where, line);
  return nullptr;
}
inline int fail_int(const Where& where, int line) {
  add_traceback(where, line);
  return -1;
}

}  // namespace qbc
