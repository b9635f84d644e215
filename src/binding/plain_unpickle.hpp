// A native reading of pickles that hold plain data only, giving the objects
// the host's unpickler makes of them.
#pragma once

#include <cstddef>

#include "binding/handle.hpp"

namespace qbc {

// The object the host's unpickler makes of the stream [data, data + size),
// which ends with its STOP opcode, when the stream uses only the opcodes of
// plain data written in the host's binary formats: dicts, lists, strs,
// bytes, ints of 32 bits, None and the two bools, with marks, frames and
// memo references. The same objects (the same strs and ints, each memo
// reference the same object) in the same order of insertion. Null, with no
// error set, for any other stream, a corrupt one among them, or when memory
// ran out: the caller then runs the host's unpickler, which gives its own
// result or its own error.
//
// `bytes_made`, when given, is told of the first bytes object of 64 KiB or
// more as soon as it is made, with `context`: the stream's payload may be
// put to work while the rest is loaded. Nothing it does may run host code.
using BytesMade = void (*)(void* context, PyObject* bytes);
Ref load_plain(const unsigned char* data, std::size_t size, BytesMade bytes_made = nullptr,
               void* context = nullptr);

}  // namespace qbc
