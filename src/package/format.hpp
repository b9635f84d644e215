// The packed id stream: one 4-byte big-endian record per token.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qbc {

// Largest id a record can carry (records are read as unsigned values and
// only those below 2^31 are accepted).
inline constexpr int64_t kMaxStoredId = 0x7fffffff;
// Byte offsets into the stream are signed 32-bit values: at most 2^29
// records (2 GiB) per package.
inline constexpr uint64_t kMaxRecords = uint64_t{1} << 29;
inline constexpr uint64_t kMaxStreamBytes = kMaxRecords * 4;

inline void store_record(uint8_t* at, uint32_t id) {
  at[0] = static_cast<uint8_t>(id >> 24);
  at[1] = static_cast<uint8_t>(id >> 16);
  at[2] = static_cast<uint8_t>(id >> 8);
  at[3] = static_cast<uint8_t>(id);
}

inline uint32_t load_record(const uint8_t* at) {
  return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) |
         uint32_t{at[3]};
}

// Index of the first record whose first byte is 0x80 or above (an id that
// does not fit a signed 32-bit value), or `count` when there is none.
inline size_t first_oversized_record(const uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (data[4 * i] & 0x80) return i;
  }
  return count;
}

}  // namespace qbc
