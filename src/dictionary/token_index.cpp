// The tokens met in one call: a hash set of token texts keyed by their
// code points, each holding the one host str made for it.
//
// A key is the token's characters in their narrowest width (1 byte below
// U+0100, 2 below U+10000, else 4), which is the width a str of those
// characters has. A run of a wide text whose characters all fit a narrower
// width is narrowed before hashing, so "\n" found in an ASCII text and in a
// UCS-2 text is one key. Keys are hashed with XXH3, seeded with the width so
// that equal bytes of different widths differ, and found by linear probing in
// a power-of-two table.
//
// Lookups are bound by memory latency, not by arithmetic, so the layout keeps
// the memory a lookup touches small and dense:
// - the table holds only (hash, slot) pairs of 8 bytes; a slot's record,
//   in a dense array in order of first sight (so the common tokens, met
//   early, share cache lines), holds its str and the key itself when it is
//   at most 15 bytes (most words, CJK runs of up to 7 characters). A hit on
//   a short key reads one table entry and one record and never the str; a
//   longer key is compared with the str only when hash and first 15 bytes
//   agree;
// - runs are hashed a block ahead of their lookups, their table entries
//   fetched in advance and, once those have arrived, their records, so
//   that the loads of a block overlap instead of following one another;
// - one-unit tokens below U+0100 (spaces, line feeds, punctuation) skip the
//   table through a direct 256-entry map.
#include "dictionary/token_index.hpp"

#include <cstring>
#include <new>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "dictionary/token_scan.hpp"

namespace qbc {

namespace {

constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr size_t kInitialTable = 256;  // entries; a power of two

// One table entry: the low 32 bits of the key's hash, which also give its
// home position, and the slot plus one (0 marks an empty entry).
struct Entry {
  uint32_t hash;
  uint32_t slot_plus1;
};

// What a slot holds: its str (owned), its packed key, and how often a token
// list being built uses it (kept here, in the cache line the lookup has
// just read, rather than in an array of its own).
struct Record {
  PyObject* str;
  PackedKey key;
  uint32_t uses;
};

uint32_t hash_key(const void* data, size_t nbytes, unsigned width) {
  return static_cast<uint32_t>(XXH3_64bits_withSeed(data, nbytes, width));
}

// True when `str` holds exactly `len` units of `width` bytes equal to `key`.
bool same_key(PyObject* str, const void* key, size_t len, unsigned width) {
  return static_cast<size_t>(PyUnicode_GET_LENGTH(str)) == len &&
         PyUnicode_KIND(str) == width && std::memcmp(PyUnicode_DATA(str), key, len * width) == 0;
}

// A key ready for lookup: its bytes, length in units, width, hash and
// packed key.
struct Probe {
  const void* key;
  size_t len;
  unsigned width;
  uint32_t hash;
  PackedKey form;
  bool is_short() const { return len * width <= kPackedBytes; }
};

}  // namespace

struct TokenIndex::Impl {
  std::vector<Record> records;  // one per slot
  // All entries empty at first. Zeroed by writing, not taken as fresh zero
  // pages: lookups read a page before inserts write it, and a zero page
  // would then fault twice.
  std::vector<Entry> table;
  size_t mask = kInitialTable - 1;
  uint32_t single_slot[256];

  Impl() : table(kInitialTable, Entry{0, 0}) {
    for (uint32_t& s : single_slot) s = kNoSlot;
  }
  ~Impl() {
    for (Record& r : records) Py_DECREF(r.str);
  }

  // Finds a key in the table; on a miss `*pos` is the free entry for it.
  const Entry* find(const Probe& p, size_t* pos) const {
    size_t i = p.hash & mask;
    for (;;) {
      const Entry& e = table[i];
      if (e.slot_plus1 == 0) {
        *pos = i;
        return nullptr;
      }
      if (e.hash == p.hash) {
        const Record& r = records[e.slot_plus1 - 1];
        if (r.key == p.form && (p.is_short() || same_key(r.str, p.key, p.len, p.width))) {
          return &e;
        }
      }
      i = (i + 1) & mask;
    }
  }

