#include "binding/plain_pickle.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "binding/handle.hpp"
#include "binding/host.hpp"
#include "dictionary/id_assign.hpp"
#include "dictionary/token_index.hpp"

namespace qbc {
namespace {

// The opcodes of the host's pickle format that these objects need.
constexpr char kProto = '\x80';
constexpr char kFrame = '\x95';
constexpr char kStop = '.';
constexpr char kEmptyDict = '}';
constexpr char kEmptyList = ']';
constexpr char kMark = '(';
constexpr char kSetItem = 's';
constexpr char kSetItems = 'u';
constexpr char kAppend = 'a';
constexpr char kAppends = 'e';
constexpr char kMemoize = '\x94';
constexpr char kBinGet = 'h';
constexpr char kLongBinGet = 'j';
constexpr char kBinInt = 'J';
constexpr char kBinInt1 = 'K';
constexpr char kBinInt2 = 'M';
constexpr char kShortBinUnicode = '\x8c';
constexpr char kBinUnicode = 'X';
constexpr char kBinUnicode8 = '\x8d';
constexpr char kShortBinBytes = 'C';
constexpr char kBinBytes = 'B';
constexpr char kBinBytes8 = '\x8e';

// The host pickler's constants: the protocol pickle.dump uses when given
// none, the frame size it aims at (a frame ends at the first object that
// starts past it, and a payload this long goes outside any frame), the
// smallest frame it marks as one, and how many items one batch holds.
constexpr int kProtocol = 4;
constexpr size_t kFrameTarget = 64 * 1024;
constexpr size_t kFrameMin = 4;
constexpr size_t kFrameHeader = 9;
constexpr size_t kBatch = 1000;

// Nesting deeper than the package's own is left to the host.
constexpr int kMaxDepth = 4;

bool fits_int32(PyObject* obj) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  return overflow == 0 && v >= INT32_MIN && v <= INT32_MAX;
}

bool plain_item(PyObject* key, PyObject* value, int depth, size_t* bytes,
                PyObject** int_valued, bool* ints);

// Whether the host pickles `obj` in the fixed way written here: exact
// types only (their pickling consults no reducer, dispatch table or
// method), ints that take one of the short int opcodes. Adds to `*bytes`
// about as much as the pickle of `obj` takes in memory, a little more.
// `*int_valued`, when given, is set to a dict among the values of the
// top-level dict `obj` whose values are all ints.
bool plain(PyObject* obj, int depth, size_t* bytes, PyObject** int_valued = nullptr) {
  if (PyLong_CheckExact(obj)) {
    *bytes += 5;
    return fits_int32(obj);
  }
  if (PyUnicode_CheckExact(obj)) {
    // A str of the old kind, made by its code units, is made ready here as
    // the host's pickler would make it.
    if (PyUnicode_READY(obj) < 0) {
      PyErr_Clear();
      return false;
    }
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(obj));
    *bytes += 16 + (PyUnicode_IS_ASCII(obj) ? n : n * (PyUnicode_KIND(obj) + 1));
    return true;
  }
  if (PyBytes_CheckExact(obj)) {
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(obj));
    *bytes += 16 + (n < kFrameTarget ? n : 0);
    return true;
  }
  if (depth >= kMaxDepth) return false;
  if (PyList_CheckExact(obj)) {
    *bytes += 16 + static_cast<size_t>(PyList_GET_SIZE(obj)) / kBatch * 2;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      if (!plain(PyList_GET_ITEM(obj, i), depth + 1, bytes)) return false;
    }
    return true;
  }
  if (PyDict_CheckExact(obj)) {
    *bytes += 16 + static_cast<size_t>(PyDict_GET_SIZE(obj)) / kBatch * 2;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool ints = true;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!plain_item(key, value, depth, bytes, int_valued, &ints)) return false;
    }
    if (ints && depth == 1 && int_valued != nullptr) *int_valued = obj;
    return true;
  }
  return false;
}

