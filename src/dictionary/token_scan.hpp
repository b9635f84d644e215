// One-pass split of a text into maximal runs of whitespace and of
// non-whitespace code points, unit by unit (scan_runs) and a block of 64
// units at a time (scan_blocks, which the token index uses), and the packed
// form in which the token index compares the keys of short runs.
//
// Works on the raw code units of a text of any of the three internal widths
// (1, 2 or 4 bytes per code point) and needs nothing from the host, so that
// it can be tested on plain buffers. Whitespace is the host's whitespace test
// for text: the 29 code points U+0009..U+000D, U+001C..U+001F, U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and
// U+3000. Everything else is non-whitespace, including zero-width characters
// (U+200B, U+FEFF) and unpaired surrogates.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qbc {

namespace scan_detail {

constexpr std::array<uint8_t, 256> make_space_table() {
  std::array<uint8_t, 256> t{};
  for (unsigned c = 0x09; c <= 0x0D; ++c) t[c] = 1;
  for (unsigned c = 0x1C; c <= 0x20; ++c) t[c] = 1;
  t[0x85] = 1;
  t[0xA0] = 1;
  return t;
}

inline constexpr std::array<uint8_t, 256> kSpaceTable = make_space_table();

// Whitespace between U+2000 and U+205F, as bits of (c - 0x2000):
// U+2000..U+200A, U+2028, U+2029, U+202F in the low word, U+205F in the high.
inline constexpr uint64_t kGeneralLow =
    0x7FFull | (1ull << 0x28) | (1ull << 0x29) | (1ull << 0x2F);
inline constexpr uint64_t kGeneralHigh = 1ull << (0x5F - 64);

}  // namespace scan_detail

// Whitespace test for a code point at or above U+0100.
constexpr bool is_wide_space(uint32_t c) {
  // Everything outside U+1680..U+3000 is non-whitespace; this one test
  // settles almost every character of CJK and most other scripts.
  if (c < 0x1680 || c > 0x3000) return false;
  uint32_t d = c - 0x2000;
  if (d < 0x60) {
    return ((d < 64 ? scan_detail::kGeneralLow >> d : scan_detail::kGeneralHigh >> (d - 64)) &
            1u) != 0;
  }
  return c == 0x1680 || c == 0x3000;
}

// Whitespace test for one code unit of a text whose units are `Unit`.
template <class Unit>
constexpr bool is_space_unit(Unit u) {
  static_assert(std::is_unsigned_v<Unit>);
  if constexpr (sizeof(Unit) == 1) {
    return scan_detail::kSpaceTable[u] != 0;
  } else {
    uint32_t c = u;
    // Everything above U+3000 first: one test settles CJK and most other
    // characters of wide texts.
    if (c > 0x3000) return false;
    return c < 256 ? scan_detail::kSpaceTable[c] != 0 : is_wide_space(c);
  }
}

constexpr bool is_space_code_point(uint32_t c) {
  return c < 256 ? scan_detail::kSpaceTable[c] != 0 : is_wide_space(c);
}

// Bytes per code unit that a text whose largest code point is `maxchar`
// needs: 1 below U+0100, 2 below U+10000, else 4.
constexpr unsigned width_for(uint32_t maxchar) {
  return maxchar < 0x100 ? 1u : maxchar < 0x10000 ? 2u : 4u;
}

// One maximal run: units [begin, end) of the text, its largest code point and
// whether it is a whitespace run.
struct Run {
  size_t begin;
  size_t end;
  uint32_t maxchar;
  bool space;
};

// Calls `sink(const Run&)` for every maximal run of `text[0, n)`, left to
// right; consecutive runs alternate between the two kinds. A sink that
// returns false stops the scan, and scan_runs then returns false.
template <class Unit, class Sink>
bool scan_runs(const Unit* text, size_t n, Sink&& sink) {
  size_t i = 0;
  while (i < n) {
    const size_t begin = i;
    uint32_t maxchar = text[i];
    const bool space = is_space_unit(text[i]);
    ++i;
    // Two separate loops so that the kind test inside each is a constant.
    if (space) {
      while (i < n && is_space_unit(text[i])) {
        uint32_t c = text[i++];
        maxchar = c > maxchar ? c : maxchar;
      }
    } else {
      while (i < n && !is_space_unit(text[i])) {
        uint32_t c = text[i++];
        maxchar = c > maxchar ? c : maxchar;
      }
    }
    if (!sink(Run{begin, i, maxchar, space})) return false;
  }
  return true;
}

