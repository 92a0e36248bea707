// ba_byteorder.h: big-endian integers in stored formats (table pages, rows, catalogs), read and
// written byte by byte so that neither the host's byte order nor alignment matters.
#pragma once

#include <cstdint>

inline int32_t ba_getbe32(const void *at) {
  const auto *p = static_cast<const unsigned char *>(at);
  return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
                              uint32_t{p[3]});
}
inline int16_t ba_getbe16(const void *at) {
  const auto *p = static_cast<const unsigned char *>(at);
  return static_cast<int16_t>(p[0] << 8 | p[1]);
}
inline void ba_putbe32(void *at, int32_t v) {
  auto *p = static_cast<unsigned char *>(at);
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(static_cast<uint32_t>(v) >> (24 - 8 * i));
}
inline void ba_putbe16(void *at, int v) {
  auto *p = static_cast<unsigned char *>(at);
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
