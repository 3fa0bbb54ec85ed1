// The one little-endian codec for on-disk integers and floats: byte-wise memcpy at any
// alignment, never a pointer cast. The target is x86-64, so no byte swap is needed, but
// the swap is spelled out so the code stays right on a big-endian host.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace korvel {

template <class U>
inline U load_le(const void* p) noexcept {
  U v;
  std::memcpy(&v, p, sizeof(U));
  if constexpr (std::endian::native == std::endian::big) {
    U r = 0;
    for (unsigned i = 0; i < sizeof(U); ++i) r = static_cast<U>((r << 8) | ((v >> (8 * i)) & 0xFF));
    v = r;
  }
  return v;
}

template <class U>
inline void store_le(void* p, U v) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    U r = 0;
    for (unsigned i = 0; i < sizeof(U); ++i) r = static_cast<U>((r << 8) | ((v >> (8 * i)) & 0xFF));
    v = r;
  }
  std::memcpy(p, &v, sizeof(U));
}

inline uint16_t load_u16(const void* p) noexcept { return load_le<uint16_t>(p); }
inline uint32_t load_u32(const void* p) noexcept { return load_le<uint32_t>(p); }
inline uint64_t load_u64(const void* p) noexcept { return load_le<uint64_t>(p); }
inline void store_u16(void* p, uint16_t v) noexcept { store_le<uint16_t>(p, v); }
inline void store_u32(void* p, uint32_t v) noexcept { store_le<uint32_t>(p, v); }
inline void store_u64(void* p, uint64_t v) noexcept { store_le<uint64_t>(p, v); }

inline float load_f32(const void* p) noexcept { return std::bit_cast<float>(load_u32(p)); }

}  // namespace korvel
