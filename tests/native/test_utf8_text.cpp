#include "package/utf8_text.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace qbc {
namespace {

using Units = std::vector<uint32_t>;

// Collects the characters a walk gives.
struct Collect {
  Units out;
  bool ascii(const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  }
  bool put(uint32_t c) {
    out.push_back(c);
    return true;
  }
};

// Walks `bytes` in pieces ending at `cuts`, carrying over what a piece
// leaves as the file reader does. Nothing when the bytes are not UTF-8.
std::optional<Units> walk_in_pieces(const std::string& bytes, std::vector<size_t> cuts) {
  cuts.push_back(bytes.size());
  Collect sink;
  std::string held;
  size_t from = 0;
  for (size_t i = 0; i < cuts.size(); ++i) {
    held.append(bytes, from, cuts[i] - from);
    from = cuts[i];
    const bool final = i + 1 == cuts.size();
    const size_t took = walk_utf8(reinterpret_cast<const uint8_t*>(held.data()), held.size(),
                                  final, sink);
    if (took == kNotUtf8) return std::nullopt;
    if (final) {
      EXPECT_EQ(took, held.size());
    }
    held.erase(0, took);
  }
  return sink.out;
}

std::optional<Units> walk_whole(const std::string& bytes) { return walk_in_pieces(bytes, {}); }

TEST(Utf8Text, DecodesEveryWidth) {
  EXPECT_EQ(walk_whole("a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"),
            (Units{'a', 0xE9, 0x4E2D, 0x1F600}));
  EXPECT_EQ(walk_whole("\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"),
            (Units{0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF}));
  EXPECT_EQ(walk_whole(""), Units{});
}

TEST(Utf8Text, KeepsTheByteOrderMark) {
  EXPECT_EQ(walk_whole("\xef\xbb\xbfx"), (Units{0xFEFF, 'x'}));
}

TEST(Utf8Text, TranslatesNewlines) {
  EXPECT_EQ(walk_whole("a\r\nb\rc\n\r\r\nd\r"),
            (Units{'a', '\n', 'b', '\n', 'c', '\n', '\n', '\n', 'd', '\n'}));
  EXPECT_EQ(walk_whole("\r"), Units{'\n'});
  EXPECT_EQ(walk_whole("\n\r"), (Units{'\n', '\n'}));
}

class Utf8Rejects : public ::testing::TestWithParam<const char*> {};

TEST_P(Utf8Rejects, WhatTheHostRejects) { EXPECT_EQ(walk_whole(GetParam()), std::nullopt); }

INSTANTIATE_TEST_SUITE_P(
    Bytes, Utf8Rejects,
    ::testing::Values("\x80", "a\xbf", "\xc0\xaf", "\xc1\xbf",   // stray, overlong two
                      "\xe0\x80\x80", "\xe0\x9f\xbf",            // overlong three
                      "\xed\xa0\x80", "\xed\xbf\xbf",            // surrogates
                      "\xf0\x80\x80\x80", "\xf0\x8f\xbf\xbf",    // overlong four
                      "\xf4\x90\x80\x80", "\xf5\x80\x80\x80",    // past U+10FFFF
                      "\xfe", "\xff",                            // never in UTF-8
                      "\xc3", "\xe4\xb8", "\xf0\x9f\x98",        // cut off at the end
                      "\xc3 ", "\xe4\xb8x", "\xf0\x9f\x98\xc3\xa9"));  // cut off inside

// However the bytes are cut into pieces, the text is the same, and so is
// the verdict on bytes that are not UTF-8.
TEST(Utf8Text, PiecesDoNotMatter) {
  const std::vector<std::string> samples = {
      "ab\r\ncd\r\r\n\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\r",
      "\r\n\r\n\r\r",
      "x\xe4\xb8\xad\xe4\xb8\xad\xf4\x8f\xbf\xbf y",
      "good then \xe4\xb8 cut",
      "ends cut \xf0\x9f\x98",
      "ends with \r",
  };
  for (const std::string& s : samples) {
    const auto whole = walk_whole(s);
    for (size_t a = 0; a <= s.size(); ++a) {
      EXPECT_EQ(walk_in_pieces(s, {a}), whole) << "cut at " << a << " of " << s;
      for (size_t b = a; b <= s.size(); ++b) {
        EXPECT_EQ(walk_in_pieces(s, {a, b}), whole) << "cuts at " << a << ", " << b;
      }
    }
  }
}

TEST(Utf8Text, RandomPiecesOfRandomText) {
  const std::vector<std::string> parts = {"a", " ", "\r", "\n", "\r\n", "\xc3\xa9", "\xe4\xb8\xad",
                                          "\xf0\x9f\x98\x80", "\xef\xbb\xbf", "\xe4", "\x80",
                                          "0123456789abcdef"};
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string s;
    const int n = static_cast<int>(rng() % 24);
    for (int i = 0; i < n; ++i) s += parts[rng() % parts.size()];
    std::vector<size_t> cuts;
    size_t at = 0;
    while (at < s.size() && cuts.size() < 5) {
      at += rng() % (s.size() - at + 1);
      cuts.push_back(at);
    }
    EXPECT_EQ(walk_in_pieces(s, cuts), walk_whole(s));
  }
}

