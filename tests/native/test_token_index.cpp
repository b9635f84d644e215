// The token index against a plain reference: slots in order of first sight,
// one slot per distinct sequence of code points whatever the width of the
// text it was found in, strs that equal the host's own for those code
// points, and agreement between scanning and interning.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/token_index.hpp"

namespace {

using qbc::Ref;
using qbc::SlotStream;
using qbc::TokenIndex;
using CodePoints = std::vector<uint32_t>;

// An interpreter for the whole run (the index makes host strs).
class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};
const auto* const kInterpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// The host's whitespace for text, written out (not taken from the scanner).
bool reference_space(uint32_t c) {
  static const uint32_t spaces[] = {
      0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x1C,   0x1D,   0x1E,   0x1F,   0x20,
      0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
      0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
  };
  return std::find(std::begin(spaces), std::end(spaces), c) != std::end(spaces);
}

// Maximal runs of whitespace and of non-whitespace.
std::vector<CodePoints> reference_runs(const CodePoints& text) {
  std::vector<CodePoints> runs;
  for (size_t i = 0; i < text.size();) {
    size_t j = i + 1;
    while (j < text.size() && reference_space(text[j]) == reference_space(text[i])) ++j;
    runs.emplace_back(text.begin() + static_cast<ptrdiff_t>(i),
                      text.begin() + static_cast<ptrdiff_t>(j));
    i = j;
  }
  return runs;
}

// The host's own str of some code points (narrowest kind).
Ref host_str(const CodePoints& cps) {
  return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps.data(),
                                              static_cast<Py_ssize_t>(cps.size())));
}

// Code units of a text in a given width (every code point must fit), in a
// buffer of exactly that size, so that a read past the end is a read
// outside the allocation.
struct Units {
  int kind;
  size_t length;
  std::unique_ptr<uint8_t[]> bytes;
};

Units units_of(const CodePoints& text, int kind) {
  Units u{kind, text.size(), std::unique_ptr<uint8_t[]>(new uint8_t[text.size() * kind + 1])};
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t c = text[i];
    if (kind == 1) {
      u.bytes[i] = static_cast<uint8_t>(c);
    } else if (kind == 2) {
      const uint16_t v = static_cast<uint16_t>(c);
      std::memcpy(&u.bytes[2 * i], &v, 2);
    } else {
      std::memcpy(&u.bytes[4 * i], &c, 4);
    }
  }
  return u;
}

// The narrowest kind that holds every code point of `text`.
int kind_for(const CodePoints& text) {
  uint32_t m = 0;
  for (uint32_t c : text) m = std::max(m, c);
  return m < 0x100 ? 1 : m < 0x10000 ? 2 : 4;
}

std::vector<uint32_t> slots_of(SlotStream& stream) {
  std::vector<uint32_t> v;
  stream.for_each([&](uint32_t s) { v.push_back(s); }, false);
  return v;
}

// What an index must give: the slot of each run, numbered by first sight
// across everything fed to it so far.
class Reference {
 public:
  uint32_t slot(const CodePoints& token) {
    auto [it, added] = slots_.emplace(token, static_cast<uint32_t>(tokens_.size()));
    if (added) tokens_.push_back(token);
    return it->second;
  }
  std::vector<uint32_t> scan(const CodePoints& text) {
    std::vector<uint32_t> v;
    for (const CodePoints& run : reference_runs(text)) v.push_back(slot(run));
    return v;
  }
  const std::vector<CodePoints>& tokens() const { return tokens_; }

 private:
  std::map<CodePoints, uint32_t> slots_;
  std::vector<CodePoints> tokens_;
};

// Every slot's str is the host's str of its code points (equal, of the same
// kind and ASCII flag, so in canonical form).
void expect_tokens(const TokenIndex& index, const Reference& ref) {
  ASSERT_EQ(index.size(), ref.tokens().size());
  for (uint32_t s = 0; s < index.size(); ++s) {
    PyObject* got = index.token(s);
    ASSERT_NE(got, nullptr) << s;
    ASSERT_TRUE(PyUnicode_CheckExact(got));
    Ref want = host_str(ref.tokens()[s]);
    ASSERT_EQ(PyUnicode_Compare(got, want.get()), 0) << "slot " << s;
    ASSERT_EQ(PyUnicode_KIND(got), PyUnicode_KIND(want.get())) << "slot " << s;
    ASSERT_EQ(PyUnicode_IS_ASCII(got), PyUnicode_IS_ASCII(want.get())) << "slot " << s;
  }
}

