// `decode_package`: loads a package, adopts its dictionary, decompresses and
// unpacks the id records, turns every id back into its text and writes each
// file into the output directory.
//
// While the stream is a bytes object and the adopted reverse map is the
// plain dict built here, ids are resolved through a native table made while
// that map was built, and each file's text is assembled in one allocation
// (or, for a long file of the host's own `open`, written to it as UTF-8 a
// piece at a time). Anything else goes through the host's protocols one
// record at a time.
#include "package/decoder.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binding/compressor.hpp"
#include "binding/convert.hpp"
#include "binding/host.hpp"
#include "binding/module.hpp"
#include "dictionary/id_assign.hpp"
#include "dictionary/inverse_map.hpp"
#include "dictionary/token_index.hpp"
#include "package/format.hpp"
#include "package/text_file.hpp"
#include "package/utf8_encode.hpp"
#include "package/zstd_adapter.hpp"

namespace qbc {
namespace {

const Where& w = kDecodeWhere;

// Id -> token text, as the reverse map answers `get(id)` for ids 0..2^31-1,
// with every text copied into one arena and described by a 16-byte entry,
// so that assembling a file reads compact memory instead of one scattered
// host object per token.
class IdTable : public PairVisitor {
 public:
  // Eight bytes per id, so that the table of a large dictionary stays in
  // the caches.
  struct Entry {
    uint32_t offset;       // into the arena, in bytes
    uint32_t length : 24;  // code points (longer texts are joined by the host)
    uint32_t kind : 3;     // bytes per code point
    uint32_t wide : 2;     // the text's class: 0 ASCII, 1 Latin-1, 2 UCS-2, 3 UCS-4
    uint32_t missing : 1;
    uint32_t surrogate : 1;  // holds a code point that UTF-8 cannot encode

    uint32_t maxchar() const { return kMaxChars[wide]; }
    static constexpr uint32_t kMaxChars[4] = {127, 255, 65535, 1114111};
  };

  IdTable() : unknown_text_(names().unknown_token) {}
  IdTable(const IdTable&) = delete;
  IdTable& operator=(const IdTable&) = delete;
  ~IdTable() { wait(); }

  void pair(PyObject* key, PyObject* value) override {
    max_ids_.pair(key, value);
    if (!is_plain_key(key)) tokens_plain_ = false;
    if (!is_plain_key(value)) ids_plain_ = false;
    // The second thread takes the pairs from the map itself.
    if (apart_.joinable() || !usable_) return;
    try {
      if (!take(key, value, pairs_)) pairs_.clear();
    } catch (const std::bad_alloc&) {
      // Without room for the table the texts are joined by the host.
      usable_ = false;
      LargeVector<std::pair<uint32_t, Ref>>().swap(pairs_);
    }
  }

