#include "binding/plain_unpickle.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "dictionary/new_dict_table.hpp"
#include "package/utf8_text.hpp"

namespace qbc {
namespace {

// Dicts that get this many items are given their final table before the
// first is stored.
constexpr size_t kPresizeFrom = 64;
// Bytes objects from this size on are told of as they are made.
constexpr size_t kLargeBytes = size_t{64} << 10;

// Little-endian unsigned integer of `n` bytes.
uint64_t read_le(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// One opcode of the plain subset and its argument: the value of a fixed
// argument (a protocol, a memo index, an int's bytes, a frame's length), or
// the length and data of a str or bytes.
struct Op {
  unsigned char code = 0;
  uint64_t arg = 0;
  const unsigned char* data = nullptr;  // `arg` bytes of a str or bytes
};

// Reads the opcode at `*p`, moving past it and its argument; false for an
// opcode outside the subset, or one whose argument (or whose frame, for a
// frame) runs past `end`.
bool read_op(const unsigned char** p, const unsigned char* end, Op* op) {
  const unsigned char* q = *p;
  op->code = *q++;
  size_t fixed = 0;
  bool counted = false;
  switch (op->code) {
    case 0x80:  // PROTO
    case 'h':   // BINGET
    case 'K':   // BININT1
      fixed = 1;
      break;
    case 'M':  // BININT2
      fixed = 2;
      break;
    case 'j':  // LONG_BINGET
    case 'J':  // BININT
      fixed = 4;
      break;
    case 0x95:  // FRAME: a hint for buffered reading only
      fixed = 8;
      break;
    case 0x8c:  // SHORT_BINUNICODE
    case 'C':   // SHORT_BINBYTES
      fixed = 1;
      counted = true;
      break;
    case 'X':  // BINUNICODE
    case 'B':  // BINBYTES
      fixed = 4;
      counted = true;
      break;
    case 0x8d:  // BINUNICODE8
    case 0x8e:  // BINBYTES8
      fixed = 8;
      counted = true;
      break;
    case '}': case ']': case 'N': case 0x88: case 0x89: case '(': case 0x94:
    case 's': case 'u': case 'a': case 'e': case '.':
      break;
    default:
      return false;
  }
  if (static_cast<size_t>(end - q) < fixed) return false;
  op->arg = read_le(q, static_cast<int>(fixed));
  q += fixed;
  if (counted || op->code == 0x95) {
    if (op->arg > static_cast<uint64_t>(end - q) || op->arg > uint64_t{PY_SSIZE_T_MAX}) {
      return false;
    }
    if (counted) {
      op->data = q;
      q += op->arg;
    }
  }
  *p = q;
  return true;
}

// Texts up to this many bytes are decoded once, into `scratch`, and copied
// into their str; longer ones are walked twice, to measure and to decode,
// instead of taking a scratch buffer four times their size.
constexpr size_t kScratchFor = size_t{1} << 16;

// Copies `count` code points into a str's data of `kind`.
void narrow_into(const uint32_t* units, size_t count, int kind, void* data) {
  if (kind == PyUnicode_1BYTE_KIND) {
    auto* out = static_cast<Py_UCS1*>(data);
    for (size_t k = 0; k < count; ++k) out[k] = static_cast<Py_UCS1>(units[k]);
  } else if (kind == PyUnicode_2BYTE_KIND) {
    auto* out = static_cast<Py_UCS2*>(data);
    for (size_t k = 0; k < count; ++k) out[k] = static_cast<Py_UCS2>(units[k]);
  } else {
    std::memcpy(data, units, count * sizeof(uint32_t));
  }
}

// The str the host's unpickler makes of the UTF-8 bytes [s, s + n), which it
// decodes with the "surrogatepass" handler: made here at its final width in
// one go where the bytes are strict UTF-8 of two characters or more (the
// host's decoder grows and then shrinks a buffer for text that is not
// ASCII), by the host's decoder otherwise (a single character below U+0100
// is the host's shared str of it).
PyObject* make_str(const unsigned char* s, size_t n, std::vector<uint32_t>& scratch) {
  const auto host = [&] {
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s), static_cast<Py_ssize_t>(n),
                                "surrogatepass");
  };
  // At most one code point per byte.
  uint32_t* units = nullptr;
  if (n <= kScratchFor) {
    if (scratch.size() < n) scratch.resize(std::max(n, size_t{256}));
    units = scratch.data();
  }
  size_t chars = 0;
  uint32_t max_char = 0;
  for (size_t i = 0; i < n; ++chars) {
    uint32_t c = s[i];
    size_t len = 1;
    if (c >= 0x80) {
      const uint32_t c3 = i + 3 <= n ? utf8_three(s + i) : 0;
      if (c3 != 0) {
        c = c3;
        len = 3;
      } else {
        len = utf8_sequence(s + i, n - i, &c);
        if (len == 0 || len == kUtf8CutOff) return host();
      }
    }
    if (units != nullptr) units[chars] = c;
    if (c > max_char) max_char = c;
    i += len;
  }
  if (chars < 2 || max_char < 0x80) return host();
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(chars), max_char);
  if (str == nullptr) return nullptr;
  const int kind = PyUnicode_KIND(str);
  void* data = PyUnicode_DATA(str);
  if (units != nullptr) {
    narrow_into(units, chars, kind, data);
    return str;
  }
  // The bytes were checked above.
  for (size_t i = 0, at = 0; i < n; ++at) {
    uint32_t c = s[i];
    i += c < 0x80 ? 1 : utf8_sequence(s + i, n - i, &c);
    PyUnicode_WRITE(kind, data, static_cast<Py_ssize_t>(at), c);
  }
  return str;
}

