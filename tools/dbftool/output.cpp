#include "tools/dbftool/output.h"

namespace dbftool {

OutputBuffer::OutputBuffer(FILE* stream) : stream_(stream) { buffer_.reserve(kPiece + 65536); }

OutputBuffer::~OutputBuffer() { flush(); }

bool OutputBuffer::flush() {
  if (!buffer_.empty() && !failed_) {
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), stream_) != buffer_.size()) failed_ = true;
  }
  buffer_.clear();
  if (!failed_ && std::fflush(stream_) != 0) failed_ = true;
  return !failed_;
}

namespace {

// Appends the number in |text| (blanks already trimmed) as JSON writes
// numbers: a leading '+' and leading zeros dropped, "0" before a bare decimal
// point, no trailing point. False, with nothing appended, when |text| is no
// decimal number (overflow stars, garbage).
bool appendJsonNumber(std::string& out, const char* text, size_t n) {
  size_t i = 0;
  const bool negative = n > 0 && text[0] == '-';
  if (n > 0 && (text[0] == '-' || text[0] == '+')) ++i;
  const size_t intStart = i;
  while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
  const size_t intEnd = i;
  size_t fracStart = i, fracEnd = i;
  if (i < n && text[i] == '.') {
    fracStart = ++i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    fracEnd = i;
  }
  if (i != n || intEnd - intStart + fracEnd - fracStart == 0) return false;
  if (negative) out.push_back('-');
  size_t first = intStart;
  while (first + 1 < intEnd && text[first] == '0') ++first;
  if (first == intEnd)
    out.push_back('0');
  else
    out.append(text + first, intEnd - first);
  if (fracEnd > fracStart) {
    out.push_back('.');
    out.append(text + fracStart, fracEnd - fracStart);
  }
  return true;
}

// Length of the leading run of |bytes| that needs no conversion and no
// escaping: ASCII from the space on, except |special1| and |special2|.
size_t plainRun(const char* bytes, size_t n, char special1, char special2) {
  size_t i = 0;
  while (i < n) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (b < 0x20 || b >= 0x80 || b == static_cast<uint8_t>(special1) ||
        b == static_cast<uint8_t>(special2))
      break;
    ++i;
  }
  return i;
}

class CsvWriter : public RecordWriter {
 public:
  CsvWriter(OutputBuffer& out, const TextDecoder& decoder) : out_(out), decoder_(decoder) {}

  void begin(const std::vector<std::string>& names) override {
    beginRecord();
    for (const std::string& name : names) text(name.data(), name.size());
    endRecord();
  }
  void beginRecord() override {
    first_ = true;
    recordStart_ = out_.bytes().size();
  }
  void null() override { separate(); }
  void text(const char* bytes, size_t n) override {
    separate();
    std::string& s = out_.bytes();
    // The separators and the quote are ASCII, so the table's bytes tell.
    const bool quote = needsQuotes(bytes, n);
    if (quote) s.push_back('"');
    for (size_t i = 0; i < n;) {
      const size_t run = plainRun(bytes + i, n - i, '"', '"');
      s.append(bytes + i, run);
      i += run;
      if (i == n) break;
      const auto b = static_cast<uint8_t>(bytes[i++]);
      if (b == '"') s.push_back('"');
      if (b < 0x80)
        s.push_back(static_cast<char>(b));
      else
        s.append(decoder_.utf8(b), decoder_.length(b));
    }
    if (quote) s.push_back('"');
  }
  void ascii(const char* bytes, size_t n) override { text(bytes, n); }
  void numeric(const char* bytes, size_t n) override { text(bytes, n); }
  void number(const char* literal, size_t n) override {
    separate();
    out_.bytes().append(literal, n);
  }
  void boolean(bool value) override {
    separate();
    out_.bytes().append(value ? "true" : "false");
  }
  void endRecord() override {
    // A line with nothing on it would read back as no field at all.
    if (out_.bytes().size() == recordStart_) out_.bytes().append("\"\"");
    out_.bytes().append("\r\n");
    out_.maybeFlush();
  }

 private:
  static bool needsQuotes(const char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (bytes[i] == ',' || bytes[i] == '"' || bytes[i] == '\r' || bytes[i] == '\n') return true;
    return false;
  }
  void separate() {
    if (!first_) out_.bytes().push_back(',');
    first_ = false;
  }

  OutputBuffer& out_;
  const TextDecoder& decoder_;
  bool first_ = true;
  size_t recordStart_ = 0;
};

class JsonWriter : public RecordWriter {
 public:
  JsonWriter(OutputBuffer& out, const TextDecoder& decoder) : out_(out), decoder_(decoder) {}

  // Keys are written once, already quoted and followed by the colon.
  void begin(const std::vector<std::string>& names) override {
    for (const std::string& name : names) {
      std::string key;
      appendString(key, name.data(), name.size());
      key.push_back(':');
      keys_.push_back(std::move(key));
    }
  }
  void beginRecord() override {
    field_ = 0;
    out_.bytes().push_back('{');
  }
  void null() override { key().append("null"); }
  void text(const char* bytes, size_t n) override { appendString(key(), bytes, n); }
  void ascii(const char* bytes, size_t n) override { appendString(key(), bytes, n); }
  void numeric(const char* bytes, size_t n) override {
    std::string& s = key();
    if (!appendJsonNumber(s, bytes, n)) s.append("null");
  }
  void number(const char* literal, size_t n) override { key().append(literal, n); }
  void boolean(bool value) override { key().append(value ? "true" : "false"); }
  void endRecord() override {
    out_.bytes().append("}\n");
    out_.maybeFlush();
  }

 private:
  std::string& key() {
    std::string& s = out_.bytes();
    if (field_ > 0) s.push_back(',');
    if (field_ < keys_.size()) s.append(keys_[field_]);
    ++field_;
    return s;
  }
  void appendString(std::string& s, const char* bytes, size_t n) const {
    static const char kHex[] = "0123456789abcdef";
    s.push_back('"');
    for (size_t i = 0; i < n; ++i) {
      const size_t run = plainRun(bytes + i, n - i, '"', '\\');
      s.append(bytes + i, run);
      i += run;
      if (i == n) break;
      const auto b = static_cast<uint8_t>(bytes[i]);
      if (b >= 0x80) {
        s.append(decoder_.utf8(b), decoder_.length(b));
      } else if (b == '"' || b == '\\') {
        s.push_back('\\');
        s.push_back(static_cast<char>(b));
      } else if (b < 0x20) {
        const char* shortForm = b == '\n' ? "\\n" : b == '\r' ? "\\r" : b == '\t' ? "\\t" : nullptr;
        if (shortForm != nullptr) {
          s.append(shortForm);
        } else {
          s.append("\\u00");
          s.push_back(kHex[b >> 4]);
          s.push_back(kHex[b & 15]);
        }
      } else {
        s.push_back(static_cast<char>(b));
      }
    }
    s.push_back('"');
  }

  OutputBuffer& out_;
  const TextDecoder& decoder_;
  std::vector<std::string> keys_;
  size_t field_ = 0;
};

}  // namespace

std::unique_ptr<RecordWriter> makeRecordWriter(OutputFormat format, OutputBuffer& out,
                                               const TextDecoder& decoder) {
  if (format == OutputFormat::kCsv) return std::make_unique<CsvWriter>(out, decoder);
  return std::make_unique<JsonWriter>(out, decoder);
}

}  // namespace dbftool
