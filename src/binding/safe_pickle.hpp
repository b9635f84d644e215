// A loader for pickled plain data that never imports, looks up or calls
// anything the stream names.
#pragma once

#include <optional>

#include "binding/handle.hpp"
#include "binding/plain_unpickle.hpp"
#include "dictionary/token_index.hpp"

namespace qbc {

// Reads one pickle from the binary file object `file` and returns the object,
// as the host's `pickle.load(file)` would for plain data (dict, list, tuple,
// str, bytes, int, float, bool, None) at every protocol, and for sets at the
// protocols that have opcodes for them (4 and 5). A stream that
// names any global other than the two that old protocols write for bytes
// (`_codecs.encode(<str>, 'latin1')` and a bytes type called with no
// arguments), or that uses a persistent id or an extension code, fails with
// `pickle.UnpicklingError` naming what it refused. Corrupt streams fail with
// the host unpickler's own errors.
//
// The file is read through its `read` method in growing chunks, only as far
// as the stream's STOP opcode (plus what the last chunk brought along), its
// first invalid byte or the end of the file; a declared length is never
// allocated ahead of the bytes that back it.
//
// `bytes_made` and `context`: as for load_plain(), for a stream made
// natively.
//
// Once more than kSmallPagesFromStream bytes have been read, everything
// from then on takes small pages (see SmallPagesOnly): the objects of such
// a stream fill tens of megabytes. The guard is emplaced in `*small_pages`
// when that is given, for the caller to hold for the rest of its work on
// them, and otherwise lasts as long as the load.
inline constexpr std::size_t kSmallPagesFromStream = std::size_t{8} << 20;
Ref safe_pickle_load(PyObject* file, BytesMade bytes_made = nullptr, void* context = nullptr,
                     std::optional<SmallPagesOnly>* small_pages = nullptr);

}  // namespace qbc