// The number of items each dict of the stream gets, in the order the dicts
// are made, found by walking the stream's stack without making anything;
// empty when the walk finds something it does not follow (the loading then
// decides). A dict made at its final size is never grown and copied.
//
// `*memo_size` is set to the number of memo entries the stream makes.
std::vector<size_t> items_per_dict(const unsigned char* p, const unsigned char* end,
                                   size_t* memo_size) {
  std::vector<size_t> counts;
  std::vector<int32_t> stack;  // the dict made there, or -1
  std::vector<size_t> marks;
  // The memo entries that are dicts, in the order of their indexes, with
  // their dicts: the others only count.
  std::vector<std::pair<size_t, int32_t>> memo_dicts;
  size_t memo = 0;
  const auto fence = [&] { return marks.empty() ? size_t{0} : marks.back(); };
  const auto add_items = [&](size_t x) {
    const size_t len = stack.size();
    if (x > len || x <= fence()) return false;
    if (stack[x - 1] >= 0) counts[static_cast<size_t>(stack[x - 1])] += (len - x) / 2;
    stack.resize(x);
    return true;
  };
  const auto fail = [&] {
    counts.clear();
    return counts;
  };
  Op op;
  while (p < end) {
    if (!read_op(&p, end, &op)) return fail();
    switch (op.code) {
      case 0x80:
      case 0x95:
        break;
      case '}':
        if (counts.size() >= static_cast<size_t>(INT32_MAX)) return fail();
        stack.push_back(static_cast<int32_t>(counts.size()));
        counts.push_back(0);
        break;
      case '(':
        marks.push_back(stack.size());
        break;
      case 0x94:
        if (stack.size() <= fence()) return fail();
        if (stack.back() >= 0) memo_dicts.emplace_back(memo, stack.back());
        ++memo;
        break;
      case 'h':
      case 'j': {
        if (op.arg >= memo) return fail();
        const auto it = std::lower_bound(memo_dicts.begin(), memo_dicts.end(),
                                         std::pair<size_t, int32_t>{op.arg, INT32_MIN});
        stack.push_back(it != memo_dicts.end() && it->first == op.arg ? it->second : -1);
        break;
      }
      case 's':
        if (stack.size() < 2 || !add_items(stack.size() - 2)) return fail();
        break;
      case 'u':
      case 'e': {
        if (marks.empty()) return fail();
        const size_t x = marks.back();
        marks.pop_back();
        if (op.code == 'u' ? !add_items(x) : (x > stack.size() || x <= fence())) return fail();
        stack.resize(x);
        break;
      }
      case 'a':
        if (stack.empty()) return fail();
        stack.pop_back();
        break;
      case '.':
        *memo_size = memo;
        return counts;
      default:  // every other opcode read pushes one object
        stack.push_back(-1);
        break;
    }
  }
  return fail();
}

// The unpickler's stack and memo, as the host keeps them: a mark fences off
// what lies below it.
class Loader {
 public:
  Loader(const unsigned char* data, size_t size, BytesMade bytes_made, void* context)
      : p_(data),
        end_(data + size),
        bytes_made_(bytes_made),
        context_(context),
        sizes_(items_per_dict(data, data + size, &memo_size_)) {
    memo_.reserve(memo_size_);
  }

