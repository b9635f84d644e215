#include "package/text_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <type_traits>

#include "binding/host.hpp"
#include "binding/module.hpp"
#include "dictionary/token_index.hpp"
#include "dictionary/token_scan.hpp"
#include "package/utf8_text.hpp"

namespace qbc {
namespace {

// The pieces the bytes are read in.
constexpr size_t kPiece = size_t{1} << 20;
constexpr size_t kSlack = 4096;
// Files from this size on are read with the interpreter lock released, as
// the host releases it around its own reads.
constexpr off_t kUnlockFrom = off_t{64} << 10;
// Files from this size on are decoded in two parts at once.
constexpr off_t kSplitFrom = off_t{8} << 20;
// The units of a text of this many characters or more, decoded in the first
// walk, are given back to the system once copied into the text's str.
constexpr size_t kDiscardUnitsFrom = size_t{512} << 10;
// The pieces of a file read in pieces: small enough that a piece's units
// are still in the processor's caches when they are scanned.
constexpr size_t kStreamPiece = size_t{256} << 10;
// How far past the middle of such a file the boundary of its halves is
// looked for.
constexpr size_t kMiddleWindow = size_t{64} << 10;

// Runs `f` with the interpreter lock released when `unlock` says so.
template <class F>
void run_unlocked_if(bool unlock, F&& f) {
  if (!unlock) {
    f();
    return;
  }
  Py_BEGIN_ALLOW_THREADS
  f();
  Py_END_ALLOW_THREADS
}

using Cut = TextFileReader::Cut;

// One walk over the bytes [start, end) of a file (to its end when `end` is
// UINT64_MAX), `sink` seeing the text, through `buffer`. A read that gives
// less than asked and reaches `sized_end`, where the file's size said it
// ends, is taken as its end without another read. Returns the bytes walked,
// or UINT64_MAX when they are not UTF-8 or could not be read. Sets `*whole`
// when they all fit in the buffer at once, where they then still are;
// `*cut` (when given) to the boundary between two pieces nearest to
// `middle`.
template <class Sink>
uint64_t walk_file(int fd, uint8_t* buffer, size_t capacity, uint64_t start, uint64_t end,
                   uint64_t sized_end, Sink& sink, bool* whole, Cut* cut, uint64_t middle) {
  uint64_t at = start;
  size_t have = 0;  // bytes in the buffer not yet walked
  bool walked = false;
  for (;;) {
    size_t got = 0;
    const uint64_t room = std::min<uint64_t>(capacity - have, end - at);
    if (room != 0) {
      const ssize_t n = pread(fd, buffer + have, static_cast<size_t>(room), static_cast<off_t>(at));
      // EINTR too: the host's read deals with signals its own way.
      if (n < 0) return UINT64_MAX;
      got = static_cast<size_t>(n);
    }
    at += got;
    have += got;
    // A regular file gives less than asked only at its end: the next read
    // then says so (a file system may give less elsewhere too, so less is
    // taken as the end only where the size said), and a file that fits is
    // walked in one piece.
    const bool final = got == 0 || at == end || (got < room && at == sized_end);
    if (!final && have < capacity) continue;
    const size_t took = walk_utf8(buffer, have, final, sink);
    if (took == kNotUtf8) return UINT64_MAX;
    if constexpr (requires { sink.piece_walked(); }) sink.piece_walked();
    if (final) {
      *whole = !walked;
      return at - start;
    }
    walked = true;
    have -= took;
    if constexpr (std::is_same_v<Sink, Utf8Measure>) {
      if (cut != nullptr) {
        const uint64_t here = at - have - start;
        const auto distance = [&](uint64_t b) { return b > middle ? b - middle : middle - b; };
        if (cut->byte == 0 || distance(here) < distance(cut->byte)) *cut = Cut{here, sink.chars};
      }
    }
    std::memmove(buffer, buffer + took, have);
  }
}

// A sink for the first walk of a text not decoded in two parts: measures it
// as Utf8Measure does and, from its first character that is not plain ASCII
// on (a wider one, or a newline translated), also decodes it into 16-bit
// units, so that a text that fits them needs no second walk. A text of plain
// ASCII only is measured only: its bytes are its str. Decoding starts only
// where that first character comes in the first piece, which still holds
// the plain ASCII before it, and stops for good at a character above U+FFFF
// or past the room: the second walk then decodes the text as before.
// The units are written by a Utf8Writer, whose refusal (no room, a
// character above U+FFFF) ends the decoding.
struct Utf8MeasureAndDecode : Utf8Measure {
  const uint8_t* first_piece;  // the text's first byte, while still there
  Utf8Writer<uint16_t> units;
  bool decoding = false;
  bool given_up = false;

