// The run scanner over raw code-unit buffers of each width.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dictionary/token_scan.hpp"

namespace {

using ScanRun = qbc::Run;

constexpr uint32_t kSpaces[] = {
    0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x1C,   0x1D,   0x1E,   0x1F,   0x20,
    0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
    0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

template <class Unit>
std::vector<Unit> units(const std::vector<uint32_t>& cps) {
  return std::vector<Unit>(cps.begin(), cps.end());
}

template <class Unit>
std::vector<ScanRun> runs_of(const std::vector<Unit>& text) {
  std::vector<ScanRun> out;
  bool ok = qbc::scan_runs(text.data(), text.size(), [&](const ScanRun& r) {
    out.push_back(r);
    return true;
  });
  EXPECT_TRUE(ok);
  return out;
}

// Boundaries and kinds as a compact string, e.g. "W0-1 S1-3 W3-4".
std::string shape(const std::vector<ScanRun>& runs) {
  std::string s;
  for (const ScanRun& r : runs) {
    if (!s.empty()) s += ' ';
    s += r.space ? 'S' : 'W';
    s += std::to_string(r.begin) + "-" + std::to_string(r.end);
  }
  return s;
}

// The slow, obviously right classification the table must agree with.
bool reference_space(uint32_t c) {
  for (uint32_t s : kSpaces) {
    if (s == c) return true;
  }
  return false;
}

TEST(Classify, EveryCodePointAgreesWithTheList) {
  for (uint32_t c = 0; c <= 0x10FFFF; ++c) {
    ASSERT_EQ(qbc::is_space_code_point(c), reference_space(c)) << std::hex << c;
  }
}

TEST(Classify, UnitTestMatchesCodePointTest) {
  for (uint32_t c = 0; c < 256; ++c) {
    ASSERT_EQ(qbc::is_space_unit(static_cast<uint8_t>(c)), reference_space(c));
  }
  for (uint32_t c = 0; c < 0x10000; ++c) {
    ASSERT_EQ(qbc::is_space_unit(static_cast<uint16_t>(c)), reference_space(c));
  }
}

template <class Unit>
class ScanWidth : public ::testing::Test {};
using Widths = ::testing::Types<uint8_t, uint16_t, uint32_t>;
TYPED_TEST_SUITE(ScanWidth, Widths);

TYPED_TEST(ScanWidth, EmptyTextHasNoRuns) {
  std::vector<TypeParam> empty;
  EXPECT_TRUE(runs_of(empty).empty());
  // A null pointer with no units is not touched.
  int calls = 0;
  EXPECT_TRUE(qbc::scan_runs(static_cast<const TypeParam*>(nullptr), 0, [&](const ScanRun&) {
    ++calls;
    return true;
  }));
  EXPECT_EQ(calls, 0);
}

TYPED_TEST(ScanWidth, RunsAtBothEnds) {
  auto t = units<TypeParam>({' ', 'a', 'b', '\n', '\t', 'c', ' '});
  EXPECT_EQ(shape(runs_of(t)), "S0-1 W1-3 S3-5 W5-6 S6-7");
  auto word = units<TypeParam>({'a', 'b', 'c'});
  EXPECT_EQ(shape(runs_of(word)), "W0-3");
  auto blank = units<TypeParam>({' ', '\r', '\n'});
  EXPECT_EQ(shape(runs_of(blank)), "S0-3");
  auto one = units<TypeParam>({'x'});
  EXPECT_EQ(shape(runs_of(one)), "W0-1");
}

TYPED_TEST(ScanWidth, HelloWorld) {
  std::string s = "Hello,  world!\n";
  std::vector<TypeParam> t(s.begin(), s.end());
  EXPECT_EQ(shape(runs_of(t)), "W0-6 S6-8 W8-14 S14-15");
}

TYPED_TEST(ScanWidth, MixedWhitespaceIsOneRun) {
  auto t = units<TypeParam>({'\t', '\r', '\n', ' ', 'a'});
  EXPECT_EQ(shape(runs_of(t)), "S0-4 W4-5");
}

TYPED_TEST(ScanWidth, SinkCanStopTheScan) {
  auto t = units<TypeParam>({'a', ' ', 'b', ' ', 'c'});
  int calls = 0;
  bool ok = qbc::scan_runs(t.data(), t.size(), [&](const ScanRun&) { return ++calls < 2; });
  EXPECT_FALSE(ok);
  EXPECT_EQ(calls, 2);
}

TYPED_TEST(ScanWidth, MaxcharOfLatinRuns) {
  auto t = units<TypeParam>({'a', 0xE9, 'b', ' ', 0xA0, 'z', 'y'});
  auto r = runs_of(t);
  ASSERT_EQ(shape(r), "W0-3 S3-5 W5-7");
  EXPECT_EQ(r[0].maxchar, 0xE9u);
  EXPECT_EQ(r[1].maxchar, 0xA0u);
  EXPECT_EQ(r[2].maxchar, uint32_t('z'));
}

// Every one of the 29 whitespace code points that fits the unit width
// separates two letters, alone and next to a plain space.
template <class Unit>
void check_every_space_splits() {
  for (uint32_t s : kSpaces) {
    if (s > static_cast<Unit>(~Unit{0})) continue;
    auto t = units<Unit>({'a', s, 'b'});
    auto r = runs_of(t);
    ASSERT_EQ(shape(r), "W0-1 S1-2 W2-3") << std::hex << s;
    EXPECT_EQ(r[1].maxchar, s);
    auto u = units<Unit>({'a', ' ', s, 'b'});
    ASSERT_EQ(shape(runs_of(u)), "W0-1 S1-3 W3-4") << std::hex << s;
  }
}

TYPED_TEST(ScanWidth, EverySpaceSplits) { check_every_space_splits<TypeParam>(); }

struct WideCase {
  std::vector<uint32_t> cps;
  const char* shape;
  std::vector<uint32_t> maxchars;
};

class WideScan : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideScan, Ucs2AndUcs4) {
  const WideCase& c = GetParam();
  bool fits16 = true;
  for (uint32_t cp : c.cps) fits16 = fits16 && cp < 0x10000;
  auto check = [&](const std::vector<ScanRun>& r) {
    EXPECT_EQ(shape(r), c.shape);
    ASSERT_EQ(r.size(), c.maxchars.size());
    for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i].maxchar, c.maxchars[i]) << i;
  };
  if (fits16) check(runs_of(units<uint16_t>(c.cps)));
  check(runs_of(units<uint32_t>(c.cps)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WideScan,
    ::testing::Values(
        // Zero-width space and byte-order mark are not whitespace.
        WideCase{{'a', 0x200B, 'b', 0xFEFF, 'c'}, "W0-5", {0xFEFF}},
        // Neighbours of the whitespace ranges are not whitespace.
        WideCase{{0x1FFF, 0x200B, 0x2027, 0x202A, 0x202E, 0x2030, 0x205E, 0x2060, 0x167F,
                  0x1681, 0x2FFF, 0x3001},
                 "W0-12",
                 {0x3001}},
        // Ideographic space and line separator split CJK text.
        WideCase{{0x4E00, 0x4E8C, 0x3000, 0x4E09, 0x2028, 0x56DB},
                 "W0-2 S2-3 W3-4 S4-5 W5-6",
                 {0x4E8C, 0x3000, 0x4E09, 0x2028, 0x56DB}},
        // Lone surrogates are ordinary non-whitespace units.
        WideCase{{0xD800, ' ', 0xDFFF, 0xDC00, ' ', 'x', 0xDBFF},
                 "W0-1 S1-2 W2-4 S4-5 W5-7",
                 {0xD800, ' ', 0xDFFF, ' ', 0xDBFF}},
        // An ASCII run inside a wide text reports an ASCII largest code point.
        WideCase{{0x4E00, '\n', 'a', 'b', 0x3000, 0x3000}, "W0-1 S1-2 W2-4 S4-6",
                 {0x4E00, '\n', 'b', 0x3000}},
        // Mixed whitespace of all widths forms one run whose largest code point
        // is the widest one.
        WideCase{{'x', 0x20, 0x3000, 0x85, 0x2029, 0x1680, 'y'}, "W0-1 S1-6 W6-7",
                 {'x', 0x3000, 'y'}}));

TEST(AstralScan, Ucs4Runs) {
  auto t = units<uint32_t>({0x1F600, 0x1F601, ' ', 0x10FFFF, 'a', 0x3000, 0x20000});
  auto r = runs_of(t);
  ASSERT_EQ(shape(r), "W0-2 S2-3 W3-5 S5-6 W6-7");
  EXPECT_EQ(r[0].maxchar, 0x1F601u);
  EXPECT_EQ(r[2].maxchar, 0x10FFFFu);
  EXPECT_EQ(r[4].maxchar, 0x20000u);
  EXPECT_EQ(qbc::width_for(r[0].maxchar), 4u);
  EXPECT_EQ(qbc::width_for(r[1].maxchar), 1u);
}

TEST(Width, Boundaries) {
  EXPECT_EQ(qbc::width_for(0), 1u);
  EXPECT_EQ(qbc::width_for(0x7F), 1u);
  EXPECT_EQ(qbc::width_for(0xFF), 1u);
  EXPECT_EQ(qbc::width_for(0x100), 2u);
  EXPECT_EQ(qbc::width_for(0xFFFF), 2u);
  EXPECT_EQ(qbc::width_for(0x10000), 4u);
}

// Long alternating text: the runs tile the whole buffer and alternate.
TEST(LongScan, RunsTileAndAlternate) {
  std::vector<uint16_t> t;
  uint32_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1103515245u + 12345u;
    uint32_t pick = (seed >> 16) % 6;
    const uint16_t choices[] = {'a', ' ', 0x3000, 0x4E00, 0x200B, '\n'};
    t.push_back(choices[pick]);
  }
  auto r = runs_of(t);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.front().begin, 0u);
  EXPECT_EQ(r.back().end, t.size());
  for (size_t i = 0; i < r.size(); ++i) {
    ASSERT_LT(r[i].begin, r[i].end);
    uint32_t m = 0;
    for (size_t j = r[i].begin; j < r[i].end; ++j) {
      ASSERT_EQ(qbc::is_space_unit(t[j]), r[i].space);
      m = t[j] > m ? t[j] : m;
    }
    ASSERT_EQ(r[i].maxchar, m);
    if (i > 0) {
      ASSERT_EQ(r[i].begin, r[i - 1].end);
      ASSERT_NE(r[i].space, r[i - 1].space);
    }
  }
}

