// Reading a whole input text file without the host's decoding layers, where
// that gives exactly what the file object's read() would, and writing an
// output text file's bytes straight to its descriptor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "binding/handle.hpp"

namespace qbc {

// Reads the files one call opens, keeping one buffer for all of them.
//
// The host's read() of a text file takes the file's bytes into a bytes
// object, decodes them into a str (widening it as wider characters turn
// up) and translates the newlines: for a large file that is three times the
// text in fresh memory, and the decoding makes a copy or two of it. Here the
// bytes are read in pieces and walked to measure the text (its length and
// how wide its str is). A text of plain ASCII then gets a str of its bytes;
// one that fits 16-bit units and is not decoded in two parts is decoded in
// the same walk into units of the reader's own and copied into its str;
// any other is walked again, decoding it straight into a str of its size.
// A file that fits in one piece is read once. The pieces are read at given
// positions, so the file's own position stays where it was. A long file
// whose tokens alone are wanted is read in pieces, without a str at all.
class TextFileReader {
 public:
  TextFileReader() = default;
  TextFileReader(const TextFileReader&) = delete;
  TextFileReader& operator=(const TextFileReader&) = delete;

  // The text of `file`, opened just now by the `open` fetched at start-up
  // with a path, the mode "r" and the encoding "utf-8". Null, with no error
  // set, when this reading does not apply or the file is not what it seemed
  // (not UTF-8, changed meanwhile, unreadable, too large): the caller then
  // calls the file's read(). Nothing here moves the file's position until
  // the text is complete, so that read() reads from the same place as if
  // nothing had happened, and raises the host's own error where there is
  // one. `fresh` says that the file was opened by a path (a str or bytes),
  // so that its descriptor is its own and starts at the beginning.
  Ref read(PyObject* file, bool fresh);

  // Where read_in_pieces() hands the code units of its pieces. Returns
  // false when memory runs out.
  class PieceSink {
   public:
    virtual bool units(int kind, const void* data, size_t length) noexcept = 0;

   protected:
    ~PieceSink() = default;
  };
  // What read_in_pieces() read: the text's length and the kind its str
  // would have.
  struct Pieces {
    uint64_t chars = 0;
    int kind = PyUnicode_1BYTE_KIND;
  };

  // Reads `file`, opened just now by the `open` fetched at start-up by a
  // path, when it is a regular file long enough, without making its str;
  // `ready(size)` is told the file's size first and may decline (false).
  // The bytes are read in pieces cut where a run of whitespace or of other
  // characters begins, and the code units of each piece (the bytes
  // themselves where they are plain ASCII) go to a sink: those of the
  // first half of the text to `first`, those of the second to `second`, on
  // a second thread at the same time. The runs, and so the tokens, are
  // exactly those of the text's str. Returns false, with no error set, when
  // that does not apply or work out (declined, not UTF-8, unreadable, no
  // piece boundary found, no memory): what the sinks were given then counts
  // for nothing, and the caller reads the file another way. The file's
  // position is not moved. Releases the interpreter lock meanwhile; the
  // sinks run without it.
  bool read_in_pieces(PyObject* file, const std::function<bool(uint64_t)>& ready,
                      PieceSink& first, PieceSink& second, Pieces* out);

  // A place where a walk of a text may start afresh: a character boundary
  // with no "\r" just before it that a "\n" could still join.
  struct Cut {
    uint64_t byte = 0;   // from the start of the text
    uint64_t chars = 0;  // before it
  };

 private:
  struct Measured {
    uint64_t bytes = 0;
    uint64_t chars = 0;
    uint32_t max_char = 0;
    bool whole = false;  // the bytes are all in the buffer
    Cut cut;  // where a second thread may start decoding; none at byte 0
  };

  // A buffer the pieces are read into, grown to what the files need.
  class Buffer {
   public:
    Buffer() = default;
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    // At least `bytes` of room; false when there is no memory for it.
    bool reserve(size_t bytes) noexcept;
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

   private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
  };

  template <class U>
  bool decode(int fd, uint64_t start, const Measured& m, U* units);

  Buffer buffer_;
  Buffer second_buffer_;
  Buffer units_;  // a text decoded in the first walk, as 16-bit units
  // The pieces of read_in_pieces() decoded, for each half.
  Buffer piece_units_[2];
};

// The interpreter lock released for a stretch of native work, taken back
// for a moment where that work must raise or run signal handlers.
class LockReleased {
 public:
  LockReleased() : state_(PyEval_SaveThread()) {}
  ~LockReleased() { PyEval_RestoreThread(state_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

  template <class F>
  auto with_lock(F&& f) {
    PyEval_RestoreThread(state_);
    auto result = f();
    state_ = PyEval_SaveThread();
    return result;
  }

 private:
  PyThreadState* state_;
};

// The descriptor that `file` writes to when it is a text file opened just
// now by the `open` fetched at start-up, with the mode "w", the encoding
// "utf-8" and no newline translation, on a regular file: writing the UTF-8
// of a text (one without surrogates) there is then exactly what the file's
// write() of that text does, as its layers hold nothing yet. -1 otherwise,
// with no error set.
int host_text_output_fd(PyObject* file);

// Writes the `size` bytes at `data` to `fd` as the host's files write: a
// short write goes on with the rest, and a write interrupted by a signal
// is made again once the signal's handlers have run. Returns 0 when all
// was written, the errno of a failed write, or -1 when a signal handler
// raised, its error then being set.
int write_all(int fd, const char* data, size_t size, LockReleased& released);

}  // namespace qbc
