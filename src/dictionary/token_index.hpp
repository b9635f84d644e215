// The tokens met in one call, each held once.
//
// Token texts are keyed by their code points: a token is looked up by the
// narrowest representation of its characters (the one a str of those
// characters has), so the same token found in texts of different internal
// widths maps to one slot. Each distinct token gets one host str, made when
// the token is first met; every later occurrence costs a hash lookup and no
// host object.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "binding/handle.hpp"

namespace qbc {

// Token order of one call, as slot numbers, stored in fixed-size chunks so
// that growing it never copies what is already there.
class SlotStream {
 public:
  static constexpr uint32_t kChunk = 1u << 20;
  // Slots at or above this mark are not token slots but indexes into the
  // side list of odd objects (None, non-str) an override may return.
  static constexpr uint32_t kOddMark = 0x80000000u;

  void push(uint32_t slot) {
    if (fill_ == kChunk || chunks_.empty()) {
      chunks_.emplace_back(new uint32_t[kChunk]);
      fill_ = 0;
    }
    chunks_.back()[fill_++] = slot;
    ++size_;
  }
  uint64_t size() const { return size_; }
  // Visits every slot in order; `release` frees each chunk once visited.
  template <class F>
  void for_each(F&& f, bool release) {
    uint64_t left = size_;
    for (auto& chunk : chunks_) {
      uint32_t n = static_cast<uint32_t>(left < kChunk ? left : kChunk);
      for (uint32_t i = 0; i < n; ++i) f(chunk[i]);
      left -= n;
      if (release) chunk.reset();
    }
    if (release) {
      chunks_.clear();
      size_ = 0;
      fill_ = 0;
    }
  }

 private:
  std::vector<std::unique_ptr<uint32_t[]>> chunks_;
  uint32_t fill_ = 0;
  uint64_t size_ = 0;
};

class TokenIndex {
 public:
  TokenIndex();
  ~TokenIndex();
  TokenIndex(const TokenIndex&) = delete;
  TokenIndex& operator=(const TokenIndex&) = delete;

  // Number of distinct tokens held.
  uint32_t size() const;
  // The str of a slot (borrowed; alive as long as the index).
  PyObject* token(uint32_t slot) const;

  // Splits `text` (an exact str) into maximal runs of whitespace and of
  // non-whitespace, as re.findall(r"\S+|\s+", text) would, and appends the
  // slot of each run to `out`. Returns false with a host error set (memory).
  bool scan(PyObject* text, SlotStream& out);

  // The slot of an exact str given by the host (a token an override
  // returned); on first sight that very object becomes the slot's str.
  // Returns false with a host error set.
  bool intern(PyObject* str, uint32_t* slot);

  // The token list of `text` (an exact str) as a new host list; equal
  // tokens share one str object.
  static Ref split(PyObject* text);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qbc