  // Room for the pairs of a map of `count` entries, taken at once so that
  // collecting them neither copies nor faults in a growing array piece by
  // piece. Only a hint: without the room they are collected as they come.
  void expect(Py_ssize_t count) {
    try {
      pairs_.reserve(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
  }

  // The table of a large exact dict is built on a second thread, from the
  // dict itself, while the calling thread builds its reverse map: the same
  // pairs as pair() would collect. Nothing can change the dict meanwhile,
  // as the walk runs no host code (the interpreter lock is kept, and no
  // collection starts) until wait(), which comes before any id whose
  // storing could (with such an id the table is not used anyway).
  void begin(PyObject* forward) override {
    if (PyDict_GET_SIZE(forward) < kApartFrom) {
      expect(PyDict_GET_SIZE(forward));
      return;
    }
    // No collection either, whose finalizers could run host code, until
    // the second thread is done.
    gc_was_enabled_ = PyGC_Disable() != 0;
    try {
      apart_ = start_thread([this, forward] {
        LargeVector<std::pair<uint32_t, PyObject*>> pairs;
        try {
          pairs.reserve(static_cast<size_t>(PyDict_GET_SIZE(forward)));
          Py_ssize_t pos = 0;
          PyObject *key, *value;
          while (PyDict_Next(forward, &pos, &key, &value)) {
            if (!take(key, value, pairs)) return;
          }
        } catch (const std::bad_alloc&) {
          // As in pair(): the texts are joined by the host.
          usable_ = false;
          return;
        }
        try {
          build(pairs);
        } catch (const std::bad_alloc&) {
          apart_failed_ = true;
        }
      });
    } catch (const std::exception&) {
      // No thread (or no memory for one): built from pair() instead.
      if (gc_was_enabled_) PyGC_Enable();
      gc_was_enabled_ = false;
      expect(PyDict_GET_SIZE(forward));
    }
  }

  void host_code_next() override { wait(); }

  // Waits for the second thread, keeping the interpreter lock: nothing may
  // change the map it reads before it is done.
  void wait() {
    if (!apart_.joinable()) return;
    apart_.join();
    waited_ = true;
    if (gc_was_enabled_) PyGC_Enable();
    gc_was_enabled_ = false;
  }

  // Builds the lookup once the map has been walked. Returns false with
  // MemoryError set.
  bool finish() {
    wait();
    if (waited_) {
      if (apart_failed_) {
        PyErr_NoMemory();
        return false;
      }
      return true;
    }
    if (!usable_) return true;
    try {
      build(pairs_);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    pairs_.clear();
    pairs_.shrink_to_fit();
    return true;
  }

  // True when every id resolves through the table as through the map.
  bool usable() const { return usable_; }
  bool tokens_plain() const { return tokens_plain_; }
  bool ids_plain() const { return ids_plain_; }
  // Whether some text of the table holds a surrogate.
  bool any_surrogate() const { return any_surrogate_; }
  int64_t max_id() const { return max_ids_.max_id(); }

  // Starts fetching the entry of `id` ahead of its use.
  void prefetch(uint32_t id) const {
    if (dense_ && id < by_id_.size()) __builtin_prefetch(&by_id_[id]);
  }

  const Entry& at(uint32_t id) const {
    if (dense_) {
      if (id < by_id_.size() && !by_id_[id].missing) return by_id_[id];
      return unknown_;
    }
    auto it = sparse_.find(id);
    return it == sparse_.end() ? unknown_ : it->second;
  }
  const uint8_t* arena() const { return arena_.data(); }

 private:
  // Copies a text into the arena, aligned for its width.
  Entry add_text(PyObject* text) {
    const uint32_t kind = PyUnicode_KIND(text);
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    size_t offset = (arena_.size() + kind - 1) / kind * kind;
    if (length >= (1u << 24) || offset + length * kind + 16 > UINT32_MAX) throw TooLarge();
    arena_.resize(offset + length * kind);
    std::memcpy(arena_.data() + offset, PyUnicode_DATA(text), length * kind);
    const uint32_t maxchar = PyUnicode_MAX_CHAR_VALUE(text);
    const uint32_t wide = maxchar < 128 ? 0 : maxchar < 256 ? 1 : maxchar < 65536 ? 2 : 3;
    const void* units = arena_.data() + offset;
    const bool surrogate =
        kind == PyUnicode_2BYTE_KIND   ? has_surrogate(static_cast<const Py_UCS2*>(units), length)
        : kind == PyUnicode_4BYTE_KIND ? has_surrogate(static_cast<const Py_UCS4*>(units), length)
                                       : false;
    any_surrogate_ |= surrogate;
    return Entry{static_cast<uint32_t>(offset), static_cast<uint32_t>(length), kind, wide, 0,
                 surrogate};
  }

  struct TooLarge {};

  // Maps of fewer entries are quicker walked than a thread is started.
  static constexpr Py_ssize_t kApartFrom = 16384;

  static PyObject* text_of(const Ref& text) { return text.get(); }
  static PyObject* text_of(PyObject* text) { return text; }

  // Adds the pair of a token and its id to `pairs`; kept as a plain pointer,
  // the token's reference count is not touched, so that the second thread
  // may do it. False, with the table unusable, when the texts are to be
  // joined by the host. Throws std::bad_alloc.
  template <class Text>
  bool take(PyObject* key, PyObject* value, LargeVector<std::pair<uint32_t, Text>>& pairs) {
    // The reverse map's keys are the ids (`value`) and its values the texts.
    // Only plain ints (and bools) hash and compare as the ids looked up; a
    // float, or an int subclass with its own hash or equality, could answer
    // an int lookup differently. Texts other than exact str are joined by
    // the host.
    if ((!PyLong_CheckExact(value) && !PyBool_Check(value)) || !PyUnicode_CheckExact(key)) {
      usable_ = false;
      return false;
    }
    int overflow = 0;
    long long id = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || id < 0 || id > INT32_MAX) return true;
    if constexpr (std::is_same_v<Text, Ref>) {
      pairs.emplace_back(static_cast<uint32_t>(id), Ref::borrow(key));
    } else {
      pairs.emplace_back(static_cast<uint32_t>(id), key);
    }
    // Its bytes, and the most alignment padding they may need.
    arena_bytes_ += static_cast<size_t>(PyUnicode_GET_LENGTH(key) + 1) * PyUnicode_KIND(key);
    return true;
  }

  // The lookup of the pairs collected. Throws std::bad_alloc.
  template <class Pairs>
  void build(const Pairs& pairs) {
    if (!usable_) return;
    try {
      // Room for every text at once, so that the arena never moves.
      arena_.reserve(arena_bytes_ + 4 * (PyUnicode_GET_LENGTH(unknown_text_) + 1) + 16);
      unknown_ = add_text(unknown_text_);
      uint32_t max_id = 0;
      for (const auto& p : pairs) max_id = std::max(max_id, p.first);
      dense_ = pairs.empty() || max_id < 4 * pairs.size() + 4096;
      if (dense_) by_id_.assign(pairs.empty() ? 0 : size_t{max_id} + 1, Entry{0, 0, 1, 0, 1, 0});
      // Later pairs win, as in the reverse map.
      for (const auto& p : pairs) {
        Entry e = add_text(text_of(p.second));
        if (dense_) {
          by_id_[p.first] = e;
        } else {
          sparse_[p.first] = e;
        }
      }
      // Slack after the last text, so that short copies may read whole
      // words from any text.
      arena_.resize(arena_.size() + 16);
    } catch (const TooLarge&) {
      // A dictionary this large in its texts is joined by the host.
      usable_ = false;
    }
  }

  MaxIdVisitor max_ids_;
  LargeVector<std::pair<uint32_t, Ref>> pairs_;
  size_t arena_bytes_ = 0;
  LargeVector<uint8_t> arena_;
  LargeVector<Entry> by_id_;
  std::unordered_map<uint32_t, Entry> sparse_;
  Entry unknown_{};
  bool dense_ = true;
  bool usable_ = true;
  bool tokens_plain_ = true;
  bool ids_plain_ = true;
  bool any_surrogate_ = false;
  // The text of ids the map lacks, read by the second thread too.
  PyObject* const unknown_text_;
  std::thread apart_;
  bool waited_ = false;
  bool apart_failed_ = false;
  bool gc_was_enabled_ = false;
};

// The restored token sequence: either native (records of an immutable bytes
// stream resolved through the table) or a host list, as the host would
// build it.
struct Restored {
  Ref stream;                   // keeps `records` alive
  const uint8_t* records = nullptr;
  const IdTable* table = nullptr;
  Ref list;                     // used when `records` is null
  Py_ssize_t count = 0;
  // Entries met while joining one file, reused from file to file.
  mutable std::vector<IdTable::Entry> scratch;
};

// One record of a stream that is not a bytes object: four item reads,
// shifts and ORs on host integers, then the 32-bit conversion.
bool generic_record(PyObject* stream, Py_ssize_t index, int32_t* id) {
  static const int shifts[] = {24, 16, 8, 0};
  Ref combined;
  for (int k = 0; k < 4; ++k) {
    // Item access as the host's subscript: any object with __getitem__
    // (a mapping keyed by position included), not only sequences.
    Ref position = Ref::steal(PyLong_FromSsize_t(4 * index + k));
    if (!position) return false;
    Ref item = Ref::steal(PyObject_GetItem(stream, position.get()));
    if (!item) return false;
    Ref part;
    if (shifts[k] != 0) {
      Ref amount = Ref::steal(PyLong_FromLong(shifts[k]));
      if (!amount) return false;
      part = Ref::steal(PyNumber_Lshift(item.get(), amount.get()));
      if (!part) return false;
    } else {
      part = std::move(item);
    }
    if (!combined) {
      combined = std::move(part);
    } else {
      combined = Ref::steal(PyNumber_Or(combined.get(), part.get()));
      if (!combined) return false;
    }
  }
  return to_int32(combined.get(), id);
}

// The records of the stream, each resolved to its text.
bool restore(CompressorObject* c, Ref stream, const IdTable& table, PyObject* built_inverse,
             uint64_t inverse_version, Restored* out) {
  Py_ssize_t length = PyObject_Length(stream.get());
  if (length < 0) return fail_int(w, 108), false;
  const Py_ssize_t count = length / 4;
  if (static_cast<uint64_t>(count) > kMaxRecords) {
    PyErr_Format(PyExc_OverflowError,
                 "a stream of %zd records is more than the 536870912 one package can hold",
                 count);
    return fail_int(w, 108), false;
  }
  out->count = count;
  const bool bytes = PyBytes_CheckExact(stream.get());
  // The table answers exactly as the reverse map would while that map is
  // still the compressor's and unchanged since it was built; bytes cannot
  // change, so records can be resolved when each file is assembled.
  if (bytes && table.usable() && c->inverse_dict == built_inverse &&
      dict_version(built_inverse) == inverse_version) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(stream.get()));
    if (first_oversized_record(data, static_cast<size_t>(count)) <
        static_cast<size_t>(count)) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return fail_int(w, 114), false;
    }
    out->stream = std::move(stream);
    out->records = data;
    out->table = &table;
    return true;
  }
  Ref list = Ref::steal(PyList_New(count));
  if (!list) return fail_int(w, 109), false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    int32_t id;
    if (bytes) {
      const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(stream.get()));
      uint32_t raw = load_record(data + 4 * i);
      if (raw > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return fail_int(w, 114), false;
      }
      id = static_cast<int32_t>(raw);
    } else if (!generic_record(stream.get(), i, &id)) {
      return fail_int(w, 114), false;
    }
    Ref key = Ref::steal(PyLong_FromLong(id));
    if (!key) return fail_int(w, 115), false;
    Ref inverse = Ref::borrow(c->inverse_dict);
    Ref text = call_method(inverse.get(), names().get, key.get(), names().unknown_token);
    if (!text) return fail_int(w, 115), false;
    PyList_SetItem(list.get(), i, text.release());
  }
  out->list = std::move(list);
  return true;
}

