// Pieces of .CDX files that benchmarks write themselves, laid out as the
// engine's format describes them (dbf/index/node.h has the node codecs).
#pragma once

#include <cstdint>
#include <cstring>

#include "dbf/index/node.h"

namespace bench {

// A tag header at |h| (1024 bytes, zero): root offset, key length, options,
// signature, the expression lengths, and the key expression text.
inline void putTagHeader(uint8_t* h, int32_t root, uint16_t keyLength, uint8_t options,
                         const char* expression) {
  cdx4put32(h, static_cast<uint32_t>(root));
  cdx4put16(h + 12, keyLength);
  h[14] = options;
  h[15] = 1;
  const uint32_t length = static_cast<uint32_t>(std::strlen(expression)) + 1;
  cdx4put16(h + 504, length);
  cdx4put16(h + 506, 1);
  cdx4put16(h + 510, length);
  std::memcpy(h + 512, expression, length - 1);
}

}  // namespace bench