// plain() of one item of a dict at `depth`; `*ints` is cleared when its
// value is not an int.
bool plain_item(PyObject* key, PyObject* value, int depth, size_t* bytes,
                PyObject** int_valued, bool* ints) {
  // The items of a token dictionary, checked in place.
  if (PyUnicode_CheckExact(key) && PyUnicode_IS_READY(key) && PyUnicode_IS_ASCII(key) &&
      PyLong_CheckExact(value)) {
    *bytes += 21 + static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    return fits_int32(value);
  }
  *ints = *ints && PyLong_CheckExact(value);
  return plain(key, depth + 1, bytes) &&
         plain(value, depth + 1, bytes, depth == 0 ? int_valued : nullptr);
}

bool all_int_values(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyLong_CheckExact(value)) return false;
  }
  return true;
}

size_t utf8_length(int kind, const void* data, Py_ssize_t n) {
  size_t bytes = static_cast<size_t>(n);
  if (kind == PyUnicode_1BYTE_KIND) {
    const auto* p = static_cast<const Py_UCS1*>(data);
    for (Py_ssize_t i = 0; i < n; ++i) bytes += p[i] >> 7;
    return bytes;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    bytes += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
  }
  return bytes;
}

// UTF-8 of every code point, surrogates included as three bytes each: what
// the host's pickler stores for a str (its "surrogatepass" encoding).
void utf8_encode(int kind, const void* data, Py_ssize_t n, char* out) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (c >> 12));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (c >> 18));
      *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

// The bytes of a pickle being made: appended to in small pieces, one
// object's opcodes at a time, so an append is a bounds check and a copy.
// Throws std::bad_alloc.
class PickleBuffer {
 public:
  PickleBuffer() = default;
  PickleBuffer(const PickleBuffer&) = delete;
  PickleBuffer& operator=(const PickleBuffer&) = delete;
  ~PickleBuffer() { release_sequential(data_, capacity_, own_mapping_); }

  // Memory of its own, in small pages, resident only as far as it is
  // written: for a pickle held beside other work.
  void use_own_mapping() { own_mapping_ = true; }

  size_t size() const { return size_; }
  const char* data() const { return data_; }
  char* data() { return data_; }

  void reserve(size_t n) {
    if (n > capacity_) regrow(n);
  }
  // Room for `n` more bytes at the end, which `advance` then counts.
  char* room(size_t n) {
    if (capacity_ - size_ < n) regrow(std::max(size_ + n, 2 * capacity_));
    return data_ + size_;
  }
  void advance(size_t n) { size_ += n; }
  void append(const char* s, size_t n) {
    std::memcpy(room(n), s, n);
    size_ += n;
  }
  void erase(size_t at, size_t n) {
    std::memmove(data_ + at, data_ + at + n, size_ - at - n);
    size_ -= n;
  }

 private:
  void regrow(size_t n) {
    char* grown = static_cast<char*>(allocate_sequential(n, own_mapping_));
    if (size_ != 0) std::memcpy(grown, data_, size_);
    release_sequential(data_, capacity_, own_mapping_);
    data_ = grown;
    capacity_ = n;
  }

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool own_mapping_ = false;
};

// The memo's numbers of the objects remembered, by identity. Most lookups
// miss (every key of a large dict is looked up), so the table is kept at
// most half full and a miss ends at the first empty entry. Throws
// std::bad_alloc.
class PointerMemo {
 public:
  // The number of `obj`, or -1.
  int64_t find(PyObject* obj) const {
    if (used_ == 0) return -1;
    for (size_t i = home(obj);; i = (i + 1) & (entries_.size() - 1)) {
      const Entry& e = entries_[i];
      if (e.obj == obj) return e.index;
      if (e.obj == nullptr) return -1;
    }
  }
  // Remembers `obj` as `index` unless it is remembered already.
  void add(PyObject* obj, uint32_t index) {
    if (2 * (used_ + 1) > entries_.size()) rehash(entries_.empty() ? 64 : 2 * entries_.size());
    for (size_t i = home(obj);; i = (i + 1) & (entries_.size() - 1)) {
      Entry& e = entries_[i];
      if (e.obj == obj) return;
      if (e.obj == nullptr) {
        e = Entry{obj, index};
        ++used_;
        return;
      }
    }
  }