// A stored name that is used as a file name must not lead out of the
// output directory.
bool check_plain_name(PyObject* name, PyObject* sep, PyObject* altsep) {
  bool bad = PyUnicode_GET_LENGTH(name) == 0 ||
             PyUnicode_CompareWithASCIIString(name, ".") == 0 ||
             PyUnicode_CompareWithASCIIString(name, "..") == 0 ||
             PyUnicode_FindChar(name, '/', 0, PyUnicode_GET_LENGTH(name), 1) >= 0 ||
             PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1) >= 0;
  for (PyObject* part : {sep, altsep}) {
    if (bad || part == nullptr || !PyUnicode_Check(part) || PyUnicode_GET_LENGTH(part) == 0) {
      continue;
    }
    int found = PyUnicode_Contains(name, part);
    if (found < 0) return false;
    bad = found;
  }
  if (!bad) return true;
  PyErr_Format(PyExc_ValueError,
               "refusing to write %R: a stored file name must be a plain name inside the "
               "output directory",
               name);
  return false;
}

// One file to write: its end boundary and stored name.
struct Entry {
  int32_t boundary;
  Ref name;
};

// The pairs of boundaries and names up to the first failure,
// converted and tested before any file is written. A failure that the host
// would meet only after writing the earlier files is kept in `deferred` and
// raised after them.
// Whether `obj` is an exact dict whose keys are all exact strs, so that
// looking up a str in it runs no host code.
bool dict_keys_exact_str(PyObject* obj) {
  if (!PyDict_CheckExact(obj)) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

struct Deferred {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  ~Deferred() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  bool pending() const { return type != nullptr; }
  void keep() { PyErr_Fetch(&type, &value, &tb); }
  void raise() {
    PyErr_Restore(type, value, tb);
    type = value = tb = nullptr;
  }
};

bool collect_entries(PyObject* package, std::vector<Entry>* entries, Deferred* deferred) {
  const Names& n = names();
  Ref boundaries = Ref::steal(PyObject_GetItem(package, n.key_file_boundaries));
  if (!boundaries) return false;
  Ref filenames = Ref::steal(PyObject_GetItem(package, n.key_filenames));
  if (!filenames) return false;
  Ref pairs = call(builtins().zip, boundaries.get(), filenames.get());
  if (!pairs) return false;
  Ref iter = Ref::steal(PyObject_GetIter(pairs.get()));
  if (!iter) return false;
  Ref os = module_global(n.os);
  if (!os) return false;
  Ref sep = Ref::steal(PyObject_GetAttrString(os.get(), "sep"));
  if (!sep) PyErr_Clear();
  Ref altsep = Ref::steal(PyObject_GetAttrString(os.get(), "altsep"));
  if (!altsep) PyErr_Clear();
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) deferred->keep();
      return true;
    }
    // The zip fetched at start-up need not be the built-in one: what it
    // yields is unpacked as the host unpacks it.
    Ref boundary, name;
    int32_t end;
    if (!unpack_pair(item.get(), &boundary, &name) || !to_int32(boundary.get(), &end) ||
        !check_exact_or_none(name.get(), &PyUnicode_Type, "str")) {
      deferred->keep();
      return true;
    }
    if (name.get() != Py_None && !check_plain_name(name.get(), sep.get(), altsep.get())) {
      return false;
    }
    entries->push_back(Entry{end, std::move(name)});
  }
}

