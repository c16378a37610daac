// The old-database component: DAO-style objects over the chosen backend.
#include "migrate/old_database.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "migrate/old_db_backend.h"

CDaoDatabase oldDatabase;

// Releases the engines' global resources; like DAO, they come back by
// themselves on the next open.
void AfxDaoTerm() { shutDownSqliteWhenIdle(); }

enum class FileKind { Sqlite, Jet, Unknown };

// Reads the first bytes of path and names its kind. Throws when the file
// cannot be opened or read.
static FileKind fileKindOf(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    int err = errno;
    if (err == ENOENT) throwDaoException(kDaoCannotOpen, "Could not find file '" + path + "'.");
    throwDaoException(kDaoCannotOpen,
                      "Cannot open file '" + path + "': " + std::strerror(err) + ".");
  }
  unsigned char head[32] = {};
  size_t got = std::fread(head, 1, sizeof head, file);
  int err = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (err != 0)
    throwDaoException(kDaoCannotOpen,
                      "Cannot read file '" + path + "': " + std::strerror(err) + ".");
  static const char kSqlite[16] = "SQLite format 3";  // with its NUL
  if (got >= 16 && std::memcmp(head, kSqlite, 16) == 0) return FileKind::Sqlite;
  // Jet 3 and 4 (and ACE) files start with a page whose type is 0 and the
  // format name at offset 4.
  if (got >= 20 && head[0] == 0 && head[1] == 1 && head[2] == 0 && head[3] == 0 &&
      (std::memcmp(head + 4, "Standard Jet DB", 16) == 0 ||
       std::memcmp(head + 4, "Standard ACE DB", 16) == 0))
    return FileKind::Jet;
  return FileKind::Unknown;
}

CDaoDatabase::CDaoDatabase() = default;
CDaoDatabase::~CDaoDatabase() = default;

void CDaoDatabase::Open(const char* path, bool /*exclusive*/, bool readOnly,
                        const char* /*connect*/) {
  if (backend_) throwDaoException(kDaoEngineError, "The database is already open.");
  std::string name = path ? path : "";
  switch (fileKindOf(name)) {
    case FileKind::Sqlite:
      backend_ = openSqliteBackend(name, readOnly);
      break;
    case FileKind::Jet:
      backend_ = openJetBackend(name);
      break;
    case FileKind::Unknown:
      throwDaoException(kDaoUnrecognizedFile, "Unrecognized database format '" + name + "'.");
  }
}

void CDaoDatabase::Execute(const char* sql, int /*options*/) { backend()->execute(sql ? sql : ""); }

void CDaoDatabase::Close() { backend_.reset(); }

OldDbBackend* CDaoDatabase::backend() const {
  if (!backend_) throwDaoException(kDaoNotOpen, "The database is not open.");
  return backend_.get();
}

CDaoTableDef::CDaoTableDef(CDaoDatabase* database) : database_(database) {}
CDaoTableDef::~CDaoTableDef() = default;

void CDaoTableDef::Open(const char* tableName) {
  std::string name = tableName ? tableName : "";
  database_->backend()->tableFieldCount(name);  // throws when there is no such table
  name_ = name;
  open_ = true;
}

short CDaoTableDef::GetFieldCount() {
  if (!open_) throwDaoException(kDaoNotOpen, "The table definition is not open.");
  return static_cast<short>(database_->backend()->tableFieldCount(name_));
}

void CDaoTableDef::CreateField(const char* name, short type, long size, long /*attributes*/) {
  if (!open_) throwDaoException(kDaoNotOpen, "The table definition is not open.");
  database_->backend()->addField(name_, name ? name : "", type, size);
}

void CDaoTableDef::CreateFilledField(const char* name, short type, long size,
                                     const char* fillStatement) {
  if (!open_) throwDaoException(kDaoNotOpen, "The table definition is not open.");
  database_->backend()->addFilledField(name_, name ? name : "", type, size,
                                       fillStatement ? fillStatement : "");
}

void CDaoTableDef::DeleteField(const char* name) {
  if (!open_) throwDaoException(kDaoNotOpen, "The table definition is not open.");
  database_->backend()->deleteField(name_, name ? name : "");
}

void CDaoTableDef::Close() { open_ = false; }

CDaoRecordset::CDaoRecordset(CDaoDatabase* database) : database_(database) {}
CDaoRecordset::~CDaoRecordset() = default;

void CDaoRecordset::Open(int /*openType*/, const char* sql, int /*options*/) {
  if (cursor_) throwDaoException(kDaoEngineError, "The recordset is already open.");
  cursor_ = database_->backend()->query(sql ? sql : "");
}

static OldDbCursor* openCursor(const std::unique_ptr<OldDbCursor>& cursor) {
  if (!cursor) throwDaoException(kDaoNotOpen, "The recordset is not open.");
  return cursor.get();
}

short CDaoRecordset::GetFieldCount() {
  return static_cast<short>(openCursor(cursor_)->fieldCount());
}

bool CDaoRecordset::IsEOF() { return openCursor(cursor_)->atEnd(); }

long CDaoRecordset::GetRecordCount() {
  const int64_t rows = openCursor(cursor_)->rowCount();
  return rows >= 0 && rows <= 0x7FFFFFFF ? static_cast<long>(rows) : -1;
}

void CDaoRecordset::GetFieldValue(int index, VARIANT& value) {
  OldDbCursor* cursor = openCursor(cursor_);
  if (cursor->atEnd()) throwDaoException(kDaoNoCurrentRecord, "No current record.");
  if (index < 0 || index >= cursor->fieldCount())
    throwDaoException(kDaoItemNotFound, "Item not found in this collection.");
  cursor->read(index, &value);
}

void CDaoRecordset::MoveNext() {
  OldDbCursor* cursor = openCursor(cursor_);
  if (cursor->atEnd()) throwDaoException(kDaoNoCurrentRecord, "No current record.");
  cursor->next();
}

void CDaoRecordset::Close() { cursor_.reset(); }

std::string selectAllTableName(const std::string& sql) {
  size_t i = 0;
  auto skipBlanks = [&] {
    while (i < sql.size() && std::strchr(" \t\r\n", sql[i]) && sql[i] != '\0') ++i;
  };
  auto keyword = [&](const char* word) {
    skipBlanks();
    size_t n = std::strlen(word);
    if (sql.size() - i < n || strncasecmp(sql.c_str() + i, word, n) != 0) return false;
    i += n;
    return true;
  };
  if (!keyword("select") || !keyword("*") || !keyword("from")) return "";
  skipBlanks();
  if (i >= sql.size()) return "";
  std::string name;
  char open = sql[i];
  char close = open == '[' ? ']' : (open == '"' || open == '`') ? open : '\0';
  if (close) {
    size_t end = sql.find(close, i + 1);
    if (end == std::string::npos || end == i + 1) return "";
    name = sql.substr(i + 1, end - i - 1);
    i = end + 1;
  } else {
    size_t start = i;
    while (i < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_'))
      ++i;
    name = sql.substr(start, i - start);
  }
  skipBlanks();
  if (i < sql.size() && sql[i] == ';') ++i;
  skipBlanks();
  return i == sql.size() ? name : "";
}