// Largest code point of `text[0, n)` (0 for an empty text).
template <class Unit>
uint32_t max_code_point(const Unit* text, size_t n) {
  uint32_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = text[i];
    m = c > m ? c : m;
  }
  return m;
}

// Copies `n` units into a narrower (or equal) unit type; the caller knows
// that every code point fits.
template <class From, class To>
void narrow_copy(const From* src, size_t n, To* dst) {
  static_assert(sizeof(To) <= sizeof(From));
  for (size_t i = 0; i < n; ++i) dst[i] = static_cast<To>(src[i]);
}

// Packed keys ----------------------------------------------------------------
//
// A token's key is its code points in the narrowest width (1, 2 or 4 bytes
// per unit), as bytes in memory order. A packed key holds up to the first
// 15 of those bytes, zero-padded, in two little-endian words, and a top byte
// that gives the key's shape: its width and byte count, or its width and
// kLongKey for a key of more than 15 bytes. Two keys of at most 15 bytes are equal exactly
// when their packed keys are; for longer keys equal packed keys mean equal
// width and first 15 bytes.

inline constexpr size_t kPackedBytes = 15;
inline constexpr uint8_t kLongKey = 0xC0;  // above every short key's shape

struct PackedKey {
  uint64_t lo;
  uint64_t hi;
  bool operator==(const PackedKey&) const = default;
};

namespace scan_detail {

inline uint64_t shape_bits(size_t nbytes, unsigned width) {
  const unsigned code = width == 1 ? 1u : width == 2 ? 2u : 3u;
  const uint64_t shape = nbytes <= kPackedBytes ? (nbytes | (code << 4)) : (kLongKey | code);
  return shape << 56;
}

// One unaligned load of 4 or 8 bytes as a little-endian number.
inline uint64_t load_le(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  if (n == 8) {
    std::memcpy(&v, p, 8);
  } else {
    uint32_t w;
    std::memcpy(&w, p, 4);
    v = w;
  }
  if constexpr (std::endian::native == std::endian::big) {
    v = n == 8 ? __builtin_bswap64(v) : __builtin_bswap32(static_cast<uint32_t>(v));
  }
  return v;
}

// The first `n` (at most 8) bytes at `p` as a little-endian number, read
// with at most two loads that stay inside the bytes. (Copying them into a
// buffer byte by byte and loading that would stall on store forwarding.)
inline uint64_t first_bytes(const uint8_t* p, size_t n) {
  if (n >= 4) {
    if (n == 8) return load_le(p, 8);
    // Two overlapping 4-byte loads; the top n-4 bytes of the second fill
    // bytes 4..n-1.
    const uint64_t low = load_le(p, 4);
    const uint64_t high = load_le(p + n - 4, 4) >> (8 * (8 - n));
    return low | (high << 32);
  }
  uint64_t v = 0;
  if (n > 0) v = p[0];
  if (n > 1) v |= uint64_t{p[1]} << 8;
  if (n > 2) v |= uint64_t{p[2]} << 16;
  return v;
}

}  // namespace scan_detail

// The packed form of the `nbytes` key bytes of unit width `width` at `key`.
inline PackedKey pack_key(const void* key, size_t nbytes, unsigned width) {
  using namespace scan_detail;
  const auto* p = static_cast<const uint8_t*>(key);
  const size_t n = nbytes < kPackedBytes ? nbytes : kPackedBytes;
  PackedKey k;
  if (n <= 8) {
    k.lo = first_bytes(p, n);
    k.hi = 0;
  } else {
    k.lo = load_le(p, 8);
    // An overlapping load of the last 8 of the n bytes, shifted so that
    // only bytes 8..n-1 remain.
    k.hi = load_le(p + n - 8, 8) >> (8 * (16 - n));
  }
  k.hi |= shape_bits(nbytes, width);
  return k;
}

