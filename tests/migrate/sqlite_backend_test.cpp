// The SQLite backend: declared types to VARIANT types, opening, the schema
// operations of the fix-ups, and statements that fail part-way.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "migrate/old_database.h"
#include "migrate/old_db_backend.h"
#include "tests/migrate/test_support.h"

namespace {

// Opens path and returns the CDaoException's code and message, or 0 and ""
// when the open succeeds (the database is then closed again).
std::pair<int, std::string> openFailure(const std::string& path) {
  CDaoDatabase db;
  try {
    db.Open(path.c_str());
  } catch (CDaoException* e) {
    std::pair<int, std::string> result{e->errorCode(), e->message()};
    e->Delete();
    return result;
  }
  db.Close();
  return {0, ""};
}

// The code of the CDaoException that f throws (deleting it), or 0.
int daoErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (CDaoException* e) {
    int code = e->errorCode();
    e->Delete();
    return code;
  }
  return 0;
}

class SqliteBackend : public testing::Test {
 protected:
  void open(const std::string& sql) {
    sqliteExec(path(), sql);
    db.Open(path().c_str());
  }
  std::string path() const { return dir.file("SMTP.MDB"); }
  ScratchDir dir;
  CDaoDatabase db;
};

TEST_F(SqliteBackend, DeclaredTypeGivesTheVariantType) {
  open(
      "CREATE TABLE T (s SMALLINT, i2 INT2, sh SHORT, l LONG, i INTEGER, c COUNTER,"
      " d DATETIME, t TEXT(64), vc VARCHAR(10), lt LONGTEXT, m MEMO, y YESNO, b BIT,"
      " r REAL, f FLOAT, db DOUBLE, cy CURRENCY, mo MONEY, x);"
      "INSERT INTO T VALUES (-5, 7, -32768, -2147483648, 2147483647, 12,"
      " '1998-06-16 13:13:36', 'Text', 'v', 'long text', 'memo', 1, 0,"
      " 1.5, 2.5, -0.25, 12.34, -0.0001, 'free');");
  std::vector<std::string> expected = {"2:-5",
                                       "2:7",
                                       "2:-32768",
                                       "3:-2147483648",
                                       "3:2147483647",
                                       "3:12",
                                       "7:1998-06-16 13:13:36",
                                       "8:Text",
                                       "8:v",
                                       "8:long text",
                                       "8:memo",
                                       "11:-1",
                                       "11:0",
                                       "5:1.5",
                                       "5:2.5",
                                       "5:-0.25",
                                       "6:123400",
                                       "6:-1",
                                       "8:free"};
  EXPECT_EQ(readAll(db, "select * from T")[0], expected);
}

TEST_F(SqliteBackend, NullIsTypeOneWhateverTheColumn) {
  open(
      "CREATE TABLE T (s SMALLINT, l LONG, d DATETIME, t TEXT, y YESNO, r REAL);"
      "INSERT INTO T VALUES (NULL, NULL, NULL, NULL, NULL, NULL);");
  EXPECT_EQ(readAll(db, "select * from T")[0], std::vector<std::string>(6, "1:"));
}

TEST_F(SqliteBackend, ValuesTheDeclaredTypeCannotHoldKeepTheirValue) {
  open(
      "CREATE TABLE T (s SMALLINT, l LONG, l2 LONG, l3 LONG, d DATETIME, d2 DATETIME,"
      " d3 DATETIME, d4 DATETIME, y YESNO, t TEXT);"
      "INSERT INTO T VALUES (40000, 4294967295, 1e12, 'n/a', 35962.55111111111,"
      " '06/16/98 13:13:36', 'yesterday', '1998-02-30 00:00:00', 'true', 12);");
  std::vector<std::string> expected = {"3:40000",  // too wide for 16 bits: handed over as a Long
                                       "3:-1",     // an unsigned 32-bit id: the same 32-bit word
                                       "5:1000000000000",  // wider than 32 bits: a double, not cut
                                       "8:n/a",            // text stays text
                                       "7:1998-06-16 13:13:36",  // an OLE date number
                                       "7:1998-06-16 13:13:36",  // mdb-export's default date text
                                       "8:yesterday",
                                       "8:1998-02-30 00:00:00",
                                       "11:-1",
                                       "8:12"};
  EXPECT_EQ(readAll(db, "select * from T")[0], expected);
}