// Copies `n` code points of width `from` into a text of width `to` (not
// narrower), at code point `pos`.
void copy_units(char* out, int to, Py_ssize_t pos, const uint8_t* src, int from, Py_ssize_t n) {
  if (from == to) {
    std::memcpy(out + pos * to, src, static_cast<size_t>(n) * to);
  } else if (to == PyUnicode_2BYTE_KIND) {
    auto* dst = reinterpret_cast<Py_UCS2*>(out) + pos;
    for (Py_ssize_t k = 0; k < n; ++k) dst[k] = src[k];
  } else if (from == PyUnicode_1BYTE_KIND) {
    auto* dst = reinterpret_cast<Py_UCS4*>(out) + pos;
    for (Py_ssize_t k = 0; k < n; ++k) dst[k] = src[k];
  } else {
    auto* dst = reinterpret_cast<Py_UCS4*>(out) + pos;
    const auto* s2 = reinterpret_cast<const Py_UCS2*>(src);
    for (Py_ssize_t k = 0; k < n; ++k) dst[k] = s2[k];
  }
}

// Length in code points and width class of the text of records
// [start, stop). With `kept`, the entries met are stored there in order, so
// that copying reads them in order instead of from the table again.
struct Shape {
  uint64_t length = 0;
  uint32_t wide = 0;
};

Shape measure(const IdTable& table, const uint8_t* records, Py_ssize_t start, Py_ssize_t stop,
              IdTable::Entry* kept) {
  constexpr Py_ssize_t kAhead = 32;
  Shape shape;
  for (Py_ssize_t i = start; i < stop; ++i) {
    if (i + kAhead < stop) table.prefetch(load_record(records + 4 * (i + kAhead)));
    const IdTable::Entry& e = table.at(load_record(records + 4 * i));
    if (kept != nullptr) kept[i - start] = e;
    shape.length += e.length;
    shape.wide = std::max(shape.wide, e.wide);
  }
  return shape;
}

int kind_of(uint32_t wide) {
  return wide <= 1 ? PyUnicode_1BYTE_KIND : wide == 2 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
}

// An empty str for a text of that shape. Null with an error set.
Ref new_text(const Shape& shape) {
  if (shape.length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
    return nullptr;
  }
  // Written through next, in order, while nothing else can see it.
  HostBlocksInSmallPages small_pages;
  return Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(shape.length),
                                  IdTable::Entry::kMaxChars[shape.wide]));
}

// Widens 16 one-byte code units to two-byte ones (32 bytes written).
inline void widen16(const uint8_t* src, char* dst) {
#if defined(__SSE2__)
  const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const __m128i zero = _mm_setzero_si128();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi8(units, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm_unpackhi_epi8(units, zero));
#else
  uint16_t wide[16];
  for (int k = 0; k < 16; ++k) wide[k] = src[k];
  std::memcpy(dst, wide, sizeof wide);
#endif
}

// Copies the texts of `n` entries one after another into `out` from code
// point `pos` on (`out_bytes` long, code units of width `kind`, which no
// text is wider than); returns the code point after the last.
size_t copy_entries(const uint8_t* arena, const IdTable::Entry* entries, size_t n, char* out,
                    int kind, size_t out_bytes, size_t pos) {
  constexpr size_t kTextAhead = 8;
  for (size_t i = 0; i < n; ++i) {
    if (i + kTextAhead < n) __builtin_prefetch(arena + entries[i + kTextAhead].offset);
    const IdTable::Entry& e = entries[i];
    const uint8_t* src = arena + e.offset;
    const size_t bytes = size_t{e.length} * e.kind;
    if (static_cast<int>(e.kind) == kind && bytes <= 16 && pos * kind + 16 <= out_bytes) {
      // Short texts of the result's width: two word copies (the arena has
      // slack after its last text, the result room after this one).
      uint64_t words[2];
      std::memcpy(words, src, 16);
      std::memcpy(out + pos * kind, words, 16);
    } else if (kind == PyUnicode_2BYTE_KIND && e.kind == PyUnicode_1BYTE_KIND &&
               e.length <= 16 && pos * 2 + 32 <= out_bytes) {
      // Short one-byte texts in a two-byte result, the common case of a
      // text with a few wide characters: widened 16 at a time.
      widen16(src, out + pos * 2);
    } else {
      copy_units(out, kind, static_cast<Py_ssize_t>(pos), src, static_cast<int>(e.kind),
                 e.length);
    }
    pos += e.length;
  }
  return pos;
}

// Copies the texts of records [start, stop) one after another into `out`
// (`out_bytes` long, code units of width `kind`, which no text is wider
// than). `kept` is null or holds the entries measure() met; without them,
// the entries are gathered a block at a time first, so that fetching them
// and fetching their texts do not compete.
void copy_texts(const IdTable& table, const uint8_t* records, Py_ssize_t start, Py_ssize_t stop,
                const IdTable::Entry* kept, char* out, int kind, size_t out_bytes) {
  const uint8_t* arena = table.arena();
  if (kept != nullptr) {
    copy_entries(arena, kept, static_cast<size_t>(stop - start), out, kind, out_bytes, 0);
    return;
  }
  constexpr Py_ssize_t kBlock = 2048;
  IdTable::Entry block[kBlock];
  size_t pos = 0;
  for (Py_ssize_t b = start; b < stop; b += kBlock) {
    const Py_ssize_t end = std::min(stop, b + kBlock);
    measure(table, records, b, end, block);
    pos = copy_entries(arena, block, static_cast<size_t>(end - b), out, kind, out_bytes, pos);
  }
}

// Entries kept per file between the two passes; longer files look their
// entries up twice instead.
constexpr Py_ssize_t kKeptMax = Py_ssize_t{1} << 16;

// Runs `f` on a second thread while the caller goes on, or at join() when
// no thread could be started.
class Beside {
 public:
  template <class F>
  explicit Beside(F&& f) {
    try {
      thread_ = start_thread(std::forward<F>(f));
    } catch (const std::exception&) {
      later_ = std::forward<F>(f);
    }
  }
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;
  ~Beside() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
    if (later_) {
      later_();
      later_ = nullptr;
    }
  }

 private:
  std::thread thread_;
  std::function<void()> later_;
};

// Files of at least this many records are assembled in two halves at once.
constexpr Py_ssize_t kSplitFrom = Py_ssize_t{1} << 20;