// The packed form of the key of `len` wider units narrowed to `width` (1 or
// 2, which every unit fits), built in registers. On a little-endian machine
// it equals pack_key() of the narrowed bytes, and for a key of at most 15
// bytes its memory then holds the narrowed key itself.
template <class Unit>
PackedKey pack_narrowed(const Unit* src, size_t len, unsigned width) {
  const size_t nbytes = len * width;
  const size_t units = (nbytes < kPackedBytes ? nbytes : kPackedBytes) / width;
  PackedKey k{0, 0};
  for (size_t i = 0; i < units; ++i) {
    const uint64_t u = src[i];
    const size_t at = i * width;  // byte position; even for width 2, so a
                                  // unit never straddles the two words
    if (at < 8) {
      k.lo |= u << (8 * at);
    } else {
      k.hi |= u << (8 * (at - 8));
    }
  }
  if (width == 2 && nbytes > kPackedBytes) {
    // The 15 bytes end with the low byte of the eighth unit.
    k.hi |= (uint64_t{src[7]} & 0xFF) << (8 * 6);
  }
  k.hi |= scan_detail::shape_bits(nbytes, width);
  return k;
}

// Copies `len` units, which all fit `width` (1 or 2) bytes, to `dst` as
// units of that width in memory order.
template <class Unit>
void narrow_to_bytes(const Unit* src, size_t len, unsigned width, uint8_t* dst) {
  if (width == 1) {
    narrow_copy(src, len, dst);
    return;
  }
  for (size_t i = 0; i < len; ++i) {
    const uint16_t u = static_cast<uint16_t>(src[i]);
    std::memcpy(dst + 2 * i, &u, 2);
  }
}

namespace scan_detail {

// The bits that a key of n bytes (n at most 15) keeps of its low and high
// words.
constexpr std::array<uint64_t, 16> make_word_masks(bool high) {
  std::array<uint64_t, 16> t{};
  for (unsigned n = 0; n < 16; ++n) {
    const unsigned in_low = n < 8 ? n : 8;
    const unsigned in_high = n < 8 ? 0 : n - 8;
    const unsigned bytes = high ? in_high : in_low;
    t[n] = bytes == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1;
  }
  return t;
}

inline constexpr std::array<uint64_t, 16> kLowMasks = make_word_masks(false);
inline constexpr std::array<uint64_t, 16> kHighMasks = make_word_masks(true);

}  // namespace scan_detail

// Packs a key of at most 15 bytes, as pack_key() does, from the two 8-byte
// words at `key` (at least 16 readable bytes; those past the key are masked
// off). No branch depends on the length.
inline PackedKey pack_loaded(const void* key, size_t nbytes, unsigned width) {
  using namespace scan_detail;
  const auto* p = static_cast<const uint8_t*>(key);
  return PackedKey{load_le(p, 8) & kLowMasks[nbytes],
                   (load_le(p + 8, 8) & kHighMasks[nbytes]) | shape_bits(nbytes, width)};
}

// Packs the key of `len` (at most 15) 16-bit units that all fit one byte,
// narrowed to bytes, as pack_narrowed() does. With vector loads, which read
// 16 units: at least 16 units must be readable at `src`.
inline PackedKey pack_loaded_narrowed(const uint16_t* src, size_t len) {
#if defined(__SSE2__) && defined(__x86_64__)
  using namespace scan_detail;
  // Units past the key may be wide; saturation makes them some byte, and
  // the masks drop them.
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8));
  const __m128i bytes = _mm_packus_epi16(a, b);
  const uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(bytes));
  const uint64_t hi = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(bytes, bytes)));
  return PackedKey{lo & kLowMasks[len], (hi & kHighMasks[len]) | shape_bits(len, 1)};
#else
  return pack_narrowed(src, len, 1);
#endif
}

