#include "package/zstd_adapter.hpp"

#include <zstd.h>

#include "binding/host.hpp"
#include "binding/module.hpp"
#include "package/format.hpp"

namespace qbc {
namespace {

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

}  // namespace

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
  const Names& n = names();
  const Originals& o = originals();
  Ref zstd = module_global(n.zstd);
  if (!zstd) {
    PyErr_Clear();
    return false;
  }
  if (zstd.get() != o.zstd_module || o.zstd_compressor == nullptr) return false;
  // A plain module's attribute is an entry of its namespace.
  PyObject* cls = PyDict_GetItemWithError(PyModule_GetDict(zstd.get()), n.ZstdCompressor);
  if (cls == nullptr) PyErr_Clear();
  return cls != nullptr && cls == o.zstd_compressor;
}

bool BackgroundCompress::start(PyObject* data, int32_t level, int32_t threads) {
  if (_Py_IsFinalizing()) return false;
  data_ = Ref::borrow(data);
  level_ = level;
  threads_ = threads;
  try {
    thread_ = std::thread([this] { run(); });
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
