// Reading and writing multi-byte integers at a byte pointer, most significant
// byte first (BE) or least significant byte first (LE), whatever the host's
// own order. The caller guarantees that the bytes are there.
#ifndef QN_LINK_ABYTES_H
#define QN_LINK_ABYTES_H

#include <stdint.h>

inline uint16_t aBytes_GetBE16(const uint8_t* p) { return (uint16_t)((p[0] << 8) | p[1]); }
inline uint16_t aBytes_GetLE16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

inline uint32_t aBytes_GetBE32(const uint8_t* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

inline uint32_t aBytes_GetLE32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline void aBytes_PutBE16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)(v >> 8);
  p[1] = (uint8_t)v;
}

inline void aBytes_PutBE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (24 - 8 * i));
}

inline void aBytes_PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

#endif  // QN_LINK_ABYTES_H
