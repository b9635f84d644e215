// Opcode scanner for the host's pickle format, protocols 0 to 5.
//
// The scanner walks a pickle stream one opcode and its argument at a time,
// the way the host's unpickler reads it when the whole stream sits in one
// buffer, without interpreting anything. It tells a loader how many bytes the
// unpickler will look at (up to STOP, or up to the first byte or length field
// it rejects outright) and whether the stream uses an extension code, which
// the unpickler would serve from its cache without consulting `find_class`.
//
// The stream may arrive piece by piece: the scanner keeps only offsets and
// resumes where it stopped when called again with the same bytes plus more
// (the buffer itself may have moved). Nothing is allocated for declared
// lengths; a length beyond the bytes at hand just means "need more".
//
// Pure C++, no host headers, so that it can be tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qbc::pickle_scan {

// Layout of an opcode's argument.
enum class Arg : std::uint8_t {
  kInvalid,         // not an opcode: the unpickler stops with "invalid load key"
  kNone,            // no argument
  kFixed1,          // 1, 2, 4 or 8 bytes
  kFixed2,
  kFixed4,
  kFixed8,
  kCounted1,        // 1-byte length, then that many bytes
  kCounted4,        // 4-byte unsigned little-endian length, then data
  kCounted4Signed,  // 4-byte signed length; the unpickler rejects a negative one
  kCounted8,        // 8-byte unsigned length; rejected above the signed maximum
  kLine,            // text up to and including a newline
  kTwoLines,        // two such lines (module and name)
  kFrame,           // 8-byte length of the frame that follows; the unpickler
                    // reads the whole frame before the opcodes in it
  kExt1,            // extension code, 1, 2 or 4 bytes
  kExt2,
  kExt4,
  kStop,            // end of the pickle
};

constexpr Arg arg_of(unsigned char op) noexcept {
  switch (op) {
    // Protocol 0 and 1.
    case '(':  // MARK
    case '0':  // POP
    case '1':  // POP_MARK
    case '2':  // DUP
    case 'N':  // NONE
    case 'Q':  // BINPERSID
    case 'R':  // REDUCE
    case 'a':  // APPEND
    case 'b':  // BUILD
    case 'd':  // DICT
    case '}':  // EMPTY_DICT
    case 'e':  // APPENDS
    case 'l':  // LIST
    case ']':  // EMPTY_LIST
    case 'o':  // OBJ
    case 's':  // SETITEM
    case 't':  // TUPLE
    case ')':  // EMPTY_TUPLE
    case 'u':  // SETITEMS
      return Arg::kNone;
    case '.':  // STOP
      return Arg::kStop;
    case 'F':  // FLOAT
    case 'I':  // INT
    case 'L':  // LONG
    case 'P':  // PERSID
    case 'S':  // STRING
    case 'V':  // UNICODE
    case 'g':  // GET
    case 'p':  // PUT
      return Arg::kLine;
    case 'c':  // GLOBAL
    case 'i':  // INST
      return Arg::kTwoLines;
    case 'K':  // BININT1
    case 'h':  // BINGET
    case 'q':  // BINPUT
      return Arg::kFixed1;
    case 'M':  // BININT2
      return Arg::kFixed2;
    case 'J':  // BININT
    case 'j':  // LONG_BINGET
    case 'r':  // LONG_BINPUT
      return Arg::kFixed4;
    case 'G':  // BINFLOAT
      return Arg::kFixed8;
    case 'U':  // SHORT_BINSTRING
      return Arg::kCounted1;
    case 'T':  // BINSTRING
      return Arg::kCounted4Signed;
    case 'X':  // BINUNICODE
      return Arg::kCounted4;
    // Protocol 2.
    case 0x80:  // PROTO
      return Arg::kFixed1;
    case 0x81:  // NEWOBJ
    case 0x85:  // TUPLE1
    case 0x86:  // TUPLE2
    case 0x87:  // TUPLE3
    case 0x88:  // NEWTRUE
    case 0x89:  // NEWFALSE
      return Arg::kNone;
    case 0x82:  // EXT1
      return Arg::kExt1;
    case 0x83:  // EXT2
      return Arg::kExt2;
    case 0x84:  // EXT4
      return Arg::kExt4;
    case 0x8a:  // LONG1
      return Arg::kCounted1;
    case 0x8b:  // LONG4
      return Arg::kCounted4Signed;
    // Protocol 3.
    case 'B':  // BINBYTES
      return Arg::kCounted4;
    case 'C':  // SHORT_BINBYTES
      return Arg::kCounted1;
    // Protocol 4.
    case 0x8c:  // SHORT_BINUNICODE
      return Arg::kCounted1;
    case 0x8d:  // BINUNICODE8
    case 0x8e:  // BINBYTES8
      return Arg::kCounted8;
    case 0x8f:  // EMPTY_SET
    case 0x90:  // ADDITEMS
    case 0x91:  // FROZENSET
    case 0x92:  // NEWOBJ_EX
    case 0x93:  // STACK_GLOBAL
    case 0x94:  // MEMOIZE
      return Arg::kNone;
    case 0x95:  // FRAME
      return Arg::kFrame;
    // Protocol 5.
    case 0x96:  // BYTEARRAY8
      return Arg::kCounted8;
    case 0x97:  // NEXT_BUFFER
    case 0x98:  // READONLY_BUFFER
      return Arg::kNone;
    default:
      return Arg::kInvalid;
  }
}

