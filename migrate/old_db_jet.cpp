// Access/Jet backend of the old-database component, over libmdb.
//
// Jet 3 and Jet 4 files are read, never written: libmdb cannot alter a Jet
// file reliably. The two schema fix-ups of the migration (add a Long column,
// set it to a constant in every row) are therefore kept in memory for the
// life of the open database: the added column appears last in the table's
// rows and field count, holding NULL until an update gives it its constant.
//
// libmdb binds every value as text; numbers, dates and NULLs are taken from
// the raw row instead (its integers are little-endian and signed, its dates
// OLE doubles), so nothing depends on libmdb's number and date formatting.
#include <glib.h>
#include <mdbtools.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "migrate/old_db_backend.h"
#include "migrate/old_db_exception.h"

namespace {

using MdbPtr = std::shared_ptr<MdbHandle>;

// Large enough for any Access text and for memos of 256 KB. libmdb writes
// at most its bind size into each buffer, so the size is only ever raised.
constexpr size_t kBindSize = 256 * 1024;

struct OverlayColumn {
  std::string table;  // as stored in the catalog
  std::string name;
  bool hasValue = false;
  int32_t value = 0;
};

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

class JetCursor : public OldDbCursor {
 public:
  JetCursor(MdbPtr mdb, MdbTableDef* table, std::vector<OverlayColumn> overlays)
      : mdb_(std::move(mdb)), table_(table), overlays_(std::move(overlays)) {
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
  ~JetCursor() override { mdb_free_tabledef(table_); }

  int fieldCount() const override { return static_cast<int>(table_->num_cols + overlays_.size()); }
  bool atEnd() const override { return atEnd_; }
  void next() override { fetch(); }

  void read(int index, VARIANT* value) override {
    size_t i = static_cast<size_t>(index);
    if (i >= table_->num_cols) {
      const OverlayColumn& added = overlays_[i - table_->num_cols];
      if (added.hasValue) return variantSetI4(value, added.value);
      return variantSetNull(value);
    }
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
  std::vector<OverlayColumn> overlays_;  // as they were when the query ran
  std::vector<std::vector<char>> buffers_;
  std::vector<int> lengths_;
  std::vector<MdbField> fields_;
  int rowStart_ = 0;
  int rowEnd_ = 0;
  bool atEnd_ = false;
};

class JetBackend : public OldDbBackend {
 public:
  explicit JetBackend(MdbPtr mdb) : mdb_(std::move(mdb)) {}

  int tableFieldCount(const std::string& table) override {
    MdbTableDef* def = readTable(table);
    int count = static_cast<int>(def->num_cols);
    std::string stored = def->name;
    mdb_free_tabledef(def);
    return count + static_cast<int>(overlaysOf(stored).size());
  }

  void addField(const std::string& table, const std::string& name, int daoType,
                long /*size*/) override {
    MdbTableDef* def = readTable(table);
    std::string stored = def->name;
    bool exists = false;
    for (unsigned i = 0; i < def->num_cols; ++i) {
      MdbColumn* col = static_cast<MdbColumn*>(g_ptr_array_index(def->columns, i));
      if (strcasecmp(col->name, name.c_str()) == 0) exists = true;
    }
    mdb_free_tabledef(def);
    for (const OverlayColumn& added : overlaysOf(stored))
      if (strcasecmp(added.name.c_str(), name.c_str()) == 0) exists = true;
    if (exists)
      throwDaoException(kDaoFieldExists,
                        "Field '" + name + "' already exists in table '" + stored + "'.");
    if (daoType != 4)
      throwDaoException(kDaoReadOnly, "Cannot add a field of type " + std::to_string(daoType) +
                                          " to an Access database, which is read only here.");
    overlays_.push_back(OverlayColumn{stored, name});
  }

  // Only a column added above can go again.
  void deleteField(const std::string& table, const std::string& name) override {
    MdbTableDef* def = readTable(table);
    std::string stored = def->name;
    mdb_free_tabledef(def);
    for (auto it = overlays_.begin(); it != overlays_.end(); ++it) {
      if (it->table == stored && strcasecmp(it->name.c_str(), name.c_str()) == 0) {
        overlays_.erase(it);
        return;
      }
    }
    throwDaoException(kDaoReadOnly, "Cannot delete field '" + name + "' of table '" + stored +
                                        "': the Access database is read only here.");
  }

  // Only "update TABLE set COLUMN = NUMBER" on a column added above can
  // run; the file itself is never written.
  void execute(const std::string& sql) override {
    static const std::regex kUpdate(
        R"(^\s*update\s+\[?(\w+)\]?\s+set\s+\[?(\w+)\]?\s*=\s*([-+]?\d{1,10})\s*;?\s*$)",
        std::regex::icase);
    std::smatch m;
    if (std::regex_match(sql, m, kUpdate)) {
      long long number = std::strtoll(m[3].str().c_str(), nullptr, 10);
      for (OverlayColumn& added : overlays_) {
        if (strcasecmp(added.table.c_str(), m[1].str().c_str()) == 0 &&
            strcasecmp(added.name.c_str(), m[2].str().c_str()) == 0 && number >= INT32_MIN &&
            number <= INT32_MAX) {
          added.hasValue = true;
          added.value = static_cast<int32_t>(number);
          return;
        }
      }
    }
    throwDaoException(kDaoReadOnly,
                      "Cannot update. Database or object is read-only. (in '" + sql + "')");
  }

  std::unique_ptr<OldDbCursor> query(const std::string& sql) override {
    std::string name = selectAllTableName(sql);
    if (name.empty())
      throwDaoException(
          kDaoSyntaxError,
          "Only 'select * from TABLE' can be run on an Access database (in '" + sql + "').");
    MdbTableDef* def = readTable(name);
    return std::make_unique<JetCursor>(mdb_, def, overlaysOf(def->name));
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

  std::vector<OverlayColumn> overlaysOf(const std::string& stored) const {
    std::vector<OverlayColumn> found;
    for (const OverlayColumn& added : overlays_)
      if (added.table == stored) found.push_back(added);
    return found;
  }

  MdbPtr mdb_;
  std::vector<OverlayColumn> overlays_;  // in the order they were added
};

}  // namespace

std::unique_ptr<OldDbBackend> openJetBackend(const std::string& path) {
  MdbHandle* handle = mdb_open(path.c_str(), MDB_NOFLAGS);
  if (!handle) throwDaoException(kDaoCannotOpen, "Cannot open Access database '" + path + "'.");
  MdbPtr mdb(handle, mdb_close);
  if (!mdb_read_catalog(handle, MDB_ANY))
    throwDaoException(kDaoCannotOpen, "Cannot read the catalog of Access database '" + path + "'.");
  return std::make_unique<JetBackend>(std::move(mdb));
}