TEST_F(SqliteBackend, DateTextForms) {
  open(
      "CREATE TABLE T (d DATETIME);"
      "INSERT INTO T VALUES ('1998-06-16'), ('1998-06-16T13:13'), ('1998-06-16 13:13:36.6'),"
      " ('01/02/29 00:00:00'), ('01/02/30 00:00:00');");
  auto rows = readAll(db, "select * from T");
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0][0], "7:1998-06-16 00:00:00");
  EXPECT_EQ(rows[1][0], "7:1998-06-16 13:13:00");
  EXPECT_EQ(rows[2][0], "7:1998-06-16 13:13:37");
  EXPECT_EQ(rows[3][0], "7:2029-01-02 00:00:00");
  EXPECT_EQ(rows[4][0], "7:1930-01-02 00:00:00");
}

TEST_F(SqliteBackend, TextArrivesInWindows1252) {
  open("CREATE TABLE T (t TEXT); INSERT INTO T VALUES ('M\xC3\xBCller \xE2\x82\xAC');");
  EXPECT_EQ(readAll(db, "select * from T")[0][0], "8:M\xFCller \x80");
}

TEST_F(SqliteBackend, RecordCountOfAWholeTableOnly) {
  open("CREATE TABLE T (a LONG); INSERT INTO T VALUES (1); INSERT INTO T VALUES (2);");
  CDaoRecordset all(&db), some(&db);
  all.Open(AFX_DAO_USE_DEFAULT_TYPE, "select * from T", 0);
  some.Open(AFX_DAO_USE_DEFAULT_TYPE, "select a from T where a > 1", 0);
  EXPECT_EQ(all.GetRecordCount(), 2);
  EXPECT_EQ(some.GetRecordCount(), -1);  // it would have to be run to tell
  all.Close();
  some.Close();
}

TEST_F(SqliteBackend, RecordsetBoundsAreChecked) {
  open("CREATE TABLE T (a LONG); INSERT INTO T VALUES (1);");
  CDaoRecordset rs(&db);
  rs.Open(AFX_DAO_USE_DEFAULT_TYPE, "select * from T", 0);
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(daoErrorOf([&] { rs.GetFieldValue(1, v); }), kDaoItemNotFound);
  EXPECT_EQ(daoErrorOf([&] { rs.GetFieldValue(-1, v); }), kDaoItemNotFound);
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_EQ(daoErrorOf([&] { rs.GetFieldValue(0, v); }), kDaoNoCurrentRecord);
  EXPECT_EQ(daoErrorOf([&] { rs.MoveNext(); }), kDaoNoCurrentRecord);
  rs.Close();
}

TEST_F(SqliteBackend, QueryFailingOnItsFirstRowThrows) {
  open("CREATE TABLE T (a LONG);");
  EXPECT_EQ(daoErrorOf([&] { readAll(db, "select abs(-9223372036854775807 - 1)"); }),
            kDaoEngineError);
  EXPECT_EQ(daoErrorOf([&] { readAll(db, "select nonsense from"); }), kDaoSyntaxError);
  EXPECT_EQ(daoErrorOf([&] { readAll(db, ""); }), kDaoSyntaxError);
}

TEST(SqliteOpen, MissingFileFailsAndCreatesNothing) {
  ScratchDir dir;
  auto [code, message] = openFailure(dir.file("SMTP.MDB"));
  EXPECT_EQ(code, kDaoCannotOpen);
  EXPECT_NE(message.find("SMTP.MDB"), std::string::npos);
  EXPECT_TRUE(dir.list().empty());
}

