// Conversions shared by every method: the host-integer conversion to signed
// 32 or 64 bits, the truth-value conversion, and the exact-type tests with
// their messages.
#pragma once

#include <cstdint>

#include "binding/handle.hpp"

namespace qbc {

// Host-integer conversion. An int (or subclass) is taken by value; any other
// object goes through its `__int__`. Returns false with an error set.
bool to_int32(PyObject* obj, int32_t* out);
bool to_int64(PyObject* obj, int64_t* out);

// True and False directly, None as false, anything else through the host's
// truth test. Returns -1 with an error set.
int to_truth(PyObject* obj);

// Argument test: `obj` must be None or exactly `type`, else TypeError
// "Argument '<name>' has incorrect type (expected <type>, got <type>)".
bool check_arg_type(PyObject* obj, PyTypeObject* type, const char* name);

// Value test: None or exactly `type`, else TypeError "Expected <what>, got
// <type>".
bool check_exact_or_none(PyObject* obj, PyTypeObject* type, const char* what);
void raise_unexpected_type(const char* what, PyObject* obj);

}  // namespace qbc
