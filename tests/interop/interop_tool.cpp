// Test helper for the interoperability tests: writes tables with our engine
// (both layouts, every column type, memos, deleted records, null flags) and
// dumps any table as JSON lines, so that independent DBF readers and writers
// can be checked against our bytes from Python.
//
//   interop_tool examples DIR   the header examples: EX30, EXNULL, EXOLD
//   interop_tool create DIR     FOXALL (FoxPro 3.0, every type), NULLS (null
//                               flags), OLDALL (older layout with memos),
//                               OLDPLAIN (older layout without memos)
//   interop_tool packed DIR     PACKED (FoxPro 3.0) and PACKOLD (older layout):
//                               records 1..40, every third deleted, every
//                               memo rewritten once, then packed and their
//                               memo files compressed
//   interop_tool dump FILE      one JSON object per record
//
// Exit status 0 on success; on failure the engine's code is printed.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/table.h"

namespace {

int fail(const char* what, EngineContext* ctx) {
  std::fprintf(stderr, "interop_tool: %s failed (code %d, location %d)\n", what,
               ctx != nullptr ? ctx->errorCode : 0, ctx != nullptr ? ctx->errorLocation : 0);
  return 1;
}

std::string path(const std::string& dir, const char* leaf) { return dir + "/" + leaf; }

// --- building records ---

class Builder {
 public:
  explicit Builder(Table* t) : t_(t) {}
  bool start() { return table4appendStart(t_, false) == 0 && table4blank(t_) == 0; }
  bool text(const char* column, const std::string& value) {
    Column* c = columnNamed(column);
    if (c == nullptr) return false;
    ColumnValue v(c);
    return column4assignN(&v, value.data(), static_cast<uint32_t>(value.size())) == 0;
  }
  // Raw little-endian bytes for the binary types (I, B, T, Y).
  bool bytes(const char* column, const void* data, size_t n) {
    Column* c = columnNamed(column);
    if (c == nullptr || n != c->length) return false;
    std::memcpy(t_->record + c->offset, data, n);
    t_->changed = true;
    return true;
  }
  bool null(const char* column) {
    Column* c = columnNamed(column);
    const Column* flags = &t_->columns[t_->columnCount - 1];
    if (c == nullptr || !c->nullable || flags->type != '0') return false;
    t_->record[flags->offset + c->nullBit / 8] |= static_cast<char>(1 << (c->nullBit % 8));
    t_->changed = true;
    return true;
  }
  bool append(bool deleted) {
    if (deleted && table4delete(t_) != 0) return false;
    return table4append(t_) == 0;
  }

