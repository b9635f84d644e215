#include "package/zstd_adapter.hpp"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_createCCtx_advanced, for huge pages
#include <zstd.h>

#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "dictionary/token_index.hpp"

#include "binding/host.hpp"
#include "binding/module.hpp"
#include "package/format.hpp"

namespace qbc {
namespace {

// Whether the module's `zstd` is the host's own module and its attribute
// `name` the host's own class `original`.
bool zstd_class_is_host_own(PyObject* name, PyObject* original) {
  Ref zstd = module_global(names().zstd);
  if (!zstd) {
    PyErr_Clear();
    return false;
  }
  if (zstd.get() != originals().zstd_module || original == nullptr) return false;
  // A plain module's attribute is an entry of its namespace.
  PyObject* cls = PyDict_GetItemWithError(PyModule_GetDict(zstd.get()), name);
  if (cls == nullptr) PyErr_Clear();
  return cls != nullptr && cls == original;
}

bool decompressor_is_host_own() {
  return zstd_class_is_host_own(names().ZstdDecompressor, originals().zstd_decompressor);
}

// Refuses a frame that declares more content than a package stream may
// hold. Frames without a declared size, and data that is no frame at all,
// are left to the decompressor, which reports them itself.
bool check_declared_size(PyObject* payload) {
  Py_buffer view;
  if (PyObject_GetBuffer(payload, &view, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    return true;
  }
  unsigned long long size = ZSTD_getFrameContentSize(view.buf, static_cast<size_t>(view.len));
  PyBuffer_Release(&view);
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) return true;
  if (size <= kMaxStreamBytes) return true;
  PyErr_Format(PyExc_ValueError,
               "compressed stream declares %llu bytes of content, more than the 2 GiB a "
               "package may hold",
               size);
  return false;
}

// The compressor's memory. For a large input its large blocks come in huge
// pages. For a small one they come in small pages, since a huge page is
// resident as a whole as soon as it is touched and the compressor touches
// some of its blocks (the output of each job) only in part: blocks of
// 256 KiB or more from mappings of their own, the rest from the heap. The
// compressor's threads are new to the C library's allocator, which gives a
// new thread a heap of its own when the others are busy, and a block freed
// there stays resident with that heap; a mapping is resident only as far as
// it is touched, and given back whole when freed. Each block starts with a
// header that keeps its size and where it came from.
constexpr size_t kBlockHeader = 64;  // keeps the library's 64-byte alignment
constexpr size_t kHugeInputFrom = size_t{8} << 20;
constexpr size_t kMapBlocksFrom = size_t{256} << 10;

enum class BlockSource : uint8_t { kHeap, kLarge, kMapped };

struct BlockHeader {
  size_t total;
  BlockSource source;
};

void* alloc_block(void* opaque, size_t size) {
  const size_t total = size + kBlockHeader;
  void* p;
  BlockSource source = BlockSource::kHeap;
  if (opaque != nullptr) {
    source = BlockSource::kLarge;
    try {
      p = allocate_large(total);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
#if defined(__linux__)
  } else if (total >= kMapBlocksFrom) {
    source = BlockSource::kMapped;
    p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#endif
  } else {
    p = std::malloc(total);
    if (p == nullptr) return nullptr;
  }
  *static_cast<BlockHeader*>(p) = BlockHeader{total, source};
  return static_cast<char*>(p) + kBlockHeader;
}

void free_block(void*, void* address) {
  if (address == nullptr) return;
  char* p = static_cast<char*>(address) - kBlockHeader;
  const BlockHeader header = *reinterpret_cast<BlockHeader*>(p);
  switch (header.source) {
    case BlockSource::kLarge:
      release_large(p, header.total);
      break;
    case BlockSource::kMapped:
#if defined(__linux__)
      munmap(p, header.total);
#endif
      break;
    case BlockSource::kHeap:
      std::free(p);
      break;
  }
}

// Processors this process may run on (at least 1).
int usable_processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

// Sources up to this size make one job whatever the level: the library's
// jobs are 1 MiB at least.
constexpr size_t kOneJobUpTo = size_t{1} << 20;
// Sources up to this size get up to two workers per processor.
constexpr size_t kMoreWorkersUpTo = size_t{32} << 20;

// The workers to start for `threads` on a source of `size` bytes. With one
// worker or more, the library cuts the input into the same jobs and writes
// the same frame whatever their number. A source of a few jobs gets the
// workers asked for, up to two per processor: with no more workers than
// processors, a job beyond them waits until one is done and then runs alone
// on one core while the other idles, whereas with a worker of its own it
// starts as soon as its input is there and shares the cores with the others
// (the kernel documentation's 25 MB of records, four jobs: 0.317 to 0.322
// against 0.335 to 0.343 s on two cores, the peak 5 MB higher). A larger
// source has jobs enough to keep the processors busy, and each worker
// beyond them only takes turns with the others for the same cores and adds
// its own buffers to the call's peak (GCIDE's 43 MB of records: 6 to 12 MB
// more at the peak, the time no better for certain). Without workers the
// frame is another one, so 0 stays 0. A source the library takes as one job
// gets one worker: the others would only be started and ended.
int workers_for(int threads, size_t size) {
  if (threads <= 0) return threads;
  if (size <= kOneJobUpTo) return 1;
  return std::min(threads, usable_processors() * (size <= kMoreWorkersUpTo ? 2 : 1));
}

bool in_bounds(ZSTD_cParameter param, int value) {
  const ZSTD_bounds b = ZSTD_cParam_getBounds(param);
  return !ZSTD_isError(b.error) && value >= b.lowerBound && value <= b.upperBound;
}

// Its address marks the compressions whose large blocks are huge pages.
int huge_pages_mark;

// A context set up as the host's compressor sets one up for a frame of
// `size` bytes: the level and the worker count set, everything else
// default (the content size is written, no checksum), the size pledged.
// Null when the library failed.
ZSTD_CCtx* frame_context(size_t size, int level, int threads) {
  void* mode = size >= kHugeInputFrom ? &huge_pages_mark : nullptr;
  ZSTD_CCtx* cctx = ZSTD_createCCtx_advanced(ZSTD_customMem{alloc_block, free_block, mode});
  if (cctx == nullptr) return nullptr;
  if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, workers_for(threads, size))) ||
      ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx, size))) {
    ZSTD_freeCCtx(cctx);
    return nullptr;
  }
  return cctx;
}