 private:
  struct Entry {
    PyObject* obj = nullptr;
    uint32_t index = 0;
  };
  size_t home(PyObject* obj) const {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(obj) * 0x9E3779B97F4A7C15u) >> shift_);
  }
  void rehash(size_t n) {
    std::vector<Entry> old(n);
    old.swap(entries_);
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(n));
    used_ = 0;
    for (const Entry& e : old) {
      if (e.obj != nullptr) add(e.obj, e.index);
    }
  }

  std::vector<Entry> entries_;
  size_t used_ = 0;
  unsigned shift_ = 64;
};

// A dict's items, walked in its order.
struct DictItems {
  PyObject* dict;
  Py_ssize_t size() const { return PyDict_GET_SIZE(dict); }
  bool next(Py_ssize_t* pos, PyObject** key, PyObject** value) const {
    return PyDict_Next(dict, pos, key, value);
  }
};

// The items of a dict still to be made, as two arrays.
struct ArrayItems {
  PyObject* const* keys;
  PyObject* const* values;
  Py_ssize_t count;
  Py_ssize_t size() const { return count; }
  bool next(Py_ssize_t* pos, PyObject** key, PyObject** value) const {
    if (*pos >= count) return false;
    *key = keys[*pos];
    *value = values[*pos];
    ++*pos;
    return true;
  }
};

// The host pickler's output, made in memory: the same opcodes, memo
// numbers and frames. A payload long enough to go outside the frames is
// kept as its object, as the host hands it to write() on its own.
class Pickler {
 public:
  struct Chunk {
    size_t end;   // of the buffer bytes that come before the payload
    Ref payload;  // bytes written after them
  };

  // `bytes`: about what the pickle takes in memory; `int_valued`: a dict
  // known to hold ints only, or null. Throws std::bad_alloc.
  void dump(PyObject* obj, size_t bytes, PyObject* int_valued) {
    begin(bytes);
    if (PyDict_CheckExact(obj)) find_tail(DictItems{obj}, int_valued);
    save(obj);
    end();
  }

  // The pickle of a dict of the items given, a dict that none of its
  // objects refers to. `deferred`, one of its values, stands for bytes of
  // a frame's size or more that fill_deferred() puts in its place later.
  // Throws std::bad_alloc.
  void dump_items(const ArrayItems& items, size_t bytes, PyObject* int_valued,
                  PyObject* deferred) {
    out_.use_own_mapping();
    begin(bytes);
    find_tail(items, int_valued);
    deferred_ = deferred;
    write_op(kEmptyDict);
    // The dict's own memo number, which nothing pickled refers to.
    memo_put(nullptr, false);
    save_items(items, true);
    end();
  }

  // Puts `bytes`, of a frame's size up to 4 GiB, in the place dump_items()
  // kept for them.
  void fill_deferred(PyObject* bytes) {
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
    for (Chunk& chunk : chunks_) {
      if (chunk.payload.get() != deferred_) continue;
      // The length header, written just before the payload.
      char* length = out_.data() + chunk.end - 4;
      for (int i = 0; i < 4; ++i) length[i] = static_cast<char>((size >> (8 * i)) & 0xFF);
      chunk.payload = Ref::borrow(bytes);
    }
    deferred_ = nullptr;
  }

  // Whether the objects are pickled in the way the tail takes: every value
  // but one dict of ints holds no container.
  bool has_tail() const { return tail_ != nullptr; }

  const PickleBuffer& buffer() const { return out_; }
  const std::vector<Chunk>& chunks() const { return chunks_; }

 private:
  void begin(size_t bytes) {
    // With a frame header per 64 KiB.
    out_.reserve(bytes + bytes / 4096 + 64);
    const char proto[2] = {kProto, static_cast<char>(kProtocol)};
    write(proto, 2);
    framing_ = true;
  }
  void end() {
    write(&kStop, 1);
    commit_frame();
    framing_ = false;
  }

