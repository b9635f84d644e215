// The tokens met in one call, each held once.
//
// Token texts are keyed by their code points: a token is looked up by the
// narrowest representation of its characters (the one a str of those
// characters has), so the same token found in texts of different internal
// widths maps to one slot. Scanning works on raw code units and makes no
// host object: a new token gets a slot and a copy of its key, and the host
// strs of new slots are made afterwards, in one pass, by materialize(). Every
// later occurrence of a token costs a hash lookup and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "binding/handle.hpp"

namespace qbc {

// Memory for arrays that are written soon after they are allocated. From
// 512 KiB on it comes from mappings of the module's own that ask for huge
// pages (blocks under 2 MiB side by side in shared ones, larger blocks each
// in one of its own), given back when freed: first use then takes one page
// fault per 2 MiB instead of one per 4 KiB (which, in a virtual machine, can
// cost more than writing the page), and a table read at random positions
// needs few address translations. Smaller blocks come from the heap.
// `zero` asks for zeroed memory, whose pages are then made present at once.
// release_large() needs the size that was allocated. Throws std::bad_alloc.
void* allocate_large(size_t bytes, bool zero = false);
void release_large(void* p, size_t bytes) noexcept;

// A block of allocate_large() of `bytes` grown to `grown` bytes, of which the
// first `used` are kept; the block given is gone then. A block with a mapping
// of its own hands its whole huge pages over to the new one instead of being
// copied: they stay resident and need not be faulted in again. Throws
// std::bad_alloc, leaving the block given as it was.
void* grow_large(void* p, size_t bytes, size_t used, size_t grown);

// Memory for a buffer that is written once from start to end and then read
// in order (a read buffer, the token order, a pickle being made). From
// 4 MiB on it is a mapping of its own in the system's default pages, given
// back when freed; a smaller one is allocate_large()'s. Huge pages gain such
// a buffer little in address translations, and on virtual machines whose
// host takes back memory left free, a huge page that has been free for a
// while costs several times more to fault in than the small pages of the
// same bytes (measured: 2.3 to 3.5 ms against 0.4 to 0.5 ms per MB).
// `own_mapping` makes a smaller one a mapping of its own too, resident only
// as far as it is written. release_sequential() needs the size and the
// `own_mapping` of the allocation. Throws std::bad_alloc.
void* allocate_sequential(size_t bytes, bool own_mapping = false);
void release_sequential(void* p, size_t bytes, bool own_mapping = false) noexcept;

// Gives the whole pages inside [p, p + bytes) back to the system, from any
// allocator: the block's contents there are no longer needed and read as
// zero afterwards.
void discard_pages(void* p, size_t bytes) noexcept;

// Gives the free pages of the process's heaps back to the system. Memory
// freed in the middle of a heap (texts read, tables outgrown) otherwise
// stays resident until reused; calling this before a phase that allocates
// elsewhere (another thread's arena, fresh mappings) keeps the peak down.
// Walking the heaps takes up to a few hundred microseconds, more than a
// small call gains, so it is skipped when `working_bytes`, the memory the
// call works with, is under 1 MiB.
void return_free_memory(size_t working_bytes) noexcept;

// While an object of this class lives, the host's allocations take huge
// pages where that pays:
// - the small-object allocator takes its 1 MiB arenas from huge pages, two
//   to a page, so that a phase making hundreds of thousands of strs or ints
//   faults in one page per two arenas instead of one per 4 KiB. Arenas from
//   either allocator are mappings of their own, so each frees the other's
//   (the host's unmaps an arena, and so does this one). This is done only
//   over the interpreter's own arena allocator;
// - blocks of 1 MiB or more (tables of large dicts; texts read under
//   4 MiB, see HostBlocksInSmallPages) take huge pages, by hooks over the
//   host's object and memory allocators that otherwise only pass calls on,
//   as a tracing hook does. Where the host would hand such a block on to
//   malloc() anyway and free it with free(), the hook takes it from the C
//   library itself, starting on a huge page boundary; elsewhere (debug
//   allocators, a tracer below) the block the host hands out is advised. A
//   hook stays in place (passing calls on) if someone hooked the allocator
//   on top of it meanwhile.
// The host's own allocators are put back at the end. Needs the interpreter
// lock when made and when ended.
//
// The arenas are worth it for calls that make megabytes of small objects
// only: each huge page taken is resident as a whole, so a small call would
// only grow by them. `arenas` says whether to take them.
class HostMemoryInHugePages {
 public:
  explicit HostMemoryInHugePages(bool arenas);
  ~HostMemoryInHugePages();
  HostMemoryInHugePages(const HostMemoryInHugePages&) = delete;
  HostMemoryInHugePages& operator=(const HostMemoryInHugePages&) = delete;