// One frame of `src` into `dst` (at least ZSTD_compressBound(size) bytes),
// made as the host's compressor makes it: a context with the level and the
// worker count set (everything else default: the content size is written,
// no checksum), the source size pledged, then one call that ends the frame
// for the whole source. Returns the frame's size, or 0 when the library
// failed.
//
// With worker threads and a large source, the call is made again and again
// with the output room given out in steps: the workers' output is only
// copied out in pieces then, which changes nothing in what is read or
// written, but the call returns between steps, and the part of the source
// taken into the compressor's own buffers by then is given back to the
// system (`src` is a private buffer that is dropped afterwards). `*lost`
// tells whether any part was. Without workers, or for a source small enough
// that the library works without them anyway, the output room is given at
// once: the library then compresses straight from the source, and limited
// room would make it take another way, with other blocks.
size_t compress_frame(uint8_t* src, size_t size, uint8_t* dst, size_t capacity, int level,
                      int threads, bool* lost) {
  *lost = false;
  ZSTD_CCtx* cctx = frame_context(size, level, threads);
  if (cctx == nullptr) return 0;
  size_t written = 0;
  {
    constexpr size_t kOutputStep = size_t{256} << 10;
    const size_t step = threads > 0 && size >= kHugeInputFrom ? kOutputStep : capacity;
    ZSTD_inBuffer in{src, size, 0};
    ZSTD_outBuffer out{dst, 0, 0};
    size_t given_back = 0;
    for (;;) {
      out.size = capacity - out.pos > step ? out.pos + step : capacity;
      const size_t left = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_end);
      if (ZSTD_isError(left)) break;
      if (left == 0) {
        written = out.pos;
        break;
      }
      if (out.pos < out.size) break;  // room left and still not done: cannot happen
      if (in.pos > given_back) {
        discard_pages(src + given_back, in.pos - given_back);
        given_back = in.pos;
        *lost = true;
      }
    }
  }
  ZSTD_freeCCtx(cctx);
  return written;
}