// Deterministic pseudo-random numbers.
struct Rng {
  uint64_t x;
  uint32_t next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<uint32_t>(x >> 16);
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

// A token of `len` code points drawn from `alphabet`.
CodePoints token_from(Rng& rng, const CodePoints& alphabet, size_t len) {
  CodePoints t(len);
  for (uint32_t& c : t) c = alphabet[rng.below(static_cast<uint32_t>(alphabet.size()))];
  return t;
}

// Texts built from a small vocabulary of words of every width and of
// lengths around the 15-byte inline limit, joined by whitespace runs of
// every width, so that words repeat and are looked up again.
CodePoints mixed_text(Rng& rng, size_t words, uint32_t widest) {
  const CodePoints narrow = {'a', 'b', 'z', '0', '.', 0x00, 0x7F, 0x80, 0xE9, 0xFF};
  const CodePoints bmp = {0x4E00, 0x4E8C, 0x0416, 0xFFFF, 0x200B, 0xD800, 0x3001};
  const CodePoints astral = {0x1F600, 0x10FFFF, 0x20000};
  const CodePoints spaces = {' ', '\n', '\t', 0x85, 0xA0, 0x3000, 0x2028, 0x1680};
  std::vector<CodePoints> vocabulary;
  for (size_t len : {1, 2, 3, 4, 7, 8, 9, 14, 15, 16, 17, 23, 40}) {
    for (int i = 0; i < 3; ++i) {
      vocabulary.push_back(token_from(rng, narrow, len));
      if (widest >= 0x100) {
        CodePoints w = token_from(rng, narrow, len);
        w[rng.below(static_cast<uint32_t>(len))] = bmp[rng.below(static_cast<uint32_t>(bmp.size()))];
        vocabulary.push_back(w);
      }
      if (widest >= 0x10000) {
        CodePoints w = token_from(rng, narrow, len);
        w[rng.below(static_cast<uint32_t>(len))] =
            astral[rng.below(static_cast<uint32_t>(astral.size()))];
        vocabulary.push_back(w);
      }
    }
  }
  CodePoints text;
  for (size_t i = 0; i < words; ++i) {
    const CodePoints& w = vocabulary[rng.below(static_cast<uint32_t>(vocabulary.size()))];
    text.insert(text.end(), w.begin(), w.end());
    const size_t gap = 1 + rng.below(3);
    for (size_t k = 0; k < gap; ++k) {
      uint32_t s = spaces[rng.below(static_cast<uint32_t>(spaces.size()))];
      if (s > widest) s = ' ';
      text.push_back(s);
    }
  }
  return text;
}

// The index with and without every key hashed alike: with a zero mask all
// keys share one probe sequence and all long keys of a width have the same
// hash word, so only their bytes tell them apart.
class IndexTest : public ::testing::TestWithParam<uint64_t> {
 protected:
  TokenIndex::Tuning tuning() const {
    TokenIndex::Tuning t;
    t.hash_mask = GetParam();
    return t;
  }
};

INSTANTIATE_TEST_SUITE_P(HashMasks, IndexTest, ::testing::Values(~uint64_t{0}, uint64_t{0}),
                         [](const auto& info) { return info.param ? "hashed" : "all_alike"; });

// Scans `text` in `kind` (which must hold it) and checks the slots against
// the reference.
void scan_and_check(TokenIndex& index, Reference& ref, const CodePoints& text, int kind) {
  Units u = units_of(text, kind);
  SlotStream out;
  ASSERT_TRUE(index.scan_units(u.kind, u.bytes.get(), u.length, out));
  ASSERT_EQ(slots_of(out), ref.scan(text)) << "kind " << kind;
}

TEST_P(IndexTest, MixedTextsInEveryKind) {
  Rng rng{0x9E3779B97F4A7C15ull};
  TokenIndex index(tuning());
  Reference ref;
  for (uint32_t widest : {0xFFu, 0xFFFFu, 0x10FFFFu}) {
    for (int round = 0; round < 4; ++round) {
      CodePoints text = mixed_text(rng, 300, widest);
      for (int kind : {1, 2, 4}) {
        if (kind < kind_for(text)) continue;
        scan_and_check(index, ref, text, kind);
      }
    }
  }
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

TEST_P(IndexTest, SameTokenInTextsOfEveryWidthSharesASlot) {
  TokenIndex index(tuning());
  Reference ref;
  // Each word is met first in one width and then in the others, at the end
  // of a text and before a wide character, short and beyond the inline
  // part of a key.
  const std::vector<CodePoints> words = {
      {'a', 'b'},
      {'\n'},
      {0xE9},
      CodePoints(20, 'x'),
      {0x4E00, 0x4E8C},
      CodePoints(12, 0x4E00),
      {0x1F600},
  };
  for (const CodePoints& w : words) {
    CodePoints alone = w;
    CodePoints framed = {' '};
    framed.insert(framed.end(), w.begin(), w.end());
    framed.push_back(' ');
    for (int kind : {4, 2, 1}) {
      if (kind < kind_for(w)) continue;
      scan_and_check(index, ref, alone, kind);
      scan_and_check(index, ref, framed, kind);
    }
  }
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

TEST_P(IndexTest, LongKeysThatDifferLate) {
  // Keys longer than the inline part that agree in their first bytes and
  // differ in the last unit, in their length, or only in their width.
  TokenIndex index(tuning());
  Reference ref;
  std::vector<CodePoints> keys;
  for (uint32_t unit : {uint32_t{'q'}, uint32_t{0xE9}, uint32_t{0x4E00}, uint32_t{0x1F600}}) {
    for (size_t len = 4; len <= 48; ++len) {
      CodePoints k(len, unit);
      keys.push_back(k);
      k.back() = 'r';
      keys.push_back(k);
      k.back() = 0;
      keys.push_back(k);
    }
  }
  for (int pass = 0; pass < 2; ++pass) {
    CodePoints text;
    for (const CodePoints& k : keys) {
      text.insert(text.end(), k.begin(), k.end());
      text.push_back(' ');
    }
    for (int kind : {4, kind_for(text)}) scan_and_check(index, ref, text, kind);
  }
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

TEST_P(IndexTest, TableGrowthKeepsSlots) {
  // Enough distinct tokens to grow the table many times over (fewer when
  // they all share one probe sequence), then every one of them again.
  const size_t count = GetParam() ? 200000 : 3000;
  CodePoints text;
  for (size_t i = 0; i < count; ++i) {
    text.push_back('w');
    for (char c : std::to_string(i * 7919 % 1000003)) text.push_back(static_cast<uint8_t>(c));
    if (i % 3 == 0) text.push_back(0x4E00 + static_cast<uint32_t>(i % 5000));
    text.push_back(i % 10 == 0 ? '\n' : ' ');
  }
  TokenIndex index(tuning());
  Reference ref;
  scan_and_check(index, ref, text, 2);
  const uint32_t distinct = index.size();
  scan_and_check(index, ref, text, 4);
  EXPECT_EQ(index.size(), distinct);
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

TEST_P(IndexTest, TableSizedAheadKeepsSlots) {
  // Keys already in the table are moved when it is sized for a long text,
  // and are found again under their slots; the new ones follow on. Sized
  // for fewer keys than it holds, it stays as it is.
  const size_t count = GetParam() ? 60000 : 2000;
  CodePoints first, second;
  for (size_t i = 0; i < 2 * count; ++i) {
    CodePoints& text = i < count ? first : second;
    text.push_back(i % 2 ? 'w' : 0x4E00 + static_cast<uint32_t>(i % 3000));
    for (char c : std::to_string(i * 7919 % 1000003)) text.push_back(static_cast<uint8_t>(c));
    text.push_back(' ');
  }
  TokenIndex index(tuning());
  Reference ref;
  scan_and_check(index, ref, first, 2);
  index.expect_text(48 * 4 * count);
  scan_and_check(index, ref, first, 4);
  index.expect_text(16);
  scan_and_check(index, ref, second, 2);
  index.expect_text(size_t{1} << 40);
  scan_and_check(index, ref, second, 4);
  scan_and_check(index, ref, first, 2);
  EXPECT_EQ(index.size(), 2 * count + 1);  // the words and one space
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

TEST_P(IndexTest, InternedFirstThenScanned) {
  TokenIndex index(tuning());
  Reference ref;
  const std::vector<CodePoints> given = {
      {'a', 'b'}, {' '}, CodePoints(30, 'k'), {0x4E00}, CodePoints(9, 0x4E8C), {0x1F600, 'x'}, {},
  };
  std::vector<Ref> strs;
  for (const CodePoints& t : given) {
    strs.push_back(host_str(t));
    uint32_t slot;
    ASSERT_TRUE(index.intern(strs.back().get(), &slot));
    EXPECT_EQ(slot, ref.slot(t));
    // On first sight the very object becomes the slot's str, at once.
    EXPECT_EQ(index.token(slot), strs.back().get());
  }
  CodePoints text;
  for (const CodePoints& t : given) {
    text.insert(text.end(), t.begin(), t.end());
    text.push_back('\t');
  }
  scan_and_check(index, ref, text, 4);
  // And without the astral word, in a UCS-2 text.
  text.resize(text.size() - 4);
  scan_and_check(index, ref, text, 2);
  ASSERT_TRUE(index.materialize());
  for (size_t i = 0; i < given.size(); ++i) EXPECT_EQ(index.token(ref.slot(given[i])), strs[i].get());
  expect_tokens(index, ref);
}

TEST_P(IndexTest, ScannedFirstThenInterned) {
  TokenIndex index(tuning());
  Reference ref;
  CodePoints text = {'a', 'b', ' ', 0x4E00, '\n'};
  const CodePoints long_word(25, 'L');
  text.insert(text.end(), long_word.begin(), long_word.end());
  scan_and_check(index, ref, text, 2);
  // Before materialize(): interning a token that scanning added makes the
  // slot's own str, a new one equal to the given str.
  Ref given = host_str(long_word);
  uint32_t slot;
  ASSERT_TRUE(index.intern(given.get(), &slot));
  EXPECT_EQ(slot, ref.slot(long_word));
  PyObject* made = index.token(slot);
  ASSERT_NE(made, nullptr);
  EXPECT_NE(made, given.get());
  EXPECT_EQ(PyUnicode_Compare(made, given.get()), 0);
  ASSERT_TRUE(index.materialize());
  EXPECT_EQ(index.token(slot), made);
  // A token met only through interning after scanning gets the next slot.
  Ref fresh = host_str({'n', 'e', 'w'});
  ASSERT_TRUE(index.intern(fresh.get(), &slot));
  EXPECT_EQ(slot, ref.slot({'n', 'e', 'w'}));
  expect_tokens(index, ref);
}

TEST_P(IndexTest, MaterializeMakesOnlyNewSlots) {
  TokenIndex index(tuning());
  Reference ref;
  scan_and_check(index, ref, {'o', 'n', 'e', ' ', 't', 'w', 'o'}, 1);
  ASSERT_TRUE(index.materialize());
  std::vector<PyObject*> first;
  for (uint32_t s = 0; s < index.size(); ++s) first.push_back(index.token(s));
  scan_and_check(index, ref, {'t', 'w', 'o', ' ', 't', 'h', 'r', 'e', 'e'}, 1);
  ASSERT_TRUE(index.materialize());
  ASSERT_TRUE(index.materialize());
  for (uint32_t s = 0; s < first.size(); ++s) EXPECT_EQ(index.token(s), first[s]);
  expect_tokens(index, ref);
}

TEST_P(IndexTest, EmptyAndTinyTexts) {
  TokenIndex index(tuning());
  Reference ref;
  SlotStream out;
  ASSERT_TRUE(index.scan_units(1, nullptr, 0, out));
  EXPECT_EQ(out.size(), 0u);
  EXPECT_EQ(index.size(), 0u);
  for (const CodePoints& t : std::vector<CodePoints>{{'x'}, {' '}, {0x4E00}, {0x1F600}, {'x', ' '}}) {
    for (int kind : {1, 2, 4}) {
      if (kind >= kind_for(t)) scan_and_check(index, ref, t, kind);
    }
  }
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

TEST_P(IndexTest, EveryOneUnitToken) {
  // All 256 one-unit tokens below U+0100 (which skip the table once seen),
  // first in a scrambled order, then in order, in texts of every kind.
  TokenIndex index(tuning());
  Reference ref;
  for (int kind : {1, 2, 4}) {
    for (uint32_t step : {97u, 1u}) {
      CodePoints text;
      for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t c = i * step % 256;
        // A letter beside whitespace, and whitespace beside a letter, so that
        // each stays a run of its own.
        text.push_back(c);
        text.push_back(reference_space(c) ? 'x' : ' ');
      }
      scan_and_check(index, ref, text, kind);
    }
  }
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

// Runs that end at or near the end of the text, where whole-word loads of
// the key would reach past it, and runs that span blocks of the scanner.
TEST_P(IndexTest, RunsAtTheEndAndAcrossBlocks) {
  Rng rng{12345};
  TokenIndex index(tuning());
  Reference ref;
  const CodePoints alphabet = {'a', 'b', 0xE9, ' ', '\n'};
  const CodePoints wide_alphabet = {'a', 0x4E00, ' ', 0x3000};
  for (size_t n = 1; n <= 140; ++n) {
    CodePoints text = token_from(rng, n % 2 ? alphabet : wide_alphabet, n);
    for (int kind : {1, 2, 4}) {
      if (kind >= kind_for(text)) scan_and_check(index, ref, text, kind);
    }
  }
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

// Scanning a text in two parts, the second into an index of its own that is
// then absorbed, gives the slots and tokens of scanning it whole, after a
// text scanned before and with one scanned after, wherever a run begins.
TEST_P(IndexTest, AbsorbedSecondPartGivesTheSlotsOfOneScan) {
  Rng rng{4242};
  for (uint32_t widest : {0xFFu, 0xFFFFu, 0x10FFFFu}) {
    const CodePoints before = mixed_text(rng, 200, widest);
    const CodePoints text = mixed_text(rng, 400, widest);
    const CodePoints after = mixed_text(rng, 100, widest);
    const int kind = kind_for(text);
    std::vector<size_t> starts;  // where each run of `text` begins, and its end
    size_t at = 0;
    for (const CodePoints& run : reference_runs(text)) {
      starts.push_back(at);
      at += run.size();
    }
    starts.push_back(text.size());
    for (size_t k : {size_t{0}, size_t{1}, size_t{2}, starts.size() / 3, starts.size() / 2,
                     starts.size() - 2, starts.size() - 1}) {
      const size_t cut = starts[k];
      TokenIndex index(tuning());
      Reference ref;
      scan_and_check(index, ref, before, kind_for(before));
      const Units u = units_of(text, kind);
      SlotStream out, side_stream;
      TokenIndex side;
      ASSERT_TRUE(index.scan_units(kind, u.bytes.get(), cut, out));
      ASSERT_TRUE(side.scan_units(kind, u.bytes.get() + cut * kind, text.size() - cut,
                                  side_stream));
      ASSERT_TRUE(index.absorb(side, side_stream, out));
      ASSERT_EQ(slots_of(out), ref.scan(text)) << "widest " << widest << " cut " << cut;
      scan_and_check(index, ref, after, 4);
      ASSERT_TRUE(index.materialize());
      expect_tokens(index, ref);
    }
  }
}

// An index that holds nothing takes a side over whole, over several chunks
// of slots: the slots and tokens are those of one scan, the same stream
// goes on from there, and the side is left empty.
TEST_P(IndexTest, AbsorbedIntoAnEmptyIndexGivesTheSlotsOfOneScan) {
  Rng rng{77};
  for (size_t words : {size_t{300}, size_t{60000}}) {
    const CodePoints text = mixed_text(rng, words, 0xFFFF);
    const CodePoints after = mixed_text(rng, 200, 0x10FFFF);
    const Units u = units_of(text, 2);
    const Units v = units_of(after, 4);
    TokenIndex index(tuning()), side(tuning());
    SlotStream out, side_stream;
    ASSERT_TRUE(side.scan_units(2, u.bytes.get(), text.size(), side_stream));
    ASSERT_TRUE(index.absorb(side, side_stream, out));
    EXPECT_EQ(side.size(), 0u);
    EXPECT_EQ(side_stream.size(), 0u);
    ASSERT_TRUE(index.scan_units(4, v.bytes.get(), after.size(), out));
    Reference ref;
    std::vector<uint32_t> expected = ref.scan(text);
    for (uint32_t slot : ref.scan(after)) expected.push_back(slot);
    ASSERT_EQ(slots_of(out), expected) << words << " words";
    ASSERT_TRUE(index.materialize());
    expect_tokens(index, ref);
  }
}

// A second part of millions of slots, over many chunks of both streams, is
// absorbed with the slots of one scan of the whole, and the stream goes on.
TEST(IndexChunks, AbsorbingMillionsOfSlots) {
  std::string text;
  for (uint32_t i = 0; i < 1400000; ++i) text += "w" + std::to_string(i * 7919u % 50021u) + " ";
  const size_t cut = text.find(' ', text.size() / 200) + 1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  TokenIndex whole, index, side;
  SlotStream expected, out, side_stream;
  ASSERT_TRUE(whole.scan_units(1, bytes, text.size(), expected));
  ASSERT_TRUE(index.scan_units(1, bytes, cut, out));
  ASSERT_TRUE(side.scan_units(1, bytes + cut, text.size() - cut, side_stream));
  ASSERT_TRUE(index.absorb(side, side_stream, out));
  ASSERT_TRUE(index.scan_units(1, bytes, cut, out));
  ASSERT_TRUE(whole.scan_units(1, bytes, cut, expected));
  EXPECT_EQ(out.size(), expected.size());
  EXPECT_TRUE(slots_of(out) == slots_of(expected));
}

// A second part with more new tokens than the table holds grows it while
// being absorbed.
TEST_P(IndexTest, AbsorbingGrowsTheTable) {
  const size_t count = GetParam() ? 100000 : 2000;
  CodePoints text;
  for (size_t i = 0; i < count; ++i) {
    for (char c : std::to_string(i % (count / 4) * 7919 % 1000003)) {
      text.push_back(static_cast<uint8_t>(c));
    }
    if (i % 7 == 0) {
      for (char c : std::string("-a-long-key-past-the-inline-limit")) {
        text.push_back(static_cast<uint8_t>(c));
      }
    }
    text.push_back(' ');
  }
  const Units u = units_of(text, 2);
  size_t cut = text.size() / 10;
  while (text[cut - 1] != ' ') ++cut;
  TokenIndex index(tuning()), side;
  SlotStream out, side_stream;
  ASSERT_TRUE(index.scan_units(2, u.bytes.get(), cut, out));
  ASSERT_TRUE(side.scan_units(2, u.bytes.get() + 2 * cut, text.size() - cut, side_stream));
  ASSERT_TRUE(index.absorb(side, side_stream, out));
  EXPECT_EQ(side_stream.size(), 0u);  // its chunks were freed as they were taken
  Reference ref;
  ASSERT_EQ(slots_of(out), ref.scan(text));
  ASSERT_TRUE(index.materialize());
  expect_tokens(index, ref);
}

// Bytes of address space this process uses now.
size_t address_space_in_use() {
  unsigned long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return static_cast<size_t>(pages) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Absorbing a part whose new tokens need more memory than there is fails
// with false, and leaves both indexes able to go; run in a child process
// whose address space is capped at what it uses just before.
TEST(IndexMemory, AbsorbingWithoutMemoryFails) {
  CodePoints text;
  for (size_t i = 0; i < 200000; ++i) {
    for (char c : "key-past-the-inline-limit-" + std::to_string(i)) {
      text.push_back(static_cast<uint8_t>(c));
    }
    text.push_back(' ');
  }
  const Units u = units_of(text, 1);
  size_t cut = text.size() / 20;
  while (text[cut - 1] != ' ') ++cut;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int code = 0;
    {
      TokenIndex index, side;
      SlotStream out, side_stream;
      if (!index.scan_units(1, u.bytes.get(), cut, out) ||
          !side.scan_units(1, u.bytes.get() + cut, text.size() - cut, side_stream)) {
        _exit(2);
      }
      // A first exception sets up the C++ run-time's per-thread state (and,
      // under the address sanitizer, its record of that state), which would
      // otherwise need a mapping under the cap.
      try {
        throw std::bad_alloc();
      } catch (const std::bad_alloc&) {
      }
      rlimit limit{};
      getrlimit(RLIMIT_AS, &limit);
      const rlim_t saved = limit.rlim_cur;
      limit.rlim_cur = address_space_in_use();
      setrlimit(RLIMIT_AS, &limit);
      if (index.absorb(side, side_stream, out)) code = 3;
      limit.rlim_cur = saved;
      setrlimit(RLIMIT_AS, &limit);
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: the scans failed; 3: absorbing succeeded";
}

TEST(IndexThreads, ScanUnitsOnAWorkerWithoutTheLock) {
  Rng rng{777};
  std::vector<CodePoints> texts;
  for (int i = 0; i < 8; ++i) texts.push_back(mixed_text(rng, 2000, i % 2 ? 0xFFFF : 0x10FFFF));
  std::vector<Units> units;
  for (const CodePoints& t : texts) units.push_back(units_of(t, kind_for(t)));
  TokenIndex index;
  SlotStream out;
  bool ok = true;
  // The worker scans while this thread, without the lock, waits for it; the
  // host may meanwhile run on other threads.
  PyThreadState* saved = PyEval_SaveThread();
  std::thread worker([&] {
    for (const Units& u : units) ok = ok && index.scan_units(u.kind, u.bytes.get(), u.length, out);
  });
  worker.join();
  PyEval_RestoreThread(saved);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(index.materialize());
  Reference ref;
  std::vector<uint32_t> want;
  for (const CodePoints& t : texts) {
    std::vector<uint32_t> s = ref.scan(t);
    want.insert(want.end(), s.begin(), s.end());
  }
  EXPECT_EQ(slots_of(out), want);
  expect_tokens(index, ref);
}

// The slot stream: appends and pushes across its growing chunks, visited in
// order, released as visited.
TEST(SlotStreamOrder, AcrossChunks) {
  SlotStream s;
  std::vector<uint32_t> want;
  Rng rng{99};
  const size_t total = SlotStream::kFirstChunk * 5 + SlotStream::kChunk + 12345;
  std::vector<uint32_t> batch;
  while (want.size() < total) {
    batch.clear();
    const size_t n = rng.below(700);
    for (size_t i = 0; i < n; ++i) batch.push_back(rng.next());
    s.append(batch.data(), batch.size());
    want.insert(want.end(), batch.begin(), batch.end());
    const uint32_t one = rng.next();
    s.push(one);
    want.push_back(one);
  }
  EXPECT_EQ(s.size(), want.size());
  EXPECT_EQ(slots_of(s), want);
  std::vector<uint32_t> seen;
  s.for_each([&](uint32_t v) { seen.push_back(v); }, true);
  EXPECT_EQ(seen, want);
  EXPECT_EQ(s.size(), 0u);
  s.push(5);
  EXPECT_EQ(slots_of(s), std::vector<uint32_t>{5});
}

TEST(SlotStreamOrder, MovesKeepTheSlots) {
  SlotStream a;
  std::vector<uint32_t> want;
  for (uint32_t i = 0; i < SlotStream::kFirstChunk + 10; ++i) {
    a.push(i * 3);
    want.push_back(i * 3);
  }
  SlotStream b(std::move(a));
  EXPECT_EQ(slots_of(b), want);
  SlotStream c;
  c.push(1);
  c = std::move(b);
  EXPECT_EQ(slots_of(c), want);
  c.push(7);
  EXPECT_EQ(c.size(), want.size() + 1);
}

TEST(LargeMemory, ZeroedAndWritableAtEverySize) {
  for (size_t bytes : {size_t{1}, size_t{64}, size_t{4096}, (size_t{512} << 10) - 1,
                       size_t{512} << 10, (size_t{2} << 20) + 1, size_t{9} << 20}) {
    auto* p = static_cast<uint8_t*>(qbc::allocate_large(bytes, /*zero=*/true));
    ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u) << bytes;
#if defined(__linux__)
    // Mapped blocks start at a page boundary.
    if (bytes >= (size_t{512} << 10)) {
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)),
                0u)
          << bytes;
    }
#endif
    for (size_t i = 0; i < bytes; i += 4093) ASSERT_EQ(p[i], 0) << bytes;
    ASSERT_EQ(p[bytes - 1], 0);
    std::memset(p, 0xAB, bytes);
    qbc::release_large(p, bytes);
  }
}

// Buffers for writing in order, on both sides of the size from which they
// take small pages; the larger ones are gone once released.
TEST(LargeMemory, SequentialBuffersAtEverySize) {
  for (size_t bytes : {size_t{1}, size_t{600} << 10, (size_t{4} << 20) - 1, size_t{4} << 20,
                       (size_t{9} << 20) + 3}) {
    auto* p = static_cast<uint8_t*>(qbc::allocate_sequential(bytes));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x3C, bytes);
    for (size_t i = 0; i < bytes; i += 4093) ASSERT_EQ(p[i], 0x3C) << bytes;
    qbc::release_sequential(p, bytes);
#if defined(__linux__)
    if (bytes >= (size_t{4} << 20)) {
      std::vector<unsigned char> in_core(1);
      EXPECT_NE(mincore(p, 4096, in_core.data()), 0) << bytes;
    }
#endif
  }
}

#if defined(__linux__)
// Whether any page of [p, p + bytes) is still mapped.
bool any_mapped(const uint8_t* p, size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> in_core(bytes / page + 2);
  auto* start = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(p) / page * page);
  for (size_t at = 0; at < bytes; at += page) {
    if (mincore(start + at, page, in_core.data()) == 0) return true;
  }
  return false;
}

// Blocks that shared huge pages are all unmapped once all are freed, in
// whatever order, and none of a huge page is given back while a block
// still lies in it (its contents stay).
TEST(LargeMemory, FreedBlocksLeaveNothingMapped) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    constexpr size_t kKiB = 1024;
    std::vector<std::pair<uint8_t*, size_t>> blocks;
    for (size_t bytes : {600 * kKiB, 900 * kKiB + 7, 512 * kKiB, 1500 * kKiB, 1600 * kKiB}) {
      auto* p = static_cast<uint8_t*>(qbc::allocate_large(bytes, /*zero=*/true));
      std::memset(p, 0x5A, bytes);
      blocks.emplace_back(p, bytes);
    }
    const std::vector<std::pair<uint8_t*, size_t>> all = blocks;
    for (size_t k : {size_t{1}, size_t{3}}) {
      qbc::release_large(blocks[k].first, blocks[k].second);
      blocks[k].first = nullptr;
    }
    for (const auto& [p, bytes] : blocks) {
      if (p == nullptr) continue;
      for (size_t i = 0; i < bytes; i += 4096) {
        if (p[i] != 0x5A) _exit(2);
      }
    }
    for (const auto& [p, bytes] : blocks) {
      if (p != nullptr) qbc::release_large(p, bytes);
    }
    for (const auto& [p, bytes] : all) {
      if (any_mapped(p, bytes)) _exit(3);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A growing array keeps its elements through every kind of block (heap,
// shared mapping, a mapping of its own with a tail in small pages or in a
// huge page), and a block it outgrew is no longer mapped.
void grow_and_check() {
  auto value = [](size_t i) { return i * 0x9E3779B97F4A7C15ull ^ (i >> 3); };
  constexpr size_t kMiB = size_t{1} << 20;
  for (size_t first : {size_t{0}, (2 * kMiB + 300 * 1024) / 8, (3 * kMiB + 1536 * 1024) / 8}) {
    const size_t before = address_space_in_use();
    std::optional<qbc::LargeArray<uint64_t>> array(std::in_place);
    qbc::LargeArray<uint64_t>& a = *array;
    a.reserve(first);
    const uint64_t* old = a.data();
    size_t old_bytes = a.capacity() * 8;
    for (size_t i = 0; i < 3 * kMiB; ++i) {
      a.push_back(value(i));
      if (a.data() != old) {
        if (old != nullptr && old_bytes >= 2 * kMiB) {
          ASSERT_FALSE(any_mapped(reinterpret_cast<const uint8_t*>(old), old_bytes)) << i;
        }
        for (size_t k = 0; k <= i; ++k) ASSERT_EQ(a[k], value(k)) << first << " " << k;
        old = a.data();
        old_bytes = a.capacity() * 8;
      }
    }
    // Grown by resizing, the new elements are zero.
    const size_t n = a.size();
    a.resize(n + 5 * kMiB);
    for (size_t k = 0; k < n; k += 4099) ASSERT_EQ(a[k], value(k));
    for (size_t k = n; k < a.size(); k += 511) ASSERT_EQ(a[k], 0u) << k;
    a.resize(3);
    a.resize(4);
    EXPECT_EQ(a[2], value(2));
    EXPECT_EQ(a[3], 0u);
    // Released, it leaves no address space taken: its mappings ended
    // where they were meant to.
    const auto* last = reinterpret_cast<const uint8_t*>(a.data());
    const size_t last_bytes = a.capacity() * 8;
    array.reset();
    EXPECT_FALSE(any_mapped(last, last_bytes)) << first;
    EXPECT_LT(address_space_in_use(), before + kMiB) << first;
  }
}

TEST(LargeMemory, GrownArraysKeepTheirElements) { grow_and_check(); }

// The same where the system refuses to move pages between mappings: the
// elements are copied instead. Run in a child process whose mremap calls
// all fail.
TEST(LargeMemory, GrownArraysKeepTheirElementsWhenPagesCannotMove) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mremap, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOMEM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(4);  // a system without system-call filters
    }
    void* probe = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED || mremap(probe, 4096, 8192, MREMAP_MAYMOVE) != MAP_FAILED) _exit(2);
    grow_and_check();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == 4) GTEST_SKIP() << "no system-call filter can be set here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a check failed; 2: mremap still succeeds";
}
#endif

// Large blocks share mappings: blocks live at once must not overlap, each
// freed one must take only its own pages along, and a block handed out after
// others were freed (from the same mapping, from a new one, or one with a
// mapping of its own) must still read as zero, also while two threads
// allocate and free at once.
TEST(LargeMemory, BlocksLiveTogetherStayApartAndFreshOnesAreZero) {
  constexpr size_t kKiB = 1024;
  const std::vector<size_t> sizes = {512 * kKiB,       626 * kKiB + 3, 1024 * kKiB,
                                     1251 * kKiB + 1,  2 * kKiB * kKiB, 3 * kKiB * kKiB + 5,
                                     40 * kKiB * kKiB, 700 * kKiB};
  auto run = [&](unsigned seed, bool* ok) {
    struct Block {
      uint8_t* p;
      size_t bytes;
      uint8_t mark;
    };
    std::vector<Block> live;
    uint32_t state = seed;
    auto next = [&state] { return state = state * 1664525u + 1013904223u; };
    auto intact = [](const Block& b) {
      for (size_t i = 0; i < b.bytes; i += 4096) {
        if (b.p[i] != b.mark) return false;
      }
      return b.p[b.bytes - 1] == b.mark;
    };
    for (int step = 0; step < 60 && *ok; ++step) {
      if (live.size() < 5 && (live.empty() || next() % 3 != 0)) {
        const size_t bytes = sizes[next() % sizes.size()];
        auto* p = static_cast<uint8_t*>(qbc::allocate_large(bytes, /*zero=*/true));
        for (size_t i = 0; i < bytes; i += 4096) *ok = *ok && p[i] == 0;
        *ok = *ok && p[bytes - 1] == 0;
        const auto mark = static_cast<uint8_t>(1 + next() % 250);
        std::memset(p, mark, bytes);
        live.push_back({p, bytes, mark});
      } else {
        const size_t k = next() % live.size();
        for (const Block& b : live) *ok = *ok && intact(b);
        qbc::release_large(live[k].p, live[k].bytes);
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
      }
    }
    for (const Block& b : live) {
      *ok = *ok && intact(b);
      qbc::release_large(b.p, b.bytes);
    }
  };
  bool first = true, second = true;
  run(1, &first);
  ASSERT_TRUE(first);
  std::thread other(run, 2u, &second);
  run(3, &first);
  other.join();
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
}

}  // namespace

// Whether the mapping that holds `p` asks for huge pages (its VmFlags in
// /proc/self/smaps have "hg"); nullopt when no mapping holds it.
std::optional<bool> asks_huge_pages(const void* p) {
  FILE* f = std::fopen("/proc/self/smaps", "r");
  if (f == nullptr) return std::nullopt;
  const auto at = reinterpret_cast<uintptr_t>(p);
  char line[512];
  bool inside = false;
  std::optional<bool> found;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line, "%lx-%lx ", &lo, &hi) == 2) {  // a mapping's first line
      inside = lo <= at && at < hi;
    } else if (inside && std::strncmp(line, "VmFlags:", 8) == 0) {
      found = std::strstr(line, " hg") != nullptr;
      break;
    }
  }
  std::fclose(f);
  return found;
}

