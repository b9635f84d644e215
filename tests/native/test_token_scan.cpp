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

// Block scanning -------------------------------------------------------------

// The vector masks must agree with the unit-by-unit ones on every unit: each
// whitespace code point and its neighbours, at every lane of a block.
template <class Unit>
void check_masks_agree(const std::vector<uint32_t>& pool) {
  uint32_t seed = 4242;
  std::vector<Unit> block(64);
  for (int round = 0; round < 4000; ++round) {
    for (auto& u : block) {
      seed = seed * 1103515245u + 12345u;
      u = static_cast<Unit>(pool[(seed >> 8) % pool.size()]);
    }
    const qbc::UnitMasks fast = qbc::block_masks(block.data());
    const qbc::UnitMasks slow = qbc::scan_detail::block_masks_scalar(block.data());
    ASSERT_EQ(fast.space, slow.space) << round;
    ASSERT_EQ(fast.wide, slow.wide) << round;
    ASSERT_EQ(fast.astral, slow.astral) << round;
  }
}

std::vector<uint32_t> mask_pool(uint32_t limit) {
  std::vector<uint32_t> pool;
  for (uint32_t s : kSpaces) {
    for (uint32_t d : {0u, 1u, 2u}) {
      for (uint32_t c : {s - d, s + d}) {
        if (c < limit) pool.push_back(c);
      }
    }
  }
  for (uint32_t c : {0u, 0x7Fu, 0x80u, 0xFFu, 0x100u, 0x7FFFu, 0x8000u, 0xFFFFu, 0x10000u,
                     0x1F600u, 0x10FFFFu, 0xD800u, 0x4E00u, 0x2000u, 0x1FFFu}) {
    if (c < limit) pool.push_back(c);
  }
  return pool;
}

TEST(BlockMasks, VectorFormAgreesWithUnitByUnit) {
  check_masks_agree<uint8_t>(mask_pool(0x100));
  check_masks_agree<uint16_t>(mask_pool(0x10000));
  check_masks_agree<uint32_t>(mask_pool(0x110000));
}

TEST(BlockMasks, EveryCodePointOfEveryLane) {
  // Each BMP code point at each lane position of a block of letters.
  std::vector<uint16_t> block16(64, 'a');
  std::vector<uint32_t> block32(64, 'a');
  for (uint32_t c = 0; c < 0x10000; c += (c < 0x3100 ? 1 : 97)) {
    const unsigned lane = c % 64;
    block16[lane] = static_cast<uint16_t>(c);
    block32[lane] = c;
    const uint64_t bit = uint64_t{1} << lane;
    const qbc::UnitMasks m16 = qbc::block_masks(block16.data());
    const qbc::UnitMasks m32 = qbc::block_masks(block32.data());
    ASSERT_EQ(m16.space, reference_space(c) ? bit : 0) << std::hex << c;
    ASSERT_EQ(m32.space, reference_space(c) ? bit : 0) << std::hex << c;
    ASSERT_EQ(m16.wide, c >= 0x100 ? bit : 0) << std::hex << c;
    ASSERT_EQ(m32.astral, 0u) << std::hex << c;
    block16[lane] = 'a';
    block32[lane] = 'a';
  }
}

struct BlockRun {
  size_t begin, end;
  unsigned width;
  bool operator==(const BlockRun&) const = default;
};

template <class Unit>
std::vector<BlockRun> block_runs_of(const std::vector<Unit>& text, size_t* blocks = nullptr) {
  std::vector<BlockRun> out;
  size_t calls = 0;
  qbc::scan_blocks(
      text.data(), text.size(),
      [&](size_t b, size_t e, unsigned w) { out.push_back(BlockRun{b, e, w}); }, [&] { ++calls; });
  if (blocks) *blocks = calls;
  return out;
}