  Utf8MeasureAndDecode(const uint8_t* first, uint16_t* room, size_t n)
      : first_piece(first), units{room, n, 0xFFFF} {}

  // Whether the text is decoded whole into the units.
  bool decoded() const { return decoding && units.written == chars; }

  void piece_walked() { first_piece = nullptr; }

  bool ascii(const uint8_t* p, size_t n) {
    Utf8Measure::ascii(p, n);
    if (decoding && !units.ascii(p, n)) give_up();
    return true;
  }

  size_t three_run(const uint8_t* p, size_t n) {
    if (!decoding) {
      // The first character that is not plain ASCII goes through put(),
      // which begins decoding.
      return given_up ? Utf8Measure::three_run(p, n) : 0;
    }
    const size_t taken = units.three_run(p, n);
    chars += taken / 3;
    if (units.seen_max > max_char) max_char = units.seen_max;
    return taken;
  }

  bool put(uint32_t c) {
    const uint64_t before = chars;
    Utf8Measure::put(c);
    if (!decoding) {
      if (given_up || first_piece == nullptr) {
        given_up = true;
        return true;
      }
      // Everything before is plain ASCII, a byte a character, at the start
      // of the piece.
      decoding = units.ascii(first_piece, static_cast<size_t>(before));
      if (!decoding) {
        given_up = true;
        return true;
      }
    }
    if (!units.put(c)) give_up();
    return true;
  }

 private:
  void give_up() {
    decoding = false;
    given_up = true;
  }
};

// The second walk: decodes the bytes measured into `units` and tells
// whether they are still what was measured.
template <class U>
bool decode_part(int fd, uint8_t* buffer, size_t capacity, uint64_t start, uint64_t end,
                 U* units, size_t count, uint32_t max_char, uint32_t* seen_max) {
  Utf8Writer<U> writer{units, count, max_char};
  bool whole;
  const uint64_t bytes =
      walk_file(fd, buffer, capacity, start, end, UINT64_MAX, writer, &whole, nullptr, 0);
  *seen_max = writer.seen_max;
  return bytes == end - start && writer.written == count;
}

// Whether a run begins at p[j] (0 < j < n) where a piece of a file may
// end: the byte before is a space, a tab or a line feed (whitespace, and no
// "\r" that a "\n" could still join), and the character at j, complete
// before n, is not whitespace. The piece before then ends with a whole
// character, and the next starts afresh.
bool piece_may_end_at(const uint8_t* p, size_t j, size_t n) {
  const uint8_t before = p[j - 1];
  if (before != ' ' && before != '\t' && before != '\n') return false;
  const uint8_t b = p[j];
  if (b < 0x80) return !is_space_unit(b);
  uint32_t c;
  const size_t len = utf8_sequence(p + j, n - j, &c);
  return len != 0 && len != kUtf8CutOff && !is_space_unit(c);
}

// Reads a stretch of a file in pieces, each cut where a run begins, and
// hands each piece's code units to a sink: the bytes themselves for a
// piece of plain ASCII, else the piece decoded into 16-bit units, or into
// 32-bit ones where it has a character above U+FFFF. Touches no host
// object.
struct PieceReader {
  int fd;
  uint8_t* bytes;  // room for kStreamPiece
  void* units;     // room for kStreamPiece 32-bit units
  TextFileReader::PieceSink& sink;
  uint64_t chars = 0;
  uint32_t max_char = 0;

