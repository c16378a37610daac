// Access/Jet backend of the old-database component, over our own reader of
// Jet 3 and Jet 4 files (jet_file.h). The file is never written; the schema
// fix-ups live in the read-only overlay.
#include <utility>

#include "migrate/jet_file.h"
#include "migrate/old_db_exception.h"
#include "migrate/old_db_overlay.h"

namespace {

class JetCursor : public OldDbCursor {
 public:
  JetCursor(JetDatabase* db, JetTableDef table) : rows_(db, std::move(table)) { fetch(); }
  int fieldCount() const override { return static_cast<int>(rows_.table().columns.size()); }
  bool atEnd() const override { return atEnd_; }
  void next() override { fetch(); }
  int64_t rowCount() const override { return rows_.table().rowCount; }

  void read(int index, VARIANT* value) override {
    const JetValue& v = values_[static_cast<size_t>(index)];
    switch (v.vt) {
      case VT_NULL:
        return variantSetNull(value);
      case VT_BOOL:
        return variantSetBool(value, v.integer != 0);
      case VT_I2:
        return variantSetI2(value, static_cast<int16_t>(v.integer));
      case VT_I4:
        return variantSetI4(value, static_cast<int32_t>(v.integer));
      case VT_CY:
        return variantSetCy(value, v.integer);
      case VT_R8:
        return variantSetR8(value, v.real);
      case VT_DATE:
        return variantSetDate(value, v.real);
      case VT_BSTR:
        return variantSetText(value, v.text);
      default:
        VariantClear(value);  // binary and OLE values: no value here
    }
  }

 private:
  void fetch() {
    if (!atEnd_) atEnd_ = !rows_.next(&values_);
  }

  JetDatabase::Rows rows_;
  std::vector<JetValue> values_;
  bool atEnd_ = false;
};

class JetBackend : public ReadOnlyBackend {
 public:
  explicit JetBackend(std::unique_ptr<JetDatabase> db) : db_(std::move(db)) {}

 protected:
  std::vector<std::string> columnsOf(const std::string& table, std::string* stored) override {
    JetTableDef def = db_->table(table);
    *stored = def.name;
    std::vector<std::string> names;
    for (const JetColumn& column : def.columns) names.push_back(column.name);
    return names;
  }

  std::unique_ptr<OldDbCursor> rowsOf(const std::string& stored) override {
    return std::make_unique<JetCursor>(db_.get(), db_->table(stored));
  }

 private:
  std::unique_ptr<JetDatabase> db_;
};

}  // namespace

std::unique_ptr<OldDbBackend> openJetBackend(const std::string& path) {
  return std::make_unique<JetBackend>(std::make_unique<JetDatabase>(jetFileSource(path)));
}
