// The pickle opcode scanner against streams written by the host's pickle.dump
// and against hand-made streams.
#include "binding/pickle_scan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

using qbc::pickle_scan::Result;
using qbc::pickle_scan::Scanner;
using Bytes = std::vector<unsigned char>;

// Generated once with /usr/bin/python3 (3.11) from
//   shared = [1]
//   kObject = {"dict": {"the": 1, "\u20ac": 2}, "next_id": 3, "b": b"\x82.\n", "e": b"",
//              "big": -2**70, "f": 1.5, "t": (True, None, shared, shared), "s": {7}}
// and, for kInvalidOpcodes, every b for which pickle.loads(bytes([b])) fails
// with "invalid load key".
// pickle.dumps(kObject, protocol=0)
constexpr char kProto0[] =
    "\050\144\160\060\012\126\144\151\143\164\012\160\061\012\050\144\160\062\012\126\164\150"
    "\145\012\160\063\012\111\061\012\163\126\134\165\062\060\141\143\012\160\064\012\111\062"
    "\012\163\163\126\156\145\170\164\137\151\144\012\160\065\012\111\063\012\163\126\142\012"
    "\160\066\012\143\137\143\157\144\145\143\163\012\145\156\143\157\144\145\012\160\067\012"
    "\050\126\202\056\134\165\060\060\060\141\012\160\070\012\126\154\141\164\151\156\061\012"
    "\160\071\012\164\160\061\060\012\122\160\061\061\012\163\126\145\012\160\061\062\012\143"
    "\137\137\142\165\151\154\164\151\156\137\137\012\142\171\164\145\163\012\160\061\063\012"
    "\050\164\122\160\061\064\012\163\126\142\151\147\012\160\061\065\012\114\055\061\061\070"
    "\060\065\071\061\066\062\060\067\061\067\064\061\061\063\060\063\064\062\064\114\012\163"
    "\126\146\012\160\061\066\012\106\061\056\065\012\163\126\164\012\160\061\067\012\050\111"
    "\060\061\012\116\050\154\160\061\070\012\111\061\012\141\147\061\070\012\164\160\061\071"
    "\012\163\126\163\012\160\062\060\012\143\137\137\142\165\151\154\164\151\156\137\137\012"
    "\163\145\164\012\160\062\061\012\050\050\154\160\062\062\012\111\067\012\141\164\160\062"
    "\063\012\122\160\062\064\012\163\056";

// pickle.dumps(kObject, protocol=1)
constexpr char kProto1[] =
    "\175\161\000\050\130\004\000\000\000\144\151\143\164\161\001\175\161\002\050\130\003\000"
    "\000\000\164\150\145\161\003\113\001\130\003\000\000\000\342\202\254\161\004\113\002\165"
    "\130\007\000\000\000\156\145\170\164\137\151\144\161\005\113\003\130\001\000\000\000\142"
    "\161\006\143\137\143\157\144\145\143\163\012\145\156\143\157\144\145\012\161\007\050\130"
    "\004\000\000\000\302\202\056\012\161\010\130\006\000\000\000\154\141\164\151\156\061\161"
    "\011\164\161\012\122\161\013\130\001\000\000\000\145\161\014\143\137\137\142\165\151\154"
    "\164\151\156\137\137\012\142\171\164\145\163\012\161\015\051\122\161\016\130\003\000\000"
    "\000\142\151\147\161\017\114\055\061\061\070\060\065\071\061\066\062\060\067\061\067\064"
    "\061\061\063\060\063\064\062\064\114\012\130\001\000\000\000\146\161\020\107\077\370\000"
    "\000\000\000\000\000\130\001\000\000\000\164\161\021\050\111\060\061\012\116\135\161\022"
    "\113\001\141\150\022\164\161\023\130\001\000\000\000\163\161\024\143\137\137\142\165\151"
    "\154\164\151\156\137\137\012\163\145\164\012\161\025\050\135\161\026\113\007\141\164\161"
    "\027\122\161\030\165\056";