  // Reads [start, end), to the end of the file when `end` is UINT64_MAX.
  // False when the bytes are not UTF-8, cannot be read or end before
  // `end`, no run begins in a whole piece, or the sink runs out of memory.
  bool run(uint64_t start, uint64_t end) {
    uint64_t at = start;
    size_t have = 0;
    for (;;) {
      bool final = false;
      while (have < kStreamPiece && !final) {
        const uint64_t room = std::min<uint64_t>(kStreamPiece - have, end - at);
        ssize_t n = 0;
        if (room != 0) {
          n = pread(fd, bytes + have, static_cast<size_t>(room), static_cast<off_t>(at));
          if (n < 0) return false;
        }
        at += static_cast<uint64_t>(n);
        have += static_cast<size_t>(n);
        final = n == 0 || at == end;
      }
      if (final) {
        if (end != UINT64_MAX && at != end) return false;  // the file got shorter
        return hand_over(bytes, have);
      }
      size_t j = have - 1;
      while (j > 0 && !piece_may_end_at(bytes, j, have)) --j;
      if (j == 0 || !hand_over(bytes, j)) return false;
      have -= j;
      std::memmove(bytes, bytes + j, have);
    }
  }

  // Hands over the complete text of the `n` bytes at `p`.
  bool hand_over(const uint8_t* p, size_t n) {
    if (n == 0) return true;
    if (utf8_detail::ascii_run_end(p, 0, n) == n) {
      chars += n;
      max_char = std::max<uint32_t>(max_char, 0x7F);
      return sink.units(PyUnicode_1BYTE_KIND, p, n);
    }
    Utf8Writer<uint16_t> narrow{static_cast<uint16_t*>(units), n, 0xFFFF};
    if (walk_utf8(p, n, true, narrow) != kNotUtf8) {
      return took(narrow.written, narrow.seen_max, PyUnicode_2BYTE_KIND);
    }
    Utf8Writer<uint32_t> wide{static_cast<uint32_t*>(units), n, 0x10FFFF};
    if (walk_utf8(p, n, true, wide) == kNotUtf8) return false;
    return took(wide.written, wide.seen_max, PyUnicode_4BYTE_KIND);
  }