  // The one dict among the values of a top-level dict, when a dict of ints
  // and every other value holds no container but lists of scalars: then it
  // is pickled once, and its keys need no memo entries, as nothing after
  // one of them can be that same object but the top-level keys after it.
  // Those are watched.
  template <class Items>
  void find_tail(const Items& items, PyObject* int_valued) {
    const auto shallow = [](PyObject* v) {
      if (PyDict_Check(v)) return false;
      if (!PyList_CheckExact(v)) return true;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
        PyObject* item = PyList_GET_ITEM(v, i);
        if (PyList_Check(item) || PyDict_Check(item)) return false;
      }
      return true;
    };
    PyObject* tail = nullptr;
    std::vector<PyObject*> after;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (items.next(&pos, &key, &value)) {
      if (tail != nullptr) after.push_back(key);
      if (shallow(value)) continue;
      if (tail != nullptr || !PyDict_CheckExact(value) ||
          !(value == int_valued || all_int_values(value))) {
        return;
      }
      tail = value;
    }
    tail_ = tail;
    watched_ = std::move(after);
  }
  bool watched(PyObject* obj) const {
    for (PyObject* w : watched_) {
      if (w == obj) return true;
    }
    return false;
  }

  void write(const char* s, size_t n) {
    in_frame();
    out_.append(s, n);
  }
  // Opens a frame, when framing, before the bytes written next.
  void in_frame() {
    if (!framing_ || frame_start_ >= 0) return;
    frame_start_ = static_cast<std::ptrdiff_t>(out_.size());
    std::memset(out_.room(kFrameHeader), '\xFE', kFrameHeader);
    out_.advance(kFrameHeader);
  }
  void write_op(char op) { write(&op, 1); }

  void commit_frame() {
    if (!framing_ || frame_start_ < 0) return;
    const size_t start = static_cast<size_t>(frame_start_);
    const size_t length = out_.size() - start - kFrameHeader;
    if (length >= kFrameMin) {
      char* header = out_.data() + start;
      header[0] = kFrame;
      for (int i = 0; i < 8; ++i) header[1 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    } else {
      out_.erase(start, kFrameHeader);
    }
    frame_start_ = -1;
  }

  // Where each object starts: a frame long enough ends here.
  void opcode_boundary() {
    if (!framing_ || frame_start_ < 0) return;
    if (out_.size() - static_cast<size_t>(frame_start_) - kFrameHeader >= kFrameTarget) {
      commit_frame();
    }
  }

  // A header and its data; data of a frame's size or more goes after the
  // frame, unframed, as an object of its own (`payload`, or one made here).
  void write_with_data(const char* header, size_t header_size, const char* data, size_t size,
                       PyObject* payload) {
    const bool apart = size >= kFrameTarget;
    const bool framing = framing_;
    if (apart) {
      commit_frame();
      framing_ = false;
    }
    write(header, header_size);
    if (apart) {
      Ref object = payload != nullptr
                       ? Ref::borrow(payload)
                       : Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
      if (!object) throw std::bad_alloc();
      chunks_.push_back(Chunk{out_.size(), std::move(object)});
    } else if (data != nullptr) {
      write(data, size);
    }
    framing_ = framing;
  }

  void memo_put(PyObject* obj, bool remember) {
    if (remember || watched(obj)) memo_.add(obj, memo_size_);
    ++memo_size_;
    write_op(kMemoize);
  }

  bool memo_get(PyObject* obj) {
    const int64_t found = memo_.find(obj);
    if (found < 0) return false;
    const uint32_t index = static_cast<uint32_t>(found);
    if (index < 256) {
      const char op[2] = {kBinGet, static_cast<char>(index)};
      write(op, 2);
    } else {
      char op[5] = {kLongBinGet};
      for (int i = 0; i < 4; ++i) op[1 + i] = static_cast<char>((index >> (8 * i)) & 0xFF);
      write(op, 5);
    }
    return true;
  }

  void save_int(PyObject* obj) {
    const long v = PyLong_AsLong(obj);
    const uint32_t u = static_cast<uint32_t>(static_cast<int32_t>(v));
    in_frame();
    char* p = out_.room(5);
    p[1] = static_cast<char>(u & 0xFF);
    p[2] = static_cast<char>((u >> 8) & 0xFF);
    p[3] = static_cast<char>((u >> 16) & 0xFF);
    p[4] = static_cast<char>((u >> 24) & 0xFF);
    if ((u >> 16) != 0) {
      p[0] = kBinInt;
      out_.advance(5);
    } else if ((u >> 8) != 0) {
      p[0] = kBinInt2;
      out_.advance(3);
    } else {
      p[0] = kBinInt1;
      out_.advance(2);
    }
  }

  static size_t length_header(char* header, char op1, char op4, char op8, size_t size) {
    if (size <= 0xFF) {
      header[0] = op1;
      header[1] = static_cast<char>(size);
      return 2;
    }
    if (size <= 0xFFFFFFFFu) {
      header[0] = op4;
      for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
      return 5;
    }
    header[0] = op8;
    for (int i = 0; i < 8; ++i) header[1 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    return 9;
  }

  void save_bytes(PyObject* obj, bool remember) {
    char header[9];
    // The bytes to come go apart, with a length header of four bytes.
    const size_t size =
        obj == deferred_ ? kFrameTarget : static_cast<size_t>(PyBytes_GET_SIZE(obj));
    const size_t n = length_header(header, kShortBinBytes, kBinBytes, kBinBytes8, size);
    write_with_data(header, n, PyBytes_AS_STRING(obj), size, obj);
    memo_put(obj, remember);
  }

  void save_str(PyObject* obj, bool remember) {
    const int kind = PyUnicode_KIND(obj);
    const void* data = PyUnicode_DATA(obj);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
    char header[9];
    if (PyUnicode_IS_ASCII(obj)) {
      const size_t size = static_cast<size_t>(length);
      const size_t n = length_header(header, kShortBinUnicode, kBinUnicode, kBinUnicode8, size);
      write_with_data(header, n, static_cast<const char*>(data), size, nullptr);
    } else {
      const size_t size = utf8_length(kind, data, length);
      const size_t n = length_header(header, kShortBinUnicode, kBinUnicode, kBinUnicode8, size);
      if (size >= kFrameTarget) {
        std::vector<char> encoded(size);
        utf8_encode(kind, data, length, encoded.data());
        write_with_data(header, n, encoded.data(), size, nullptr);
      } else {
        write_with_data(header, n, nullptr, 0, nullptr);
        utf8_encode(kind, data, length, out_.room(size));
        out_.advance(size);
      }
    }
    memo_put(obj, remember);
  }

  // `remember` false: nothing after `obj` can be `obj` again.
  void save(PyObject* obj, bool remember = true) {
    opcode_boundary();
    if (PyLong_CheckExact(obj)) return save_int(obj);
    if (memo_get(obj)) return;
    if (PyBytes_CheckExact(obj)) return save_bytes(obj, remember);
    if (PyUnicode_CheckExact(obj)) return save_str(obj, remember);
    if (PyDict_CheckExact(obj)) return save_dict(obj, obj != tail_);
    save_list(obj);
  }

  void save_list(PyObject* obj) {
    write_op(kEmptyList);
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    memo_put(obj, true);
    if (n == 0) return;
    if (n == 1) {
      save(PyList_GET_ITEM(obj, 0));
      write_op(kAppend);
      return;
    }
    Py_ssize_t total = 0;
    do {
      size_t in_batch = 0;
      write_op(kMark);
      while (total < PyList_GET_SIZE(obj)) {
        save(PyList_GET_ITEM(obj, total));
        ++total;
        if (++in_batch == kBatch) break;
      }
      write_op(kAppends);
    } while (total < PyList_GET_SIZE(obj));
  }

  void save_dict(PyObject* obj, bool keys_remembered) {
    write_op(kEmptyDict);
    memo_put(obj, true);
    save_items(DictItems{obj}, keys_remembered);
  }

  template <class Items>
  void save_items(const Items& items, bool keys_remembered) {
    const Py_ssize_t size = items.size();
    if (size == 0) return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    if (size == 1) {
      items.next(&pos, &key, &value);
      save(key, keys_remembered);
      save(value);
      write_op(kSetItem);
      return;
    }
    // As the host writes it: a batch after every full one, even when no
    // item is left for it.
    size_t in_batch;
    do {
      in_batch = 0;
      write_op(kMark);
      while (items.next(&pos, &key, &value)) {
        if (keys_remembered || !save_short_item(key, value)) {
          save(key, keys_remembered);
          save(value);
        }
        if (++in_batch == kBatch) break;
      }
      write_op(kSetItems);
    } while (in_batch == kBatch);
  }

  // The item of a short ASCII key not to be remembered and a value of one
  // of the short int opcodes, as save(key, false) and save(value) write it,
  // in one piece; false, with nothing written, for any other item.
  bool save_short_item(PyObject* key, PyObject* value) {
    if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key) || !PyLong_CheckExact(value)) {
      return false;
    }
    const size_t size = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    if (size > 0xFF || memo_.find(key) >= 0 || watched(key)) return false;
    opcode_boundary();
    in_frame();
    char* p = out_.room(size + 3);
    p[0] = kShortBinUnicode;
    p[1] = static_cast<char>(size);
    std::memcpy(p + 2, PyUnicode_DATA(key), size);
    p[size + 2] = kMemoize;
    out_.advance(size + 3);
    ++memo_size_;
    // The value starts an object of its own.
    opcode_boundary();
    save_int(value);
    return true;
  }

  PickleBuffer out_;
  std::vector<Chunk> chunks_;
  PointerMemo memo_;
  uint32_t memo_size_ = 0;
  std::ptrdiff_t frame_start_ = -1;
  bool framing_ = false;
  PyObject* tail_ = nullptr;
  std::vector<PyObject*> watched_;
  PyObject* deferred_ = nullptr;
};