  // Makes sure that one more key still leaves the table at most half full;
  // called before a lookup whose miss position is then used for the insert.
  // Throws std::bad_alloc.
  void make_room() {
    if ((records.size() + 1) * 2 <= table.size()) return;
    std::vector<Entry> grown(table.size() * 2, Entry{0, 0});
    const size_t m = grown.size() - 1;
    for (const Entry& e : table) {
      if (e.slot_plus1 == 0) continue;
      size_t i = e.hash & m;
      while (grown[i].slot_plus1 != 0) i = (i + 1) & m;
      grown[i] = e;
    }
    table.swap(grown);
    mask = m;
  }

  // Adds a slot holding `str`, whose reference it takes over. Returns
  // kNoSlot with MemoryError set (and `str` released) when that fails.
  uint32_t add(PyObject* str, const PackedKey& key) {
    if (records.size() >= SlotStream::kOddMark - 1) {
      Py_DECREF(str);
      PyErr_NoMemory();
      return kNoSlot;
    }
    try {
      records.push_back(Record{str, key, 0});
    } catch (const std::bad_alloc&) {
      Py_DECREF(str);
      PyErr_NoMemory();
      return kNoSlot;
    }
    return static_cast<uint32_t>(records.size() - 1);
  }

  // A new str holding `len` characters of `width` bytes copied from `data`.
  static PyObject* new_str(const void* data, size_t len, unsigned width, uint32_t maxchar) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(len), maxchar);
    if (s == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(s), data, len * width);
    return s;
  }

  // The slot of the one-unit token `c` (below 256); `make` gives a new
  // reference to its str on first sight, or null with an error set.
  template <class Make>
  bool single(uint32_t c, uint32_t* slot, Record** rec, Make&& make) {
    if (single_slot[c] == kNoSlot) {
      PyObject* s = make();
      if (s == nullptr) return false;
      uint32_t added = add(s, PackedKey{0, 0});
      if (added == kNoSlot) return false;
      single_slot[c] = added;
    }
    *slot = single_slot[c];
    *rec = &records[*slot];
    return true;
  }

  // The slot of a key; `make` gives a new reference to its str on first
  // sight. Throws std::bad_alloc.
  template <class Make>
  bool keyed(const Probe& p, uint32_t* slot, Record** rec, Make&& make) {
    make_room();
    size_t pos;
    if (const Entry* e = find(p, &pos)) {
      *slot = e->slot_plus1 - 1;
      *rec = &records[*slot];
      return true;
    }
    PyObject* s = make();
    if (s == nullptr) return false;
    uint32_t added = add(s, p.form);
    if (added == kNoSlot) return false;
    table[pos] = Entry{p.hash, added + 1};
    *slot = added;
    *rec = &records[added];
    return true;
  }

  // A run waiting in the current block: where it is in the text, its
  // largest code point, its probe (width 0 for a one-unit token below
  // U+0100, which skips the table) and, for a long key that had to be
  // narrowed, where the key is in `arena`.
  struct Pending {
    size_t begin;
    uint32_t maxchar;
    bool in_arena;
    size_t arena_offset;
    Probe probe;
    uint8_t bytes[kPackedBytes];  // a short narrowed key (big-endian machines)
  };
  // Every run of a block is hashed and its table entry fetched before the
  // block's first lookup; the record that entry points to is fetched
  // `kRecordLag` runs later, once the entry has arrived.
  static constexpr size_t kBlock = 32;
  static constexpr size_t kRecordLag = 8;
  std::vector<uint8_t> arena;  // narrowed long keys of the current block

  // Queues one run: narrows its key when the text is wider than its
  // characters need, hashes it and starts fetching its table entry. Throws
  // std::bad_alloc.
  template <class Unit>
  void queue(const Unit* units, const Run& r, Pending* p) {
    const size_t len = r.end - r.begin;
    p->begin = r.begin;
    p->maxchar = r.maxchar;
    p->in_arena = false;
    Probe& q = p->probe;
    q.len = len;
    if (len == 1 && r.maxchar < 256) {
      q.width = 0;
      return;
    }
    const unsigned width = width_for(r.maxchar);
    const size_t nbytes = len * width;
    const Unit* src = units + r.begin;
    q.width = width;
    if (width == sizeof(Unit)) {
      q.key = src;
      q.form = pack_key(src, nbytes, width);
    } else {
      constexpr bool little = std::endian::native == std::endian::little;
      // The packed key is built in registers from the wide units; on a
      // little-endian machine its bytes are the narrowed key itself, which a
      // short key then needs nowhere else.
      if (little) q.form = pack_narrowed(src, len, width);
      if (little && nbytes <= kPackedBytes) {
        q.key = &q.form;
      } else if (nbytes <= kPackedBytes) {
        narrow_to_bytes(src, len, width, p->bytes);
        q.form = pack_key(p->bytes, nbytes, width);
        q.key = p->bytes;
      } else {
        // The arena may move while the block fills; resolve() takes the
        // pointer once the block is complete.
        p->in_arena = true;
        p->arena_offset = arena.size();
        arena.resize(arena.size() + nbytes);
        uint8_t* dst = arena.data() + p->arena_offset;
        narrow_to_bytes(src, len, width, dst);
        if (!little) q.form = pack_key(dst, nbytes, width);
        q.key = dst;
      }
    }
    q.hash = hash_key(q.key, nbytes, width);
    __builtin_prefetch(&table[q.hash & mask]);
  }

  // Starts fetching the record that a queued run will most likely be
  // compared with (its home entry's); a hint only, so a stale entry or a
  // table grown since does no harm.
  void prefetch_record(const Pending& p) const {
    if (p.probe.width == 0) return;
    uint32_t sp = table[p.probe.hash & mask].slot_plus1;
    if (sp != 0) __builtin_prefetch(&records[sp - 1]);
  }

  // Looks a queued run up, making its str on first sight. Throws
  // std::bad_alloc.
  bool resolve(Pending& p, uint32_t* slot, Record** rec) {
    Probe& q = p.probe;
    if (q.width == 0) {
      // The host keeps one shared str per character below U+0100 and hands
      // it out for every one-character text, as its own findall does.
      return single(p.maxchar, slot, rec,
                    [&] { return PyUnicode_FromOrdinal(static_cast<int>(p.maxchar)); });
    }
    if (p.in_arena) q.key = arena.data() + p.arena_offset;
    return keyed(q, slot, rec, [&] { return new_str(q.key, q.len, q.width, p.maxchar); });
  }

  // Runs `emit(slot, record)` for every run of `text`, an exact str, in text
  // order; an emit that returns false (with an error set) stops the scan.
  // Throws std::bad_alloc.
  template <class Emit>
  bool scan_text(PyObject* text, Emit&& emit) {
    if (PyUnicode_READY(text) < 0) return false;
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    auto each = [&](const auto* units) {
      Pending block[kBlock];
      size_t count = 0;
      auto flush = [&] {
        for (size_t j = count > kRecordLag ? count - kRecordLag : 0; j < count; ++j) {
          prefetch_record(block[j]);
        }
        for (size_t j = 0; j < count; ++j) {
          uint32_t slot;
          Record* rec;
          if (!resolve(block[j], &slot, &rec) || !emit(slot, *rec)) return false;
        }
        count = 0;
        arena.clear();
        return true;
      };
      bool ok = scan_runs(units, n, [&](const Run& r) {
        queue(units, r, &block[count++]);
        if (count > kRecordLag) prefetch_record(block[count - 1 - kRecordLag]);
        return count < kBlock || flush();
      });
      return ok && flush();
    };
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        return each(static_cast<const uint8_t*>(data));
      case PyUnicode_2BYTE_KIND:
        return each(static_cast<const uint16_t*>(data));
      default:
        return each(static_cast<const uint32_t*>(data));
    }
  }

  // The slot of a host str, keyed by its characters as it stores them, so
  // that two strs share a slot exactly when the host's own str equality
  // holds. On first sight `str` itself becomes the slot's str. Throws
  // std::bad_alloc.
  bool intern(PyObject* str, uint32_t* slot) {
    if (PyUnicode_READY(str) < 0) return false;
    const size_t len = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    const unsigned width = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    auto adopt = [str] { return Py_NewRef(str); };
    Record* held;
    if (len == 1 && width == 1) {
      return single(static_cast<const uint8_t*>(data)[0], slot, &held, adopt);
    }
    Probe q;
    q.key = data;
    q.len = len;
    q.width = width;
    q.hash = hash_key(data, len * width, width);
    q.form = pack_key(data, len * width, width);
    return keyed(q, slot, &held, adopt);
  }
};