// Packs the key of `len` 32-bit units that all fit `width` (1 or 2) bytes,
// narrowed to that width, as pack_narrowed() does, for a key of at most 15
// bytes. With vector loads, which read 16 units for width 1 and 8 for
// width 2: that many units must be readable at `src`.
inline PackedKey pack_loaded_narrowed32(const uint32_t* src, size_t len, unsigned width) {
#if defined(__SSE2__) && defined(__x86_64__)
  using namespace scan_detail;
  const auto* v = reinterpret_cast<const __m128i*>(src);
  __m128i packed;
  if (width == 1) {
    // Units past the key may be wide; saturation makes them some byte, and
    // the masks drop them.
    const __m128i low = _mm_packs_epi32(_mm_loadu_si128(v), _mm_loadu_si128(v + 1));
    const __m128i high = _mm_packs_epi32(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3));
    packed = _mm_packus_epi16(low, high);
  } else {
    // Signed saturation keeps 0..0xFFFF exact once moved to -0x8000..0x7FFF.
    const __m128i bias = _mm_set1_epi32(0x8000);
    const __m128i a = _mm_sub_epi32(_mm_loadu_si128(v), bias);
    const __m128i b = _mm_sub_epi32(_mm_loadu_si128(v + 1), bias);
    packed = _mm_add_epi16(_mm_packs_epi32(a, b), _mm_set1_epi16(-0x8000));
  }
  const size_t nbytes = len * width;
  const uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(packed));
  const uint64_t hi =
      static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(packed, packed)));
  return PackedKey{lo & kLowMasks[nbytes], (hi & kHighMasks[nbytes]) | shape_bits(nbytes, width)};
#else
  return pack_narrowed(src, len, width);
#endif
}

// Block scanning -------------------------------------------------------------
//
// scan_runs() above tests one unit at a time and branches at every run end
// on the run's length, which no processor predicts. scan_blocks() classifies
// 64 units at a time into bit masks with vector compares (whitespace; needs
// two bytes; needs four) and then walks the run starts as the set bits of
// one word, so that its cost follows the number of runs more than the number
// of units, and a run's width comes from the masks without a second look at
// its units.

// Bit i of each mask describes unit i of a block of 64: whitespace, at or
// above U+0100, at or above U+10000.
struct UnitMasks {
  uint64_t space = 0;
  uint64_t wide = 0;
  uint64_t astral = 0;
};

namespace scan_detail {

// The masks of the 64 units at `p`, one unit at a time; the reference the
// vector forms below must agree with, and the form used without them.
template <class Unit>
UnitMasks block_masks_scalar(const Unit* p) {
  UnitMasks m;
  for (unsigned i = 0; i < 64; ++i) {
    const uint32_t c = p[i];
    m.space |= uint64_t{is_space_code_point(c)} << i;
    m.wide |= uint64_t{c >= 0x100} << i;
    m.astral |= uint64_t{c >= 0x10000} << i;
  }
  return m;
}

#if defined(__SSE2__)

// All-ones lanes where lo <= v <= lo + span (unsigned 16-bit lanes).
inline __m128i in_range16(__m128i v, uint16_t lo, uint16_t span) {
  const __m128i d = _mm_sub_epi16(v, _mm_set1_epi16(static_cast<short>(lo)));
  return _mm_cmpeq_epi16(_mm_subs_epu16(d, _mm_set1_epi16(static_cast<short>(span))),
                         _mm_setzero_si128());
}

inline __m128i equal16(__m128i v, uint16_t c) {
  return _mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(c)));
}

// All-ones lanes where the 16-bit unit is whitespace.
inline __m128i space16(__m128i v) {
  __m128i s = _mm_or_si128(in_range16(v, 0x09, 4), in_range16(v, 0x1C, 4));
  s = _mm_or_si128(s, _mm_or_si128(equal16(v, 0x85), equal16(v, 0xA0)));
  s = _mm_or_si128(s, _mm_or_si128(in_range16(v, 0x2000, 0x0A), in_range16(v, 0x2028, 1)));
  s = _mm_or_si128(s, _mm_or_si128(equal16(v, 0x202F), equal16(v, 0x205F)));
  return _mm_or_si128(s, _mm_or_si128(equal16(v, 0x1680), equal16(v, 0x3000)));
}

// All-ones lanes at or above U+0100.
inline __m128i wide16(__m128i v) {
  const __m128i narrow =
      _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(0xFF)), _mm_setzero_si128());
  return _mm_xor_si128(narrow, _mm_set1_epi16(-1));
}