// file.write(view of [p, p + n)), the view released afterwards so that
// nothing can reach the buffer once it is freed.
bool write_view(PyObject* write, const char* p, size_t n) {
  if (n == 0) return true;
  Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(p), static_cast<Py_ssize_t>(n),
                                                PyBUF_READ));
  if (!view) return false;
  Ref result = Ref::steal(PyObject_CallOneArg(write, view.get()));
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  if (!result) PyErr_Fetch(&type, &value, &tb);
  Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
  if (!result) {
    // The write's own error is the one that counts.
    if (!released) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return false;
  }
  return static_cast<bool>(released);
}

}  // namespace

struct PremadePackage::Made {
  Pickler pickler;
  Ref stand_in;  // in the pickle in place of the bytes to come
  Ref keys[kItems];
  Ref values[kItems];  // but the first
  // What the later values held when pickled: a list's items (held, so
  // that none of them can be freed and another object made in its place),
  // a dict's version.
  std::vector<Ref> items[kItems];
  uint64_t versions[kItems] = {};

  // The bytes of `obj` when it is the package pickled: the same keys in
  // the same order, bytes that go apart for the first value, the same
  // later values, unchanged; null otherwise.
  PyObject* matches(PyObject* obj) const {
    if (!PyDict_CheckExact(obj) || PyDict_GET_SIZE(obj) != kItems) return nullptr;
    PyObject* bytes = nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (int i = 0; PyDict_Next(obj, &pos, &key, &value); ++i) {
      if (key != keys[i].get()) return nullptr;
      if (i == 0) {
        if (!PyBytes_CheckExact(value) ||
            static_cast<size_t>(PyBytes_GET_SIZE(value)) < kFrameTarget ||
            static_cast<uint64_t>(PyBytes_GET_SIZE(value)) > 0xFFFFFFFFu) {
          return nullptr;
        }
        bytes = value;
        continue;
      }
      if (value != values[i].get()) return nullptr;
      if (PyDict_CheckExact(value) && dict_version(value) != versions[i]) return nullptr;
      if (PyList_CheckExact(value)) {
        const std::vector<Ref>& held = items[i];
        if (static_cast<size_t>(PyList_GET_SIZE(value)) != held.size()) return nullptr;
        for (size_t k = 0; k < held.size(); ++k) {
          if (PyList_GET_ITEM(value, static_cast<Py_ssize_t>(k)) != held[k].get()) return nullptr;
        }
      }
    }
    return bytes;
  }
};

