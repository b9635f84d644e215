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