// pickle.dumps(kObject, protocol=2)
constexpr char kProto2[] =
    "\200\002\175\161\000\050\130\004\000\000\000\144\151\143\164\161\001\175\161\002\050\130"
    "\003\000\000\000\164\150\145\161\003\113\001\130\003\000\000\000\342\202\254\161\004\113"
    "\002\165\130\007\000\000\000\156\145\170\164\137\151\144\161\005\113\003\130\001\000\000"
    "\000\142\161\006\143\137\143\157\144\145\143\163\012\145\156\143\157\144\145\012\161\007"
    "\130\004\000\000\000\302\202\056\012\161\010\130\006\000\000\000\154\141\164\151\156\061"
    "\161\011\206\161\012\122\161\013\130\001\000\000\000\145\161\014\143\137\137\142\165\151"
    "\154\164\151\156\137\137\012\142\171\164\145\163\012\161\015\051\122\161\016\130\003\000"
    "\000\000\142\151\147\161\017\212\011\000\000\000\000\000\000\000\000\300\130\001\000\000"
    "\000\146\161\020\107\077\370\000\000\000\000\000\000\130\001\000\000\000\164\161\021\050"
    "\210\116\135\161\022\113\001\141\150\022\164\161\023\130\001\000\000\000\163\161\024\143"
    "\137\137\142\165\151\154\164\151\156\137\137\012\163\145\164\012\161\025\135\161\026\113"
    "\007\141\205\161\027\122\161\030\165\056";

// pickle.dumps(kObject, protocol=3)
constexpr char kProto3[] =
    "\200\003\175\161\000\050\130\004\000\000\000\144\151\143\164\161\001\175\161\002\050\130"
    "\003\000\000\000\164\150\145\161\003\113\001\130\003\000\000\000\342\202\254\161\004\113"
    "\002\165\130\007\000\000\000\156\145\170\164\137\151\144\161\005\113\003\130\001\000\000"
    "\000\142\161\006\103\003\202\056\012\161\007\130\001\000\000\000\145\161\010\103\000\161"
    "\011\130\003\000\000\000\142\151\147\161\012\212\011\000\000\000\000\000\000\000\000\300"
    "\130\001\000\000\000\146\161\013\107\077\370\000\000\000\000\000\000\130\001\000\000\000"
    "\164\161\014\050\210\116\135\161\015\113\001\141\150\015\164\161\016\130\001\000\000\000"
    "\163\161\017\143\142\165\151\154\164\151\156\163\012\163\145\164\012\161\020\135\161\021"
    "\113\007\141\205\161\022\122\161\023\165\056";

// pickle.dumps(kObject, protocol=4)
constexpr char kProto4[] =
    "\200\004\225\165\000\000\000\000\000\000\000\175\224\050\214\004\144\151\143\164\224\175"
    "\224\050\214\003\164\150\145\224\113\001\214\003\342\202\254\224\113\002\165\214\007\156"
    "\145\170\164\137\151\144\224\113\003\214\001\142\224\103\003\202\056\012\224\214\001\145"
    "\224\103\000\224\214\003\142\151\147\224\212\011\000\000\000\000\000\000\000\000\300\214"
    "\001\146\224\107\077\370\000\000\000\000\000\000\214\001\164\224\050\210\116\135\224\113"
    "\001\141\150\015\164\224\214\001\163\224\217\224\050\113\007\220\165\056";

// pickle.dumps(kObject, protocol=5)
constexpr char kProto5[] =
    "\200\005\225\165\000\000\000\000\000\000\000\175\224\050\214\004\144\151\143\164\224\175"
    "\224\050\214\003\164\150\145\224\113\001\214\003\342\202\254\224\113\002\165\214\007\156"
    "\145\170\164\137\151\144\224\113\003\214\001\142\224\103\003\202\056\012\224\214\001\145"
    "\224\103\000\224\214\003\142\151\147\224\212\011\000\000\000\000\000\000\000\000\300\214"
    "\001\146\224\107\077\370\000\000\000\000\000\000\214\001\164\224\050\210\116\135\224\113"
    "\001\141\150\015\164\224\214\001\163\224\217\224\050\113\007\220\165\056";

