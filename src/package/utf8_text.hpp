// UTF-8 file contents decoded the way the host reads a text file opened
// with the encoding "utf-8" and default newline handling: strict UTF-8 (no
// overlong forms, no surrogates, nothing past U+10FFFF, no sequence cut off
// at the end of the file, a byte order mark kept as U+FEFF) and universal
// newlines, under which "\r\n" and a lone "\r" each read as one "\n".
//
// The contents are walked in pieces of any size: walk() takes the complete
// characters of a piece and leaves a sequence (or a "\r" whose next byte
// is not known yet) that the piece cuts off for the next one. A sink sees
// the characters: runs of ASCII bytes other than "\r" at once, every other
// character (translated newlines included) one by one, but for runs of
// three-byte characters, which a sink may take at once (three_run()).
//
// Needs nothing from the host, so that it can be tested on plain buffers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include "package/cpu_features.hpp"

#if defined(QBC_SSSE3_LOOPS)
#include <tmmintrin.h>
#endif

namespace qbc {

namespace utf8_detail {

inline uint64_t load_word(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr uint64_t kHighBits = 0x8080808080808080ull;
constexpr uint64_t kLowBits = 0x0101010101010101ull;

// Whether any byte of `v` is a "\r" or has its high bit set.
inline bool word_stops(uint64_t v) {
  const uint64_t cr = v ^ (kLowBits * '\r');
  return ((v | ((cr - kLowBits) & ~cr)) & kHighBits) != 0;
}

// The end of the run of ASCII bytes other than "\r" that starts at
// p + i, at most n.
inline size_t ascii_run_end(const uint8_t* p, size_t i, size_t n) {
#if defined(__SSE2__)
  // A byte stops the run when its high bit is set or it is a "\r", whose
  // comparison sets all its bits.
  const __m128i cr = _mm_set1_epi8('\r');
  const auto stops = [&](size_t at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, cr))));
  };
  while (i + 32 <= n) {
    const unsigned low = stops(i);
    const unsigned high = stops(i + 16);
    if ((low | high) != 0) {
      return i + static_cast<size_t>(std::countr_zero(low | (high << 16)));
    }
    i += 32;
  }
  if (i + 16 <= n) {
    const unsigned low = stops(i);
    if (low != 0) return i + static_cast<size_t>(std::countr_zero(low));
    i += 16;
  }
#endif
  while (i + 8 <= n && !word_stops(load_word(p + i))) i += 8;
  while (i < n && p[i] < 0x80 && p[i] != '\r') ++i;
  return i;
}

}  // namespace utf8_detail

// walk() found bytes that are not UTF-8.
inline constexpr size_t kNotUtf8 = static_cast<size_t>(-1);

// utf8_sequence() found the start of a sequence longer than the bytes at
// hand, right so far.
inline constexpr size_t kUtf8CutOff = static_cast<size_t>(-2);

// The sequence of two to four bytes that starts at `p` (a byte of 0x80 or
// more), `avail` bytes of it at hand: its length, with its code point in
// `*c`; 0 when the bytes are not strict UTF-8 (a stray or never-used byte,
// an overlong form, a surrogate, past U+10FFFF); kUtf8CutOff when it runs
// past the bytes at hand.
inline size_t utf8_sequence(const uint8_t* p, size_t avail, uint32_t* c) {
  const uint32_t b0 = p[0];
  size_t len;
  uint32_t v;
  uint8_t lo = 0x80, hi = 0xBF;  // the bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    v = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    v = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    v = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  const size_t have = avail < len ? avail : len;
  for (size_t k = 1; k < have; ++k) {
    const uint8_t b = p[k];
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    v = (v << 6) | (b & 0x3Fu);
  }
  if (have < len) return kUtf8CutOff;
  *c = v;
  return len;
}

// The code point of the three bytes at `p` (all at hand) when they are a
// three-byte sequence that utf8_sequence() takes, as most characters of
// CJK text are; 0 otherwise (no three-byte sequence stands for U+0000).
// Fewer branches than the general way.
inline uint32_t utf8_three(const uint8_t* p) {
  if ((p[0] & 0xF0u) != 0xE0u || ((p[1] | (uint32_t{p[2]} << 8)) & 0xC0C0u) != 0x8080u) return 0;
  const uint32_t c = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
  // Overlong forms and surrogates.
  if (c < 0x800u || c - 0xD800u < 0x800u) return 0;
  return c;
}