// The text of a long file, its second half measured and copied on another
// thread. Each half writes only its own part of the result.
Ref join_halves(const Restored& r, Py_ssize_t start, Py_ssize_t stop) {
  const IdTable& table = *r.table;
  const Py_ssize_t mid = start + (stop - start) / 2;
  Shape first, second;
  {
    Beside helper([&] { second = measure(table, r.records, mid, stop, nullptr); });
    first = measure(table, r.records, start, mid, nullptr);
  }
  Ref result = new_text(Shape{first.length + second.length, std::max(first.wide, second.wide)});
  if (!result) return nullptr;
  const int kind = PyUnicode_KIND(result.get());
  char* out = static_cast<char*>(PyUnicode_DATA(result.get()));
  const size_t first_bytes = static_cast<size_t>(first.length) * kind;
  const size_t second_bytes = static_cast<size_t>(second.length) * kind;
  {
    Beside helper([&] {
      copy_texts(table, r.records, mid, stop, nullptr, out + first_bytes, kind, second_bytes);
    });
    copy_texts(table, r.records, start, mid, nullptr, out, kind, first_bytes);
  }
  return result;
}

// The text of records [start, stop) in one allocation.
Ref join_native(const Restored& r, Py_ssize_t start, Py_ssize_t stop) {
  if (stop - start >= kSplitFrom) return join_halves(r, start, stop);
  std::vector<IdTable::Entry>& kept = r.scratch;
  const bool keep = stop - start <= kKeptMax;
  if (keep) kept.resize(static_cast<size_t>(stop - start));
  const Shape shape = measure(*r.table, r.records, start, stop, keep ? kept.data() : nullptr);
  Ref result = new_text(shape);
  if (!result) return nullptr;
  const int kind = PyUnicode_KIND(result.get());
  copy_texts(*r.table, r.records, start, stop, keep ? kept.data() : nullptr,
             static_cast<char*>(PyUnicode_DATA(result.get())), kind,
             static_cast<size_t>(shape.length) * kind);
  return result;
}

// Records [start, stop) of one file, after the host's slice rules.
struct Range {
  Py_ssize_t start;
  Py_ssize_t stop;
};

Range file_range(const Restored& r, Py_ssize_t start, Py_ssize_t stop) {
  PySlice_AdjustIndices(r.count, &start, &stop, 1);
  if (stop < start) stop = start;
  return Range{start, stop};
}

// "".join(restored_tokens[start:stop]) for a range file_range() gave.
Ref file_text(const Restored& r, Range range) {
  if (r.records != nullptr) return join_native(r, range.start, range.stop);
  Ref slice = Ref::steal(PyList_GetSlice(r.list.get(), range.start, range.stop));
  if (!slice) return nullptr;
  return Ref::steal(PyUnicode_Join(names().empty_str, slice.get()));
}

// UTF-8 bytes at most per code point of an entry's text.
inline size_t utf8_per_unit(const IdTable::Entry& e) {
  return e.wide == 0                        ? 1
         : e.kind == PyUnicode_1BYTE_KIND ? kUtf8PerUnit<Py_UCS1>
         : e.kind == PyUnicode_2BYTE_KIND ? kUtf8PerUnit<Py_UCS2>
                                          : kUtf8PerUnit<Py_UCS4>;
}

// Encodes `count` code points of an entry's text, from `src` on, into
// `out`, which has room for count * utf8_per_unit(e) bytes.
inline char* encode_text(const IdTable::Entry& e, const uint8_t* src, size_t count, char* out) {
  if (e.wide == 0) return encode_ascii(src, count, out);
  if (e.kind == PyUnicode_1BYTE_KIND) return encode_utf8(src, count, out);
  if (e.kind == PyUnicode_2BYTE_KIND) {
    return encode_utf8(reinterpret_cast<const Py_UCS2*>(src), count, out);
  }
  return encode_utf8(reinterpret_cast<const Py_UCS4*>(src), count, out);
}

// Room left after the UTF-8 of short ASCII texts, which are copied as two
// words; the arena has as much slack after its last text.
constexpr size_t kWordSlack = 16;

// Appends the UTF-8 of the texts of `n` entries to `out`, which has room
// for the sum of their length * utf8_per_unit() bytes and kWordSlack more.
char* encode_entries(const uint8_t* arena, const IdTable::Entry* entries, size_t n, char* out) {
  constexpr size_t kTextAhead = 8;
  for (size_t i = 0; i < n; ++i) {
    if (i + kTextAhead < n) __builtin_prefetch(arena + entries[i + kTextAhead].offset);
    const IdTable::Entry& e = entries[i];
    const uint8_t* src = arena + e.offset;
    if (e.wide == 0 && e.length <= kWordSlack) {
      uint64_t words[2];
      std::memcpy(words, src, sizeof words);
      std::memcpy(out, words, sizeof words);
      out += e.length;
    } else {
      out = encode_text(e, src, e.length, out);
    }
  }
  return out;
}

// Calls `f(entries, n)` on the entries of records [start, stop) in order,
// `kept` (when not null) holding them all, else a block at a time.
template <class F>
void for_entries(const IdTable& table, const uint8_t* records, Py_ssize_t start, Py_ssize_t stop,
                 const IdTable::Entry* kept, F&& f) {
  if (kept != nullptr) {
    f(kept, static_cast<size_t>(stop - start));
    return;
  }
  constexpr Py_ssize_t kBlock = 2048;
  IdTable::Entry block[kBlock];
  for (Py_ssize_t b = start; b < stop; b += kBlock) {
    const Py_ssize_t end = std::min(stop, b + kBlock);
    measure(table, records, b, end, block);
    f(static_cast<const IdTable::Entry*>(block), static_cast<size_t>(end - b));
  }
}

// Writes the text of files straight to their descriptors as UTF-8, a piece
// at a time, where the host's text file would write those very bytes (see
// host_text_output_fd()): no str of the whole text is made, nor its encoded
// copy. Only long texts go this way (a short one costs the host little) and
// only texts without surrogates (for those the file's write() raises its
// error before it writes anything).
//
// A write that fails is undone: the file is emptied again and the text goes
// to the file's write(), so that the host meets the failure itself and
// raises its error where it does (for a short remainder, only when the file
// is closed).
class DirectWriter {
 public:
  // The bytes gathered before each write to the file.
  static constexpr size_t kPiece = size_t{64} << 10;
  static constexpr Py_ssize_t kBlock = 2048;
  // Texts of fewer records are left to the file's write().
  static constexpr Py_ssize_t kFromRecords = 16384;