// Bytes that the host rejects as "invalid load key".
constexpr char kInvalidOpcodes[] =
    "\000\001\002\003\004\005\006\007\010\011\012\013\014\015\016\017\020\021\022\023\024\025"
    "\026\027\030\031\032\033\034\035\036\037\040\041\042\043\044\045\046\047\052\053\054\055"
    "\057\063\064\065\066\067\070\071\072\073\074\075\076\077\100\101\104\105\110\117\127\131"
    "\132\133\134\136\137\140\146\153\155\156\166\167\170\171\172\173\174\176\177\231\232\233"
    "\234\235\236\237\240\241\242\243\244\245\246\247\250\251\252\253\254\255\256\257\260\261"
    "\262\263\264\265\266\267\270\271\272\273\274\275\276\277\300\301\302\303\304\305\306\307"
    "\310\311\312\313\314\315\316\317\320\321\322\323\324\325\326\327\330\331\332\333\334\335"
    "\336\337\340\341\342\343\344\345\346\347\350\351\352\353\354\355\356\357\360\361\362\363"
    "\364\365\366\367\370\371\372\373\374\375\376\377";

template <std::size_t N>
Bytes of(const char (&lit)[N]) {
  return Bytes(lit, lit + N - 1);
}

Bytes host_stream(int protocol) {
  const Bytes all[] = {of(kProto0), of(kProto1), of(kProto2),
                       of(kProto3), of(kProto4), of(kProto5)};
  return all[protocol];
}

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes le(std::uint64_t value, int width) {
  Bytes out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return out;
}

// Scans a fresh copy of the first `n` bytes, so that every call sees the data
// at a new address, as when the loader's buffer grows.
Result scan_prefix(Scanner& s, const Bytes& data, std::size_t n) {
  Bytes copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
  return s.scan(copy.data(), copy.size());
}

Result scan_all(Scanner& s, const Bytes& data) { return scan_prefix(s, data, data.size()); }

class HostStream : public ::testing::TestWithParam<int> {};

TEST_P(HostStream, StopsAtItsLastByteWhateverFollows) {
  Bytes data = host_stream(GetParam());
  Scanner s;
  ASSERT_EQ(scan_all(s, data + bytes(std::string("\0\202\005junk", 7))), Result::kStop);
  EXPECT_EQ(s.opcode_offset(), data.size() - 1);
  EXPECT_EQ(s.end(), data.size());
}

TEST_P(HostStream, ResumesAtEverySplit) {
  Bytes data = host_stream(GetParam());
  for (std::size_t n = 0; n < data.size(); ++n) {
    Scanner s;
    // Every truncation is only incomplete: nothing in it is rejected.
    ASSERT_EQ(scan_prefix(s, data, n), Result::kNeedMore) << "split " << n;
    ASSERT_EQ(scan_all(s, data), Result::kStop) << "split " << n;
    EXPECT_EQ(s.end(), data.size()) << "split " << n;
  }
}

TEST_P(HostStream, ResumesByteByByte) {
  Bytes data = host_stream(GetParam());
  Scanner s;
  for (std::size_t n = 0; n < data.size(); ++n) {
    ASSERT_EQ(scan_prefix(s, data, n), Result::kNeedMore) << "prefix " << n;
  }
  ASSERT_EQ(scan_all(s, data), Result::kStop);
  EXPECT_EQ(s.end(), data.size());
}

INSTANTIATE_TEST_SUITE_P(Protocols, HostStream, ::testing::Range(0, 6));

TEST(OpcodeTable, RejectsExactlyWhatTheHostRejects) {
  std::vector<bool> invalid(256, false);
  for (unsigned char b : of(kInvalidOpcodes)) invalid[b] = true;
  for (int b = 0; b < 256; ++b) {
    Scanner s;
    Result r = scan_all(s, Bytes{static_cast<unsigned char>(b)});
    EXPECT_EQ(r == Result::kInvalid, invalid[b]) << "byte " << b;
    if (invalid[b]) {
      EXPECT_EQ(s.end(), 1u);
    }
  }
}

