// A second Access/Jet backend, over mdbtools' libmdb (Linux only). The
// migration reads Access files with its own reader (old_db_jet.cpp); the
// tests read the same files through this one too and compare every value.
// Like the first, it never writes and keeps the schema fix-ups in memory.
//
// libmdb binds every value as text; numbers, dates and NULLs are taken from
// the raw row instead (its integers are little-endian and signed, its dates
// OLE doubles), so nothing depends on libmdb's number and date formatting.
#include <glib.h>
#include <mdbtools.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "migrate/old_db_exception.h"
#include "migrate/old_db_overlay.h"

namespace {

using MdbPtr = std::shared_ptr<MdbHandle>;

// Large enough for any Access text and for memos of 256 KB. libmdb writes
// at most its bind size into each buffer, so the size is only ever raised.
constexpr size_t kBindSize = 256 * 1024;

uint64_t littleEndian(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | p[k];
  return v;
}

double doubleAt(const unsigned char* p) {
  uint64_t bits = littleEndian(p, 8);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

float floatAt(const unsigned char* p) {
  uint32_t bits = static_cast<uint32_t>(littleEndian(p, 4));
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Bytes a fixed column occupies in the row, 0 for the kinds read as text.
int rawSizeOf(int type) {
  switch (type) {
    case MDB_BYTE:
      return 1;
    case MDB_INT:
      return 2;
    case MDB_LONGINT:
      return 4;
    case MDB_FLOAT:
      return 4;
    case MDB_MONEY:
      return 8;
    case MDB_DOUBLE:
      return 8;
    case MDB_DATETIME:
      return 8;
    default:
      return 0;
  }
}

// Kinds whose value is taken from libmdb's text rendering.
bool readsBoundText(int type) {
  return type == MDB_TEXT || type == MDB_MEMO || type == MDB_REPID || type == MDB_NUMERIC;
}

class LibmdbCursor : public OldDbCursor {
 public:
  LibmdbCursor(MdbPtr mdb, MdbTableDef* table) : mdb_(std::move(mdb)), table_(table) {
    if (mdb_->bind_size < kBindSize) mdb_set_bind_size(mdb_.get(), kBindSize);
    size_t n = table_->num_cols;
    buffers_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      MdbColumn* col = static_cast<MdbColumn*>(g_ptr_array_index(table_->columns, i));
      if (readsBoundText(col->col_type)) buffers_[i].assign(mdb_->bind_size + 1, '\0');
    }
    lengths_.assign(n, 0);
    fields_.resize(n > MDB_MAX_COLS ? n : MDB_MAX_COLS);
    // Only the columns read as text are bound: libmdb would otherwise
    // render every number as text, and warn about kinds it cannot render.
    for (size_t i = 0; i < n; ++i) {
      MdbColumn* col = static_cast<MdbColumn*>(g_ptr_array_index(table_->columns, i));
      if (readsBoundText(col->col_type))
        mdb_bind_column(table_, static_cast<int>(i + 1), buffers_[i].data(), &lengths_[i]);
    }
    mdb_rewind_table(table_);
    try {
      fetch();
    } catch (...) {
      mdb_free_tabledef(table_);  // the destructor will not run
      throw;
    }
  }
  ~LibmdbCursor() override { mdb_free_tabledef(table_); }

  int fieldCount() const override { return static_cast<int>(table_->num_cols); }
  bool atEnd() const override { return atEnd_; }
  void next() override { fetch(); }

  void read(int index, VARIANT* value) override {
    size_t i = static_cast<size_t>(index);
    MdbColumn* col = static_cast<MdbColumn*>(g_ptr_array_index(table_->columns, i));
    const MdbField& field = fields_[i];
    if (col->col_type == MDB_BOOL)
      return variantSetBool(value, !field.is_null);  // the null bit is the value
    if (field.is_null) return variantSetNull(value);
    int size = rawSizeOf(col->col_type);
    if (size > 0) return readRaw(col, field, size, value);
    if (!readsBoundText(col->col_type)) {
      VariantClear(value);  // binary and OLE objects: no value here
      return;
    }
    std::string text(buffers_[i].data(), std::strlen(buffers_[i].data()));
    if (col->col_type == MDB_NUMERIC) {
      char* end = nullptr;
      double d = std::strtod(text.c_str(), &end);
      if (end && end != text.c_str() && *end == '\0') return variantSetR8(value, d);
    }
    variantSetText(value, utf8ToWindows1252(text));
  }

 private:
  void fetch() {
    if (atEnd_) return;
    if (!mdb_fetch_row(table_)) {
      atEnd_ = true;
      return;
    }
    // mdb_fetch_row leaves the row's page in pg_buf and the position
    // one past it; crack it again to see the raw values and null bits.
    int start = 0;
    size_t size = 0;
    if (table_->cur_row == 0 ||
        mdb_find_row(mdb_.get(), static_cast<int>(table_->cur_row - 1), &start, &size) != 0)
      corrupt();
    if (start < 0 || static_cast<size_t>(start) + size > static_cast<size_t>(mdb_->fmt->pg_size))
      corrupt();
    for (MdbField& f : fields_) f = MdbField{};
    int cracked = mdb_crack_row(table_, start, size, fields_.data());
    if (cracked < static_cast<int>(table_->num_cols)) corrupt();
    rowStart_ = start;
    rowEnd_ = start + static_cast<int>(size);
  }

  void readRaw(MdbColumn* col, const MdbField& field, int size, VARIANT* value) {
    if (field.siz < size || field.start < rowStart_ || field.start + size > rowEnd_) corrupt();
    const unsigned char* p = mdb_->pg_buf + field.start;
    switch (col->col_type) {
      case MDB_BYTE:
        return variantSetI2(value, p[0]);
      case MDB_INT:
        return variantSetI2(value, static_cast<int16_t>(littleEndian(p, 2)));
      case MDB_LONGINT:
        return variantSetI4(value, static_cast<int32_t>(littleEndian(p, 4)));
      case MDB_FLOAT:
        return variantSetR8(value, floatAt(p));
      case MDB_DOUBLE:
        return variantSetR8(value, doubleAt(p));
      case MDB_MONEY:
        return variantSetCy(value, static_cast<int64_t>(littleEndian(p, 8)));
      case MDB_DATETIME:
        return variantSetDate(value, doubleAt(p));
    }
  }

  [[noreturn]] void corrupt() {
    throwDaoException(kDaoEngineError, std::string("Damaged row in table '") + table_->name + "'.");
  }

  MdbPtr mdb_;
  MdbTableDef* table_;
  std::vector<std::vector<char>> buffers_;
  std::vector<int> lengths_;
  std::vector<MdbField> fields_;
  int rowStart_ = 0;
  int rowEnd_ = 0;
  bool atEnd_ = false;
};

class LibmdbBackend : public ReadOnlyBackend {
 public:
  explicit LibmdbBackend(MdbPtr mdb) : mdb_(std::move(mdb)) {}

 protected:
  std::vector<std::string> columnsOf(const std::string& table, std::string* stored) override {
    MdbTableDef* def = readTable(table);
    *stored = def->name;
    std::vector<std::string> names;
    for (unsigned i = 0; i < def->num_cols; ++i)
      names.push_back(static_cast<MdbColumn*>(g_ptr_array_index(def->columns, i))->name);
    mdb_free_tabledef(def);
    return names;
  }

  std::unique_ptr<OldDbCursor> rowsOf(const std::string& stored) override {
    return std::make_unique<LibmdbCursor>(mdb_, readTable(stored));
  }

 private:
  // Reads the definition and columns of a user or system table, matching
  // its name without regard to case. The caller frees the result.
  MdbTableDef* readTable(const std::string& name) {
    GPtrArray* catalog = mdb_->catalog;
    for (guint i = 0; catalog && i < catalog->len; ++i) {
      MdbCatalogEntry* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(catalog, i));
      if (entry->object_type != MDB_TABLE || strcasecmp(entry->object_name, name.c_str()) != 0)
        continue;
      MdbTableDef* def = mdb_read_table(entry);
      if (!def || !mdb_read_columns(def)) {
        if (def) mdb_free_tabledef(def);
        throwDaoException(kDaoEngineError, "Cannot read the definition of table '" + name + "'.");
      }
      return def;
    }
    throwDaoException(kDaoItemNotFound, "Table '" + name + "' not found in this collection.");
  }

  MdbPtr mdb_;
};

}  // namespace

std::unique_ptr<OldDbBackend> openLibmdbBackend(const std::string& path) {
  MdbHandle* handle = mdb_open(path.c_str(), MDB_NOFLAGS);
  if (!handle) throwDaoException(kDaoCannotOpen, "Cannot open Access database '" + path + "'.");
  MdbPtr mdb(handle, mdb_close);
  if (!mdb_read_catalog(handle, MDB_ANY))
    throwDaoException(kDaoCannotOpen, "Cannot read the catalog of Access database '" + path + "'.");
  return std::make_unique<LibmdbBackend>(std::move(mdb));
}