// One bit per 16-bit lane of two all-ones/all-zeros vectors, `a` first.
inline uint64_t bits16(__m128i a, __m128i b) {
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
}

// Four 32-bit code points of each of two vectors as 16-bit lanes, those above
// U+FFFF clamped to U+FFFF (not whitespace, and wide either way).
inline __m128i clamp16(__m128i a, __m128i b) {
  const __m128i bias = _mm_set1_epi32(0x8000);
  const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(a, bias), _mm_sub_epi32(b, bias));
  return _mm_add_epi16(packed, _mm_set1_epi16(static_cast<short>(0x8000)));
}

// One bit per byte of `v` that is whitespace as a Latin-1 code point.
inline uint64_t space_bytes(__m128i v) {
  const __m128i four = _mm_set1_epi8(4);
  // Zero exactly where v - 9 or v - 0x1C is at most 4.
  const __m128i a = _mm_subs_epu8(_mm_sub_epi8(v, _mm_set1_epi8(9)), four);
  const __m128i b = _mm_subs_epu8(_mm_sub_epi8(v, _mm_set1_epi8(0x1C)), four);
  __m128i s = _mm_cmpeq_epi8(_mm_min_epu8(a, b), _mm_setzero_si128());
  s = _mm_or_si128(s, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0x85))),
                                   _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xA0)))));
  return static_cast<uint32_t>(_mm_movemask_epi8(s));
}

inline UnitMasks block_masks(const uint8_t* p) {
  UnitMasks m;
  for (unsigned k = 0; k < 4; ++k) {
    m.space |= space_bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k)))
               << (16 * k);
  }
  return m;
}

// All-ones lanes where the 16-bit unit, at or above U+0100, is whitespace.
inline __m128i wide_space16(__m128i v) {
  __m128i s = _mm_or_si128(in_range16(v, 0x2000, 0x0A), in_range16(v, 0x2028, 1));
  s = _mm_or_si128(s, _mm_or_si128(equal16(v, 0x202F), equal16(v, 0x205F)));
  return _mm_or_si128(s, _mm_or_si128(equal16(v, 0x1680), equal16(v, 0x3000)));
}

// The units are narrowed to bytes first, a unit above U+00FF becoming 0x00
// or 0xFF (neither is whitespace), and classified as bytes are; the wide
// whitespace, all of it within U+1680..U+3000, is looked for only where a
// unit lies in that range, which in most texts (CJK included) none does.
inline UnitMasks block_masks(const uint16_t* p) {
  UnitMasks m;
  for (unsigned k = 0; k < 4; ++k) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k + 8));
    m.wide |= bits16(wide16(a), wide16(b)) << (16 * k);
    uint64_t space = space_bytes(_mm_packus_epi16(a, b));
    const __m128i mid = _mm_or_si128(in_range16(a, 0x1680, 0x3000 - 0x1680),
                                     in_range16(b, 0x1680, 0x3000 - 0x1680));
    if (_mm_movemask_epi8(mid) != 0) space |= bits16(wide_space16(a), wide_space16(b));
    m.space |= space << (16 * k);
  }
  return m;
}

inline UnitMasks block_masks(const uint32_t* p) {
  const __m128i bmp_top = _mm_set1_epi32(0xFFFF);
  UnitMasks m;
  for (unsigned k = 0; k < 4; ++k) {
    const auto* q = reinterpret_cast<const __m128i*>(p + 16 * k);
    const __m128i u0 = _mm_loadu_si128(q), u1 = _mm_loadu_si128(q + 1);
    const __m128i u2 = _mm_loadu_si128(q + 2), u3 = _mm_loadu_si128(q + 3);
    const __m128i a = clamp16(u0, u1);
    const __m128i b = clamp16(u2, u3);
    m.space |= bits16(space16(a), space16(b)) << (16 * k);
    m.wide |= bits16(wide16(a), wide16(b)) << (16 * k);
    // Code points are at most U+10FFFF, so the signed compare is exact.
    const __m128i astral_a =
        _mm_packs_epi32(_mm_cmpgt_epi32(u0, bmp_top), _mm_cmpgt_epi32(u1, bmp_top));
    const __m128i astral_b =
        _mm_packs_epi32(_mm_cmpgt_epi32(u2, bmp_top), _mm_cmpgt_epi32(u3, bmp_top));
    m.astral |= bits16(astral_a, astral_b) << (16 * k);
  }
  return m;
}

