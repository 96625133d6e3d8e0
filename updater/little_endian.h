// Little-endian integers in byte buffers. Reads check nothing: the caller checks the size first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace little_endian {

namespace detail {

template <typename T>
T read(std::span<const uint8_t> bytes, size_t offset) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i)
    v |= static_cast<T>(static_cast<T>(bytes[offset + i]) << (8 * i));
  return v;
}

template <typename T>
void write(std::span<uint8_t> bytes, size_t offset, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace detail

inline uint16_t readU16(std::span<const uint8_t> b, size_t offset) {
  return detail::read<uint16_t>(b, offset);
}
inline uint32_t readU32(std::span<const uint8_t> b, size_t offset) {
  return detail::read<uint32_t>(b, offset);
}
inline uint64_t readU64(std::span<const uint8_t> b, size_t offset) {
  return detail::read<uint64_t>(b, offset);
}
inline void writeU16(std::span<uint8_t> b, size_t offset, uint16_t v) {
  detail::write(b, offset, v);
}
inline void writeU32(std::span<uint8_t> b, size_t offset, uint32_t v) {
  detail::write(b, offset, v);
}
inline void writeU64(std::span<uint8_t> b, size_t offset, uint64_t v) {
  detail::write(b, offset, v);
}

}  // namespace little_endian
