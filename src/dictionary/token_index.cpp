// The tokens met in one call: a hash set of token texts keyed by their
// code points, and the one host str made for each.
//
// A key is the token's characters in their narrowest width (1 byte below
// U+0100, 2 below U+10000, else 4), which is the width a str of those
// characters has. A run of a wide text whose characters all fit a narrower
// width is narrowed first, so "\n" found in an ASCII text and in a UCS-2
// text is one key.
//
// Lookups are bound by memory latency, so a lookup touches one cache line:
// - the table is an array of 64-byte buckets, each holding three entries of
//   a 16-byte key form and a slot. A key of at most 15 bytes (97% of the
//   tokens of English text, most CJK runs of up to 7 characters) is its own
//   key form: its bytes and a byte giving its width and length. A longer key
//   is represented by its first 8 bytes and 56 bits of its XXH3 hash, and a
//   match is confirmed against its bytes, which the index keeps;
// - keys are found by linear probing over buckets, whose position comes from
//   the top bits of a multiply-mix of the two words of the key form;
// - runs are found a block of 64 units at a time and pass through a ring:
//   each has its key form built and its bucket fetched some dozens of runs
//   before it is looked up, so that the fetches overlap instead of following
//   one another; one-unit tokens below U+0100 (half the tokens of most
//   texts) take their slot from a direct map instead;
// - the host strs of new tokens are made afterwards from the kept key bytes,
//   so that scanning needs nothing from the host and may run on a thread of
//   its own.
#include "dictionary/token_index.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <new>
#include <mutex>
#include <optional>
#include <unordered_map>

#if defined(__linux__)
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "dictionary/token_scan.hpp"

namespace qbc {

namespace {

// Where allocate_large() maps memory of its own instead of using the heap.
constexpr size_t kLargeFrom = size_t{512} << 10;
// Buffers written and read in order take small pages from this size on.
// A call that needs a few megabytes finds huge pages freed shortly before
// (by itself or another process), which cost little to fault in; beyond
// that it reaches memory the host has taken back. Measured: the Chinese
// text's encode took 0.046 s with all such buffers in small pages against
// 0.042 s in huge ones, GCIDE's 0.93 against 1.19 s.
constexpr size_t kSmallPagesFrom = size_t{4} << 20;
constexpr unsigned kWays = 3;            // entries per bucket
constexpr size_t kInitialBuckets = 16;   // a power of two
// The table grows when one more key would fill more than this share of its
// entries (numerator over 8).
constexpr size_t kLoadEighths = 7;
// Distinct tokens expected of a long text: one in this many code units (one
// in 52 in either half of a dictionary of English), and a table of at most
// this many buckets (16 MiB, room for 688,128 keys) made at once for them.
constexpr size_t kUnitsPerKey = 48;
constexpr size_t kExpectedBuckets = size_t{1} << 18;
constexpr uint32_t kMaxSlots = SlotStream::kOddMark - 1;
constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
// The high word of the key form of a one-unit token below U+0100.
constexpr uint64_t kSingleShape = uint64_t{0x11} << 56;

// An entry's key form is all zero while the entry is unused; no key has
// that form, as the top byte of the high word (the key's shape) is never 0.
struct alignas(64) Bucket {
  PackedKey keys[kWays];
  uint32_t slots[kWays];
  uint32_t used;
};
static_assert(sizeof(Bucket) == 64);

// Whether a key form is that of a key longer than 15 bytes, whose match must
// be confirmed with its bytes: their shape byte is kLongKey | width code.
inline bool is_long(const PackedKey& k) { return (k.hi >> 63) != 0; }

// The unit width a key form gives: its shape byte holds the width code (1,
// 2 or 3 for 1, 2 or 4 bytes) in the high nibble for a short key, in the low
// one for a long key.
inline unsigned width_of(const PackedKey& k) {
  const unsigned shape = static_cast<unsigned>(k.hi >> 56);
  const unsigned code = is_long(k) ? shape & 0xF : shape >> 4;
  return code == 3 ? 4u : code;
}

// The table position hash of a key form: a multiply-mix of its two words,
// whose top bits pick the bucket. The high word always has its top byte set
// (the key's shape), so its factor below is never zero.
inline uint64_t mix(const PackedKey& k) {
  const uint64_t a = k.lo ^ 0x9E3779B97F4A7C15ull;
  const uint64_t b = k.hi ^ 0xFF51AFD7ED558CCDull;
#if defined(__SIZEOF_INT128__)
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
#else
  uint64_t h = (a ^ (b >> 29)) * 0xBF58476D1CE4E5B9ull;
  h ^= h >> 31;
  h *= b | 1;
  return h ^ (h >> 32);
#endif
}

// The key form of a key of more than 15 bytes: its first 8 bytes, and 56
// bits of its hash (seeded with the width, so that equal bytes of different
// widths differ) under the shape byte.
inline PackedKey long_form(const uint8_t* bytes, size_t nbytes, unsigned width, uint64_t mask) {
  const uint64_t h = XXH3_64bits_withSeed(bytes, nbytes, width) & mask;
  const PackedKey prefix = pack_key(bytes, nbytes, width);
  return PackedKey{prefix.lo, (h >> 8) | (prefix.hi & (uint64_t{0xFF} << 56))};
}

// The key form of `nbytes` key bytes of width `width` at `bytes`.
inline PackedKey key_form(const uint8_t* bytes, size_t nbytes, unsigned width, uint64_t mask) {
  return nbytes <= kPackedBytes ? pack_key(bytes, nbytes, width)
                                : long_form(bytes, nbytes, width, mask);
}

// Writes the bytes of a short key form to `out` (16 bytes).
inline void short_bytes(const PackedKey& k, uint8_t* out) {
  uint64_t lo = k.lo, hi = k.hi;
  if constexpr (std::endian::native == std::endian::big) {
    lo = __builtin_bswap64(lo);
    hi = __builtin_bswap64(hi);
  }
  std::memcpy(out, &lo, 8);
  std::memcpy(out + 8, &hi, 8);
}

// memset() through the C library. The compiler expands a fill of a known
// small size into `rep stos`, which is slow to start on some processors and
// weighs on short texts, whose index it sets up.
[[gnu::noipa]] void fill(void* p, int byte, size_t n) { std::memset(p, byte, n); }

// The bucket array: zeroed, and aligned to cache lines (a large one comes
// from allocate_large(), whose mappings are aligned to pages).
class BucketArray {
 public:
  BucketArray() = default;
  // Throws std::bad_alloc.
  explicit BucketArray(size_t count) : count_(count) {
    const size_t bytes = count * sizeof(Bucket);
    void* p;
    if (bytes >= kLargeFrom) {
      p = allocate_large(bytes, /*zero=*/true);
    } else {
      p = std::aligned_alloc(alignof(Bucket), bytes);
      if (p == nullptr) throw std::bad_alloc();
      fill(p, 0, bytes);
    }
    buckets_ = static_cast<Bucket*>(p);
  }
  BucketArray(BucketArray&& other) noexcept { swap(other); }
  BucketArray& operator=(BucketArray&& other) noexcept {
    swap(other);
    return *this;
  }
  ~BucketArray() {
    const size_t bytes = count_ * sizeof(Bucket);
    if (bytes >= kLargeFrom) {
      release_large(buckets_, bytes);
    } else {
      std::free(buckets_);
    }
  }

