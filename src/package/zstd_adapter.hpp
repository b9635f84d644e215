// The Zstandard calls of the codec, made through the module's `zstd`
// attribute (looked up at each call).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "binding/handle.hpp"

namespace qbc {

// zstd.ZstdCompressor(level=level, threads=threads).compress(data)
Ref zstd_compress(PyObject* data, int32_t level, int32_t threads);

// Whether zstd_compress() would call the host's own compressor class of the
// host's own module, which runs no host code: only then may the call be
// made earlier than its turn without anyone being able to tell.
bool zstd_compress_is_host_own();

// zstd_compress() on a second thread, for a caller with other work to do
// meanwhile. The compressor releases the interpreter lock while it works,
// so the caller gets it back as soon as the compression proper has begun.
class BackgroundCompress {
 public:
  BackgroundCompress() = default;
  BackgroundCompress(const BackgroundCompress&) = delete;
  BackgroundCompress& operator=(const BackgroundCompress&) = delete;
  // Waits for a call still running and drops its result; an error set on
  // the calling thread stays as it is.
  ~BackgroundCompress();

  // Starts the call on `data` (held until the call is over). Returns false
  // when no thread could be started; nothing is set then.
  bool start(PyObject* data, int32_t level, int32_t threads);
  bool started() const { return thread_.joinable(); }
  // The call's result, or null with its error set.
  Ref finish();

 private:
  void run();

  Ref data_;
  int32_t level_ = 0;
  int32_t threads_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable entered_cv_;
  bool entered_ = false;
  Ref result_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
};

// zstd.ZstdDecompressor().decompress(payload). While `zstd` is the host's
// own module, a frame whose header declares more than 2 GiB of content is
// refused with ValueError before anything is decompressed.
Ref zstd_decompress(PyObject* payload);

}  // namespace qbc