// Blocks taken while a SmallPagesOnly lives (also one of two overlapping
// ones, and grown blocks) keep the default pages; once none lives, blocks
// ask for huge pages again. Their contents are the same either way.
TEST(LargeMemory, SmallPagesOnlyWhileAGuardLives) {
  constexpr size_t kMiB = size_t{1} << 20;
  auto take = [](size_t bytes) {
    auto* p = static_cast<uint8_t*>(qbc::allocate_large(bytes, /*zero=*/true));
    std::memset(p, 0x33, bytes);
    return p;
  };
  uint8_t* before = take(4 * kMiB);
  const std::optional<bool> advised_before = asks_huge_pages(before);
  ASSERT_TRUE(advised_before.has_value());
  if (!*advised_before) GTEST_SKIP() << "this system does not take the advice";
  uint8_t* during;
  std::optional<qbc::LargeArray<uint64_t>> grown(std::in_place);
  {
    std::optional<qbc::SmallPagesOnly> outer(std::in_place);
    {
      qbc::SmallPagesOnly inner;
      EXPECT_TRUE(qbc::SmallPagesOnly::active());
    }
    EXPECT_TRUE(qbc::SmallPagesOnly::active());
    during = take(6 * kMiB + 12345);
    for (size_t i = 0; i < 2 * kMiB; ++i) grown->push_back(i);
    EXPECT_EQ(asks_huge_pages(during), std::optional<bool>(false));
    EXPECT_EQ(asks_huge_pages(grown->data()), std::optional<bool>(false));
    outer.reset();
    EXPECT_FALSE(qbc::SmallPagesOnly::active());
  }
  uint8_t* after = take(4 * kMiB);
  EXPECT_EQ(asks_huge_pages(after), std::optional<bool>(true));
  for (size_t i = 0; i < 2 * kMiB; i += 4099) ASSERT_EQ((*grown)[i], i);
  for (size_t i = 0; i < 6 * kMiB + 12345; i += 4096) ASSERT_EQ(during[i], 0x33);
  qbc::release_large(before, 4 * kMiB);
  qbc::release_large(during, 6 * kMiB + 12345);
  qbc::release_large(after, 4 * kMiB);
}