  Bucket* data() const { return buckets_; }
  size_t size() const { return count_; }

 private:
  void swap(BucketArray& other) noexcept {
    std::swap(buckets_, other.buckets_);
    std::swap(count_, other.count_);
  }

  Bucket* buckets_ = nullptr;
  size_t count_ = 0;
};

// What a slot holds: its str (owned; null until made) and where its key is
// in the key store.
struct Record {
  PyObject* str;
  size_t key_at;
};

// A slot sink for split(): a plain growing array.
struct SlotVector {
  LargeVector<uint32_t> slots;
  void append(const uint32_t* s, size_t n) { slots.insert(slots.end(), s, s + n); }
};

}  // namespace

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// From this size on, clearing whole huge pages costs less than the faults
// of the small pages that a block written through takes.
constexpr size_t kMappedFrom = kLargeFrom;

size_t mapped_size(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Lives of SmallPagesOnly at present, on any thread.
std::atomic<int> g_small_only{0};

#if defined(__linux__)
// A fresh mapping of `size` bytes (whole small pages) starting on a huge
// page boundary, asking for huge pages for its first `advised` bytes (whole
// huge pages) unless a SmallPagesOnly lives; null when the system refuses.
// Mapped with a huge page of slack, the parts before the first boundary and
// after the size are given back.
void* map_huge_pages(size_t size, size_t advised) {
  void* m = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                 -1, 0);
  if (m == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(m);
  const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  const uintptr_t end = start + size + kHugePage;
  if (aligned != start) munmap(m, aligned - start);
  if (end != aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
  auto* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  if (advised > 0 && !SmallPagesOnly::active()) madvise(p, advised, MADV_HUGEPAGE);
#else
  (void)advised;
#endif
  return p;
}
void* map_huge_pages(size_t size) { return map_huge_pages(size, size); }

size_t page_size(size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// A block of at least a huge page has a mapping of its own, in huge pages
// but for a tail of under half a huge page, which keeps small pages: that
// tail's huge page would be resident whole, most of it unused.
constexpr size_t kOwnMappingFrom = kHugePage;
constexpr size_t kHugeTailFrom = kHugePage / 2;

size_t own_mapping_size(size_t bytes) {
  const size_t size = page_size(bytes);
  return size % kHugePage >= kHugeTailFrom ? mapped_size(size) : size;
}

// Blocks under a huge page are carved one after another from a shared run
// of mapped memory that asks for huge pages, each block rounded to whole
// small pages. A huge page is taken whole on its first touch, so a block of
// its own would leave the rest of it resident and unused; carved side by
// side, the smaller blocks of a call (a table, its records and keys, while
// they are small) share their huge pages, and at most the last one is partly
// unused.
//
// Memory goes back in whole huge pages: a huge page is unmapped once no
// live block lies in it and no new one can (it is behind the run's next
// free byte, or its run is full). Cutting into a huge page would split it
// into small pages, and the blocks still in it would lose the fewer address
// translations a huge page needs. Addresses are never handed out twice, so
// every block starts as fresh zero pages.
class Frontier {
 public:
  void* allocate(size_t bytes) {
    const size_t size = page_size(bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    if (next_ == nullptr || size > static_cast<size_t>(end_ - next_)) {
      // Where address space is short, a run just big enough is tried too.
      size_t run = std::max(kRun, mapped_size(size));
      void* m = map_huge_pages(run);
      if (m == nullptr && run > mapped_size(size)) {
        run = mapped_size(size);
        m = map_huge_pages(run);
      }
      if (m == nullptr) return nullptr;
      // The full run's part not handed out goes, but for the huge page it
      // begins in while blocks live there.
      retire();
      next_ = static_cast<char*>(m);
      end_ = next_ + run;
    }
    char* p = next_;
    const uintptr_t first = page_of(p), last = page_of(p + size - 1);
    try {
      for (uintptr_t page = first; page <= last; ++page) ++users_[page];
    } catch (const std::bad_alloc&) {
      for (uintptr_t page = first; page <= last; ++page) drop_user(page);
      return nullptr;
    }
    next_ += size;
    return p;
  }

  void release(void* p, size_t bytes) noexcept {
    const size_t size = page_size(bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    const uintptr_t first = page_of(p), last = page_of(static_cast<char*>(p) + size - 1);
    for (uintptr_t page = first; page <= last; ++page) drop_user(page);
  }

 private:
  // Each run spans this much address space; only what is touched is memory.
  static constexpr size_t kRun = size_t{32} << 20;

  static uintptr_t page_of(const void* p) { return reinterpret_cast<uintptr_t>(p) / kHugePage; }
  static void unmap_page(uintptr_t page) noexcept {
    munmap(reinterpret_cast<void*>(page * kHugePage), kHugePage);
  }

  // Whether blocks may still be carved from the huge page.
  bool open(uintptr_t page) const {
    return next_ != nullptr && page == page_of(next_) && next_ != end_;
  }

  // One block fewer in the huge page; the page goes with its last block.
  // When the run's next blocks would have come from it, the rest of the run
  // goes too, and the next block starts a new one: nothing of a call stays
  // resident once its blocks are freed.
  void drop_user(uintptr_t page) noexcept {
    auto it = users_.find(page);
    if (it == users_.end() || --it->second > 0) return;
    users_.erase(it);
    if (open(page)) {
      retire();
    } else {
      unmap_page(page);
    }
  }

  // Gives back the run's part not handed out: its huge pages from the one
  // after the next free byte on, and that one too when no block lies in it.
  void retire() noexcept {
    if (next_ == nullptr) return;
    const uintptr_t at = reinterpret_cast<uintptr_t>(next_);
    uintptr_t from = (at + kHugePage - 1) / kHugePage * kHugePage;
    if (at % kHugePage != 0 && users_.count(page_of(next_)) == 0) from -= kHugePage;
    const uintptr_t end = reinterpret_cast<uintptr_t>(end_);
    if (from < end) munmap(reinterpret_cast<void*>(from), end - from);
    next_ = end_ = nullptr;
  }

  std::mutex mutex_;
  char* next_ = nullptr;  // the current run's next free byte
  char* end_ = nullptr;
  // Live blocks per huge page that holds any (by page number).
  std::unordered_map<uintptr_t, uint32_t> users_;
};

Frontier& frontier() {
  static Frontier* f = new Frontier();  // never destroyed: blocks may outlive exit handlers
  return *f;
}
#endif

}  // namespace

void* allocate_large(size_t bytes, bool zero) {
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    void* p;
    if (bytes >= kOwnMappingFrom) {
      const size_t size = own_mapping_size(bytes);
      p = map_huge_pages(size, size / kHugePage * kHugePage);
    } else {
      p = frontier().allocate(bytes);
    }
    if (p == nullptr) throw std::bad_alloc();
#if defined(MADV_POPULATE_WRITE)
    // Fresh mappings read as zero. A table is read before it is written
    // at most places, which would map the shared zero page first and fault
    // again on the write; its pages are made present now instead (a hint:
    // older systems refuse, and the faults come later).
    if (zero) madvise(p, bytes, MADV_POPULATE_WRITE);
#endif
    return p;
  }
#endif
  void* p = zero ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void release_large(void* p, size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(__linux__)
  if (bytes >= kOwnMappingFrom) {
    munmap(p, own_mapping_size(bytes));
    return;
  }
  if (bytes >= kMappedFrom) {
    frontier().release(p, bytes);
    return;
  }
#endif
  std::free(p);
}

void* grow_large(void* p, size_t bytes, size_t used, size_t grown) {
  char* from = static_cast<char*>(p);
#if defined(__linux__) && defined(MREMAP_MAYMOVE)
  if (bytes >= kOwnMappingFrom && grown >= kOwnMappingFrom) {
    // The old mapping's whole huge pages move into a larger mapping at a
    // place the system picks, their page tables as they are; its tail in
    // small pages, if any, is copied. Asked for in whole huge pages, the
    // new mapping starts on a huge page boundary (where the system aligns
    // such mappings; elsewhere the pages move as small ones) and is then
    // cut to its size. The place is not given: moving onto a given range
    // unmaps that range first, and should the move then fail, the copy
    // below would write to a range that is gone. A failed move here leaves
    // the old mapping as it was.
    const size_t size = own_mapping_size(bytes);
    const size_t moved = size / kHugePage * kHugePage;
    const size_t grown_size = own_mapping_size(grown);
    const size_t asked = mapped_size(grown_size);
    void* m = mremap(from, moved, asked, MREMAP_MAYMOVE);
    if (m != MAP_FAILED) {
      auto* to = static_cast<char*>(m);
      if (asked > grown_size) munmap(to + grown_size, asked - grown_size);
      if (used > moved) std::memcpy(to + moved, from + moved, used - moved);
      if (size > moved) munmap(from + moved, size - moved);
      return to;
    }
  }
#endif
  auto* to = static_cast<char*>(allocate_large(grown));
  std::memcpy(to, from, used);
  release_large(p, bytes);
  return to;
}

void* allocate_sequential(size_t bytes, bool own_mapping) {
#if defined(__linux__)
  if (own_mapping || bytes >= kSmallPagesFrom) {
    void* p = mmap(nullptr, page_size(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
  }
#endif
  return allocate_large(bytes);
}

void release_sequential(void* p, size_t bytes, bool own_mapping) noexcept {
#if defined(__linux__)
  if (p != nullptr && (own_mapping || bytes >= kSmallPagesFrom)) {
    munmap(p, page_size(bytes));
    return;
  }
#endif
  release_large(p, bytes);
}

void discard_pages(void* p, size_t bytes) noexcept {
#if defined(__linux__)
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (start + page - 1) / page * page;
  const uintptr_t last = (start + bytes) / page * page;
  if (p != nullptr && first < last) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  }
#else
  (void)p;
  (void)bytes;
#endif
}

namespace {

// Asks for huge pages for the whole huge pages inside a block that the
// host's allocator has just handed out and nobody has written yet, from the
// same size on as allocate_large(). Only a hint: where the block came from
// the heap instead of a mapping of its own, the pages asked for are simply
// those of the heap.
void advise_huge_pages(void* p, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (p == nullptr || bytes < kMappedFrom) return;
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (start + kHugePage - 1) / kHugePage * kHugePage;
  const uintptr_t last = (start + bytes) / kHugePage * kHugePage;
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

constexpr size_t kArena = size_t{1} << 20;

// Whether `fn` is code of the interpreter itself (which has one arena
// allocator, of mappings of their own) rather than of an allocator that
// someone installed.
bool in_interpreter(void* fn) {
  Dl_info fn_info, own_info;
  if (dladdr(fn, &fn_info) == 0 ||
      dladdr(reinterpret_cast<void*>(&PyObject_GetArenaAllocator), &own_info) == 0) {
    return false;
  }
  return fn_info.dli_fbase == own_info.dli_fbase;
}

// The hooks over the host's object and memory allocators (the domains that
// need the interpreter lock). Their state is static, so that a hook left in
// place stays valid.
struct Hook {
  PyMemAllocatorDomain domain;
  PyMemAllocatorEx previous;
  bool hooked;
  // The allocator below passes blocks it does not keep itself to the
  // host's raw allocator, and that frees them with free(): then a block
  // taken from the C library directly is one it frees and resizes as its
  // own. True over the interpreter's own small-object allocator (or its
  // plain malloc one), not over its debug hooks, whose blocks carry
  // headers of their own.
  bool frees_with_libc;
};
Hook g_hooks[] = {{PYMEM_DOMAIN_OBJ, {}, false, false}, {PYMEM_DOMAIN_MEM, {}, false, false}};
int g_advised = 0;  // lives of HostMemoryInHugePages at present
int g_small = 0;    // lives of HostBlocksInSmallPages at present
constexpr size_t kAdviseFrom = size_t{1} << 20;
// Blocks from this size on start on a huge page boundary: from half a huge
// page on, a block is given whole ones (see huge_aligned_block()).
constexpr size_t kAlignFrom = kHugePage / 2;

// Whether a host block of `size` bytes made now is to take huge pages, from
// the size on where they are asked for at all (`from`).
bool huge_pages_for(size_t size, size_t from) {
  return g_advised > 0 && (g_small == 0 || size < kSmallPagesFrom) && size >= from &&
         !SmallPagesOnly::active();
}

void* advised(void* p, size_t size) {
  if (p != nullptr && huge_pages_for(size, kAdviseFrom)) advise_huge_pages(p, size);
  return p;
}

// Whether the host's raw allocator is still its own, which is malloc() and
// free(); someone may hook it at any time (a tracer, say).
bool raw_is_libc() {
  PyMemAllocatorEx raw;
  PyMem_GetAllocator(PYMEM_DOMAIN_RAW, &raw);
  return raw.ctx == nullptr && in_interpreter(reinterpret_cast<void*>(raw.malloc)) &&
         in_interpreter(reinterpret_cast<void*>(raw.free));
}

// A block of `size` bytes that starts on a huge page boundary and takes
// huge pages, from the C library; null where that cannot be had.
//
// A block merely advised keeps small pages up to its first boundary and
// after its last, and one under 2 MiB (the table of a dict of some tens of
// thousands of entries, a text of a megabyte) none at all. On virtual
// machines every small page faulted in costs several microseconds, the
// clearing of a whole huge page a few hundred: a 1.4 MB table written
// through took 3.7 ms in small pages and 0.2 ms in one huge page. A tail of
// at least kAlignFrom is given a whole huge page too (at most 1 MiB
// resident that the block does not use); a shorter tail keeps small pages.
void* huge_aligned_block(size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const size_t whole = size / kHugePage * kHugePage;
  const size_t advised_bytes = size - whole >= kAlignFrom ? whole + kHugePage : whole;
  void* p = nullptr;
  if (posix_memalign(&p, kHugePage, std::max(size, advised_bytes)) != 0) return nullptr;
  advise_huge_pages(p, advised_bytes);
  return p;
#else
  (void)size;
  return nullptr;
#endif
}

void* hook_malloc(void* ctx, size_t size) {
  const Hook& hook = *static_cast<Hook*>(ctx);
  if (huge_pages_for(size, kAlignFrom) && hook.frees_with_libc && raw_is_libc()) {
    if (void* p = huge_aligned_block(size)) return p;
  }
  const PyMemAllocatorEx& a = hook.previous;
  return advised(a.malloc(a.ctx, size), size);
}
void* hook_calloc(void* ctx, size_t count, size_t size) {
  const PyMemAllocatorEx& a = static_cast<Hook*>(ctx)->previous;
  return advised(a.calloc(a.ctx, count, size), count * size);
}
void* hook_realloc(void* ctx, void* p, size_t size) {
  const PyMemAllocatorEx& a = static_cast<Hook*>(ctx)->previous;
  return advised(a.realloc(a.ctx, p, size), size);
}
void hook_free(void* ctx, void* p) {
  const PyMemAllocatorEx& a = static_cast<Hook*>(ctx)->previous;
  a.free(a.ctx, p);
}

// Hooks a domain only straight over the interpreter's own allocator (with
// or without its debug hooks): then no one else's hook lies below this one,
// and taking it away again can drop no one's.
void set_hook(Hook& hook) {
  PyMemAllocatorEx current;
  PyMem_GetAllocator(hook.domain, &current);
  if (current.malloc == hook_malloc || hook.hooked ||
      !in_interpreter(reinterpret_cast<void*>(current.malloc)) ||
      !in_interpreter(reinterpret_cast<void*>(current.free))) {
    return;
  }
  hook.previous = current;
  // The interpreter's own allocators take no context; its debug hooks do.
  // From 3.13 on the object allocator may be one that does not pass
  // foreign blocks on to free().
  hook.frees_with_libc = PY_VERSION_HEX < 0x030D0000 && current.ctx == nullptr;
  PyMemAllocatorEx mine{&hook, hook_malloc, hook_calloc, hook_realloc, hook_free};
  PyMem_SetAllocator(hook.domain, &mine);
  hook.hooked = true;
}

// Takes a hook away while it is still on top.
void clear_hook(Hook& hook) {
  PyMemAllocatorEx current;
  PyMem_GetAllocator(hook.domain, &current);
  if (current.malloc == hook_malloc && current.ctx == &hook) {
    PyMem_SetAllocator(hook.domain, &hook.previous);
    hook.hooked = false;
  }
}

}  // namespace

HostMemoryInHugePages::HostMemoryInHugePages(bool arenas) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  for (Hook& hook : g_hooks) set_hook(hook);
  ++g_advised;
  blocks_ = true;

  if (!arenas) return;
  PyObject_GetArenaAllocator(&saved_);
  if (saved_.ctx != nullptr || !in_interpreter(reinterpret_cast<void*>(saved_.alloc)) ||
      !in_interpreter(reinterpret_cast<void*>(saved_.free))) {
    return;
  }
  PyObjectArenaAllocator mine{this, &HostMemoryInHugePages::alloc, &HostMemoryInHugePages::free};
  PyObject_SetArenaAllocator(&mine);
  arenas_ = true;
#endif
}

HostMemoryInHugePages::~HostMemoryInHugePages() {
  if (arenas_) {
    PyObject_SetArenaAllocator(&saved_);
#if defined(__linux__)
    if (spare_ != nullptr) munmap(spare_, kArena);
#endif
  }
  if (blocks_ && --g_advised == 0) {
    for (Hook& hook : g_hooks) clear_hook(hook);
  }
}

SmallPagesOnly::SmallPagesOnly() { g_small_only.fetch_add(1, std::memory_order_relaxed); }
SmallPagesOnly::~SmallPagesOnly() { g_small_only.fetch_sub(1, std::memory_order_relaxed); }
bool SmallPagesOnly::active() noexcept { return g_small_only.load(std::memory_order_relaxed) > 0; }

HostBlocksInSmallPages::HostBlocksInSmallPages() { ++g_small; }
HostBlocksInSmallPages::~HostBlocksInSmallPages() { --g_small; }

void* HostMemoryInHugePages::alloc(void* ctx, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  auto* self = static_cast<HostMemoryInHugePages*>(ctx);
  if (size == kArena && !SmallPagesOnly::active()) {
    if (void* p = self->spare_) {
      self->spare_ = nullptr;
      return p;
    }
    if (auto* page = static_cast<char*>(map_huge_pages(kHugePage))) {
      self->spare_ = page + kArena;
      return page;
    }
  }
  return self->saved_.alloc(self->saved_.ctx, size);
#else
  (void)ctx;
  (void)size;
  return nullptr;
#endif
}

void HostMemoryInHugePages::free(void* ctx, void* p, size_t size) {
#if defined(__linux__)
  (void)ctx;
  if (p != nullptr) munmap(p, size);
#else
  auto* self = static_cast<HostMemoryInHugePages*>(ctx);
  self->saved_.free(self->saved_.ctx, p, size);
#endif
}

void return_free_memory(size_t working_bytes) noexcept {
#if defined(__GLIBC__)
  if (working_bytes >= (size_t{1} << 20)) malloc_trim(0);
#else
  (void)working_bytes;
#endif
}

void SlotStream::share(Listener* listener, uint64_t max_slots) {
  chunks_.reserve(2 + (max_slots + kChunk - 1) / kChunk);
  listener_ = listener;
}

void SlotStream::next_chunk() {
  const size_t k = chunks_.size();
  const uint32_t capacity = chunk_capacity(k);
  // The chunks so far are full.
  if (k > 0) publish();
  if (chunks_.capacity() == k) chunks_.reserve(k + 1);
  chunks_.emplace_back(
      static_cast<uint32_t*>(allocate_sequential(size_t{capacity} * sizeof(uint32_t))), capacity);
  capacity_ = capacity;
  fill_ = 0;
}

struct TokenIndex::Impl {
  uint64_t hash_mask;
  BucketArray table;
  unsigned shift;      // 64 - log2(bucket count)
  size_t grow_at;      // record count at which one more key grows the table
  LargeArray<Record> records;  // one per slot, in order of first sight
  // The key store: per key a header word (byte count << 3 | width) and the
  // key bytes, zero-padded to whole words.
  LargeArray<uint64_t> keys;
  size_t unmade = 0;   // records below this one all have their strs
  // The slots of the one-unit tokens below U+0100 (spaces, line feeds,
  // punctuation: half the tokens of most texts) that have one, so that they
  // skip hashing and the table.
  uint32_t single[256];

  explicit Impl(const Tuning& tuning, size_t buckets = kInitialBuckets)
      : hash_mask(tuning.hash_mask) {
    set_table(buckets);
    fill(single, 0xFF, sizeof single);  // every entry kNoSlot
  }
  ~Impl() {
    for (Record& r : records) Py_XDECREF(r.str);
  }

  void set_table(size_t count) {
    BucketArray grown(count);
    table = std::move(grown);
    shift = 64 - static_cast<unsigned>(std::countr_zero(count));
    grow_at = count * kWays * kLoadEighths / 8;
  }

  size_t home(uint64_t hash) const { return static_cast<size_t>(hash >> shift); }

  // A key being looked up: its form, position hash, byte count and, for a
  // long key, its bytes.
  struct Probe {
    PackedKey form;
    uint64_t hash;
    const uint8_t* bytes;
    size_t nbytes;
  };

  // The position hash of a key form. A long key's entry keeps, in place of
  // the key's first bytes, where its bytes are (see find_or_add()), so
  // only its hash word counts.
  uint64_t hash_of(const PackedKey& k) const {
    return mix(PackedKey{is_long(k) ? 0 : k.lo, k.hi}) & hash_mask;
  }

  // Doubles the table. Throws std::bad_alloc (leaving the table as it was).
  [[gnu::noinline]] void grow() { rehash(table.size() * 2); }

  // Sizes the table for the distinct tokens a text of `units` code units
  // brings, about one in kUnitsPerKey, up to kExpectedBuckets, when the
  // table holds fewer: a table grown there by doubling would have faulted
  // in as much memory again for the tables it outgrew, and rehashed every
  // key at each step. Throws std::bad_alloc (leaving the table as it was).
  void expect(size_t units) {
    const size_t keys = units / kUnitsPerKey;
    size_t count = table.size();
    while (count < kExpectedBuckets && count * kWays * kLoadEighths / 8 < keys) count *= 2;
    if (count > table.size()) rehash(count);
  }

  // Moves every key into a table of `count` buckets, a power of two larger
  // than the table's. Throws std::bad_alloc (leaving the table as it was).
  void rehash(size_t count) {
    BucketArray grown(count);
    const unsigned grown_shift = 64 - static_cast<unsigned>(std::countr_zero(count));
    const size_t last = grown.size() - 1;
    Bucket* to = grown.data();
    const Bucket* from = table.data();
    for (size_t i = 0; i < table.size(); ++i) {
      for (unsigned w = 0; w < from[i].used; ++w) {
        size_t j = static_cast<size_t>(hash_of(from[i].keys[w]) >> grown_shift);
        while (to[j].used == kWays) j = (j + 1) & last;
        Bucket& b = to[j];
        b.keys[b.used] = from[i].keys[w];
        b.slots[b.used] = from[i].slots[w];
        ++b.used;
      }
    }
    table = std::move(grown);
    shift = grown_shift;
    grow_at = count * kWays * kLoadEighths / 8;
  }

  // Whether the key stored at `at` has the bytes of the long key of `p`
  // (whose width already agrees).
  bool same_bytes(size_t at, const Probe& p) const {
    return (keys[at] >> 3) == p.nbytes && std::memcmp(&keys[at + 1], p.bytes, p.nbytes) == 0;
  }

  // Adds a slot for the key of `p`, whose str is `str` (taken over) or made
  // later, and returns where its key is stored. Throws std::bad_alloc,
  // adding nothing then.
  size_t add(const Probe& p, PyObject* str) {
    if (records.size() >= kMaxSlots) throw std::bad_alloc();
    const size_t at = keys.size();
    const uint64_t header = (uint64_t{p.nbytes} << 3) | width_of(p.form);
    if (is_long(p.form)) {
      keys.resize(at + 1 + (p.nbytes + 7) / 8);
      keys[at] = header;
      std::memcpy(&keys[at + 1], p.bytes, p.nbytes);
    } else {
      // A short key's bytes are the words of its form without the shape
      // byte (zero-padded already), in memory order.
      if (keys.capacity() - at < 3) keys.reserve(2 * keys.capacity() + 3);
      uint64_t words[2] = {p.form.lo, p.form.hi & ~(uint64_t{0xFF} << 56)};
      if constexpr (std::endian::native == std::endian::big) {
        words[0] = __builtin_bswap64(words[0]);
        words[1] = __builtin_bswap64(words[1]);
      }
      keys.push_back(header);
      if (p.nbytes > 0) keys.push_back(words[0]);
      if (p.nbytes > 8) keys.push_back(words[1]);
    }
    try {
      records.push_back(Record{str, at});
    } catch (...) {
      keys.resize(at);
      throw;
    }
    if (p.form.hi == kSingleShape) single[p.form.lo] = static_cast<uint32_t>(records.size() - 1);
    return at;
  }

  // The entries of a bucket that hold the short key form `k`, as bits.
  // Unused entries are zero and never match.
  static unsigned match(const Bucket& b, const PackedKey& k) {
    auto same = [&](const PackedKey& e) {
      return static_cast<unsigned>(((e.lo ^ k.lo) | (e.hi ^ k.hi)) == 0);
    };
    return same(b.keys[0]) | same(b.keys[1]) << 1 | same(b.keys[2]) << 2;
  }

  // The entries of a bucket whose hash word is `hi` (a long key's; never 0).
  static unsigned match_high(const Bucket& b, uint64_t hi) {
    return static_cast<unsigned>(b.keys[0].hi == hi) |
           static_cast<unsigned>(b.keys[1].hi == hi) << 1 |
           static_cast<unsigned>(b.keys[2].hi == hi) << 2;
  }

  // The slot of the key of `p`, added on first sight with `str` as its str
  // (taken over only then; null to make it later). `*added` tells which
  // happened. Throws std::bad_alloc.
  //
  // A short key's entry holds its form. A long key's entry holds the hash
  // word of its form and, in place of the first bytes, where its bytes are
  // stored, so that confirming a match reads one more line, not two.
  uint32_t find_or_add(const Probe& p, PyObject* str, bool* added) {
    if (records.size() >= grow_at) grow();
    const size_t last = table.size() - 1;
    const bool long_key = is_long(p.form);
    for (size_t i = home(p.hash);; i = (i + 1) & last) {
      Bucket& b = table.data()[i];
      if (!long_key) {
        if (const unsigned hit = match(b, p.form)) {
          *added = false;
          return b.slots[std::countr_zero(hit)];
        }
      } else {
        for (unsigned hit = match_high(b, p.form.hi); hit != 0; hit &= hit - 1) {
          const unsigned w = static_cast<unsigned>(std::countr_zero(hit));
          if (same_bytes(static_cast<size_t>(b.keys[w].lo), p)) {
            *added = false;
            return b.slots[w];
          }
        }
      }
      if (b.used < kWays) {
        // Linear probing fills buckets in order, so the first one with a free
        // entry ends the key's probe sequence.
        const size_t at = add(p, str);
        const uint32_t slot = static_cast<uint32_t>(records.size() - 1);
        b.keys[b.used] = long_key ? PackedKey{at, p.form.hi} : p.form;
        b.slots[b.used] = slot;
        ++b.used;
        *added = true;
        return slot;
      }
    }
  }

  // Scanning ----------------------------------------------------------------
  //
  // Runs go through a ring of probes, so that the fetches of some dozens of
  // runs are in flight at any time: a run is queued when found (its key
  // form built, its hash taken and its home bucket fetched, or its slot
  // taken from the one-unit map), and kSettleLag runs later it is settled:
  // looked up in its home bucket, the long way if it is not found there,
  // and its slot appended to the output. Settling runs after each block of
  // 64 units, over the runs that have come due.
  static constexpr size_t kRing = 128;  // holds kSettleLag + one block's runs
  static constexpr size_t kSettleLag = 48;
  static_assert(kSettleLag + 64 <= kRing);
  static constexpr size_t kOut = 256;
  static constexpr size_t kInText = ~size_t{0};

  enum : uint8_t { kQueued, kFound };

  struct Ring {
    PackedKey form[kRing];
    uint64_t hash[kRing];
    uint32_t slot[kRing];
    uint8_t state[kRing];
    // For long keys only: byte count, and the bytes, in the text or (for a
    // key narrowed from a wider text) at scratch_at in `scratch`.
    size_t nbytes[kRing];
    const uint8_t* bytes[kRing];
    size_t scratch_at[kRing];
  };

  // Long keys narrowed from a wider text, for the probes in flight.
  std::vector<uint8_t> scratch;
  static constexpr size_t kScratchLimit = size_t{64} << 10;

  // The key form of a run of `len` units at `src` that needs `width` bytes
  // per character, for the cases the inline fast paths leave: long keys,
  // wide keys of UCS-4 texts and runs near the end of the text (`room`
  // units readable). Records where a long key's bytes are. Throws
  // std::bad_alloc.
  template <class Unit>
  [[gnu::noinline]] PackedKey other_form(const Unit* src, size_t len, unsigned width, Ring& r,
                                         size_t i) {
    const size_t nbytes = len * width;
    r.scratch_at[i] = kInText;
    if (width == sizeof(Unit)) {
      if (nbytes <= kPackedBytes) return pack_key(src, nbytes, width);
      r.nbytes[i] = nbytes;
      r.bytes[i] = reinterpret_cast<const uint8_t*>(src);
      return long_form(r.bytes[i], nbytes, width, hash_mask);
    }
    if (nbytes <= kPackedBytes) return pack_narrowed(src, len, width);
    // The scratch bytes may move as more are added; the probe gets its
    // pointer when it is settled.
    const size_t at = scratch.size();
    scratch.resize(at + nbytes);
    narrow_to_bytes(src, len, width, scratch.data() + at);
    r.nbytes[i] = nbytes;
    r.scratch_at[i] = at;
    return long_form(scratch.data() + at, nbytes, width, hash_mask);
  }

  // Settles a probe not found in its home bucket, or whose key is long.
  // Throws std::bad_alloc.
  [[gnu::noinline]] uint32_t settle_slow(Ring& r, size_t i) {
    Probe p;
    p.form = r.form[i];
    p.hash = r.hash[i];
    if (is_long(p.form)) {
      p.nbytes = r.nbytes[i];
      p.bytes = r.scratch_at[i] == kInText ? r.bytes[i] : scratch.data() + r.scratch_at[i];
    } else {
      p.nbytes = static_cast<size_t>(p.form.hi >> 56) & 0xF;
      p.bytes = nullptr;
    }
    bool added;
    return find_or_add(p, nullptr, &added);
  }

  // Appends the slot of every run of `text` (n units) to `out`. Throws
  // std::bad_alloc.
  template <class Unit, class Out>
  void scan_text(const Unit* text, size_t n, Out& out) {
    Ring r;
    uint32_t out_slots[kOut];
    size_t filled = 0;
    size_t queued = 0, settled = 0;
    // The table as the steps see it; it changes only when a slot is added.
    const Bucket* buckets = table.data();
    unsigned bucket_shift = shift;
    const uint64_t mask = hash_mask;
    scratch.clear();

    auto queue = [&](size_t begin, size_t end, unsigned width) {
      const size_t i = queued++ & (kRing - 1);
      const size_t len = end - begin;
      const Unit* src = text + begin;
      if (len == 1 && width == 1) {
        const uint32_t slot = single[static_cast<uint8_t>(src[0])];
        if (slot != kNoSlot) {
          r.slot[i] = slot;
          r.state[i] = kFound;
          return;
        }
      }
      const size_t room = n - begin;  // units readable from the run's start
      PackedKey form;
      uint64_t hash;
      if (width == sizeof(Unit) && len * sizeof(Unit) <= kPackedBytes &&
          room * sizeof(Unit) >= 16) [[likely]] {
        form = pack_loaded(src, len * sizeof(Unit), width);
        hash = mix(form) & mask;
      } else if (sizeof(Unit) == 2 && width == 1 && len <= kPackedBytes && room >= 16) {
        form = pack_loaded_narrowed(reinterpret_cast<const uint16_t*>(src), len);
        hash = mix(form) & mask;
      } else if (sizeof(Unit) == 4 && width < 4 && len * width <= kPackedBytes &&
                 room >= 16) {
        form = pack_loaded_narrowed32(reinterpret_cast<const uint32_t*>(src), len, width);
        hash = mix(form) & mask;
      } else {
        form = other_form(src, len, width, r, i);
        hash = hash_of(form);
      }
      r.form[i] = form;
      r.hash[i] = hash;
      r.state[i] = kQueued;
      __builtin_prefetch(&buckets[hash >> bucket_shift]);
    };

    auto settle = [&](size_t i) {
      uint32_t slot = r.slot[i];
      if (r.state[i] != kFound) {
        const Bucket& b = buckets[r.hash[i] >> bucket_shift];
        const PackedKey form = r.form[i];
        const unsigned hit = match(b, form);
        slot = b.slots[std::countr_zero(hit | 4u)];
        if (hit == 0 || is_long(form)) [[unlikely]] {
          slot = settle_slow(r, i);
          buckets = table.data();
          bucket_shift = shift;
        }
      }
      out_slots[filled++] = slot;
      if (filled == kOut) {
        out.append(out_slots, kOut);
        filled = 0;
      }
    };

    auto drain = [&] {
      while (settled < queued) settle(settled++ & (kRing - 1));
      scratch.clear();
    };

    scan_blocks(text, n, queue, [&] {
      while (queued - settled > kSettleLag) settle(settled++ & (kRing - 1));
      if (scratch.size() > kScratchLimit) drain();
    });
    drain();
    out.append(out_slots, filled);
  }

  template <class Out>
  void scan_kind(int kind, const void* data, size_t length, Out& out) {
    switch (kind) {
      case 1:
        scan_text(static_cast<const uint8_t*>(data), length, out);
        break;
      case 2:
        scan_text(static_cast<const uint16_t*>(data), length, out);
        break;
      default:
        scan_text(static_cast<const uint32_t*>(data), length, out);
        break;
    }
  }

  // A new str for the key of a record, or null with an error set.
  PyObject* make_str(const Record& r) const {
    const uint64_t header = keys[r.key_at];
    const unsigned width = static_cast<unsigned>(header & 7);
    const size_t nbytes = static_cast<size_t>(header >> 3);
    return PyUnicode_FromKindAndData(static_cast<int>(width), &keys[r.key_at + 1],
                                     static_cast<Py_ssize_t>(nbytes / width));
  }

  bool materialize() {
    for (; unmade < records.size(); ++unmade) {
      Record& r = records[unmade];
      if (r.str != nullptr) continue;
      r.str = make_str(r);
      if (r.str == nullptr) return false;
    }
    return true;
  }

  // Throws std::bad_alloc.
  bool intern(PyObject* str, uint32_t* slot) {
    if (PyUnicode_READY(str) < 0) return false;
    const unsigned width = static_cast<unsigned>(PyUnicode_KIND(str));
    const size_t nbytes = static_cast<size_t>(PyUnicode_GET_LENGTH(str)) * width;
    Probe p;
    p.bytes = static_cast<const uint8_t*>(PyUnicode_DATA(str));
    p.nbytes = nbytes;
    p.form = key_form(p.bytes, nbytes, width, hash_mask);
    p.hash = hash_of(p.form);
    bool added;
    *slot = find_or_add(p, str, &added);
    Record& r = records[*slot];
    if (added) {
      Py_INCREF(str);
    } else if (r.str == nullptr) {
      r.str = make_str(r);
      if (r.str == nullptr) return false;
    }
    return true;
  }

  // Adds the keys of `side` in its slot order and appends the slots of
  // `side_stream`, translated into this index's slots, to `out`, freeing
  // the side stream's chunks as they are done. Throws std::bad_alloc.
  //
  // The lookups go through a short ring like scanning's, so that the
  // buckets of some keys ahead are being fetched while one is settled.
  void absorb(const Impl& side, SlotStream& side_stream, SlotStream& out) {
    const size_t count = side.records.size();
    LargeVector<uint32_t> to(count);
    constexpr size_t kAhead = 16;
    Probe ring[kAhead];
    auto probe_of = [&](size_t s) {
      const size_t at = side.records[s].key_at;
      Probe p;
      p.nbytes = static_cast<size_t>(side.keys[at] >> 3);
      p.bytes = reinterpret_cast<const uint8_t*>(&side.keys[at + 1]);
      p.form = key_form(p.bytes, p.nbytes, static_cast<unsigned>(side.keys[at] & 7), hash_mask);
      p.hash = hash_of(p.form);
      __builtin_prefetch(&table.data()[home(p.hash)]);
      return p;
    };
    for (size_t s = 0; s < count && s < kAhead; ++s) ring[s] = probe_of(s);
    for (size_t s = 0; s < count; ++s) {
      const Probe p = ring[s % kAhead];
      if (s + kAhead < count) ring[s % kAhead] = probe_of(s + kAhead);
      bool added;
      to[s] = find_or_add(p, nullptr, &added);
    }
    uint32_t slots[kOut];
    size_t filled = 0;
    side_stream.for_each(
        [&](uint32_t slot) {
          slots[filled++] = to[slot];
          if (filled == kOut) {
            out.append(slots, kOut);
            filled = 0;
          }
        },
        /*release=*/true);
    out.append(slots, filled);
  }
};

TokenIndex::TokenIndex() : impl_(new Impl(Tuning{})) {}
TokenIndex::TokenIndex(const Tuning& tuning) : impl_(new Impl(tuning)) {}
TokenIndex::~TokenIndex() = default;

uint32_t TokenIndex::size() const { return static_cast<uint32_t>(impl_->records.size()); }

PyObject* TokenIndex::token(uint32_t slot) const { return impl_->records[slot].str; }

bool TokenIndex::scan_units(int kind, const void* data, size_t length, SlotStream& out) noexcept {
  try {
    impl_->scan_kind(kind, data, length, out);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void TokenIndex::expect_text(size_t units) noexcept {
  try {
    impl_->expect(units);
  } catch (const std::bad_alloc&) {
    // The table grows step by step instead, as the keys come.
  }
}

bool TokenIndex::absorb(TokenIndex& side, SlotStream& side_stream, SlotStream& out) noexcept {
  try {
    if (impl_->records.size() == 0 && out.size() == 0 && impl_->hash_mask == side.impl_->hash_mask) {
      // The side's slots are this index's own then.
      out.take_over(side_stream);
      std::swap(impl_, side.impl_);
      return true;
    }
    impl_->absorb(*side.impl_, side_stream, out);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool TokenIndex::materialize() { return impl_->materialize(); }

bool TokenIndex::scan(PyObject* text, SlotStream& out) {
  if (PyUnicode_READY(text) < 0) return false;
  if (!scan_units(PyUnicode_KIND(text), PyUnicode_DATA(text),
                  static_cast<size_t>(PyUnicode_GET_LENGTH(text)), out)) {
    PyErr_NoMemory();
    return false;
  }
  return materialize();
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

// Adds `n` references to `obj` at once; `obj` stays alive either way.
void add_refs(PyObject* obj, Py_ssize_t n) {
#ifdef Py_REF_DEBUG
  // The host's reference total has to see each one.
  for (Py_ssize_t i = 0; i < n; ++i) Py_INCREF(obj);
#else
  Py_SET_REFCNT(obj, Py_REFCNT(obj) + n);
#endif
}

}  // namespace

// The list is made at its final size once the text is scanned and its items
// written once. Its references are counted per slot and added slot by slot,
// so that building it touches each distinct str once, not at every
// occurrence.
// Texts from this many code units on are split with the host's memory in
// huge pages.
constexpr size_t kHugeSplitFrom = size_t{1} << 20;

Ref TokenIndex::split(PyObject* text) {
  try {
    if (PyUnicode_READY(text) < 0) return nullptr;
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    // A text of n units has at most n tokens; room for the tokens of a
    // short text is taken at once, so that it costs few allocations, and the
    // table starts at about the size that prose of that length needs (one
    // distinct token in 24 units), up to 2 MiB, so that it grows less often.
    size_t buckets = kInitialBuckets;
    while (buckets < (size_t{1} << 15) && buckets * kWays * kLoadEighths / 8 < length / 24) {
      buckets *= 2;
    }
    Impl impl{Tuning{}, buckets};
    const size_t most = length < 1024 ? length : 1024;
    impl.records.reserve(most);
    impl.keys.reserve(3 * most);
    SlotVector order;
    order.slots.reserve(length < 4096 ? length : 4096);
    impl.scan_kind(PyUnicode_KIND(text), PyUnicode_DATA(text), length, order);
    // A long text's strs and list take their memory in huge pages.
    std::optional<HostMemoryInHugePages> huge_pages;
    if (length >= kHugeSplitFrom) huge_pages.emplace(true);
    if (!impl.materialize()) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(order.slots.size())));
    if (!list) return nullptr;
    // Nothing below can fail or run host code, so the list is never seen
    // with items whose references are not yet taken. With the strs made, the
    // records' key positions are not needed any more; they count the uses.
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    Record* records = impl.records.data();
    for (Record& r : impl.records) r.key_at = 0;
    for (size_t i = 0; i < order.slots.size(); ++i) {
      const uint32_t slot = order.slots[i];
      items[i] = records[slot].str;
      ++records[slot].key_at;
    }
    for (Record& r : impl.records) {
      if (r.key_at != 0) add_refs(r.str, static_cast<Py_ssize_t>(r.key_at));
    }
    return list;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
}

}  // namespace qbc