namespace utf8_detail {

#if defined(QBC_SSSE3_LOOPS)

// Four three-byte characters at a time, where the processor can shuffle
// bytes: each 16 bytes loaded give the 12 bytes of four characters, one to
// each 32-bit lane as b0 << 16 | b1 << 8 | b2, checked and decoded there.
// Stops at the first block holding anything else (a byte of another
// sequence, an overlong form, a surrogate, a character above `limit`), or
// once fewer than four characters fit the room or 16 bytes remain.
[[gnu::target("ssse3")]] inline size_t three_blocks_ssse3(const uint8_t* p, size_t n,
                                                          uint16_t* out, size_t room,
                                                          uint32_t limit, uint32_t* widest) {
  const __m128i gather = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
  const __m128i low_halves =
      _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i form_mask = _mm_set1_epi32(0x00F0C0C0);
  const __m128i form = _mm_set1_epi32(0x00E08080);
  const __m128i lowest = _mm_set1_epi32(0x800);
  const __m128i surrogate_low = _mm_set1_epi32(0xD7FF);
  const __m128i surrogate_high = _mm_set1_epi32(0xE000);
  const __m128i above = _mm_set1_epi32(static_cast<int>(limit));
  __m128i most = _mm_setzero_si128();
  size_t k = 0, w = 0;
  while (k + 16 <= n && w + 4 <= room) {
    const __m128i v = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)), gather);
    const __m128i c = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 4), _mm_set1_epi32(0xF000)),
                     _mm_and_si128(_mm_srli_epi32(v, 2), _mm_set1_epi32(0x0FC0))),
        _mm_and_si128(v, _mm_set1_epi32(0x3F)));
    // Lanes that are not such a character, all ones.
    __m128i bad = _mm_xor_si128(_mm_cmpeq_epi32(_mm_and_si128(v, form_mask), form),
                                _mm_set1_epi32(-1));
    bad = _mm_or_si128(bad, _mm_cmpgt_epi32(lowest, c));
    bad = _mm_or_si128(bad, _mm_and_si128(_mm_cmpgt_epi32(c, surrogate_low),
                                          _mm_cmpgt_epi32(surrogate_high, c)));
    bad = _mm_or_si128(bad, _mm_cmpgt_epi32(c, above));
    if (_mm_movemask_epi8(bad) != 0) break;
    if (out != nullptr) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + w), _mm_shuffle_epi8(c, low_halves));
    }
    const __m128i greater = _mm_cmpgt_epi32(c, most);
    most = _mm_or_si128(_mm_and_si128(greater, c), _mm_andnot_si128(greater, most));
    k += 12;
    w += 4;
  }
  alignas(16) uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), most);
  for (uint32_t lane : lanes) {
    if (lane > *widest) *widest = lane;
  }
  return w;
}

#endif

// The three-byte characters at the start of the `n` bytes at `p` that can
// be taken in blocks of four, at most `room` of them and none above `limit`
// (at most U+FFFF): their number. Writes them to `out` unless it is null,
// and raises `*widest` to the largest. None where the processor has no
// byte shuffle; the caller takes the rest one by one.
inline size_t three_blocks(const uint8_t* p, size_t n, uint16_t* out, size_t room,
                           uint32_t limit, uint32_t* widest) {
#if defined(QBC_SSSE3_LOOPS)
  // Runs of CJK text are often a character or two long: only a run whose
  // fourth character starts as a three-byte one is tried in blocks.
  if (n >= 16 && room >= 4 && (p[9] & 0xF0u) == 0xE0u && shuffles_bytes()) {
    return three_blocks_ssse3(p, n, out, room, limit, widest);
  }
#else
  (void)p;
  (void)n;
  (void)out;
  (void)room;
  (void)limit;
  (void)widest;
#endif
  return 0;
}

// The three-byte characters at the start of the `n` bytes at `p`, at most
// `room` of them and none above `limit`: their number. Writes them to `out`
// unless it is null, in blocks of four where three_blocks() can, and raises
// `*widest` to the largest.
template <class U>
size_t take_three(const uint8_t* p, size_t n, U* out, size_t room, uint32_t limit,
                  uint32_t* widest) {
  size_t w = 0;
  if constexpr (sizeof(U) == 2) w = three_blocks(p, n, out, room, limit, widest);
  uint32_t most = *widest;
  for (size_t k = 3 * w; k + 3 <= n && w < room; k += 3) {
    const uint32_t c = utf8_three(p + k);
    if (c == 0 || c > limit) break;
    if (c > most) most = c;
    if (out != nullptr) out[w] = static_cast<U>(c);
    ++w;
  }
  *widest = most;
  return w;
}

}  // namespace utf8_detail

