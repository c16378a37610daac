// Record output of dbftool dump: an output buffer in front of a C stream, and
// the two record formats, CSV (RFC 4180: a header line of column names, CRLF
// line ends, fields quoted when they hold a comma, a quote or a line break)
// and JSON lines (one object per record, keys in column order).
//
// A writer receives the fields of one record in column order. Texts come as
// the table's bytes and are converted to UTF-8 by the table's TextDecoder on
// the way out; everything else the formatter passes is plain ASCII.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/dbftool/codepage.h"

namespace dbftool {

// Collects output and hands it to |stream| in large pieces.
class OutputBuffer {
 public:
  explicit OutputBuffer(FILE* stream);
  ~OutputBuffer();
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  std::string& bytes() { return buffer_; }
  // Writes out the buffer when it has grown past its piece size.
  void maybeFlush() {
    if (buffer_.size() >= kPiece) flush();
  }
  // Writes out everything; false once any write to the stream has failed.
  bool flush();
  bool failed() const { return failed_; }

 private:
  static constexpr size_t kPiece = 1 << 20;
  FILE* stream_;
  std::string buffer_;
  bool failed_ = false;
};

enum class OutputFormat { kCsv, kJson };

class RecordWriter {
 public:
  virtual ~RecordWriter() = default;
  // Called once before the first record with the output's column names.
  virtual void begin(const std::vector<std::string>& names) = 0;
  virtual void beginRecord() = 0;
  // Field values, one call per column in order.
  virtual void null() = 0;
  virtual void text(const char* bytes, size_t n) = 0;   // table bytes, decoded
  virtual void ascii(const char* bytes, size_t n) = 0;  // plain ASCII text
  // The text of a numeric column (blanks trimmed): CSV shows it as stored,
  // JSON as a number, or null when it holds none (overflow stars, garbage).
  virtual void numeric(const char* bytes, size_t n) = 0;
  virtual void number(const char* literal, size_t n) = 0;  // a valid JSON number
  virtual void boolean(bool value) = 0;
  virtual void endRecord() = 0;
};

std::unique_ptr<RecordWriter> makeRecordWriter(OutputFormat format, OutputBuffer& out,
                                               const TextDecoder& decoder);

}  // namespace dbftool
