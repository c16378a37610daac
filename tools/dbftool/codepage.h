// Texts of a table in UTF-8: the table's code page mark (header byte 29) says
// how its bytes were written. Marks 0 (none) and 3 are Windows-1252, mark 1 is
// code page 437; any other mark is read as Windows-1252 too, and the caller
// warns that the result may be wrong.
#pragma once

#include <cstdint>
#include <string>

namespace dbftool {

class TextDecoder {
 public:
  explicit TextDecoder(uint8_t codePageMark);

  // False when the mark is one this tool does not know (the texts are then
  // read as Windows-1252).
  bool knowsMark() const { return known_; }
  // "Windows-1252" or "code page 437".
  const char* name() const { return name_; }

  // The UTF-8 form of one byte: 1 to 3 bytes at |utf8[byte]|, length in
  // |length[byte]|. Bytes below 0x80 stand for themselves.
  const char* utf8(uint8_t byte) const { return utf8_[byte]; }
  uint8_t length(uint8_t byte) const { return length_[byte]; }

  // Appends the UTF-8 form of |n| bytes to |out|.
  void append(std::string& out, const char* bytes, size_t n) const;
  // The table's bytes for the UTF-8 text |utf8| (what a condition given on
  // the command line must compare with). False when |utf8| is not UTF-8 or
  // holds a character this code page has no byte for.
  bool encode(const std::string& utf8, std::string* bytes) const;

 private:
  char utf8_[256][4];
  uint16_t codePoint_[256];
  uint8_t length_[256];
  const char* name_;
  bool known_;
};

}  // namespace dbftool