PremadePackage::PremadePackage() = default;
PremadePackage::~PremadePackage() = default;

void PremadePackage::make(PyObject* const keys[kItems], PyObject* const values[kItems]) {
  made_.reset();
  try {
    auto made = std::make_unique<Made>();
    made->stand_in = Ref::steal(PyBytes_FromStringAndSize(nullptr, 1));
    if (!made->stand_in) {
      PyErr_Clear();
      return;
    }
    PyObject* pickled[kItems];
    size_t bytes = 16;
    PyObject* int_valued = nullptr;
    bool ints = true;
    for (int i = 0; i < kItems; ++i) {
      pickled[i] = i == 0 ? made->stand_in.get() : values[i];
      if (!plain_item(keys[i], pickled[i], 0, &bytes, &int_valued, &ints)) return;
    }
    made->pickler.dump_items(ArrayItems{keys, pickled, kItems}, bytes, int_valued,
                             made->stand_in.get());
    if (!made->pickler.has_tail()) return;
    for (int i = 0; i < kItems; ++i) {
      made->keys[i] = Ref::borrow(keys[i]);
      if (i == 0) continue;
      made->values[i] = Ref::borrow(values[i]);
      if (PyDict_CheckExact(values[i])) made->versions[i] = dict_version(values[i]);
      if (PyList_CheckExact(values[i])) {
        std::vector<Ref>& held = made->items[i];
        held.reserve(static_cast<size_t>(PyList_GET_SIZE(values[i])));
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(values[i]); ++k) {
          held.push_back(Ref::borrow(PyList_GET_ITEM(values[i], k)));
        }
      }
    }
    made_ = std::move(made);
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
  }
}