// The frame of the `size` bytes that `source` gives, made as
// compress_frame() makes it, the input taken a piece at a time; the output
// room is given whole. Returns the frame's size, or 0 when the library
// failed, the source gave up or gave another amount.
size_t compress_source(CompressSource* source, size_t size, uint8_t* dst, size_t capacity,
                       int level, int threads) {
  constexpr size_t kPiece = size_t{1} << 20;
  ZSTD_CCtx* cctx = frame_context(size, level, threads);
  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kPiece]);
  size_t written = 0;
  if (cctx != nullptr && piece) {
    ZSTD_outBuffer out{dst, capacity, 0};
    size_t given = 0;
    bool failed = false;
    while (!failed) {
      const ptrdiff_t n = source->next_piece(piece.get(), kPiece);
      if (n <= 0) {
        failed = n < 0;
        break;
      }
      given += static_cast<size_t>(n);
      ZSTD_inBuffer in{piece.get(), static_cast<size_t>(n), 0};
      while (in.pos < in.size) {
        // With workers the library copies the input into its own buffers,
        // waiting for a worker when they are full.
        if (ZSTD_isError(ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue))) {
          failed = true;
          break;
        }
      }
    }
    if (!failed && given == size) {
      ZSTD_inBuffer none{nullptr, 0, 0};
      for (;;) {
        const size_t left = ZSTD_compressStream2(cctx, &out, &none, ZSTD_e_end);
        if (ZSTD_isError(left) || (left != 0 && out.pos == out.size)) break;
        if (left == 0) {
          written = out.pos;
          break;
        }
      }
    }
  }
  ZSTD_freeCCtx(cctx);
  source->finished(written != 0);
  return written;
}

}  // namespace

bool NativeCompress::streams(uint64_t size, int32_t level, int32_t threads) {
  return threads >= 1 && size >= kHugeInputFrom && size <= kMaxStreamBytes &&
         zstd_compress_is_host_own() && in_bounds(ZSTD_c_compressionLevel, level) &&
         in_bounds(ZSTD_c_nbWorkers, threads);
}

template <class F>
bool NativeCompress::launch(F&& work) {
  try {
    thread_ = start_thread(std::forward<F>(work));
  } catch (const std::exception&) {
    output_.reset();
    data_.reset();
    return false;
  }
  started_ = true;
  return true;
}

bool NativeCompress::start_streamed(CompressSource* source, size_t size, int32_t level,
                                    int32_t threads) {
  uint8_t* dst;
  size_t capacity;
  if (!make_output(size, &dst, &capacity)) return false;
  lost_ = true;
  return launch([this, source, size, dst, capacity, level, threads] {
    written_ = compress_source(source, size, dst, capacity, level, threads);
    ok_ = written_ != 0;
  });
}

bool NativeCompress::make_output(size_t size, uint8_t** dst, size_t* capacity) {
  if (_Py_IsFinalizing()) return false;
  // The frame is written in order.
  HostBlocksInSmallPages small_pages;
  output_ = Ref::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(ZSTD_compressBound(size))));
  if (!output_) {
    PyErr_Clear();
    return false;
  }
  *dst = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(output_.get()));
  *capacity = static_cast<size_t>(PyBytes_GET_SIZE(output_.get()));
  return true;
}

bool NativeCompress::applies(PyObject* data, int32_t level, int32_t threads) {
  return PyByteArray_CheckExact(data) && zstd_compress_is_host_own() &&
         in_bounds(ZSTD_c_compressionLevel, level) && in_bounds(ZSTD_c_nbWorkers, threads);
}

bool NativeCompress::start(PyObject* data, int32_t level, int32_t threads) {
  const size_t size = static_cast<size_t>(PyByteArray_GET_SIZE(data));
  uint8_t* dst;
  size_t capacity;
  if (!make_output(size, &dst, &capacity)) return false;
  data_ = Ref::borrow(data);
  auto* src = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(data));
  return launch([this, src, size, dst, capacity, level, threads] {
    written_ = compress_frame(src, size, dst, capacity, level, threads, &lost_);
    ok_ = written_ != 0;
  });
}

void NativeCompress::wait() {
  if (thread_.joinable()) thread_.join();
}

Ref NativeCompress::finish() {
  wait();
  data_.reset();
  if (!ok_) {
    output_.reset();
    // With part of the records given back the host's compressor cannot be
    // asked instead; the library fails only for want of memory.
    if (lost_) PyErr_NoMemory();
    return nullptr;
  }
  ok_ = false;
  PyObject* bytes = output_.release();
  HostBlocksInSmallPages small_pages;
  if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(written_)) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  return Ref::steal(bytes);
}

NativeCompress::~NativeCompress() { wait(); }

Ref compress_packed(PyObject* data, int32_t level, int32_t threads) {
  if (NativeCompress::applies(data, level, threads)) {
    NativeCompress native;
    if (native.start(data, level, threads)) {
      Py_BEGIN_ALLOW_THREADS
      native.wait();
      Py_END_ALLOW_THREADS
      Ref frame = native.finish();
      if (frame || PyErr_Occurred()) return frame;
    }
  }
  return zstd_compress(data, level, threads);
}

