// One-pass split of a text into maximal runs of whitespace and of
// non-whitespace code points, and the packed form in which the token index
// compares the keys of short runs.
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

}  // namespace qbc