// Writes `s` as units of type U through a measure and a writer, as the file
// reader does.
template <class U>
Units written_as(const std::string& s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  Utf8Measure m;
  EXPECT_EQ(walk_utf8(p, s.size(), true, m), s.size());
  std::vector<U> units(m.chars);
  Utf8Writer<U> w{units.data(), units.size(), 0x10FFFF};
  EXPECT_EQ(walk_utf8(p, s.size(), true, w), s.size());
  EXPECT_EQ(w.written, m.chars);
  return Units(units.begin(), units.end());
}

// Every three-byte candidate, inside a run of three-byte characters: the
// walk takes it exactly when the general decoding of one sequence does,
// and a walk that stops at it refuses the text.
TEST(Utf8Text, RunsOfThreeByteCharacters) {
  const std::string han = "\xe4\xb8\xad";  // U+4E2D
  for (uint32_t b0 = 0xE0; b0 <= 0xEF; ++b0) {
    for (uint32_t b1 = 0x70; b1 <= 0xCF; ++b1) {
      for (uint32_t b2 : {0x41u, 0x7Fu, 0x80u, 0x9Fu, 0xA0u, 0xBFu, 0xC0u}) {
        const uint8_t seq[3] = {static_cast<uint8_t>(b0), static_cast<uint8_t>(b1),
                                static_cast<uint8_t>(b2)};
        uint32_t c = 0;
        const bool valid = utf8_sequence(seq, 3, &c) == 3;
        const std::string mid(reinterpret_cast<const char*>(seq), 3);
        // At every place in a block of four, in a run long enough for
        // blocks, and in one too short for them.
        for (const size_t before : {2, 0, 1, 3, 4, 5, 6, 7}) {
          const size_t after = before == 2 ? 1 : 8;
          std::string text;
          for (size_t i = 0; i < before; ++i) text += han;
          text += mid;
          for (size_t i = 0; i < after; ++i) text += han;
          const auto got = walk_whole(text);
          const auto where = [&] { return ::testing::Message() << b0 << " " << b1 << " " << b2
                                                                << " after " << before; };
          if (valid) {
            Units expected(before, 0x4E2D);
            expected.push_back(c);
            expected.insert(expected.end(), after, 0x4E2D);
            EXPECT_EQ(got, expected) << where();
            // The measure and the writers take the run at once.
            EXPECT_EQ(written_as<uint16_t>(text), expected) << where();
            EXPECT_EQ(written_as<uint32_t>(text), expected) << where();
          } else {
            EXPECT_EQ(got, std::nullopt) << where();
            Utf8Measure m;
            EXPECT_EQ(
                walk_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size(), true, m),
                kNotUtf8)
                << where();
          }
        }
        EXPECT_EQ(utf8_three(seq), valid ? c : 0u);
      }
    }
  }
  // A run cut by the end of a piece, by a "\r", by other widths.
  EXPECT_EQ(walk_in_pieces(han + han + han, {4}), (Units{0x4E2D, 0x4E2D, 0x4E2D}));
  EXPECT_EQ(walk_whole(han + "\r\n" + han + "\r" + han + "\xc3\xa9" + han + "\xf0\x9f\x98\x80"),
            (Units{0x4E2D, '\n', 0x4E2D, '\n', 0x4E2D, 0xE9, 0x4E2D, 0x1F600}));
  EXPECT_EQ(walk_whole(han + "\xe4\xb8"), std::nullopt);
}