TEST(OpcodeTable, StopsAtTheFirstInvalidByte) {
  Scanner s;
  ASSERT_EQ(scan_all(s, bytes("}N0") + Bytes(100000, 0)), Result::kInvalid);
  EXPECT_EQ(s.opcode_offset(), 3u);
  EXPECT_EQ(s.end(), 4u);
}

struct ExtCase {
  Bytes op;
  std::int64_t code;
};
void PrintTo(const ExtCase& c, std::ostream* os) { *os << "code " << c.code; }

class Extension : public ::testing::TestWithParam<ExtCase> {};

TEST_P(Extension, ReportsTheCodeAndWhereItIs) {
  const ExtCase& c = GetParam();
  Bytes data = bytes("\x80\x02") + c.op + bytes(")R.");
  Scanner s;
  ASSERT_EQ(scan_all(s, data), Result::kExtension);
  EXPECT_EQ(s.extension_code(), c.code);
  EXPECT_EQ(s.opcode_offset(), 2u);
  Scanner cut;
  EXPECT_EQ(scan_prefix(cut, data, 2 + c.op.size() - 1), Result::kNeedMore);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Extension,
    ::testing::Values(ExtCase{Bytes{0x82, 0xff}, 255}, ExtCase{Bytes{0x83, 0x34, 0x12}, 0x1234},
                      ExtCase{Bytes{0x84, 0x00, 0x00, 0x01, 0x00}, 65536},
                      ExtCase{Bytes{0x84, 0xff, 0xff, 0xff, 0xff}, -1}));

TEST(Extension, FoundInsideAFrame) {
  Bytes body = bytes("}\x83\x01\x01.");
  Scanner s;
  ASSERT_EQ(scan_all(s, bytes("\x80\x04\x95") + le(body.size(), 8) + body), Result::kExtension);
  EXPECT_EQ(s.extension_code(), 257);
  EXPECT_EQ(s.opcode_offset(), 12u);
}

// Argument bytes that look like STOP and EXT1 are skipped whole.
struct PayloadCase {
  const char* name;
  Bytes head;  // opcode and length field
  std::size_t payload;
};
void PrintTo(const PayloadCase& c, std::ostream* os) { *os << c.name; }

class Payload : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(Payload, IsSkippedByItsLength) {
  const PayloadCase& c = GetParam();
  Bytes body(c.payload, 0x82);
  for (std::size_t i = 0; i < body.size(); i += 3) body[i] = '.';
  Bytes data = c.head + body + bytes(".");
  Scanner s;
  ASSERT_EQ(scan_all(s, data), Result::kStop);
  EXPECT_EQ(s.end(), data.size());
}

INSTANTIATE_TEST_SUITE_P(
    Opcodes, Payload,
    ::testing::Values(PayloadCase{"SHORT_BINBYTES", bytes("C\x07"), 7},
                      PayloadCase{"BINUNICODE", bytes("X") + le(259, 4), 259},
                      PayloadCase{"BINSTRING", bytes("T") + le(300, 4), 300},
                      PayloadCase{"BINUNICODE8", Bytes{0x8d} + le(260, 8), 260},
                      PayloadCase{"BYTEARRAY8", Bytes{0x96} + le(261, 8), 261},
                      PayloadCase{"BINFLOAT", bytes("G"), 8},
                      PayloadCase{"BININT2", bytes("M"), 2},
                      PayloadCase{"BINGET", bytes("h"), 1}));

TEST(Lines, SearchResumesInALongLine) {
  Bytes data = bytes("S'..\x82") + Bytes(5000, '.');
  Scanner s;
  EXPECT_EQ(scan_all(s, data), Result::kNeedMore);
  ASSERT_EQ(scan_all(s, data + bytes("'\n.")), Result::kStop);
  EXPECT_EQ(s.end(), data.size() + 3);
}