  enum Result { kWritten, kLeft, kFailed };

  // Null (with no error set) when there is no memory for the buffers.
  static std::unique_ptr<DirectWriter> make() {
    std::unique_ptr<DirectWriter> writer(new (std::nothrow) DirectWriter);
    if (!writer) return nullptr;
    writer->buffer_.reset(new (std::nothrow) char[kPiece + kWordSlack]);
    writer->block_.reset(new (std::nothrow) IdTable::Entry[kBlock]);
    if (!writer->buffer_ || !writer->block_) return nullptr;
    return writer;
  }

  static bool worth(Range range) { return range.stop - range.start >= kFromRecords; }

  // Whether the text of the range can be written here.
  bool encodable(const Restored& r, Range range) {
    if (!r.table->any_surrogate()) return true;
    for (Py_ssize_t b = range.start; b < range.stop; b += kBlock) {
      const Py_ssize_t end = std::min(range.stop, b + kBlock);
      measure(*r.table, r.records, b, end, block_.get());
      for (Py_ssize_t i = 0; i < end - b; ++i) {
        if (block_[i].surrogate) return false;
      }
    }
    return true;
  }

  // Writes the text of the range to `fd`, freshly opened and empty, with
  // the interpreter lock released as the host releases it around its
  // writes. kFailed when a signal handler raised.
  Result write(const Restored& r, Range range, int fd) {
    int err = 0;
    {
      LockReleased released;
      err = write_released(r, range, fd, released);
    }
    return outcome(fd, err);
  }

  // Writes the `size` bytes made ahead at `data`, as write() does.
  static Result write_bytes(int fd, const char* data, size_t size) {
    int err = 0;
    {
      LockReleased released;
      err = write_all(fd, data, size, released);
    }
    return outcome(fd, err);
  }

 private:
  DirectWriter() = default;

  // What a write that ended with `err` (see write_all()) comes to. A
  // failed write is undone where the file can be put back at its start;
  // where it cannot, the failure's error is raised.
  static Result outcome(int fd, int err) {
    if (err == 0) return kWritten;
    if (err < 0) return kFailed;
    if (lseek(fd, 0, SEEK_SET) == 0) {
      // Where the file cannot be emptied, the host's write puts the same
      // bytes over the ones written here.
      (void)ftruncate(fd, 0);
      return kLeft;
    }
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    return kFailed;
  }

  int write_released(const Restored& r, Range range, int fd, LockReleased& released) {
    const uint8_t* arena = r.table->arena();
    char* const buffer = buffer_.get();
    IdTable::Entry* const block = block_.get();
    size_t fill = 0;
    for (Py_ssize_t b = range.start; b < range.stop; b += kBlock) {
      const size_t n = static_cast<size_t>(std::min(range.stop, b + kBlock) - b);
      measure(*r.table, r.records, b, b + static_cast<Py_ssize_t>(n), block);
      constexpr size_t kTextAhead = 8;
      for (size_t i = 0; i < n; ++i) {
        if (i + kTextAhead < n) __builtin_prefetch(arena + block[i + kTextAhead].offset);
        const IdTable::Entry& e = block[i];
        const uint8_t* src = arena + e.offset;
        const size_t per_unit = utf8_per_unit(e);
        if (e.length * per_unit <= kPiece - fill) {
          fill = static_cast<size_t>(encode_entries(arena, &e, 1, buffer + fill) - buffer);
          continue;
        }
        // A text that does not fit goes in parts, each filling the piece.
        size_t left = e.length;
        while (left > 0) {
          if (kPiece - fill < per_unit) {
            if (const int err = write_all(fd, buffer, fill, released)) return err;
            fill = 0;
          }
          const size_t take = std::min(left, (kPiece - fill) / per_unit);
          fill = static_cast<size_t>(encode_text(e, src, take, buffer + fill) - buffer);
          src += take * e.kind;
          left -= take;
        }
      }
    }
    return write_all(fd, buffer, fill, released);
  }

  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<IdTable::Entry[]> block_;
};

// Assembles the texts of the files to come on a second thread while the
// calling thread writes the current one.
//
// The table and the records are a snapshot that nothing changes while the
// files are written, so the worker only reads them; it touches no host
// object and writes each text into a buffer of its own: as UTF-8 when the
// files are written straight to their descriptors (and the text has no
// surrogate), else in the code units of its str. The calling thread takes
// the buffer when that file's turn comes, and makes the str of it where
// the text goes to the file's write(). A file the worker could not
// assemble (too long for a buffer ahead, no memory) is joined by the
// calling thread as without the worker, so every error is raised where it
// would be otherwise.
class JoinAhead {
 public:
  // Assembled texts waiting to be taken are held up to this many bytes.
  static constexpr size_t kMaxAhead = size_t{64} << 20;
  // Files of more records than this are joined by the calling thread.
  static constexpr Py_ssize_t kMaxRecords = Py_ssize_t{1} << 22;

  JoinAhead(const Restored& r, std::vector<Range> ranges, bool utf8)
      : r_(r), ranges_(std::move(ranges)), slots_(ranges_.size()), utf8_(utf8) {}
  JoinAhead(const JoinAhead&) = delete;
  JoinAhead& operator=(const JoinAhead&) = delete;