TEST(Narrow, CopiesIntoNarrowerUnits) {
  std::vector<uint32_t> wide = {'a', 0xE9, 0xFF};
  std::vector<uint8_t> out8(wide.size());
  qbc::narrow_copy(wide.data(), wide.size(), out8.data());
  EXPECT_EQ(out8[0], 'a');
  EXPECT_EQ(out8[1], 0xE9);
  EXPECT_EQ(out8[2], 0xFF);
  std::vector<uint32_t> bmp = {0x4E00, 0xFFFF};
  std::vector<uint16_t> out16(bmp.size());
  qbc::narrow_copy(bmp.data(), bmp.size(), out16.data());
  EXPECT_EQ(out16[0], 0x4E00);
  EXPECT_EQ(out16[1], 0xFFFF);
  EXPECT_EQ(qbc::max_code_point(bmp.data(), bmp.size()), 0xFFFFu);
  EXPECT_EQ(qbc::max_code_point(bmp.data(), 0), 0u);
}

// Packed keys --------------------------------------------------------------

// Key bytes of `len` units of `width` bytes, from a small alphabet that
// includes zero bytes, so that keys differing only in trailing zeros occur.
std::vector<uint8_t> random_key(uint32_t* seed, size_t len, unsigned width) {
  std::vector<uint8_t> key(len * width);
  for (auto& b : key) {
    *seed = *seed * 1103515245u + 12345u;
    const uint8_t alphabet[] = {0, 0, 1, 'a', 'b', 0x80, 0xFF};
    b = alphabet[(*seed >> 16) % 7];
  }
  return key;
}

