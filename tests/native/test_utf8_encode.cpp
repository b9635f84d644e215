#include "package/utf8_encode.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace qbc {
namespace {

// The UTF-8 of one code point, written out by its definition.
void append_reference(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

template <class U>
std::string encoded(const std::vector<U>& units) {
  std::string out(units.size() * kUtf8PerUnit<U>, '\0');
  char* end = encode_utf8(units.data(), units.size(), out.data());
  out.resize(static_cast<size_t>(end - out.data()));
  return out;
}

template <class U>
std::string reference(const std::vector<U>& units) {
  std::string out;
  for (U c : units) append_reference(out, c);
  return out;
}

// Random texts of one width: runs of ASCII of every length around the
// four-at-a-time copy, between code points of every encoded length the
// width holds, the edges of each length among them.
template <class U>
std::vector<U> random_text(std::mt19937& rng, uint32_t max) {
  const std::vector<uint32_t> edges = {0x00, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF,
                                       0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  std::vector<U> text;
  const size_t pieces = rng() % 40;
  for (size_t p = 0; p < pieces; ++p) {
    const size_t run = rng() % 11;
    for (size_t k = 0; k < run; ++k) text.push_back(static_cast<U>(0x20 + rng() % 0x5F));
    uint32_t c = rng() % 2 ? edges[rng() % edges.size()] : rng() % (max + 1);
    if (c > max || (c >= 0xD800 && c <= 0xDFFF)) c = max;
    text.push_back(static_cast<U>(c));
  }
  return text;
}

template <class U>
void check_random_texts(uint32_t max) {
  std::mt19937 rng(12345 + sizeof(U));
  for (int round = 0; round < 2000; ++round) {
    const std::vector<U> text = random_text<U>(rng, max);
    ASSERT_EQ(encoded(text), reference(text)) << "round " << round;
    ASSERT_FALSE(has_surrogate(text.data(), text.size()));
  }
}

// Runs of code points of three UTF-8 bytes, of every length around the
// blocks of four they are encoded in, ended by every other length, into
// room of exactly three bytes a code point (so that a store past it is
// caught by the address checks of the sanitizer build).
TEST(Utf8Encode, RunsOfThreeByteCodePoints) {
  std::mt19937 rng(777);
  const std::vector<uint32_t> ends = {0x41, 0xE9, 0x7FF, 0x800, 0xFFFF};
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint16_t> text;
    const size_t runs = 1 + rng() % 4;
    for (size_t r = 0; r < runs; ++r) {
      const size_t run = rng() % 24;
      for (size_t k = 0; k < run; ++k) {
        uint32_t c = 0x800 + rng() % (0x10000 - 0x800);
        if (c >= 0xD800 && c <= 0xDFFF) c = k % 2 ? 0x800 : 0xFFFF;
        text.push_back(static_cast<uint16_t>(c));
      }
      if (rng() % 3 != 0) text.push_back(static_cast<uint16_t>(ends[rng() % ends.size()]));
    }
    std::vector<char> room(text.size() * kUtf8PerUnit<uint16_t>);
    char* end = encode_utf8(text.data(), text.size(), room.data());
    ASSERT_EQ(std::string(room.data(), end), reference(text)) << "round " << round;
  }
}

TEST(Utf8Encode, OneByteUnits) { check_random_texts<uint8_t>(0xFF); }
TEST(Utf8Encode, TwoByteUnits) { check_random_texts<uint16_t>(0xFFFF); }
TEST(Utf8Encode, FourByteUnits) { check_random_texts<uint32_t>(0x10FFFF); }

TEST(Utf8Encode, AsciiIsCopied) {
  const std::string text = "plain text, no wider character\n\r\t";
  std::string out(text.size(), '\0');
  char* end = encode_ascii(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out.data());
  EXPECT_EQ(end, out.data() + out.size());
  EXPECT_EQ(out, text);
}

TEST(Utf8Encode, SurrogatesAreFoundAnywhere) {
  for (uint32_t s : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu}) {
    for (size_t at : {0u, 1u, 4u, 9u}) {
      std::vector<uint16_t> two(10, 'a');
      std::vector<uint32_t> four(10, 0x1F600);
      two[at] = static_cast<uint16_t>(s);
      four[at] = s;
      EXPECT_TRUE(has_surrogate(two.data(), two.size())) << s << " at " << at;
      EXPECT_TRUE(has_surrogate(four.data(), four.size())) << s << " at " << at;
    }
  }
  const std::vector<uint16_t> near = {0xD7FF, 0xE000, 0xFFFF};
  const std::vector<uint32_t> far = {0xD7FF, 0xE000, 0x1D800, 0x10DC00};
  EXPECT_FALSE(has_surrogate(near.data(), near.size()));
  EXPECT_FALSE(has_surrogate(far.data(), far.size()));
}

}  // namespace
}  // namespace qbc
