// Text in the host's fixed-width forms (one, two or four bytes per code
// point) encoded as strict UTF-8, as the host's "utf-8" encoder writes it.
// Strict UTF-8 has no form for a surrogate code point (U+D800 to U+DFFF):
// the host raises an error for one before it writes anything, so texts are
// checked with has_surrogate() before they are encoded.
//
// Needs nothing from the host, so that it can be tested on plain buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "package/cpu_features.hpp"

#if defined(QBC_SSSE3_LOOPS)
#include <tmmintrin.h>
#endif

namespace qbc {

// The most UTF-8 bytes one code unit of a text of `sizeof(U)` bytes per
// code unit takes: a one-byte unit is at most U+00FF.
template <class U>
constexpr size_t kUtf8PerUnit = sizeof(U) == 1 ? 2 : sizeof(U) == 2 ? 3 : 4;

template <class U>
bool has_surrogate(const U* s, size_t n) {
  if constexpr (sizeof(U) == 1) {
    (void)s;
    (void)n;
    return false;
  } else {
    bool found = false;
    for (size_t k = 0; k < n; ++k) found |= (s[k] & ~uint32_t{0x7FF}) == 0xD800;
    return found;
  }
}

namespace utf8_encode_detail {

#if defined(QBC_SSSE3_LOOPS)

// Code points of U+0800 to U+FFFF at the start of the `n` at `s`, four at
// a time where the processor shuffles bytes: each four are widened to
// 32-bit lanes, their three bytes made there and packed into 12 bytes of a
// 16-byte store. Stops at four holding another, or once fewer than six code
// points remain, so that the store stays inside the room for three bytes
// a code point. Returns how many it encoded into `out`.
[[gnu::target("ssse3")]] inline size_t three_byte_blocks_ssse3(const uint16_t* s, size_t n,
                                                               unsigned char* out) {
  const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m128i below = _mm_set1_epi32(0x800);
  const __m128i six_bits = _mm_set1_epi32(0x3F);
  const __m128i lead = _mm_set1_epi32(0xE0);
  const __m128i follow = _mm_set1_epi32(0x8080 << 8);
  size_t k = 0;
  while (k + 6 <= n) {
    const __m128i c = _mm_unpacklo_epi16(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + k)), _mm_setzero_si128());
    if (_mm_movemask_epi8(_mm_cmpgt_epi32(below, c)) != 0) break;
    const __m128i b0 = _mm_or_si128(lead, _mm_srli_epi32(c, 12));
    const __m128i b1 = _mm_slli_epi32(_mm_and_si128(_mm_srli_epi32(c, 6), six_bits), 8);
    const __m128i b2 = _mm_slli_epi32(_mm_and_si128(c, six_bits), 16);
    const __m128i bytes = _mm_or_si128(_mm_or_si128(b0, b1), _mm_or_si128(b2, follow));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(bytes, pack));
    out += 12;
    k += 4;
  }
  return k;
}

#endif

// The code points of U+0800 to U+FFFF at the start of the `n` at `s` that
// can be encoded in blocks of four, into `out` (room for three bytes each):
// how many. None where the processor has no byte shuffle.
inline size_t three_byte_blocks(const uint16_t* s, size_t n, unsigned char* out) {
#if defined(QBC_SSSE3_LOOPS)
  if (n >= 6 && s[3] >= 0x800 && shuffles_bytes()) return three_byte_blocks_ssse3(s, n, out);
#else
  (void)s;
  (void)n;
  (void)out;
#endif
  return 0;
}

}  // namespace utf8_encode_detail

// Encodes the `n` code points at `s` into `out`, which has room for
// n * kUtf8PerUnit<U> bytes, and returns the end of what it wrote. The
// code points are no surrogates.
template <class U>
char* encode_utf8(const U* s, size_t n, char* out) {
  auto* p = reinterpret_cast<unsigned char*>(out);
  size_t k = 0;
  while (k < n) {
    // Runs of ASCII, the bulk of most texts, four at a time.
    while (k + 4 <= n && (s[k] | s[k + 1] | s[k + 2] | s[k + 3]) < 0x80) {
      p[0] = static_cast<unsigned char>(s[k]);
      p[1] = static_cast<unsigned char>(s[k + 1]);
      p[2] = static_cast<unsigned char>(s[k + 2]);
      p[3] = static_cast<unsigned char>(s[k + 3]);
      p += 4;
      k += 4;
    }
    if (k == n) break;
    const uint32_t c = s[k++];
    if (c < 0x80) {
      *p++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      p[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      p[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      p += 2;
    } else if (sizeof(U) == 2 || c < 0x10000) {
      p[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      p[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      p[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      p += 3;
      if constexpr (sizeof(U) == 2) {
        // Most characters of CJK text come in runs of such code points.
        const size_t done = utf8_encode_detail::three_byte_blocks(s + k, n - k, p);
        k += done;
        p += 3 * done;
      }
    } else {
      p[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      p[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      p[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      p[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      p += 4;
    }
  }
  return reinterpret_cast<char*>(p);
}

// The same for ASCII text, which is its own UTF-8.
inline char* encode_ascii(const uint8_t* s, size_t n, char* out) {
  std::memcpy(out, s, n);
  return out + n;
}

}  // namespace qbc