 private:
  static void* alloc(void* ctx, size_t size);
  static void free(void* ctx, void* p, size_t size);

  PyObjectArenaAllocator saved_{};
  void* spare_ = nullptr;  // the unused second half of the last huge page
  bool arenas_ = false;
  bool blocks_ = false;
};

// While an object of this class lives, blocks of 4 MiB or more that the
// host allocates are left in the system's default pages even where a
// HostMemoryInHugePages would give them huge ones: for a str, bytes object
// or table about to be written through in order, for the same reasons as
// allocate_sequential(). Needs the interpreter lock, like the allocations
// it covers.
class HostBlocksInSmallPages {
 public:
  HostBlocksInSmallPages();
  ~HostBlocksInSmallPages();
  HostBlocksInSmallPages(const HostBlocksInSmallPages&) = delete;
  HostBlocksInSmallPages& operator=(const HostBlocksInSmallPages&) = delete;
};

// While an object of this class lives, nothing asks for huge pages: the
// memory of allocate_large() and grow_large(), the compressor's and the
// host's blocks and arenas under a HostMemoryInHugePages all take the
// system's default pages. For a call that takes tens of megabytes: on
// virtual machines whose host takes back memory left free, most huge pages
// such a call takes have been free for a while, and one of those costs ten
// times or more to fault in than the small pages of the same bytes, which
// cost about the same whether they were free for long or not (measured
// here: 3.5 to 8.5 against 0.4 to 0.5 ms per MB); a call of a few megabytes
// finds huge pages freed shortly before, which cost least. It acts for the
// whole process, on every thread; objects may overlap, and blocks taken
// while one lives keep their pages after.
class SmallPagesOnly {
 public:
  SmallPagesOnly();
  ~SmallPagesOnly();
  SmallPagesOnly(const SmallPagesOnly&) = delete;
  SmallPagesOnly& operator=(const SmallPagesOnly&) = delete;