 private:
  Column* columnNamed(const char* name) {
    const int n = table4columnByName(t_, name);
    if (n <= 0) return nullptr;
    return table4column(t_, n);
  }
  Table* t_;
};

bool create(EngineContext* ctx, const std::string& name, const ColumnDescription* columns,
            int16_t compatibility, Table** out) {
  ctx->compatibility = compatibility;
  ctx->refuseOverwrite = 0;
  *out = table4create(ctx, name.c_str(), columns, nullptr);
  return *out != nullptr;
}

int examples(EngineContext* ctx, const std::string& dir) {
  const ColumnDescription plain[] = {
      {"NAME", 'C', 10, 0, 0}, {"NUM", 'N', 5, 0, 0}, {nullptr, 0, 0, 0, 0}};
  const ColumnDescription nullable[] = {
      {"NAME", 'C', 10, 0, kNullable}, {"NUM", 'N', 5, 0, 0}, {nullptr, 0, 0, 0, 0}};
  Table* t = nullptr;
  if (!create(ctx, path(dir, "EX30"), plain, 30, &t) || table4close(t) != 0)
    return fail("EX30", ctx);
  if (!create(ctx, path(dir, "EXNULL"), nullable, 30, &t) || table4close(t) != 0) {
    return fail("EXNULL", ctx);
  }
  if (!create(ctx, path(dir, "EXOLD"), plain, 0, &t) || table4close(t) != 0)
    return fail("EXOLD", ctx);
  return 0;
}

void le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int createFoxAll(EngineContext* ctx, const std::string& dir) {
  const ColumnDescription columns[] = {
      {"NAME", 'C', 12, 0, 0}, {"COUNT", 'N', 7, 0, 0},   {"AMOUNT", 'N', 10, 2, 0},
      {"RATIO", 'F', 9, 3, 0}, {"BORN", 'D', 0, 0, 0},    {"ACTIVE", 'L', 0, 0, 0},
      {"NOTE", 'M', 0, 0, 0},  {"PICTURE", 'G', 0, 0, 0}, {"WEIGHT", 'B', 0, 2, 0},
      {"HITS", 'I', 0, 0, 0},  {"SEEN", 'T', 0, 0, 0},    {"PRICE", 'Y', 0, 0, 0},
      {"RAW", 'X', 0, 0, 0},   {"CODE", 'Z', 6, 0, 0},    {nullptr, 0, 0, 0, 0}};
  Table* t = nullptr;
  if (!create(ctx, path(dir, "FOXALL"), columns, 30, &t)) return fail("FOXALL create", ctx);
  Builder b(t);
  for (int i = 1; i <= 6; i++) {
    const double weight = 1.5 * i;
    const int32_t hits = -1000 * i;
    uint8_t seen[8];
    le32(seen, static_cast<uint32_t>(2451180 + i));      // 1999-01-01 + i days
    le32(seen + 4, static_cast<uint32_t>(3600000 * i));  // i o'clock
    const int64_t price = 123456 * i;                    // 12.3456 x i
    bool ok = b.start() && b.text("NAME", "name " + std::to_string(i)) &&
              b.text("COUNT", std::to_string(i * 100)) &&
              b.text("AMOUNT", std::to_string(i) + ".25") && b.text("RATIO", "0.125") &&
              b.text("BORN", "1998120" + std::to_string(i)) &&
              b.text("ACTIVE", i % 2 == 0 ? "T" : "F") && b.bytes("WEIGHT", &weight, 8) &&
              b.bytes("HITS", &hits, 4) && b.bytes("SEEN", seen, 8) &&
              b.bytes("PRICE", &price, 8) && b.text("CODE", "Z" + std::to_string(i));
    // Record 3 has no memos; the others a short and a long one.
    if (ok && i != 3) {
      ok = b.text("NOTE", "note of record " + std::to_string(i)) &&
           b.text("PICTURE", std::string(600 + i, static_cast<char>('a' + i))) &&
           b.text("RAW", "raw " + std::to_string(i));
    }
    if (!ok || !b.append(i == 2 || i == 5)) return fail("FOXALL append", ctx);
  }
  return table4close(t) == 0 ? 0 : fail("FOXALL close", ctx);
}

// NULLS starts with a column that may not be null; NULLSALL has only nullable
// columns (ID included).
int createNulls(EngineContext* ctx, const std::string& dir, const char* leaf, int16_t idNulls) {
  const ColumnDescription columns[] = {
      {"ID", 'N', 4, 0, idNulls},     {"NAME", 'C', 8, 0, kNullable},
      {"NOTE", 'M', 0, 0, kNullable}, {"BORN", 'D', 0, 0, kNullable},
      {"HITS", 'I', 0, 0, kNullable}, {"A", 'C', 1, 0, kNullable},
      {"B", 'C', 1, 0, kNullable},    {"C", 'C', 1, 0, kNullable},
      {"D", 'C', 1, 0, kNullable},    {"E", 'C', 1, 0, kNullable},
      {nullptr, 0, 0, 0, 0}};
  Table* t = nullptr;
  if (!create(ctx, path(dir, leaf), columns, 30, &t)) return fail("NULLS create", ctx);
  Builder b(t);
  static const char* const kNullable9[] = {"NAME", "NOTE", "BORN", "HITS", "A", "B", "C", "D", "E"};
  for (int i = 0; i < 10; i++) {
    const int32_t hits = i;
    bool ok = b.start() && b.text("ID", std::to_string(i)) &&
              b.text("NAME", "n" + std::to_string(i)) &&
              b.text("NOTE", "memo " + std::to_string(i)) && b.text("BORN", "20000229") &&
              b.bytes("HITS", &hits, 4) && b.text("A", "a") && b.text("B", "b") &&
              b.text("C", "c") && b.text("D", "d") && b.text("E", "e");
    // Record i has column i - 1 null (record 0 none): every bit of both bytes.
    if (ok && i > 0) ok = b.null(kNullable9[i - 1]);
    if (!ok || !b.append(false)) return fail("NULLS append", ctx);
  }
  return table4close(t) == 0 ? 0 : fail("NULLS close", ctx);
}

int createOld(EngineContext* ctx, const std::string& dir) {
  const ColumnDescription columns[] = {{"NAME", 'C', 12, 0, 0},  {"COUNT", 'N', 7, 0, 0},
                                       {"RATIO", 'F', 9, 3, 0},  {"BORN", 'D', 0, 0, 0},
                                       {"ACTIVE", 'L', 0, 0, 0}, {"NOTE", 'M', 0, 0, 0},
                                       {nullptr, 0, 0, 0, 0}};
  Table* t = nullptr;
  if (!create(ctx, path(dir, "OLDALL"), columns, 0, &t)) return fail("OLDALL create", ctx);
  Builder b(t);
  for (int i = 1; i <= 5; i++) {
    bool ok = b.start() && b.text("NAME", "old " + std::to_string(i)) &&
              b.text("COUNT", std::to_string(-i)) && b.text("RATIO", "2.500") &&
              b.text("BORN", "2000022" + std::to_string(i)) && b.text("ACTIVE", i % 2 ? "Y" : "N");
    if (ok && i != 4) ok = b.text("NOTE", std::string(700 * i, static_cast<char>('0' + i)));
    if (!ok || !b.append(i == 3)) return fail("OLDALL append", ctx);
  }
  if (table4close(t) != 0) return fail("OLDALL close", ctx);

  const ColumnDescription plain[] = {
      {"NAME", 'C', 5, 0, 0}, {"NUM", 'N', 3, 0, 0}, {nullptr, 0, 0, 0, 0}};
  if (!create(ctx, path(dir, "OLDPLAIN"), plain, 0, &t)) return fail("OLDPLAIN create", ctx);
  Builder p(t);
  for (int i = 1; i <= 3; i++) {
    if (!p.start() || !p.text("NAME", "p" + std::to_string(i)) ||
        !p.text("NUM", std::to_string(i)) || !p.append(i == 1)) {
      return fail("OLDPLAIN append", ctx);
    }
  }
  return table4close(t) == 0 ? 0 : fail("OLDPLAIN close", ctx);
}

int createPacked(EngineContext* ctx, const std::string& dir, const char* leaf,
                 int16_t compatibility) {
  const ColumnDescription columns[] = {
      {"ID", 'N', 5, 0, 0}, {"NOTE", 'M', 0, 0, 0}, {"NAME", 'C', 10, 0, 0}, {nullptr, 0, 0, 0, 0}};
  Table* t = nullptr;
  if (!create(ctx, path(dir, leaf), columns, compatibility, &t)) return fail("packed create", ctx);
  Builder b(t);
  for (int i = 1; i <= 40; i++) {
    if (!b.start() || !b.text("ID", std::to_string(i)) ||
        !b.text("NAME", "r" + std::to_string(i)) ||
        !b.text("NOTE",
                std::string(static_cast<size_t>(20 * i), static_cast<char>('a' + i % 26))) ||
        !b.append(i % 3 == 0)) {
      return fail("packed append", ctx);
    }
  }
  // Every memo rewritten longer: each moves to the end of the memo file.
  for (int rc = table4top(t); rc == 0; rc = table4skip(t, 1)) {
    const int32_t id = column4long(table4column(t, 1));
    if (!b.text("NOTE", "rewritten " + std::to_string(id) +
                            std::string(static_cast<size_t>(600 + id), '#')) ||
        table4flushRecord(t, false) != 0) {
      return fail("packed rewrite", ctx);
    }
  }
  if (table4pack(t) != 0) return fail("pack", ctx);
  if (table4memoCompress(t) != 0) return fail("memo compression", ctx);
  return table4close(t) == 0 ? 0 : fail("packed close", ctx);
}

// --- dumping ---

std::string jsonText(const char* p, size_t n) {
  std::string out = "\"";
  for (size_t i = 0; i < n; i++) {
    const unsigned char ch = static_cast<unsigned char>(p[i]);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20 || ch >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", ch);  // bytes as Latin-1 code points
      out += esc;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

bool isNull(Table* t, const Column* c) {
  if (!c->nullable) return false;
  const Column* flags = &t->columns[t->columnCount - 1];
  if (flags->type != '0') return false;
  return (static_cast<uint8_t>(t->record[flags->offset + c->nullBit / 8]) >> (c->nullBit % 8)) & 1;
}

std::string value(Table* t, Column* c) {
  if (isNull(t, c)) return "null";
  const char* p = t->record + c->offset;
  switch (c->type) {
    case 'M':
    case 'G':
    case 'B':
      if (c->memo != nullptr) {
        uint32_t len = 0;
        const char* text = column4memoText(c, &len);
        return jsonText(text != nullptr ? text : "", text != nullptr ? len : 0);
      }
      break;
    default:
      break;
  }
  char buf[64];
  switch (c->type) {
    case 'I': {
      int32_t v;
      std::memcpy(&v, p, 4);
      std::snprintf(buf, sizeof buf, "%" PRId32, v);
      return buf;
    }
    case 'B': {
      double v;
      std::memcpy(&v, p, 8);
      std::snprintf(buf, sizeof buf, "%.17g", v);
      return buf;
    }
    case 'Y': {
      int64_t v;
      std::memcpy(&v, p, 8);
      std::snprintf(buf, sizeof buf, "%" PRId64, v);
      return buf;
    }
    case 'T': {
      int32_t day, ms;
      std::memcpy(&day, p, 4);
      std::memcpy(&ms, p + 4, 4);
      std::snprintf(buf, sizeof buf, "[%" PRId32 ", %" PRId32 "]", day, ms);
      return buf;
    }
    default:
      return jsonText(p, c->length);
  }
}

int dump(EngineContext* ctx, const char* name) {
  Table* t = table4open(ctx, name);
  if (t == nullptr) return fail("open", ctx);
  const int columns = table4columnCount(t);
  std::printf("{\"count\": %d, \"columns\": [", table4recCount(t));
  for (int i = 1; i <= columns; i++) {
    Column* c = table4column(t, i);
    std::printf("%s[\"%s\", \"%c\", %d, %d]", i > 1 ? ", " : "", c->name,
                static_cast<char>(c->type), static_cast<int>(c->length),
                static_cast<int>(c->decimals));
  }
  std::printf("]}\n");
  for (int rc = table4top(t); rc == 0; rc = table4skip(t, 1)) {
    std::printf("{\"n\": %d, \"deleted\": %s", table4recNo(t), table4deleted(t) ? "true" : "false");
    for (int i = 1; i <= columns; i++) {
      Column* c = table4column(t, i);
      std::printf(", \"%s\": %s", c->name, value(t, c).c_str());
    }
    std::printf("}\n");
  }
  if (ctx->errorCode < 0) return fail("dump", ctx);
  return table4close(t) == 0 ? 0 : fail("close", ctx);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: interop_tool examples|create|packed DIR | dump FILE\n");
    return 2;
  }
  EngineContext ctx{};
  if (engine4init(&ctx, nullptr, kEngineVersion) != 0) return 1;
  const std::string command = argv[1];
  int rc = 2;
  if (command == "examples") {
    rc = examples(&ctx, argv[2]);
  } else if (command == "create") {
    rc = createFoxAll(&ctx, argv[2]);
    if (rc == 0) rc = createNulls(&ctx, argv[2], "NULLS", 0);
    if (rc == 0) rc = createNulls(&ctx, argv[2], "NULLSALL", kNullable);
    if (rc == 0) rc = createOld(&ctx, argv[2]);
  } else if (command == "packed") {
    rc = createPacked(&ctx, argv[2], "PACKED", 30);
    if (rc == 0) rc = createPacked(&ctx, argv[2], "PACKOLD", 0);
  } else if (command == "dump") {
    rc = dump(&ctx, argv[2]);
  }
  engine4free(&ctx);
  return rc;
}