  ~JoinAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    room_.notify_all();
    join_releasing_lock(thread_);
    for (Slot& slot : slots_) std::free(slot.data);
  }

  // Starts the worker; false when no thread could be started.
  bool start() {
    try {
      thread_ = start_thread([this] { loop(); });
    } catch (const std::exception&) {
      return false;
    }
    return true;
  }

  // Writes the UTF-8 the worker made of file `k` to `fd`, as
  // DirectWriter::write() does; kLeft also when the worker made none. A
  // file left is then taken as a str.
  DirectWriter::Result write_made(size_t k, int fd) {
    Slot* slot = wait(k);
    if (slot->state != Slot::kReady || !slot->utf8) return DirectWriter::kLeft;
    const DirectWriter::Result result =
        DirectWriter::write_bytes(fd, slot->data, static_cast<size_t>(slot->length));
    if (result != DirectWriter::kLeft) release(slot);
    return result;
  }

  // Whether file `k` is left to the calling thread to assemble.
  bool left_here(size_t k) { return wait(k)->state == Slot::kHere; }

  // The text of file `k`; files are taken in order. Null with an error set.
  Ref take(size_t k) {
    Slot* slot = wait(k);
    if (slot->state == Slot::kHere) return join_native(r_, ranges_[k].start, ranges_[k].stop);
    Ref text;
    if (slot->utf8) {
      // A file that turned out not to take its bytes straight: the str of
      // the same text.
      text = Ref::steal(
          PyUnicode_DecodeUTF8(slot->data, static_cast<Py_ssize_t>(slot->length), nullptr));
    } else {
      text = new_text(Shape{slot->length, slot->wide});
      if (text) std::memcpy(PyUnicode_DATA(text.get()), slot->data, bytes_of(*slot));
    }
    release(slot);
    return text;
  }

 private:
  struct Slot {
    enum State { kPending, kReady, kHere };
    State state = kPending;
    bool utf8 = false;     // the data are UTF-8, `length` bytes of it
    char* data = nullptr;  // malloc'd, else `length` code points of kind_of(wide)
    uint64_t length = 0;
    uint32_t wide = 0;
  };

  static size_t bytes_of(const Slot& slot) {
    return slot.utf8 ? static_cast<size_t>(slot.length)
                     : static_cast<size_t>(slot.length) * kind_of(slot.wide);
  }

  // Waits until the worker is done with file `k`.
  Slot* wait(size_t k) {
    Slot* slot = &slots_[k];
    bool waiting;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting = slot->state == Slot::kPending;
    }
    if (waiting) {
      Py_BEGIN_ALLOW_THREADS
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [&] { return slot->state != Slot::kPending; });
      Py_END_ALLOW_THREADS
    }
    return slot;
  }

  // Frees a slot's buffer once its text is written or made into a str.
  void release(Slot* slot) {
    const size_t bytes = bytes_of(*slot);
    std::free(slot->data);
    slot->data = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ahead_ -= bytes;
    }
    room_.notify_all();
  }

  void loop() {
    std::vector<IdTable::Entry> kept;
    for (size_t k = 0; k < ranges_.size(); ++k) {
      const Range range = ranges_[k];
      Slot& slot = slots_[k];
      // The first text is wanted at once: the calling thread writes it
      // while this one goes on with the next.
      Slot::State state = Slot::kHere;
      if (k > 0 && range.stop - range.start <= kMaxRecords) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return stopping_ || ahead_ < kMaxAhead; });
        if (stopping_) return;
        lock.unlock();
        state = assemble(range, slot, kept);
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        slot.state = state;
        if (state == Slot::kReady) ahead_ += bytes_of(slot);
      }
      ready_.notify_one();
    }
  }

  Slot::State assemble(Range range, Slot& slot, std::vector<IdTable::Entry>& kept) noexcept {
    const size_t n = static_cast<size_t>(range.stop - range.start);
    IdTable::Entry* keep = nullptr;
    if (range.stop - range.start <= kKeptMax) {
      try {
        kept.resize(n);
        keep = kept.data();
      } catch (const std::bad_alloc&) {
      }
    }
    const IdTable& table = *r_.table;
    const Shape shape = measure(table, r_.records, range.start, range.stop, keep);
    // A text this long is refused by the calling thread, with its error.
    if (shape.length > static_cast<uint64_t>(PY_SSIZE_T_MAX) / 4) return Slot::kHere;
    if (utf8_ && DirectWriter::worth(range)) {
      size_t bound = 0;
      bool surrogate = false;
      for_entries(table, r_.records, range.start, range.stop, keep,
                  [&](const IdTable::Entry* entries, size_t count) {
                    for (size_t i = 0; i < count; ++i) {
                      bound += entries[i].length * utf8_per_unit(entries[i]);
                      surrogate |= entries[i].surrogate;
                    }
                  });
      if (!surrogate) {
        char* data = static_cast<char*>(std::malloc(bound + kWordSlack));
        if (data == nullptr) return Slot::kHere;
        char* out = data;
        for_entries(table, r_.records, range.start, range.stop, keep,
                    [&](const IdTable::Entry* entries, size_t count) {
                      out = encode_entries(table.arena(), entries, count, out);
                    });
        slot.data = data;
        slot.length = static_cast<uint64_t>(out - data);
        slot.utf8 = true;
        return Slot::kReady;
      }
    }
    const int kind = kind_of(shape.wide);
    const size_t bytes = static_cast<size_t>(shape.length) * kind;
    char* data = static_cast<char*>(std::malloc(bytes != 0 ? bytes : 1));
    if (data == nullptr) return Slot::kHere;
    copy_texts(table, r_.records, range.start, range.stop, keep, data, kind, bytes);
    slot.data = data;
    slot.length = shape.length;
    slot.wide = shape.wide;
    return Slot::kReady;
  }

  const Restored& r_;
  const std::vector<Range> ranges_;
  std::vector<Slot> slots_;
  const bool utf8_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable ready_;  // a file's text is ready, or left to the caller
  std::condition_variable room_;   // a text was taken, or stop
  size_t ahead_ = 0;
  bool stopping_ = false;
};