Ref zstd_compress(PyObject* data, int32_t level, int32_t threads) {
  const Names& n = names();
  Ref zstd = module_global(n.zstd);
  if (!zstd) return nullptr;
  Ref cls = getattr(zstd.get(), n.ZstdCompressor);
  if (!cls) return nullptr;
  Ref level_obj = Ref::steal(PyLong_FromLong(level));
  Ref threads_obj = Ref::steal(PyLong_FromLong(threads));
  Ref kwnames = Ref::steal(PyTuple_Pack(2, n.level, n.threads));
  if (!level_obj || !threads_obj || !kwnames) return nullptr;
  PyObject* argv[] = {nullptr, level_obj.get(), threads_obj.get()};
  Ref compressor = Ref::steal(
      PyObject_Vectorcall(cls.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  if (!compressor) return nullptr;
  return call_method(compressor.get(), n.compress, data);
}

bool zstd_compress_is_host_own() {
  return zstd_class_is_host_own(names().ZstdCompressor, originals().zstd_compressor);
}

bool BackgroundCompress::start(PyObject* data, int32_t level, int32_t threads) {
  if (_Py_IsFinalizing()) return false;
  data_ = Ref::borrow(data);
  level_ = level;
  threads_ = threads;
  try {
    thread_ = start_thread([this] { run(); });
  } catch (const std::exception&) {
    data_.reset();
    return false;
  }
  // Hand the interpreter lock over until the call has begun; taking it
  // back then waits until the compressor lets go of it.
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_cv_.wait(lock, [&] { return entered_; });
  }
  Py_END_ALLOW_THREADS
  return true;
}

void BackgroundCompress::run() {
  PyGILState_STATE state = PyGILState_Ensure();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entered_ = true;
  }
  entered_cv_.notify_all();
  result_ = zstd_compress(data_.get(), level_, threads_);
  if (!result_) PyErr_Fetch(&type_, &value_, &tb_);
  PyGILState_Release(state);
}

Ref BackgroundCompress::finish() {
  join_releasing_lock(thread_);
  data_.reset();
  if (!result_) {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
    return nullptr;
  }
  return std::move(result_);
}

BackgroundCompress::~BackgroundCompress() {
  join_releasing_lock(thread_);
  data_.reset();
  result_.reset();
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(tb_);
}

void EarlyDecompress::start(PyObject* payload) {
  if (payload_ || thread_.joinable() || !PyBytes_CheckExact(payload) || _Py_IsFinalizing() ||
      !decompressor_is_host_own()) {
    return;
  }
  const char* src = PyBytes_AS_STRING(payload);
  const size_t len = static_cast<size_t>(PyBytes_GET_SIZE(payload));
  const unsigned long long size = ZSTD_getFrameContentSize(src, len);
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size == 0 ||
      size > kMaxStreamBytes || ZSTD_findFrameCompressedSize(src, len) != len) {
    return;
  }
  {
    // The records are written in order and read in order.
    HostBlocksInSmallPages small_pages;
    output_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  }
  if (!output_) {
    PyErr_Clear();
    return;
  }
  char* dst = PyBytes_AS_STRING(output_.get());
  payload_ = Ref::borrow(payload);
  try {
    thread_ = start_thread([this, src, len, dst, size] {
      const size_t got = ZSTD_decompress(dst, static_cast<size_t>(size), src, len);
      ok_ = !ZSTD_isError(got) && got == size;
    });
  } catch (const std::exception&) {
    payload_.reset();
    output_.reset();
  }
}

Ref EarlyDecompress::take(PyObject* payload) {
  if (!payload_) return nullptr;
  join_releasing_lock(thread_);
  const bool same = payload == payload_.get() && decompressor_is_host_own();
  payload_.reset();
  if (!ok_ || !same) {
    output_.reset();
    return nullptr;
  }
  return std::move(output_);
}

EarlyDecompress::~EarlyDecompress() { join_releasing_lock(thread_); }

Ref zstd_decompress(PyObject* payload) {
  const Names& n = names();
  Ref zstd = module_global(n.zstd);
  if (!zstd) return nullptr;
  Ref cls = getattr(zstd.get(), n.ZstdDecompressor);
  if (!cls) return nullptr;
  const Originals& o = originals();
  if (zstd.get() == o.zstd_module && cls.get() == o.zstd_decompressor &&
      !check_declared_size(payload)) {
    return nullptr;
  }
  Ref decompressor = call0(cls.get());
  if (!decompressor) return nullptr;
  return call_method(decompressor.get(), n.decompress, payload);
}

}  // namespace qbc