enum class Result {
  kNeedMore,   // every opcode so far is complete; more bytes are needed
  kStop,       // reached STOP
  kInvalid,    // an opcode byte or a length the unpickler rejects outright
  kExtension,  // an extension code (EXT1, EXT2, EXT4)
};

class Scanner {
 public:
  // Scans `data[0, size)` from where the previous call left off. `data` must
  // begin with the bytes of every earlier call. Once a call returns anything
  // but kNeedMore, later calls return the same.
  Result scan(const unsigned char* data, std::size_t size) noexcept {
    if (done_ != Result::kNeedMore) return done_;
    short_data_ = false;
    while (pos_ < size) {
      const Arg kind = arg_of(data[pos_]);
      const std::size_t arg = pos_ + 1;
      std::size_t next = arg;
      switch (kind) {
        case Arg::kInvalid:
        case Arg::kStop:
          return finish(kind == Arg::kStop ? Result::kStop : Result::kInvalid, arg);
        case Arg::kNone:
          break;
        case Arg::kFixed1:
        case Arg::kFixed2:
        case Arg::kFixed4:
        case Arg::kFixed8:
          next = arg + fixed_width(kind);
          if (next > size) return Result::kNeedMore;
          break;
        case Arg::kCounted1:
        case Arg::kCounted4:
        case Arg::kCounted4Signed:
        case Arg::kCounted8: {
          const std::size_t width = counted_width(kind);
          if (arg + width > size) return Result::kNeedMore;
          const std::uint64_t length = little_endian(data + arg, width);
          const std::size_t body = arg + width;
          if (kind == Arg::kCounted4Signed && length >= 0x80000000u) {
            return finish(Result::kInvalid, body);
          }
          if (length > kMaxLength) return finish(Result::kInvalid, body);
          if (length > size - body) return short_data_ = true, Result::kNeedMore;
          next = body + static_cast<std::size_t>(length);
          break;
        }
        case Arg::kLine:
        case Arg::kTwoLines: {
          const int want = kind == Arg::kTwoLines ? 2 : 1;
          if (search_ < arg) search_ = arg;
          while (lines_ < want) {
            const void* nl = search_ < size ? std::memchr(data + search_, '\n', size - search_)
                                            : nullptr;
            if (nl == nullptr) {
              search_ = size;
              return Result::kNeedMore;
            }
            search_ = static_cast<std::size_t>(static_cast<const unsigned char*>(nl) - data) + 1;
            ++lines_;
          }
          next = search_;
          break;
        }
        case Arg::kFrame: {
          const std::size_t body = arg + 8;
          if (body > size) return Result::kNeedMore;
          const std::uint64_t length = little_endian(data + arg, 8);
          if (length > kMaxLength) return finish(Result::kInvalid, body);
          // The unpickler takes the frame in one read before it looks inside;
          // scanning on only once the frame is complete keeps the bytes a
          // later stop needs covering it.
          if (length > size - body) return short_data_ = true, Result::kNeedMore;
          const std::size_t frame_end = body + static_cast<std::size_t>(length);
          if (frame_end > frames_end_) frames_end_ = frame_end;
          note_frame(pos_, frame_end);
          next = body;
          break;
        }
        case Arg::kExt1:
        case Arg::kExt2:
        case Arg::kExt4: {
          const std::size_t width = kind == Arg::kExt1 ? 1 : kind == Arg::kExt2 ? 2 : 4;
          if (arg + width > size) return Result::kNeedMore;
          const std::uint64_t raw = little_endian(data + arg, width);
          // EXT4 carries a signed code.
          code_ = width == 4 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(raw))
                             : static_cast<std::int64_t>(raw);
          return finish(Result::kExtension, arg + width);
        }
      }
      pos_ = next;
      search_ = 0;
      lines_ = 0;
    }
    return Result::kNeedMore;
  }

  // Offset of the opcode the scan ended on (or is waiting to complete).
  std::size_t opcode_offset() const noexcept { return pos_; }

  // After kNeedMore: true when the opcode waiting to complete declared more
  // data (a counted string, bytes or frame) than the bytes given so far.
  bool short_data() const noexcept { return short_data_; }

  // After kStop or kInvalid: the number of bytes the unpickler reads, which
  // runs through the stopping opcode and to the end of every frame met.
  std::size_t end() const noexcept { return end_; }

  // After kExtension: the code.
  std::int64_t extension_code() const noexcept { return code_; }

  // The FRAME opcodes (their offsets, in stream order) of the frames that
  // run past offset `cut`: a stream cut there keeps the opcodes before the
  // cut only once their headers go, since the unpickler takes in a frame
  // whole before it looks inside. Returns false when more such frames were
  // met than are kept track of.
  bool frames_over(std::size_t cut, std::size_t* headers, std::size_t* count) const noexcept {
    if (open_overflow_) return false;
    *count = 0;
    for (std::size_t i = 0; i < open_count_; ++i) {
      if (open_[i].end > cut && open_[i].header < cut) headers[(*count)++] = open_[i].header;
    }
    return true;
  }
  static constexpr std::size_t kOpenFrames = 8;

 private:
  // Largest length the unpickler accepts (a signed 64-bit size).
  static constexpr std::uint64_t kMaxLength = 0x7fffffffffffffffull;

  static constexpr std::size_t fixed_width(Arg kind) noexcept {
    return kind == Arg::kFixed1 ? 1 : kind == Arg::kFixed2 ? 2 : kind == Arg::kFixed4 ? 4 : 8;
  }
  static constexpr std::size_t counted_width(Arg kind) noexcept {
    return kind == Arg::kCounted1 ? 1 : kind == Arg::kCounted8 ? 8 : 4;
  }
  static std::uint64_t little_endian(const unsigned char* p, std::size_t width) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;) v = (v << 8) | p[i];
    return v;
  }

  // Keeps the frames that still run past the scan's position.
  void note_frame(std::size_t header, std::size_t end) noexcept {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < open_count_; ++i) {
      if (open_[i].end > header) open_[kept++] = open_[i];
    }
    open_count_ = kept;
    if (open_count_ == kOpenFrames) {
      open_overflow_ = true;
      return;
    }
    open_[open_count_++] = Frame{header, end};
  }

  Result finish(Result r, std::size_t end) noexcept {
    done_ = r;
    end_ = end > frames_end_ ? end : frames_end_;
    return r;
  }

  std::size_t pos_ = 0;         // offset of the opcode being scanned
  std::size_t search_ = 0;      // where the newline search resumes
  int lines_ = 0;               // newlines already found for this opcode
  std::size_t frames_end_ = 0;  // furthest end of any frame met
  std::size_t end_ = 0;
  std::int64_t code_ = 0;
  bool short_data_ = false;
  Result done_ = Result::kNeedMore;
  struct Frame {
    std::size_t header;  // offset of the FRAME opcode
    std::size_t end;     // one past the frame's last byte
  };
  Frame open_[kOpenFrames] = {};
  std::size_t open_count_ = 0;
  bool open_overflow_ = false;
};

}  // namespace qbc::pickle_scan