#else

template <class Unit>
UnitMasks block_masks(const Unit* p) {
  return block_masks_scalar(p);
}

#endif

}  // namespace scan_detail

// The masks of the 64 units at `p` (all 64 must be readable).
template <class Unit>
UnitMasks block_masks(const Unit* p) {
  return scan_detail::block_masks(p);
}

// Calls `sink(begin, end, width)` for every maximal run of `text[0, n)`, left
// to right, where `width` is width_for() of the run's largest code point: the
// same runs as scan_runs(), found a block of 64 units at a time. After the
// runs that end in a block, `after_block()` is called (the last run is
// reported after the last block's call).
//
// Always inlined, so that the state a caller's sink keeps in its own frame
// can stay in registers.
template <class Unit, class Sink, class AfterBlock>
[[gnu::always_inline]] inline void scan_blocks(const Unit* text, size_t n, Sink&& sink,
                                               AfterBlock&& after_block) {
  if (n == 0) return;
  // Whether the unit before the block is whitespace; for the first block,
  // that of unit 0 itself, so that no run starts there.
  uint64_t before = is_space_unit(text[0]) ? 1 : 0;
  size_t run_begin = 0;
  // Whether the current run has a wide (astral) unit before the block.
  bool wide = false;
  bool astral = false;
  for (size_t base = 0; base < n; base += 64) {
    UnitMasks m;
    uint64_t valid = ~uint64_t{0};
    if (n - base >= 64) {
      m = block_masks(text + base);
    } else {
      // The last, partial block: copied into a block padded with letters,
      // whose run starts are then dropped.
      Unit pad[64];
      for (Unit& u : pad) u = 'a';
      std::memcpy(pad, text + base, (n - base) * sizeof(Unit));
      m = block_masks(pad);
      valid = (uint64_t{1} << (n - base)) - 1;
    }
    uint64_t starts = (m.space ^ ((m.space << 1) | before)) & valid;
    // Units of this block that belong to the current run, if it ends here.
    uint64_t current = ~uint64_t{0};
    while (starts != 0) {
      const unsigned i = static_cast<unsigned>(std::countr_zero(starts));
      const uint64_t below = (uint64_t{1} << i) - 1;
      const uint64_t run = current & below;
      const bool run_astral = astral || (m.astral & run) != 0;
      const bool run_wide = wide || (m.wide & run) != 0;
      sink(run_begin, base + i, run_astral ? 4u : run_wide ? 2u : 1u);
      run_begin = base + i;
      wide = astral = false;
      current = ~below;
      starts &= starts - 1;
    }
    wide = wide || (m.wide & current) != 0;
    astral = astral || (m.astral & current) != 0;
    before = m.space >> 63;
    after_block();
  }
  sink(run_begin, n, astral ? 4u : wide ? 2u : 1u);
}

template <class Unit, class Sink>
void scan_blocks(const Unit* text, size_t n, Sink&& sink) {
  scan_blocks(text, n, sink, [] {});
}

// The number of runs scan_runs() reports for `text[0, n)`, counted a block
// of 64 units at a time from the run starts alone.
template <class Unit>
uint64_t count_runs(const Unit* text, size_t n) {
  if (n == 0) return 0;
  uint64_t before = is_space_unit(text[0]) ? 1 : 0;
  uint64_t count = 1;
  size_t base = 0;
  for (; n - base >= 64; base += 64) {
    const uint64_t space = block_masks(text + base).space;
    count += static_cast<uint64_t>(std::popcount(space ^ ((space << 1) | before)));
    before = space >> 63;
  }
  for (; base < n; ++base) {
    const uint64_t space = is_space_unit(text[base]) ? 1 : 0;
    count += space ^ before;
    before = space;
  }
  return count;
}

}  // namespace qbc