int dump_plain(PyObject* dump, PyObject* obj, PyObject* file, PremadePackage* premade) {
#if PY_VERSION_HEX >= 0x030E0000
  // A later host pickles with another protocol by default.
  return 0;
#endif
  if (!is_builtin_function(dump, "dump", "_pickle") ||
      !is_static_type_named(file, "_io.BufferedWriter")) {
    return 0;
  }
  Pickler own;
  Pickler* pickler = &own;
  PyObject* bytes = premade != nullptr && premade->made() ? premade->made_->matches(obj) : nullptr;
  if (bytes != nullptr) {
    pickler = &premade->made_->pickler;
    pickler->fill_deferred(bytes);
  } else {
    size_t estimate = 0;
    PyObject* int_valued = nullptr;
    if (!plain(obj, 0, &estimate, &int_valued)) return 0;
    try {
      own.dump(obj, estimate, int_valued);
    } catch (const std::bad_alloc&) {
      // The host's pickler makes its own attempt.
      PyErr_Clear();
      return 0;
    }
  }
  Ref write = Ref::steal(PyObject_GetAttrString(file, "write"));
  if (!write) return -1;
  const PickleBuffer& out = pickler->buffer();
  size_t from = 0;
  for (const Pickler::Chunk& chunk : pickler->chunks()) {
    if (!write_view(write.get(), out.data() + from, chunk.end - from)) return -1;
    Ref result = Ref::steal(PyObject_CallOneArg(write.get(), chunk.payload.get()));
    if (!result) return -1;
    from = chunk.end;
  }
  if (!write_view(write.get(), out.data() + from, out.size() - from)) return -1;
  return 1;
}

}  // namespace qbc