TEST(Utf8Text, MeasureCountsWhatTheWriterWrites) {
  const std::string s = "plain \r\n\xc3\xa9 \xe4\xb8\xad\r";
  Utf8Measure m;
  ASSERT_EQ(walk_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size(), true, m), s.size());
  EXPECT_EQ(m.chars, 11u);
  EXPECT_EQ(m.max_char, 0x4E2Du);
  std::vector<uint16_t> units(m.chars);
  Utf8Writer<uint16_t> w{units.data(), units.size(), m.max_char};
  ASSERT_EQ(walk_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size(), true, w), s.size());
  EXPECT_EQ(w.written, m.chars);
  EXPECT_EQ(w.seen_max, m.max_char);
  EXPECT_EQ(units, (std::vector<uint16_t>{'p', 'l', 'a', 'i', 'n', ' ', '\n', 0xE9, ' ', 0x4E2D,
                                          '\n'}));
}

// Long ASCII runs are taken in blocks: a byte that ends one is found at
// every place in a block and after it, and the run is widened to every
// unit width.
TEST(Utf8Text, LongAsciiRunsStopWhereTheyEnd) {
  std::string run;
  for (int i = 0; i < 70; ++i) run += static_cast<char>('!' + i % 90);
  const Units plain(run.begin(), run.end());
  EXPECT_EQ(walk_whole(run), plain);
  EXPECT_EQ(written_as<uint8_t>(run), plain);
  EXPECT_EQ(written_as<uint16_t>(run), plain);
  EXPECT_EQ(written_as<uint32_t>(run), plain);
  for (size_t at = 0; at < run.size(); ++at) {
    const std::string before = run.substr(0, at), after = run.substr(at + 1);
    Units expected(before.begin(), before.end());
    expected.push_back('\n');
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(walk_whole(before + "\r" + after), expected) << at;
    expected[at] = 0xE9;
    EXPECT_EQ(walk_whole(before + "\xc3\xa9" + after), expected) << at;
    EXPECT_EQ(written_as<uint16_t>(before + "\xc3\xa9" + after), expected) << at;
    EXPECT_EQ(walk_whole(before + "\x80" + after), std::nullopt) << at;
  }
}

// Contents that changed since they were measured are refused, not written
// past the room or into too narrow units.
TEST(Utf8Text, WriterRefusesContentsThatChanged) {
  const std::string longer = "abcdef";
  std::vector<uint8_t> room(4);
  Utf8Writer<uint8_t> short_room{room.data(), room.size(), 0x7F};
  EXPECT_EQ(walk_utf8(reinterpret_cast<const uint8_t*>(longer.data()), longer.size(), true,
                      short_room),
            kNotUtf8);
  const std::string wider = "a\xe4\xb8\xad";
  Utf8Writer<uint8_t> narrow{room.data(), room.size(), 0xFF};
  EXPECT_EQ(walk_utf8(reinterpret_cast<const uint8_t*>(wider.data()), wider.size(), true, narrow),
            kNotUtf8);
  // Inside a run of three-byte characters: one past the room, one above
  // the widest measured.
  std::string run;
  for (int i = 0; i < 6; ++i) run += "\xe4\xb8\xad";  // U+4E2D
  std::vector<uint16_t> units(5);
  Utf8Writer<uint16_t> short_units{units.data(), units.size(), 0xFFFF};
  EXPECT_EQ(walk_utf8(reinterpret_cast<const uint8_t*>(run.data()), run.size(), true, short_units),
            kNotUtf8);
  EXPECT_EQ(short_units.written, 5u);
  const std::string higher = run + "\xe4\xb8\xae" + run;  // U+4E2E inside
  units.resize(13);
  Utf8Writer<uint16_t> lower{units.data(), units.size(), 0x4E2D};
  EXPECT_EQ(walk_utf8(reinterpret_cast<const uint8_t*>(higher.data()), higher.size(), true, lower),
            kNotUtf8);
  EXPECT_EQ(lower.written, 6u);
}

// The widest character of a run of three-byte characters is found wherever
// in the run it is, inside a block of four or after them.
TEST(Utf8Text, WidestOfARunWhereverItIs) {
  std::vector<uint16_t> units(12);
  for (size_t at = 0; at < 12; ++at) {
    std::string text;
    for (size_t i = 0; i < 12; ++i) text += i == at ? "\xe4\xb8\xae" : "\xe4\xb8\xad";
    Utf8Measure m;
    ASSERT_EQ(walk_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size(), true, m),
              text.size());
    EXPECT_EQ(m.chars, 12u);
    EXPECT_EQ(m.max_char, 0x4E2Eu) << at;
    Utf8Writer<uint16_t> w{units.data(), 12, 0xFFFF};
    ASSERT_EQ(walk_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size(), true, w),
              text.size());
    EXPECT_EQ(w.seen_max, 0x4E2Eu) << at;
  }
}

}  // namespace
}  // namespace qbc
