// The host-facing tokenizer and detokenizer.
#pragma once

#include "binding/handle.hpp"

namespace qbc {

// True when the module's `re` is the host's own module with its own
// `findall`, so that the native scanner gives the same list. Returns -1 when
// looking `re` up fails.
int native_findall_applies();

// The built-in `tokenize`: the token list of `text` (a str or None), or null
// with an error and the body's traceback entry.
Ref tokenize_builtin(PyObject* text);

// The built-in `detokenize` body.
Ref detokenize_builtin(PyObject* tokens);

}  // namespace qbc