// Walks [p, p + n). `final` says that nothing follows the piece. Returns the
// number of bytes taken (all of them when `final`), or kNotUtf8. A sink
// returning false from ascii() or put() stops the walk with kNotUtf8 too.
template <class Sink>
size_t walk_utf8(const uint8_t* p, size_t n, bool final, Sink& sink) {
  size_t i = 0;
  while (i < n) {
    const size_t j = utf8_detail::ascii_run_end(p, i, n);
    if (j > i) {
      if (!sink.ascii(p + i, j - i)) return kNotUtf8;
      i = j;
      if (i == n) break;
    }
    const uint32_t b0 = p[i];
    if (b0 == '\r') {
      if (i + 1 == n && !final) break;
      if (!sink.put('\n')) return kNotUtf8;
      i += (i + 1 < n && p[i + 1] == '\n') ? 2 : 1;
      continue;
    }
    // A run of three-byte characters is taken here as a whole: by the sink
    // where it can (up to a character it would refuse, which put() below
    // then refuses), else character by character.
    if constexpr (requires { sink.three_run(p, n); }) {
      i += sink.three_run(p + i, n - i);
    } else {
      while (i + 3 <= n) {
        const uint32_t c3 = utf8_three(p + i);
        if (c3 == 0) break;
        if (!sink.put(c3)) return kNotUtf8;
        i += 3;
      }
    }
    if (i == n || p[i] < 0x80) continue;
    uint32_t c;
    const size_t len = utf8_sequence(p + i, n - i, &c);
    if (len == 0) return kNotUtf8;
    if (len == kUtf8CutOff) {
      // Cut off by the end of the piece: the next piece settles it.
      if (final) return kNotUtf8;
      break;
    }
    if (!sink.put(c)) return kNotUtf8;
    i += len;
  }
  return i;
}

// A sink that counts the characters and finds the largest one outside the
// ASCII runs: ASCII needs no more than the narrowest str, so only the
// others decide how wide the text's str is.
struct Utf8Measure {
  uint64_t chars = 0;
  uint32_t max_char = 0;
  bool ascii(const uint8_t*, size_t n) {
    chars += n;
    return true;
  }
  bool put(uint32_t c) {
    ++chars;
    if (c > max_char) max_char = c;
    return true;
  }
  // The three-byte characters at the start of the `n` bytes at `p`: the
  // bytes they take.
  size_t three_run(const uint8_t* p, size_t n) {
    const size_t taken =
        utf8_detail::take_three<uint16_t>(p, n, nullptr, SIZE_MAX, 0xFFFF, &max_char);
    chars += taken;
    return 3 * taken;
  }
};

// A sink that writes the characters as code units of type U into room for
// `capacity` of them, finding the largest as Utf8Measure does. It refuses
// a character past the room or above `max_char`: the contents changed since
// they were measured. The caller compares `written` and `seen_max` with the
// measure for the same reason.
template <class U>
struct Utf8Writer {
  U* out;
  size_t capacity;
  uint32_t max_char;
  size_t written = 0;
  uint32_t seen_max = 0;
  bool ascii(const uint8_t* p, size_t n) {
    if (n > capacity - written) return false;
    U* dst = out + written;
    if constexpr (sizeof(U) == 1) {
      std::memcpy(dst, p, n);
    } else {
      size_t k = 0;
#if defined(__SSE2__)
      // Sixteen bytes at a time, widened by interleaving them with zeros.
      const __m128i zero = _mm_setzero_si128();
      for (; k + 16 <= n; k += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        const __m128i lo = _mm_unpacklo_epi8(v, zero);
        const __m128i hi = _mm_unpackhi_epi8(v, zero);
        auto* d = reinterpret_cast<__m128i*>(dst + k);
        if constexpr (sizeof(U) == 2) {
          _mm_storeu_si128(d, lo);
          _mm_storeu_si128(d + 1, hi);
        } else {
          _mm_storeu_si128(d, _mm_unpacklo_epi16(lo, zero));
          _mm_storeu_si128(d + 1, _mm_unpackhi_epi16(lo, zero));
          _mm_storeu_si128(d + 2, _mm_unpacklo_epi16(hi, zero));
          _mm_storeu_si128(d + 3, _mm_unpackhi_epi16(hi, zero));
        }
      }
#endif
      for (; k < n; ++k) dst[k] = p[k];
    }
    written += n;
    return true;
  }
  bool put(uint32_t c) {
    if (written == capacity || c > max_char) return false;
    if (c > seen_max) seen_max = c;
    out[written++] = static_cast<U>(c);
    return true;
  }
  // The three-byte characters at the start of the `n` bytes at `p`, up to
  // one past the room or above `max_char`: the bytes they take.
  size_t three_run(const uint8_t* p, size_t n) {
    if constexpr (sizeof(U) == 1) {
      return 0;  // none fits a byte
    } else {
      const size_t taken = utf8_detail::take_three(p, n, out + written, capacity - written,
                                                   max_char, &seen_max);
      written += taken;
      return 3 * taken;
    }
  }
};

}  // namespace qbc