bool write_files(PyObject* output_dir, const std::vector<Entry>& entries, const Restored& r) {
  const Names& n = names();
  std::vector<Range> ranges;
  ranges.reserve(entries.size());
  Py_ssize_t start = 0;
  for (const Entry& entry : entries) {
    ranges.push_back(file_range(r, start, entry.boundary));
    start = entry.boundary;
  }
  // Files of the host's own open take their UTF-8 straight. With more than
  // one file, the next texts are assembled while the current one is
  // written.
  std::unique_ptr<DirectWriter> direct;
  if (r.records != nullptr && opens_host_files()) direct = DirectWriter::make();
  std::unique_ptr<JoinAhead> ahead;
  if (r.records != nullptr && entries.size() > 1) {
    ahead = std::make_unique<JoinAhead>(r, ranges, direct != nullptr);
    if (!ahead->start()) ahead.reset();
  }
  for (size_t k = 0; k < entries.size(); ++k) {
    const Entry& entry = entries[k];
    Ref path = os_path_call(n.join, output_dir, entry.name.get());
    if (!path) return fail_int(w, 123), false;
    FileBlock block(w, 123);
    bool ok = block.run(open_text(path.get(), n.mode_w, n.empty_str), [&](PyObject* file) {
      const int fd = direct && DirectWriter::worth(ranges[k]) ? host_text_output_fd(file) : -1;
      if (fd >= 0) {
        DirectWriter::Result result = DirectWriter::kLeft;
        if (ahead && !ahead->left_here(k)) {
          result = ahead->write_made(k, fd);
        } else if (direct->encodable(r, ranges[k])) {
          result = direct->write(r, ranges[k], fd);
        }
        if (result == DirectWriter::kFailed) return fail_int(w, 124), false;
        if (result == DirectWriter::kWritten) return true;
      }
      Ref text = ahead ? ahead->take(k) : file_text(r, ranges[k]);
      if (!text) return fail_int(w, 124), false;
      if (!call_method(file, n.write, text.get())) return fail_int(w, 124), false;
      return true;
    });
    if (!ok) return false;
  }
  return true;
}

// os.makedirs(output_dir, exist_ok=True)
bool make_output_dir(PyObject* output_dir) {
  const Names& n = names();
  Ref os = module_global(n.os);
  if (!os) return false;
  Ref makedirs = getattr(os.get(), n.makedirs);
  if (!makedirs) return false;
  Ref kwnames = Ref::steal(PyTuple_Pack(1, n.exist_ok));
  if (!kwnames) return false;
  PyObject* argv[] = {nullptr, output_dir, Py_True};
  return static_cast<bool>(Ref::steal(PyObject_Vectorcall(
      makedirs.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get())));
}

}  // namespace

PyObject* decode_package(PyObject* self, PyObject* package_path, PyObject* output_dir,
                         bool use_zstd) {
  // The large blocks (tables of the maps, texts) take their memory from
  // huge pages; the loader does the same for the objects of a large package.
  // A package of more than kSmallPagesFromStream bytes has everything take
  // small pages instead, from its reading to the last file written: its
  // maps, records and texts come to tens of megabytes.
  std::optional<SmallPagesOnly> small_pages;
  HostMemoryInHugePages huge_blocks(false);
  CompressorObject* c = as_compressor(self);
  const Names& n = names();

  // The stream is decompressed on a second thread while the rest of the
  // package is loaded and the dictionary adopted, when nothing in between
  // can tell: the payload is a frame for the host's own decompressor, which
  // is checked again when its turn comes, and the payload the package holds
  // then must be the very bytes object started on. A package loaded
  // natively starts it as soon as its first large bytes object is made
  // (the payload comes first in the packages the module writes); otherwise
  // it starts once the package is loaded, when that is a dict with str
  // keys only (reading it runs no host code: a key of another type could
  // be compared with "compressed").
  EarlyDecompress early;
  const auto start_early = [](void* context, PyObject* bytes) {
    static_cast<EarlyDecompress*>(context)->start(bytes);
  };
  Ref package;
  {
    FileBlock block(w, 96);
    bool ok = block.run(open_file(package_path, n.mode_rb), [&](PyObject* file) {
      package = use_zstd ? pickle_load(file, start_early, &early, &small_pages)
                         : pickle_load(file, nullptr, nullptr, &small_pages);
      if (!package) return fail_int(w, 97), false;
      return true;
    });
    if (!ok) return nullptr;
  }

  if (use_zstd && !early.started() && dict_keys_exact_str(package.get())) {
    PyObject* payload = PyDict_GetItemWithError(package.get(), n.key_compressed);
    if (payload != nullptr) {
      early.start(payload);
    } else {
      PyErr_Clear();
    }
  }

  Ref empty = Ref::steal(PyDict_New());
  if (!empty) return fail(w, 99);
  Ref forward = call_method(package.get(), n.get, n.key_global_dict, empty.get());
  if (!forward) return fail(w, 99);
  replace_slot(&c->global_dict, forward.get());

  IdTable table;
  Ref inverse = build_inverse(c->global_dict, &table);
  table.wait();
  if (!inverse || !table.finish()) return fail(w, 100);
  replace_slot(&c->inverse_dict, inverse.get());
  // New ids handed out later must not collide with the adopted ones.
  if (table.max_id() >= 0 && table.max_id() >= c->next_id) {
    c->next_id = table.max_id() >= INT32_MAX ? INT32_MAX
                                             : static_cast<int32_t>(table.max_id() + 1);
  }
  set_max_id(c, table.max_id(), table.tokens_plain());
  set_inverse_plain(c, table.ids_plain());
  const uint64_t inverse_version = dict_version(inverse.get());

  Ref payload = Ref::steal(PyObject_GetItem(package.get(), n.key_compressed));
  if (!payload) return fail(w, 102);
  Ref stream;
  if (use_zstd) {
    stream = early.take(payload.get());
    if (!stream) stream = zstd_decompress(payload.get());
  } else {
    stream = payload;
  }
  if (!stream) return fail(w, 104);
  payload.reset();

  Restored restored;
  if (!restore(c, std::move(stream), table, inverse.get(), inverse_version, &restored)) {
    return nullptr;
  }

  if (!make_output_dir(output_dir)) return fail(w, 117);

  std::vector<Entry> entries;
  Deferred deferred;
  if (!collect_entries(package.get(), &entries, &deferred)) return fail(w, 122);
  if (!write_files(output_dir, entries, restored)) return nullptr;
  if (deferred.pending()) {
    deferred.raise();
    return fail(w, 122);
  }

  PyObject* names_list = PyObject_GetItem(package.get(), n.key_filenames);
  if (names_list == nullptr) return fail(w, 127);
  return names_list;
}

}  // namespace qbc