  // Throws std::bad_alloc.
  Ref run() {
    Op op;
    while (p_ < end_) {
      if (!read_op(&p_, end_, &op)) return nullptr;
      switch (op.code) {
        case 0x80:  // PROTO
          if (op.arg < 2 || op.arg > 5) return nullptr;
          break;
        case 0x95:  // FRAME
          break;
        case '}': {
          const size_t n = dicts_ < sizes_.size() ? sizes_[dicts_] : 0;
          ++dicts_;
          // A new empty dict, as the host makes; one that gets many items
          // is given its table when the first comes (see presize()).
          if (!push(Ref::steal(PyDict_New()))) return nullptr;
          if (n >= kPresizeFrom) pending_.emplace_back(Ref::borrow(stack_.back().get()), n);
          break;
        }
        case ']':
          if (!push(Ref::steal(PyList_New(0)))) return nullptr;
          break;
        case 'N':
          push(Ref::borrow(Py_None));
          break;
        case 0x88:
          push(Ref::borrow(Py_True));
          break;
        case 0x89:
          push(Ref::borrow(Py_False));
          break;
        case '(':
          marks_.push_back(stack_.size());
          break;
        case 0x94:  // MEMOIZE
          if (stack_.size() <= fence()) return nullptr;
          memo_.push_back(Ref::borrow(stack_.back().get()));
          break;
        case 'h':  // BINGET
        case 'j':  // LONG_BINGET
          if (op.arg >= memo_.size()) return nullptr;
          push(Ref::borrow(memo_[op.arg].get()));
          break;
        case 'K':  // BININT1
        case 'M':  // BININT2
        case 'J': {  // BININT, the only signed one
          const long value = op.code == 'J' ? static_cast<long>(static_cast<int32_t>(op.arg))
                                            : static_cast<long>(op.arg);
          if (!push(Ref::steal(PyLong_FromLong(value)))) return nullptr;
          break;
        }
        case 0x8c:  // SHORT_BINUNICODE
        case 'X':   // BINUNICODE
        case 0x8d:  // BINUNICODE8
          if (!push(Ref::steal(make_str(op.data, static_cast<size_t>(op.arg), scratch_)))) {
            return nullptr;
          }
          break;
        case 'C':   // SHORT_BINBYTES
        case 'B':   // BINBYTES
        case 0x8e: {  // BINBYTES8
          const auto* data = reinterpret_cast<const char*>(op.data);
          if (!push(Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(op.arg))))) {
            return nullptr;
          }
          if (bytes_made_ != nullptr && op.arg >= kLargeBytes) {
            bytes_made_(context_, stack_.back().get());
            bytes_made_ = nullptr;
          }
          break;
        }
        case 's':  // SETITEM
          if (stack_.size() < 2 || !set_items(stack_.size() - 2)) return nullptr;
          break;
        case 'u':  // SETITEMS
          if (marks_.empty() || !set_items(pop_mark())) return nullptr;
          break;
        case 'a':  // APPEND
          if (stack_.empty() || !append(stack_.size() - 1)) return nullptr;
          break;
        case 'e':  // APPENDS
          if (marks_.empty() || !append(pop_mark())) return nullptr;
          break;
        case '.':  // STOP
          // As the host ends: the top of the stack, with nothing else left
          // (anything else is left to the host to settle).
          if (p_ != end_ || stack_.size() != 1 || !marks_.empty()) return nullptr;
          if (!settle_presized()) return nullptr;
          return std::move(stack_.back());
        default:
          return nullptr;
      }
    }
    return nullptr;
  }

 private:
  // A dict given its table before its first item.
  struct Presized {
    Ref dict;
    NewDictTable::Keys keys;  // the table's kind
    size_t count;             // the items the stream has for it
    size_t seen = 0;          // of those, the ones stored so far
    std::optional<StrTableStores> stores;
  };

  size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

  // False when the object could not be made (its error is cleared: the
  // host's unpickler makes its own attempt).
  bool push(Ref obj) {
    if (!obj) {
      PyErr_Clear();
      return false;
    }
    stack_.push_back(std::move(obj));
    return true;
  }

  size_t pop_mark() {
    const size_t mark = marks_.back();
    marks_.pop_back();
    return mark;
  }

  // The host's rule for items from stack position `x` on into the dict
  // below them: an even count, stored in order, only into an exact dict
  // (any other target runs host code).
  bool set_items(size_t x) {
    const size_t len = stack_.size();
    if (x > len || x <= fence()) return false;
    if (len == x) return true;
    if ((len - x) % 2 != 0) return false;
    PyObject* dict = stack_[x - 1].get();
    if (!PyDict_CheckExact(dict)) return false;
    Presized* fast = presized_for(dict, stack_[x].get());
    for (size_t i = x + 1; i < len; i += 2) {
      PyObject* key = stack_[i - 1].get();
      PyObject* value = stack_[i].get();
      // Keys whose hash or equality is host code: left to the host.
      if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key) && !PyBytes_CheckExact(key)) {
        return false;
      }
      // The last item the stream has for the dict is stored by the host,
      // which gives the dict a new version tag as any store does.
      if (fast != nullptr && ++fast->seen < fast->count && fast->stores->store(key, value)) {
        continue;
      }
      if (PyDict_SetItem(dict, key, value) < 0) {
        PyErr_Clear();
        return false;
      }
      if (fast != nullptr) fast->stores->stored_by_host(key);
    }
    stack_.resize(x);
    return true;
  }

  // The presized dict `dict` whose str keys are stored here, or null. A
  // dict about to get its first items, many of them by the count of the
  // stream, is first given the table that storing them one by one into it
  // leaves, of the kind its first key makes: it is then neither grown nor
  // copied on the way, and ends as the host's unpickler leaves it.
  Presized* presized_for(PyObject* dict, PyObject* first_key) {
    for (Presized& p : presized_) {
      if (p.dict.get() == dict) return p.stores ? &p : nullptr;
    }
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->first.get() != dict) continue;
      const size_t count = it->second;
      pending_.erase(it);
      const auto keys = PyUnicode_CheckExact(first_key) ? NewDictTable::Keys::kStr
                                                        : NewDictTable::Keys::kInt;
      if (!NewDictTable::available() || !NewDictTable::fits(dict) ||
          !NewDictTable::presize(dict, count, keys)) {
        return nullptr;
      }
      presized_.push_back(Presized{Ref::borrow(dict), keys, count});
      // Str keys are stored without the host's probes reading the keys met
      // on the way, which a str table keeps no hashes of.
      if (keys != NewDictTable::Keys::kStr) return nullptr;
      presized_.back().stores.emplace(dict, count);
      return &presized_.back();
    }
    return nullptr;
  }

  // A presized dict that got fewer distinct keys than the stream has items
  // for it (a key stored again) may hold a larger table than storing them
  // one by one leaves: its items are then stored again, one by one, into
  // it emptied. False when memory ran short.
  bool settle_presized() {
    for (const Presized& p : presized_) {
      const Ref& dict = p.dict;
      if (!NewDictTable::oversized(dict.get(), p.keys)) continue;
      Ref items = Ref::steal(PyDict_Items(dict.get()));
      if (!items) {
        PyErr_Clear();
        return false;
      }
      // The list holds every key and value meanwhile: clearing frees none.
      PyDict_Clear(dict.get());
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
          PyErr_Clear();
          return false;
        }
      }
    }
    return true;
  }

  // The items from position `x` on onto the end of the exact list below.
  bool append(size_t x) {
    const size_t len = stack_.size();
    if (x > len || x <= fence()) return false;
    if (len == x) return true;
    PyObject* list = stack_[x - 1].get();
    if (!PyList_CheckExact(list)) return false;
    Ref slice = Ref::steal(PyList_New(static_cast<Py_ssize_t>(len - x)));
    if (!slice) {
      PyErr_Clear();
      return false;
    }
    for (size_t i = x; i < len; ++i) {
      PyList_SET_ITEM(slice.get(), static_cast<Py_ssize_t>(i - x), stack_[i].release());
    }
    stack_.resize(x);
    const Py_ssize_t at = PyList_GET_SIZE(list);
    if (PyList_SetSlice(list, at, at, slice.get()) < 0) {
      PyErr_Clear();
      return false;
    }
    return true;
  }

  const unsigned char* p_;
  const unsigned char* end_;
  BytesMade bytes_made_;
  void* context_;
  size_t memo_size_ = 0;  // set before sizes_, which finds it
  std::vector<size_t> sizes_;
  size_t dicts_ = 0;
  std::vector<Ref> stack_;
  std::vector<size_t> marks_;
  std::vector<Ref> memo_;
  std::vector<uint32_t> scratch_;  // code points of the str being made
  // Dicts made that are to get many items, with their counts, until the
  // first comes; then those given a table.
  std::vector<std::pair<Ref, size_t>> pending_;
  std::vector<Presized> presized_;
};

}  // namespace

Ref load_plain(const unsigned char* data, size_t size, BytesMade bytes_made, void* context) {
  try {
    Loader loader(data, size, bytes_made, context);
    return loader.run();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    return nullptr;
  }
}

}  // namespace qbc
