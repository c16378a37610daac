// The in-memory schema overlay shared by the read-only backends.
#include "migrate/old_db_overlay.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <regex>

#include "migrate/old_db_exception.h"

// A reader's rows with the added columns after the stored ones, each holding
// its constant (or NULL) as it was when the query ran.
class ReadOnlyBackend::Cursor : public OldDbCursor {
 public:
  Cursor(std::unique_ptr<OldDbCursor> rows, std::vector<AddedColumn> added)
      : rows_(std::move(rows)), stored_(rows_->fieldCount()), added_(std::move(added)) {}
  int fieldCount() const override { return stored_ + static_cast<int>(added_.size()); }
  bool atEnd() const override { return rows_->atEnd(); }
  void next() override { rows_->next(); }
  int64_t rowCount() const override { return rows_->rowCount(); }
  void read(int index, VARIANT* value) override {
    if (index < stored_) return rows_->read(index, value);
    const AddedColumn& column = added_[static_cast<size_t>(index - stored_)];
    if (column.hasValue) return variantSetI4(value, column.value);
    variantSetNull(value);  // like a new Jet column
  }

 private:
  std::unique_ptr<OldDbCursor> rows_;
  int stored_;
  std::vector<AddedColumn> added_;
};

int ReadOnlyBackend::tableFieldCount(const std::string& table) {
  std::string stored;
  size_t count = columnsOf(table, &stored).size();
  return static_cast<int>(count + addedTo(stored).size());
}

void ReadOnlyBackend::addField(const std::string& table, const std::string& name, int daoType,
                               long /*size*/) {
  std::string stored;
  bool exists = false;
  for (const std::string& column : columnsOf(table, &stored))
    exists |= strcasecmp(column.c_str(), name.c_str()) == 0;
  for (const AddedColumn& column : addedTo(stored))
    exists |= strcasecmp(column.name.c_str(), name.c_str()) == 0;
  if (exists)
    throwDaoException(kDaoFieldExists,
                      "Field '" + name + "' already exists in table '" + stored + "'.");
  if (daoType != 4)
    throwDaoException(kDaoReadOnly, "Cannot add a field of type " + std::to_string(daoType) +
                                        " to an Access database, which is read only here.");
  added_.push_back(AddedColumn{stored, name});
}

void ReadOnlyBackend::deleteField(const std::string& table, const std::string& name) {
  std::string stored;
  columnsOf(table, &stored);
  for (auto it = added_.begin(); it != added_.end(); ++it) {
    if (it->table == stored && strcasecmp(it->name.c_str(), name.c_str()) == 0) {
      added_.erase(it);
      return;
    }
  }
  throwDaoException(kDaoReadOnly, "Cannot delete field '" + name + "' of table '" + stored +
                                      "': the Access database is read only here.");
}

void ReadOnlyBackend::execute(const std::string& sql) {
  static const std::regex kUpdate(
      R"(^\s*update\s+\[?(\w+)\]?\s+set\s+\[?(\w+)\]?\s*=\s*([-+]?\d{1,10})\s*;?\s*$)",
      std::regex::icase);
  std::smatch m;
  if (std::regex_match(sql, m, kUpdate)) {
    long long number = std::strtoll(m[3].str().c_str(), nullptr, 10);
    for (AddedColumn& column : added_) {
      if (strcasecmp(column.table.c_str(), m[1].str().c_str()) == 0 &&
          strcasecmp(column.name.c_str(), m[2].str().c_str()) == 0 && number >= INT32_MIN &&
          number <= INT32_MAX) {
        column.hasValue = true;
        column.value = static_cast<int32_t>(number);
        return;
      }
    }
  }
  throwDaoException(kDaoReadOnly,
                    "Cannot update. Database or object is read-only. (in '" + sql + "')");
}

std::unique_ptr<OldDbCursor> ReadOnlyBackend::query(const std::string& sql) {
  std::string name = selectAllTableName(sql);
  if (name.empty())
    throwDaoException(
        kDaoSyntaxError,
        "Only 'select * from TABLE' can be run on an Access database (in '" + sql + "').");
  std::string stored;
  columnsOf(name, &stored);
  return std::make_unique<Cursor>(rowsOf(stored), addedTo(stored));
}

std::vector<ReadOnlyBackend::AddedColumn> ReadOnlyBackend::addedTo(
    const std::string& stored) const {
  std::vector<AddedColumn> found;
  for (const AddedColumn& column : added_)
    if (column.table == stored) found.push_back(column);
  return found;
}