TEST(PackedKey, EqualExactlyWhenShortKeysAreEqual) {
  uint32_t seed = 7;
  for (unsigned width : {1u, 2u, 4u}) {
    std::vector<std::vector<uint8_t>> keys;
    for (size_t len = 0; len * width <= qbc::kPackedBytes; ++len) {
      for (int i = 0; i < 40; ++i) keys.push_back(random_key(&seed, len, width));
    }
    for (const auto& a : keys) {
      for (const auto& b : keys) {
        const bool same = a == b;
        ASSERT_EQ(qbc::pack_key(a.data(), a.size(), width) == qbc::pack_key(b.data(), b.size(), width),
                  same)
            << a.size() << " " << b.size() << " width " << width;
      }
    }
  }
}

TEST(PackedKey, WidthAndTrailingZerosDistinguish) {
  const uint8_t ab0[] = {'a', 'b', 0, 0};
  EXPECT_NE(qbc::pack_key(ab0, 2, 1), qbc::pack_key(ab0, 3, 1));
  EXPECT_NE(qbc::pack_key(ab0, 2, 1), qbc::pack_key(ab0, 2, 2));
  EXPECT_NE(qbc::pack_key(ab0, 4, 2), qbc::pack_key(ab0, 4, 4));
  EXPECT_NE(qbc::pack_key(ab0, 0, 1), qbc::pack_key(ab0, 1, 1));
}