// scan_blocks() and count_runs() against scan_runs() on random texts of
// every length up to a few blocks, so that runs start, end and span block
// boundaries everywhere.
template <class Unit>
void check_blocks_match_runs(const std::vector<uint32_t>& alphabet) {
  uint32_t seed = 2024;
  for (size_t n = 0; n <= 300; ++n) {
    for (int round = 0; round < 6; ++round) {
      std::vector<Unit> text(n);
      // Long stretches of one kind now and then, so that runs cross blocks.
      const uint32_t stretch = round % 3 == 0 ? 80 : 1;
      for (size_t i = 0; i < n; ++i) {
        if (i % stretch == 0) seed = seed * 1103515245u + 12345u;
        text[i] = static_cast<Unit>(alphabet[((seed >> 8) + (stretch > 1 ? 0 : i)) % alphabet.size()]);
        if (stretch == 1) seed = seed * 1103515245u + 12345u;
      }
      std::vector<BlockRun> want;
      for (const ScanRun& r : runs_of(text)) {
        want.push_back(BlockRun{r.begin, r.end, qbc::width_for(r.maxchar)});
      }
      size_t blocks = 0;
      ASSERT_EQ(block_runs_of(text, &blocks), want) << "length " << n << " round " << round;
      EXPECT_EQ(blocks, (n + 63) / 64);
      ASSERT_EQ(qbc::count_runs(text.data(), text.size()), want.size()) << "length " << n;
    }
  }
}

TYPED_TEST(ScanWidth, BlocksMatchRuns) {
  std::vector<uint32_t> alphabet = {'a', 'b', ' ', '\n', 0xA0, 0xE9, 0x85};
  if (sizeof(TypeParam) >= 2) {
    for (uint32_t c : {0x4E00u, 0x3000u, 0x2028u, 0x200Bu, 0x100u}) alphabet.push_back(c);
  }
  if (sizeof(TypeParam) == 4) {
    for (uint32_t c : {0x1F600u, 0x10FFFFu}) alphabet.push_back(c);
  }
  check_blocks_match_runs<TypeParam>(alphabet);
}

TEST(BlockScan, WidthOfARunSpanningBlocks) {
  // A wide unit far from a run's end still makes the run wide.
  std::vector<uint16_t> t(200, 'x');
  t[3] = 0x4E00;
  t[199] = ' ';
  ASSERT_EQ(block_runs_of(t), (std::vector<BlockRun>{{0, 199, 2}, {199, 200, 1}}));
  std::vector<uint32_t> u(130, 'y');
  u[64] = 0x1F600;
  u[0] = ' ';
  ASSERT_EQ(block_runs_of(u), (std::vector<BlockRun>{{0, 1, 1}, {1, 130, 4}}));
}

// The whole-word packers must give what pack_key() and pack_narrowed() give,
// whatever lies past the key.
TEST(PackedKey, LoadedMatchesPacked) {
  uint32_t seed = 5;
  for (size_t n = 0; n <= qbc::kPackedBytes; ++n) {
    for (int i = 0; i < 200; ++i) {
      std::vector<uint8_t> buf(16);
      for (auto& b : buf) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
      }
      for (unsigned width : {1u, 2u, 4u}) {
        if (n % width) continue;
        ASSERT_EQ(qbc::pack_loaded(buf.data(), n, width), qbc::pack_key(buf.data(), n, width))
            << n << " " << width;
      }
    }
  }
}

TEST(PackedKey, LoadedNarrowedMatchesNarrowed) {
  uint32_t seed = 6;
  for (size_t len = 0; len <= qbc::kPackedBytes; ++len) {
    for (int i = 0; i < 200; ++i) {
      std::vector<uint16_t> units(16);
      for (size_t k = 0; k < units.size(); ++k) {
        seed = seed * 1103515245u + 12345u;
        // The key's units fit a byte; those past it may be anything.
        units[k] = static_cast<uint16_t>(k < len ? (seed >> 16) & 0xFF : seed >> 16);
      }
      ASSERT_EQ(qbc::pack_loaded_narrowed(units.data(), len),
                qbc::pack_narrowed(units.data(), len, 1))
          << len;
    }
  }
}

TEST(PackedKey, LoadedNarrowed32MatchesNarrowed) {
  uint32_t seed = 7;
  for (unsigned width : {1u, 2u}) {
    const uint32_t fits = width == 1 ? 0xFFu : 0xFFFFu;
    for (size_t len = 0; len * width <= qbc::kPackedBytes; ++len) {
      for (int i = 0; i < 200; ++i) {
        std::vector<uint32_t> units(16);
        for (size_t k = 0; k < units.size(); ++k) {
          seed = seed * 1103515245u + 12345u;
          // The key's units fit the width, with the top values of it
          // often; those past it may be any code point.
          const uint32_t r = seed >> 8;
          units[k] = k < len ? (r % 4 == 0 ? fits - (r >> 4) % 3 : r & fits) : r % 0x110000;
        }
        ASSERT_EQ(qbc::pack_loaded_narrowed32(units.data(), len, width),
                  qbc::pack_narrowed(units.data(), len, width))
            << len << " " << width;
      }
    }
  }
}

}  // namespace