struct LengthCase {
  const char* name;
  Bytes data;
  Result result;
  std::size_t end;
};
void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class Lengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(Lengths, AreJudgedBeforeAnyData) {
  const LengthCase& c = GetParam();
  Scanner s;
  ASSERT_EQ(scan_all(s, c.data), c.result);
  if (c.result == Result::kInvalid) {
    EXPECT_EQ(s.end(), c.end);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Declared, Lengths,
    ::testing::Values(
        LengthCase{"negative BINSTRING", bytes("T") + le(0xffffffff, 4) + bytes("."),
                   Result::kInvalid, 5},
        LengthCase{"negative LONG4", Bytes{0x8b} + le(0x80000000, 4) + bytes("."),
                   Result::kInvalid, 5},
        LengthCase{"BINBYTES8 over the maximum", Bytes{0x8e} + le(1ull << 63, 8),
                   Result::kInvalid, 9},
        LengthCase{"FRAME over the maximum", Bytes{0x95} + le(~0ull, 8), Result::kInvalid, 9},
        LengthCase{"huge BINBYTES8", Bytes{0x8e} + le(1ull << 40, 8) + bytes("."),
                   Result::kNeedMore, 0},
        LengthCase{"huge BINBYTES", bytes("B") + le(0xffffffff, 4) + bytes("."),
                   Result::kNeedMore, 0},
        LengthCase{"huge FRAME", Bytes{0x95} + le(1ull << 50, 8) + bytes("N."),
                   Result::kNeedMore, 0}));

TEST(Frames, StopWaitsForTheWholeFrame) {
  Bytes body = bytes("N.") + Bytes(8, 0);
  Bytes data = bytes("\x80\x04\x95") + le(body.size(), 8) + body;
  Scanner s;
  EXPECT_EQ(scan_prefix(s, data, 13), Result::kNeedMore);
  ASSERT_EQ(scan_all(s, data), Result::kStop);
  EXPECT_EQ(s.opcode_offset(), 12u);
  EXPECT_EQ(s.end(), data.size());
}

TEST(Frames, InvalidByteInAFrameCoversTheFrame) {
  Bytes body = bytes("N") + Bytes{0x00} + bytes("NN");
  Scanner s;
  ASSERT_EQ(scan_all(s, bytes("\x95") + le(body.size(), 8) + body + bytes("more")),
            Result::kInvalid);
  EXPECT_EQ(s.opcode_offset(), 10u);
  EXPECT_EQ(s.end(), 13u);
}

TEST(Frames, FramesOverACutAreThoseStillOpenThere) {
  // A frame that ended before the short opcode, then one still open at it
  // with a second open inside it.
  Bytes closed = bytes("\x95") + le(2, 8) + bytes("NN");
  Bytes inner = bytes("N") + (bytes("\x8c\x50") + bytes("ab"));
  Bytes outer = bytes("K\x01\x95") + le(inner.size(), 8) + inner;
  Bytes data = bytes("\x80\x04") + closed + bytes("\x95") + le(outer.size(), 8) + outer;
  Scanner s;
  ASSERT_EQ(scan_all(s, data), Result::kNeedMore);
  ASSERT_TRUE(s.short_data());
  const std::size_t cut = s.opcode_offset();
  EXPECT_EQ(cut, data.size() - 4);
  std::size_t headers[Scanner::kOpenFrames];
  std::size_t count = 0;
  ASSERT_TRUE(s.frames_over(cut, headers, &count));
  const std::size_t outer_at = 2 + closed.size();
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(headers[0], outer_at);
  EXPECT_EQ(headers[1], outer_at + 9 + 2);
}

TEST(Frames, TooManyOpenFramesAreNotTracked) {
  // Each frame holds the next one and a short str at the end.
  Bytes body = bytes("\x8c\x50") + bytes("ab");
  for (std::size_t i = 0; i <= Scanner::kOpenFrames; ++i) {
    body = bytes("\x95") + le(body.size(), 8) + body;
  }
  Scanner s;
  ASSERT_EQ(scan_all(s, body), Result::kNeedMore);
  std::size_t headers[Scanner::kOpenFrames];
  std::size_t count = 0;
  EXPECT_FALSE(s.frames_over(s.opcode_offset(), headers, &count));
}

}  // namespace