TEST(PackedKey, LongKeysCompareTheirFirstFifteenBytes) {
  std::vector<uint8_t> a(40, 'x'), b(40, 'x');
  b[39] = 'y';  // differs after the packed bytes
  EXPECT_EQ(qbc::pack_key(a.data(), 40, 1), qbc::pack_key(b.data(), 40, 1));
  EXPECT_EQ(qbc::pack_key(a.data(), 16, 1), qbc::pack_key(a.data(), 40, 1));
  b[14] = 'y';  // the last packed byte
  EXPECT_NE(qbc::pack_key(a.data(), 40, 1), qbc::pack_key(b.data(), 40, 1));
  // A 15-byte key and a longer one with the same first bytes differ.
  EXPECT_NE(qbc::pack_key(a.data(), 15, 1), qbc::pack_key(a.data(), 16, 1));
  EXPECT_NE(qbc::pack_key(a.data(), 40, 1), qbc::pack_key(a.data(), 40, 2));
}

// pack_narrowed() must give what pack_key() gives for the narrowed bytes, at
// every length, or a token met in a wide text would miss the same token met
// in a narrow one.
template <class Unit>
void check_narrowed(unsigned width) {
  uint32_t seed = 99;
  for (size_t len = 0; len <= 24; ++len) {
    for (int i = 0; i < 50; ++i) {
      std::vector<Unit> units(len);
      for (auto& u : units) {
        seed = seed * 1103515245u + 12345u;
        const uint32_t limit = width == 1 ? 0x100 : 0x10000;
        const uint32_t picks[] = {0, 1, 'a', 0x7F, 0x80, 0xFF, limit - 1, (seed >> 8) % limit};
        u = static_cast<Unit>(picks[(seed >> 16) % 8]);
      }
      std::vector<uint8_t> bytes(len * width);
      qbc::narrow_to_bytes(units.data(), len, width, bytes.data());
      ASSERT_EQ(qbc::pack_narrowed(units.data(), len, width),
                qbc::pack_key(bytes.data(), bytes.size(), width))
          << "len " << len << " width " << width << " from " << sizeof(Unit);
    }
  }
}

TEST(PackedKey, NarrowedMatchesPackedBytes) {
  check_narrowed<uint16_t>(1);
  check_narrowed<uint32_t>(1);
  check_narrowed<uint32_t>(2);
}

TEST(PackedKey, NarrowToBytesKeepsMemoryOrder) {
  const uint32_t src[] = {0x4E00, 0x0041};
  uint8_t out[4];
  qbc::narrow_to_bytes(src, 2, 2, out);
  uint16_t units[2];
  std::memcpy(units, out, 4);
  EXPECT_EQ(units[0], 0x4E00);
  EXPECT_EQ(units[1], 0x0041);
}

}  // namespace