  // Whether any object of the class lives now.
  static bool active() noexcept;
};

// An allocator for standard containers of such arrays: allocate_large(),
// or allocate_sequential() for kSequential.
template <class T, bool kSequential = false>
struct LargeAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = LargeAllocator<U, kSequential>;
  };
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U, kSequential>&) noexcept {}
  T* allocate(size_t n) {
    return static_cast<T*>(kSequential ? allocate_sequential(n * sizeof(T))
                                       : allocate_large(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if constexpr (kSequential) {
      release_sequential(p, n * sizeof(T));
    } else {
      release_large(p, n * sizeof(T));
    }
  }
  template <class U>
  bool operator==(const LargeAllocator<U, kSequential>&) const noexcept {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// A growing array of trivially copyable elements in memory of
// allocate_large(), grown with grow_large(): an array of megabytes that
// doubles keeps the pages it has instead of copying them into fresh ones.
template <class T>
class LargeArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  LargeArray() = default;
  LargeArray(const LargeArray&) = delete;
  LargeArray& operator=(const LargeArray&) = delete;
  ~LargeArray() { release_large(data_, capacity_ * sizeof(T)); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }

  // Throws std::bad_alloc, leaving the array as it was.
  void reserve(size_t n) {
    if (n > capacity_) regrow(n);
  }
  void push_back(const T& value) {
    if (size_ == capacity_) regrow(grown_capacity(size_ + 1));
    data_[size_++] = value;
  }
  // New elements are zero.
  void resize(size_t n) {
    if (n > capacity_) regrow(grown_capacity(n));
    if (n > size_) std::memset(static_cast<void*>(data_ + size_), 0, (n - size_) * sizeof(T));
    size_ = n;
  }

 private:
  size_t grown_capacity(size_t n) const { return n > 2 * capacity_ ? n : 2 * capacity_; }
  void regrow(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* p = data_ == nullptr
                  ? allocate_large(n * sizeof(T))
                  : grow_large(data_, capacity_ * sizeof(T), size_ * sizeof(T), n * sizeof(T));
    data_ = static_cast<T*>(p);
    capacity_ = n;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};
template <class T>
using SequentialVector = std::vector<T, LargeAllocator<T, true>>;

// Token order of one call, as slot numbers, stored in chunks so that
// growing it never copies what is already there. The first chunks are
// small, so that a call with few tokens takes little memory; from the third
// on they hold kChunk slots each.
class SlotStream {
 public:
  static constexpr uint32_t kChunk = 1u << 20;
  static constexpr uint32_t kFirstChunk = 1u << 16;
  // Slots at or above this mark are not token slots but indexes into the
  // side list of odd objects (None, non-str) an override may return.
  static constexpr uint32_t kOddMark = 0x80000000u;

  SlotStream() = default;
  SlotStream(SlotStream&&) noexcept = default;
  SlotStream& operator=(SlotStream&&) noexcept = default;

  // Throws std::bad_alloc.
  void push(uint32_t slot) {
    if (fill_ == capacity_) next_chunk();
    chunks_.back().data[fill_++] = slot;
    ++size_;
  }
  // Appends `n` slots at once. Throws std::bad_alloc (having appended a
  // prefix of them).
  void append(const uint32_t* slots, size_t n) {
    while (n != 0) {
      if (fill_ == capacity_) next_chunk();
      const size_t room = capacity_ - fill_;
      const size_t take = n < room ? n : room;
      std::memcpy(chunks_.back().data + fill_, slots, take * sizeof(uint32_t));
      fill_ += static_cast<uint32_t>(take);
      size_ += take;
      slots += take;
      n -= take;
    }
  }
  uint64_t size() const { return size_; }

  // Takes over the chunks of `other` into this stream, which has none yet;
  // `other` is left empty. A reader sharing this stream sees the slots
  // once published. Throws std::bad_alloc (taking over nothing), which
  // cannot happen to a shared stream.
  void take_over(SlotStream& other) {
    chunks_.clear();  // none holds a slot
    chunks_.reserve(other.chunks_.size());
    for (Chunk& chunk : other.chunks_) chunks_.emplace_back(std::move(chunk));
    fill_ = other.fill_;
    capacity_ = other.capacity_;
    size_ = other.size_;
    other.chunks_.clear();
    other.fill_ = 0;
    other.capacity_ = 0;
    other.size_ = 0;
  }

  // Told, on the appending thread, each time the slots up to a count are
  // final: when a chunk fills up and at publish().
  class Listener {
   public:
    virtual void slots_final(uint64_t count) noexcept = 0;

   protected:
    ~Listener() = default;
  };
  // Lets a reader on another thread take the slots while more are appended:
  // room for the chunks of `max_slots` is reserved now, so that chunks never
  // move while there are no more. Called before the first slot is appended.
  // Throws std::bad_alloc.
  void share(Listener* listener, uint64_t max_slots);
  void publish() noexcept {
    if (listener_ != nullptr) listener_->slots_final(size_);
  }
  // The reader's view of chunk `k`, valid once slots_final() has covered it;
  // a chunk released by the reader is not visited again.
  const uint32_t* chunk_data(size_t k) const { return chunks_[k].data; }
  static constexpr uint32_t chunk_capacity(size_t k) {
    return k >= 2 ? kChunk : kFirstChunk << (2 * k);
  }
  void release_chunk(size_t k) noexcept { chunks_[k].reset(); }

  // Visits every slot in order; `release` frees each chunk once visited.
  template <class F>
  void for_each(F&& f, bool release) {
    uint64_t left = size_;
    for (Chunk& chunk : chunks_) {
      const uint32_t n = static_cast<uint32_t>(left < chunk.capacity ? left : chunk.capacity);
      for (uint32_t i = 0; i < n; ++i) f(chunk.data[i]);
      left -= n;
      if (release) chunk.reset();
    }
    if (release) {
      chunks_.clear();
      size_ = 0;
      fill_ = 0;
      capacity_ = 0;
    }
  }

 private:
  struct Chunk {
    uint32_t* data;
    uint32_t capacity;
    Chunk(uint32_t* d, uint32_t c) noexcept : data(d), capacity(c) {}
    Chunk(Chunk&& other) noexcept : data(other.data), capacity(other.capacity) {
      other.data = nullptr;
    }
    Chunk& operator=(Chunk&&) = delete;
    ~Chunk() { reset(); }
    void reset() noexcept {
      release_sequential(data, size_t{capacity} * sizeof(uint32_t));
      data = nullptr;
    }
  };
  // Throws std::bad_alloc.
  void next_chunk();

  std::vector<Chunk> chunks_;
  uint32_t fill_ = 0;      // slots in the last chunk
  uint32_t capacity_ = 0;  // of the last chunk
  uint64_t size_ = 0;
  Listener* listener_ = nullptr;
};

class TokenIndex {
 public:
  // Settings for tests only.
  struct Tuning {
    // ANDed into every key hash: 0 sends all keys to one probe sequence and
    // makes all long keys with equal first bytes look alike until their
    // bytes are compared.
    uint64_t hash_mask = ~uint64_t{0};
  };

  TokenIndex();
  explicit TokenIndex(const Tuning& tuning);
  // Needs the interpreter lock (it releases the strs).
  ~TokenIndex();
  TokenIndex(const TokenIndex&) = delete;
  TokenIndex& operator=(const TokenIndex&) = delete;

  // Number of distinct tokens held, with or without their strs.
  uint32_t size() const;
  // The str of a slot (borrowed; alive as long as the index). Valid for a
  // slot added by intern() at once, for one added by scan_units() once
  // materialize() has run since.
  PyObject* token(uint32_t slot) const;

  // Scans the code units of a text (kind 1, 2 or 4 as in PyUnicode_KIND,
  // `length` units, code points at most U+10FFFF) and appends the slot of
  // every maximal run of whitespace and of non-whitespace, as
  // re.findall(r"\S+|\s+", text) would split it, to `out`. Touches no host
  // object and needs no interpreter lock, so it may run on another thread
  // while the host works; only one thread may use an index at a time. New
  // tokens get slots but their strs are made later by materialize().
  // Returns false only when memory runs out (no host error is set then);
  // the index stays usable, and `out` may have received part of the slots.
  bool scan_units(int kind, const void* data, size_t length, SlotStream& out) noexcept;

  // Makes room at once for the distinct tokens expected of a long text of
  // `units` code units about to be scanned, where the index holds less.
  // Only a guess: the index grows as usual past it, and stays as it was when
  // there is no memory for it.
  void expect_text(size_t units) noexcept;

  // Takes in what another index scanned of the text that follows all this
  // one has scanned: the keys of `side` are added in its slot order and the
  // slots of `side_stream` (the side's own, of that text) are appended to
  // `out` as this index's slots, the side stream's chunks freed as they are
  // done. The slots and the order of first sight then are exactly those of
  // scanning that text here, so two threads can scan the two parts of a
  // long text at once. An index that holds nothing yet, with nothing in
  // `out`, takes the side's keys and chunks as they are, and `side` is left
  // empty. `side` must have no strs made. Touches no host object. Returns
  // false only when memory runs out; `out` may then have received part of
  // the slots.
  bool absorb(TokenIndex& side, SlotStream& side_stream, SlotStream& out) noexcept;

  // Makes the host strs of every slot that scan_units() added since the
  // last call (needs the interpreter lock). Returns false with MemoryError
  // set; calling it again later carries on where it stopped.
  bool materialize();

  // scan_units() over an exact str and materialize(). Returns false with a
  // host error set (memory).
  bool scan(PyObject* text, SlotStream& out);

  // The slot of an exact str given by the host (a token an override
  // returned), keyed by its characters as it stores them, so that two strs
  // share a slot exactly when the host's own str equality holds. On first
  // sight that very object becomes the slot's str; a slot that scanning
  // added and that has no str yet gets its own str made now. Returns false
  // with a host error set.
  bool intern(PyObject* str, uint32_t* slot);

  // The token list of `text` (an exact str) as a new host list; equal
  // tokens share one str object.
  static Ref split(PyObject* text);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qbc