TokenIndex::TokenIndex() : impl_(new Impl) {}
TokenIndex::~TokenIndex() = default;

uint32_t TokenIndex::size() const { return static_cast<uint32_t>(impl_->records.size()); }

PyObject* TokenIndex::token(uint32_t slot) const { return impl_->records[slot].str; }

bool TokenIndex::scan(PyObject* text, SlotStream& out) {
  try {
    return impl_->scan_text(text, [&](uint32_t slot, Record&) {
      out.push(slot);
      return true;
    });
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

bool TokenIndex::intern(PyObject* str, uint32_t* slot) {
  try {
    return impl_->intern(str, slot);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

namespace {

// Adds `n` references to `obj` at once, or (for a negative `n`) gives them
// back; `obj` stays alive either way.
void add_refs(PyObject* obj, Py_ssize_t n) {
#ifdef Py_REF_DEBUG
  // The host's reference total has to see each one.
  for (Py_ssize_t i = 0; i < n; ++i) Py_INCREF(obj);
  for (Py_ssize_t i = 0; i > n; --i) Py_DECREF(obj);
#else
  Py_SET_REFCNT(obj, Py_REFCNT(obj) + n);
#endif
}

// The items of a token list being built. The array is host memory grown by
// doubling (a large block grows by remapping, not by copying), and it
// becomes the list's own item array at the end, so the items are written
// once and never copied.
//
// Items are borrowed from the index while the list is built; the
// references the list needs are counted per slot and added slot by slot at
// the end. Taking them one by one would touch every token's str at every
// occurrence, which is what the packed keys spare the lookups.
class ItemBuffer {
 public:
  // `most` bounds the number of items (a text of n characters has at most
  // n tokens), so that a short text gets a small array.
  explicit ItemBuffer(size_t most) : most_(most) {}
  ItemBuffer(const ItemBuffer&) = delete;
  ItemBuffer& operator=(const ItemBuffer&) = delete;
  ~ItemBuffer() {
    // References added early for a count that would have overflowed, when
    // the list is not made after all.
    for (PyObject* obj : early_) add_refs(obj, -static_cast<Py_ssize_t>(kCountLimit));
    PyMem_Free(items_);
  }

  // Appends the str of `rec`, counting the use. Returns false with
  // MemoryError set.
  bool push(Record& rec) {
    if (size_ == capacity_ && !grow()) return false;
    if (++rec.uses == kCountLimit) {
      early_.push_back(rec.str);
      add_refs(rec.str, kCountLimit);
      rec.uses = 0;
    }
    items_[size_++] = rec.str;
    return true;
  }

  // A list holding the items, with the references it needs taken for the
  // uses counted in `records`.
  Ref into_list(std::vector<Record>& records) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (Record& rec : records) {
      if (rec.uses != 0) add_refs(rec.str, rec.uses);
      rec.uses = 0;
    }
    early_.clear();
    // Give back what doubling left unused beyond an eighth, so that a list
    // kept for long costs about what the host's own list would.
    if (capacity_ - size_ > size_ / 8 + 8) {
      void* fitted = PyMem_Realloc(items_, (size_ ? size_ : 1) * sizeof(PyObject*));
      if (fitted != nullptr) {
        items_ = static_cast<PyObject**>(fitted);
        capacity_ = size_ ? size_ : 1;
      }
    }
    auto* l = reinterpret_cast<PyListObject*>(list.get());
    l->ob_item = items_;
    l->allocated = static_cast<Py_ssize_t>(capacity_);
    Py_SET_SIZE(l, static_cast<Py_ssize_t>(size_));
    items_ = nullptr;
    size_ = capacity_ = 0;
    return list;
  }

 private:
  static constexpr uint32_t kCountLimit = 0xFFFFFFFFu;

  bool grow() {
    const size_t limit = static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*);
    size_t want = capacity_ ? capacity_ * 2 : (most_ < 1024 ? most_ + 1 : 1024);
    if (want > limit) want = limit;
    if (want <= capacity_) {
      PyErr_NoMemory();
      return false;
    }
    void* grown = PyMem_Realloc(items_, want * sizeof(PyObject*));
    if (grown == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    items_ = static_cast<PyObject**>(grown);
    capacity_ = want;
    return true;
  }

  size_t most_;
  PyObject** items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  std::vector<PyObject*> early_;
};

}  // namespace

Ref TokenIndex::split(PyObject* text) {
  try {
    TokenIndex index;
    // Declared after the index, so released before it: the buffer's early
    // references are given back while their strs are still held.
    ItemBuffer buffer(static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    Impl& impl = *index.impl_;
    if (!impl.scan_text(text, [&](uint32_t, Record& rec) { return buffer.push(rec); })) {
      return nullptr;
    }
    return buffer.into_list(impl.records);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
}

}  // namespace qbc