  bool took(size_t written, uint32_t seen_max, int kind) {
    chars += written;
    max_char = std::max(max_char, seen_max);
    return sink.units(kind, units, written);
  }
};

}  // namespace

TextFileReader::Buffer::~Buffer() {
  if (data_ != nullptr) release_sequential(data_, size_);
}

bool TextFileReader::Buffer::reserve(size_t bytes) noexcept {
  if (bytes <= size_) return true;
  // Grown by half at least, so that files of rising sizes take few buffers.
  bytes = std::max(bytes, std::min(size_ + size_ / 2, kPiece));
  try {
    uint8_t* fresh = static_cast<uint8_t*>(allocate_sequential(bytes));
    if (data_ != nullptr) release_sequential(data_, size_);
    data_ = fresh;
    size_ = bytes;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

template <class U>
bool TextFileReader::decode(int fd, uint64_t start, const Measured& m, U* units) {
  uint32_t seen = 0;
  if (m.whole) {
    // Every byte is still in the buffer, and when none of them needed more
    // than counting (ASCII, no "\r"), they are the text.
    if constexpr (sizeof(U) == 1) {
      if (m.max_char == 0) {
        std::memcpy(units, buffer_.data(), static_cast<size_t>(m.bytes));
        return true;
      }
    }
    Utf8Writer<U> writer{units, static_cast<size_t>(m.chars), m.max_char};
    if (walk_utf8(buffer_.data(), static_cast<size_t>(m.bytes), true, writer) == kNotUtf8) {
      return false;
    }
    return writer.written == m.chars && writer.seen_max == m.max_char;
  }
  const uint64_t end = start + m.bytes;
  if (m.cut.byte != 0 && second_buffer_.reserve(kPiece)) {
    // The two parts on two threads: a long text's str is fresh memory, and
    // faulting it in costs about as much as decoding into it.
    const uint64_t at = start + m.cut.byte;
    bool second_ok = false;
    uint32_t second_seen = 0;
    const auto second = [&] {
      second_ok = decode_part(fd, second_buffer_.data(), kPiece, at, end, units + m.cut.chars,
                              static_cast<size_t>(m.chars - m.cut.chars), m.max_char,
                              &second_seen);
    };
    std::thread helper;
    try {
      helper = start_thread(second);
    } catch (const std::exception&) {
      // No thread (or no memory for one): the parts are decoded in turn.
    }
    const bool first_ok = decode_part(fd, buffer_.data(), buffer_.size(), start, at, units,
                                      static_cast<size_t>(m.cut.chars), m.max_char, &seen);
    if (helper.joinable()) {
      helper.join();
    } else {
      second();
    }
    return first_ok && second_ok && std::max(seen, second_seen) == m.max_char;
  }
  return decode_part(fd, buffer_.data(), buffer_.size(), start, end, units,
                     static_cast<size_t>(m.chars), m.max_char, &seen) &&
         seen == m.max_char;
}

namespace {

// The descriptor of `file`, a text file of the host's own `open`, when it
// is a regular file, with its status in `*st`; -1 otherwise (anything else,
// a pipe or a device, is left to the file's own methods), no error set.
int host_text_fd(PyObject* file, struct stat* st) {
  if (!opens_host_files() || !is_static_type_named(file, "_io.TextIOWrapper")) return -1;
  const int fd = PyObject_AsFileDescriptor(file);
  if (fd < 0) {
    PyErr_Clear();
    return -1;
  }
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) return -1;
  return fd;
}

}  // namespace

Ref TextFileReader::read(PyObject* file, bool fresh) {
  struct stat st;
  const int fd = host_text_fd(file, &st);
  // An empty size marks files whose contents are made as they are read
  // (the kernel's own): they are left to the host's reading.
  if (fd < 0 || st.st_size <= 0) return nullptr;
  const off_t position = fresh ? 0 : lseek(fd, 0, SEEK_CUR);
  // Room for the whole file and a byte more, so that the read that finds
  // its end needs no second piece, up to the piece size; a little more,
  // so that a file that grows a little gets no new buffer.
  const size_t room = static_cast<uint64_t>(st.st_size) >= kPiece - kSlack
                          ? kPiece
                          : static_cast<size_t>(st.st_size) + kSlack;
  if (position < 0 || !buffer_.reserve(room)) return nullptr;
  const uint64_t start = static_cast<uint64_t>(position);
  const bool unlock = st.st_size >= kUnlockFrom;
  const bool split = st.st_size >= kSplitFrom;

  Measured m;
  const auto first_walk = [&](auto& sink) {
    run_unlocked_if(unlock, [&] {
      m.bytes = walk_file(fd, buffer_.data(), buffer_.size(), start, UINT64_MAX,
                          start + static_cast<uint64_t>(st.st_size), sink, &m.whole,
                          split ? &m.cut : nullptr, static_cast<uint64_t>(st.st_size) / 2);
    });
    m.chars = sink.chars;
    m.max_char = sink.max_char;
  };
  // A text decoded in two parts is measured only. Any other may be decoded
  // in the same walk, into room for as many units as the file has bytes,
  // and a little more.
  bool decoded = false;
  if (split) {
    Utf8Measure measure;
    first_walk(measure);
  } else {
    const size_t capacity = static_cast<size_t>(st.st_size) + kSlack;
    const bool room = units_.reserve(capacity * sizeof(uint16_t));
    Utf8MeasureAndDecode measure(buffer_.data(), reinterpret_cast<uint16_t*>(units_.data()),
                                 room ? capacity : 0);
    first_walk(measure);
    decoded = measure.decoded() && m.max_char <= 0xFFFF;
  }
  if (m.bytes == UINT64_MAX || m.chars > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return nullptr;

  Ref text;
  {
    // Decoded into in order, then scanned in order.
    HostBlocksInSmallPages small_pages;
    text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(m.chars), m.max_char));
  }
  if (!text) {
    // The host's read makes its own attempt, and its own error.
    PyErr_Clear();
    return nullptr;
  }
  bool same = false;
  void* data = PyUnicode_DATA(text.get());
  const int kind = PyUnicode_KIND(text.get());
  // Nothing else sees the str until it is returned.
  run_unlocked_if(unlock, [&] {
    if (decoded) {
      const auto* units = reinterpret_cast<const uint16_t*>(units_.data());
      const size_t n = static_cast<size_t>(m.chars);
      if (kind == PyUnicode_1BYTE_KIND) {
        narrow_copy(units, n, static_cast<Py_UCS1*>(data));
      } else {
        std::memcpy(data, units, n * sizeof(uint16_t));
      }
      // The units of a long text go back to the system now rather than at
      // the end of the call, so as not to stay resident beside the texts.
      if (n >= kDiscardUnitsFrom) discard_pages(units_.data(), n * sizeof(uint16_t));
      same = true;
    } else if (kind == PyUnicode_1BYTE_KIND) {
      same = decode(fd, start, m, static_cast<Py_UCS1*>(data));
    } else if (kind == PyUnicode_2BYTE_KIND) {
      same = decode(fd, start, m, static_cast<Py_UCS2*>(data));
    } else {
      same = decode(fd, start, m, static_cast<Py_UCS4*>(data));
    }
  });
  // The contents changed between the walks: the host's read takes them as
  // they are now.
  if (!same) return nullptr;
  // Where the host's read leaves the file: at its end (a file of its own
  // is closed next, and nothing else sees where it was left).
  if (!fresh && lseek(fd, static_cast<off_t>(start + m.bytes), SEEK_SET) < 0) return nullptr;
  return text;
}

bool TextFileReader::read_in_pieces(PyObject* file, const std::function<bool(uint64_t)>& ready,
                                    PieceSink& first, PieceSink& second, Pieces* out) {
  struct stat st;
  const int fd = host_text_fd(file, &st);
  if (fd < 0 || st.st_size < kSplitFrom || !ready(static_cast<uint64_t>(st.st_size))) return false;
  if (!buffer_.reserve(kStreamPiece) || !second_buffer_.reserve(kStreamPiece) ||
      !piece_units_[0].reserve(kStreamPiece * sizeof(uint32_t)) ||
      !piece_units_[1].reserve(kStreamPiece * sizeof(uint32_t))) {
    return false;
  }
  PieceReader halves[2] = {{fd, buffer_.data(), piece_units_[0].data(), first},
                           {fd, second_buffer_.data(), piece_units_[1].data(), second}};
  bool ok[2] = {false, true};
  Py_BEGIN_ALLOW_THREADS
  // The halves meet where a run begins shortly after the middle; a file
  // with no such place there is read whole as the first.
  const uint64_t middle = static_cast<uint64_t>(st.st_size) / 2;
  uint64_t cut = 0;
  const ssize_t n = pread(fd, second_buffer_.data(), kMiddleWindow, static_cast<off_t>(middle));
  for (ssize_t j = 1; j < n; ++j) {
    if (piece_may_end_at(second_buffer_.data(), static_cast<size_t>(j), static_cast<size_t>(n))) {
      cut = middle + static_cast<uint64_t>(j);
      break;
    }
  }
  if (cut == 0) {
    ok[0] = halves[0].run(0, UINT64_MAX);
  } else {
    const auto second_half = [&] { ok[1] = halves[1].run(cut, UINT64_MAX); };
    std::thread helper;
    try {
      helper = start_thread(second_half);
    } catch (const std::exception&) {
      // No thread (or no memory for one): the halves are read in turn.
    }
    ok[0] = halves[0].run(0, cut);
    if (helper.joinable()) {
      helper.join();
    } else {
      second_half();
    }
  }
  Py_END_ALLOW_THREADS
  if (!ok[0] || !ok[1]) return false;
  out->chars = halves[0].chars + halves[1].chars;
  const uint32_t max_char = std::max(halves[0].max_char, halves[1].max_char);
  out->kind = max_char < 0x100 ? PyUnicode_1BYTE_KIND
                               : max_char < 0x10000 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
  return true;
}

int host_text_output_fd(PyObject* file) {
  struct stat st;
  return host_text_fd(file, &st);
}

int write_all(int fd, const char* data, size_t size, LockReleased& released) {
  while (size > 0) {
    const ssize_t n = write(fd, data, std::min<size_t>(size, PY_SSIZE_T_MAX));
    if (n < 0) {
      const int err = errno;
      if (err != EINTR) return err;
      if (released.with_lock([] { return PyErr_CheckSignals(); }) < 0) return -1;
      continue;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace qbc
