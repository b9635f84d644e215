// The Zstandard calls of the codec, made through the module's `zstd`
// attribute (looked up at each call).
#pragma once

#include <condition_variable>
#include <cstddef>
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

// Gives the input of a compression piece by piece, on the compressing
// thread.
class CompressSource {
 public:
  // Fills `buffer` (room for `room` bytes) with the next piece of input,
  // waiting until there is one. Returns its size; 0 once the whole input
  // was given; -1 when the compression is to be abandoned.
  virtual ptrdiff_t next_piece(uint8_t* buffer, size_t room) noexcept = 0;
  // Called last, on the compressing thread: whether a frame was made.
  virtual void finished(bool ok) noexcept = 0;

 protected:
  ~CompressSource() = default;
};

// The host's own compressor's work done by the module: the same library
// with the same settings and the same single call, so the same frame, but
// on memory taken in huge pages (fresh small pages cost more to fault in
// than to compress in a virtual machine) and without needing the
// interpreter lock at any point, so that the caller may wait for it while
// keeping the lock. Taken only for an exact bytearray that nothing else can
// reach, while zstd_compress_is_host_own(), and for a level and a thread
// count that the host's compressor takes as they are. When the library
// fails with the data intact, the caller asks the host's compressor, which
// reports the failure its own way.
class NativeCompress {
 public:
  NativeCompress() = default;
  NativeCompress(const NativeCompress&) = delete;
  NativeCompress& operator=(const NativeCompress&) = delete;
  ~NativeCompress();

  static bool applies(PyObject* data, int32_t level, int32_t threads);
  // Makes the output buffer and starts compressing on a second thread.
  // Returns false when it could not start (no error set).
  bool start(PyObject* data, int32_t level, int32_t threads);
  // Whether an input of `size` bytes may be given piece by piece instead:
  // with worker threads the library cuts its input into the same jobs,
  // and so makes the same frame, however the input arrives. That holds for
  // a thread count of 1 or more and an input large enough for the library
  // to use its workers at all.
  static bool streams(uint64_t size, int32_t level, int32_t threads);
  // Starts compressing the `size` bytes that `source` gives (which must
  // outlive the work) on a second thread. Returns false when it could not
  // start (no error set). The input cannot be asked for again: a failure
  // of the library is MemoryError.
  bool start_streamed(CompressSource* source, size_t size, int32_t level, int32_t threads);
  bool started() const { return started_; }
  // Waits for the work to end, keeping the interpreter lock; the
  // compressor's memory is given back by then.
  void wait();
  // The frame as bytes, or null when the library failed: with no error set
  // while `data` is intact, with MemoryError once part of it was given back
  // (the compressor takes it into buffers of its own as it goes, and the
  // caller's private copy is given back meanwhile).
  Ref finish();

 private:
  // The frame's buffer, of the most a frame of `size` bytes can take.
  // False (no error set) when there is no memory for it.
  bool make_output(size_t size, uint8_t** dst, size_t* capacity);
  // Runs `work` on the second thread; false, with the buffers dropped,
  // when no thread could be started.
  template <class F>
  bool launch(F&& work);

  Ref data_;
  Ref output_;
  size_t written_ = 0;
  bool ok_ = false;
  bool lost_ = false;  // part of the data was given back while compressing
  bool started_ = false;
  std::thread thread_;
};

// zstd.ZstdCompressor(level=level, threads=threads).compress(data), done by
// NativeCompress (with the interpreter lock released while it works, as
// the host's compressor releases it) wherever that applies and succeeds.
Ref compress_packed(PyObject* data, int32_t level, int32_t threads);

// The host's own decompressor's work done by the module on a second thread,
// started before its turn: the caller adopts the dictionary meanwhile. It
// applies to an exact bytes object holding exactly one frame that declares
// a content size within what a package may hold; the content is what the
// host's decompressor gives for such a frame. Any failure is left to the
// host's decompressor, called at the usual step, to report its own way.
class EarlyDecompress {
 public:
  EarlyDecompress() = default;
  EarlyDecompress(const EarlyDecompress&) = delete;
  EarlyDecompress& operator=(const EarlyDecompress&) = delete;
  ~EarlyDecompress();

  // Starts when it applies and it has not started yet (no error set
  // either way).
  void start(PyObject* payload);
  bool started() const { return static_cast<bool>(payload_); }
  // At the usual step: the content of `payload`, when it is the payload
  // started on, the host's own decompressor would still be called and the
  // library succeeded; otherwise null, with no error set.
  Ref take(PyObject* payload);

 private:
  Ref payload_;
  Ref output_;
  bool ok_ = false;
  std::thread thread_;
};

// zstd.ZstdDecompressor().decompress(payload). While `zstd` is the host's
// own module, a frame whose header declares more than 2 GiB of content is
// refused with ValueError before anything is decompressed.
Ref zstd_decompress(PyObject* payload);

}  // namespace qbc
