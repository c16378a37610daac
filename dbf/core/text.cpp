// Windows-1252 case mapping shared by the table code (names) and the
// expression evaluator (UPPER, name comparisons).
#include "dbf/core/text.h"

unsigned char char4upper(unsigned char ch) {
  if (ch >= 'a' && ch <= 'z') return static_cast<unsigned char>(ch - 0x20);
  if (ch >= 0xE0 && ch <= 0xFE && ch != 0xF7) return static_cast<unsigned char>(ch - 0x20);
  switch (ch) {
    case 0x9A:
      return 0x8A;
    case 0x9C:
      return 0x8C;
    case 0x9E:
      return 0x8E;
    case 0xFF:
      return 0x9F;
    default:
      return ch;
  }
}

unsigned char char4lower(unsigned char ch) {
  if (ch >= 'A' && ch <= 'Z') return static_cast<unsigned char>(ch + 0x20);
  if (ch >= 0xC0 && ch <= 0xDE && ch != 0xD7) return static_cast<unsigned char>(ch + 0x20);
  switch (ch) {
    case 0x8A:
      return 0x9A;
    case 0x8C:
      return 0x9C;
    case 0x8E:
      return 0x9E;
    case 0x9F:
      return 0xFF;
    default:
      return ch;
  }
}
