// A Table built in memory for expression tests: columns, one record buffer and
// an initialised context, with no file behind it.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/expr/expression.h"

struct ColumnShape {
  const char* name;
  char type;
  int length;
  int decimals;
};

class MemoryTable {
 public:
  MemoryTable(std::initializer_list<ColumnShape> shapes, const char* alias = "TEST") {
    engine4init(&ctx_, nullptr, kEngineVersion);
    int offset = 1;
    for (const ColumnShape& shape : shapes) {
      Column c{};
      std::strncpy(c.name, shape.name, 10);
      c.type = shape.type;
      c.length = static_cast<int16_t>(shape.length);
      c.decimals = static_cast<int16_t>(shape.decimals);
      c.offset = static_cast<int16_t>(offset);
      c.kind = shape.type == 'M' ? kColumnKindMemo : kColumnKindOther;
      offset += shape.length;
      columns_.push_back(c);
    }
    record_.assign(static_cast<size_t>(offset) + 1, ' ');
    record_.back() = '\0';
    table_.ctx = &ctx_;
    std::strncpy(table_.alias, alias, 32);
    table_.record = record_.data();
    table_.columns = columns_.data();
    table_.columnCount = static_cast<int32_t>(columns_.size());
    table_.recordNumber = 1;
    for (Column& c : columns_) c.table = &table_;
  }
  ~MemoryTable() { engine4free(&ctx_); }
  MemoryTable(const MemoryTable&) = delete;
  MemoryTable& operator=(const MemoryTable&) = delete;

  Table* table() { return &table_; }
  EngineContext* ctx() { return &ctx_; }
  char* record() { return record_.data(); }

  Column* column(const char* name) {
    for (Column& c : columns_)
      if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
  }
  // Stores raw bytes at the start of a column (the rest keeps its bytes).
  void setBytes(const char* name, const void* bytes, size_t n) {
    std::memcpy(record_.data() + column(name)->offset, bytes, n);
  }
  // Text columns left-aligned, N right-aligned, both blank-padded.
  void set(const char* name, const std::string& text) {
    Column* c = column(name);
    std::string v(static_cast<size_t>(c->length), ' ');
    const size_t n = std::min(text.size(), v.size());
    if (c->type == 'N' || c->type == 'F')
      v.replace(v.size() - n, n, text.substr(0, n));
    else
      v.replace(0, n, text.substr(0, n));
    setBytes(name, v.data(), v.size());
  }

  // Compiles |text|; the status goes to |status| when given.
  Expression* parse(const char* text, int* status = nullptr, Tag* tag = nullptr) {
    return expression4parse(&table_, text, tag, status);
  }
  int compileStatus(const char* text) {
    int status = 1;
    Expression* e = parse(text, &status);
    expression4free(e);
    engine4errorSet(&ctx_, 0);
    return status;
  }
  std::string text(const char* expression) {
    Expression* e = parse(expression);
    if (e == nullptr) return "<compile error>";
    const char* value = nullptr;
    const int width = expression4evaluate(e, &value);
    std::string out = width < 0 ? "<error>" : std::string(value, static_cast<size_t>(width));
    expression4free(e);
    return out;
  }
  double number(const char* expression) {
    Expression* e = parse(expression);
    if (e == nullptr) return -999999.0;
    const double v = expression4double(e);
    expression4free(e);
    return v;
  }
  int logical(const char* expression) {
    Expression* e = parse(expression);
    if (e == nullptr) return -1;
    const int v = expression4true(e);
    expression4free(e);
    return v;
  }

 private:
  EngineContext ctx_{};
  Table table_{};
  std::vector<Column> columns_;
  std::vector<char> record_;
};
