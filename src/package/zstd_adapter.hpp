// The Zstandard calls of the codec, made through the module's `zstd`
// attribute (looked up at each call).
#pragma once

#include <cstdint>

#include "binding/handle.hpp"

namespace qbc {

// zstd.ZstdCompressor(level=level, threads=threads).compress(data)
Ref zstd_compress(PyObject* data, int32_t level, int32_t threads);

// zstd.ZstdDecompressor().decompress(payload). While `zstd` is the host's
// own module, a frame whose header declares more than 2 GiB of content is
// refused with ValueError before anything is decompressed.
Ref zstd_decompress(PyObject* payload);

}  // namespace qbc