TEST(SqliteOpen, FileOfNoKnownFormatFails) {
  ScratchDir dir;
  sqliteExec(dir.file("real.db"), "CREATE TABLE T (a);");
  std::string sqlite = readFile(dir.file("real.db"));
  struct Case {
    const char* name;
    std::string content;
    int code;
  };
  for (const Case& c :
       {Case{"empty", "", kDaoUnrecognizedFile},
        Case{"text", "Standard Jet DB but not at offset 4", kDaoUnrecognizedFile},
        Case{"dbf", std::string("\x30\x62\x0c\x10", 4) + std::string(60, '\0'),
             kDaoUnrecognizedFile},
        Case{"sqlite-cut", sqlite.substr(0, 16) + std::string(84, 'x'), kDaoCannotOpen}}) {
    std::string path = dir.file(c.name);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(c.content.data(), 1, c.content.size(), f);
    std::fclose(f);
    EXPECT_EQ(openFailure(path).first, c.code) << c.name;
    EXPECT_EQ(readFile(path), c.content) << c.name << " must stay as it was";
  }
}

TEST(SqliteOpen, UnreadableFileFails) {
  ScratchDir dir;
  ASSERT_EQ(mkdir(dir.file("SMTP.MDB").c_str(), 0777), 0);  // a directory cannot be read as a file
  EXPECT_EQ(openFailure(dir.file("SMTP.MDB")).first, kDaoCannotOpen);
}

TEST_F(SqliteBackend, AddFieldAppendsALongColumnAndUpdateFillsIt) {
  open("CREATE TABLE MessageBag (a LONG, b TEXT); INSERT INTO MessageBag VALUES (1,'x'),(2,NULL);");
  CDaoTableDef def(&db);
  def.Open("messagebag");  // names are found without regard to case
  EXPECT_EQ(def.GetFieldCount(), 2);
  def.CreateField("HdrField", dbLong, 0, 0);
  EXPECT_EQ(def.GetFieldCount(), 3);
  db.Execute("update MessageBag set HdrField = 63", dbFailOnError);
  auto rows = readAll(db, "select * from MessageBag");
  EXPECT_EQ(rows[0], (std::vector<std::string>{"3:1", "8:x", "3:63"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"3:2", "1:", "3:63"}));
  EXPECT_EQ(daoErrorOf([&] { def.CreateField("hdrfield", dbLong, 0, 0); }), kDaoFieldExists);
  EXPECT_EQ(def.GetFieldCount(), 3);
  def.Close();
}

TEST_F(SqliteBackend, MissingTableDefinitionThrows) {
  open("CREATE TABLE UserBase (a);");
  CDaoTableDef def(&db);
  try {
    def.Open("MessageBag");
    FAIL() << "opened a table that does not exist";
  } catch (CDaoException* e) {
    EXPECT_EQ(e->errorCode(), kDaoItemNotFound);
    EXPECT_NE(e->message().find("MessageBag"), std::string::npos);
    e->Delete();
  }
}

TEST_F(SqliteBackend, FailedStatementChangesNoRow) {
  open("CREATE TABLE T (k LONG, v LONG NOT NULL); INSERT INTO T VALUES (1, 1), (2, 2), (3, 3);");
  try {
    db.Execute("update T set v = case when k = 2 then NULL else 99 end", dbFailOnError);
    FAIL() << "the update should have failed on the second row";
  } catch (CDaoException* e) {
    EXPECT_NE(e->message().find("NOT NULL"), std::string::npos) << e->message();
    e->Delete();
  }
  auto rows = readAll(db, "select v from T");
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"3:1"}, {"3:2"}, {"3:3"}}));
  db.Execute("update T set v = 7", dbFailOnError);  // and the database is usable afterwards
  EXPECT_EQ(readAll(db, "select v from T")[2][0], "3:7");
}

TEST(SelectAllTableName, RecognisesTheConvertersQueries) {
  EXPECT_EQ(selectAllTableName("select * from UserBase"), "UserBase");
  EXPECT_EQ(selectAllTableName("SELECT *\nFROM [SPAMSystem];"), "SPAMSystem");
  EXPECT_EQ(selectAllTableName("select * from \"My Table\""), "My Table");
  EXPECT_EQ(selectAllTableName("select a from T"), "");
  EXPECT_EQ(selectAllTableName("select * from T where 1"), "");
  EXPECT_EQ(selectAllTableName("select * from"), "");
  EXPECT_EQ(selectAllTableName("select * from []"), "");
}

}  // namespace
