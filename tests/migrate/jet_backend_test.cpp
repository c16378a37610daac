// The Access/Jet reader, on real Access files written by Access itself
// (fetched by fetch-jet-samples.sh; the tests skip when they are absent).
// Two oracles read every value of every table as well: mdbtools' mdb-export,
// and libmdb behind the same old-database interface (which must then give
// exactly the same typed values in the same row order).
#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <functional>

#include "migrate/driver.h"
#include "migrate/old_database.h"
#include "migrate/old_db_backend.h"
#include "tests/migrate/test_support.h"

namespace {

#define SKIP_WITHOUT_SAMPLE(path)                                                   \
  do {                                                                              \
    if (!fileExists(path))                                                          \
      GTEST_SKIP() << path << " is absent: run tests/migrate/fetch-jet-samples.sh " \
                   << jetSampleDir();                                               \
  } while (0)

std::string sample(const char* name) { return jetSampleDir() + "/" + name; }

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

// One CSV field of mdb-export's output; quoted tells text from NULL.
struct CsvField {
  std::string text;
  bool quoted;
};

std::vector<std::vector<CsvField>> parseCsv(const std::string& csv) {
  std::vector<std::vector<CsvField>> rows(1);
  CsvField field{"", false};
  bool inQuotes = false, fieldStarted = false;
  for (size_t i = 0; i < csv.size(); ++i) {
    char c = csv[i];
    if (inQuotes) {
      if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"')
        field.text += '"', ++i;
      else if (c == '"')
        inQuotes = false;
      else
        field.text += c;
    } else if (c == '"') {
      inQuotes = field.quoted = fieldStarted = true;
    } else if (c == ',') {
      rows.back().push_back(field);
      field = {"", false};
    } else if (c == '\n') {
      rows.back().push_back(field);
      field = {"", false};
      rows.emplace_back();
    } else {
      field.text += c;
      fieldStarted = true;
    }
  }
  if (!rows.back().empty() || !field.text.empty()) rows.back().push_back(field);
  if (rows.back().empty()) rows.pop_back();
  return rows;
}

bool haveMdbExport() { return std::system("mdb-export --version >/dev/null 2>&1") == 0; }

// The table through mdb-export, without its header line.
std::vector<std::vector<CsvField>> oracle(const std::string& file, const std::string& table) {
  CommandResult r = runProgram(
      "", {"/bin/sh", "-c", "mdb-export -H -0 NULL -T '%Y-%m-%d %H:%M:%S' -b hex \"$0\" \"$1\"",
           file, table});
  EXPECT_EQ(r.status, 0) << r.errors;
  return parseCsv(r.output);
}

std::vector<std::string> tablesOf(const std::string& file) {
  CommandResult r = runProgram("", {"/bin/sh", "-c", "mdb-tables -S -1 \"$0\"", file});
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t end; (end = r.output.find('\n', start)) != std::string::npos; start = end + 1)
    if (end > start) names.push_back(r.output.substr(start, end - start));
  return names;
}

// Compares one value read by us with mdb-export's rendering of it.
void expectSameValue(const std::string& ours, const CsvField& theirs, const std::string& where) {
  std::string type = ours.substr(0, ours.find(':')), value = ours.substr(ours.find(':') + 1);
  if (!theirs.quoted && theirs.text == "NULL") {
    // mdb-export writes NULL for empty values and kinds it cannot render
    // too: an empty text or a binary value may stand behind it.
    EXPECT_TRUE(ours == "1:" || ours == "8:" || ours == "0:") << where << ": " << ours;
  } else if (type == "2" || type == "3") {
    EXPECT_EQ(value, theirs.text) << where;
  } else if (type == "11") {
    EXPECT_EQ(value, theirs.text == "1" ? "-1" : "0") << where;
  } else if (type == "7" || type == "8") {
    EXPECT_EQ(value, type == "8" ? utf8ToWindows1252(theirs.text) : theirs.text) << where;
  } else if (type == "5") {
    EXPECT_DOUBLE_EQ(std::strtod(value.c_str(), nullptr), std::strtod(theirs.text.c_str(), nullptr))
        << where;
  } else {
    EXPECT_EQ(type, "0") << where << " (binary and OLE columns have no value here)";
  }
}

// Every row of a table through libmdb, described like readAll's values.
std::vector<std::vector<std::string>> readThroughLibmdb(const std::string& file,
                                                        const std::string& table) {
  std::vector<std::vector<std::string>> rows;
#if WH_HAVE_LIBMDB
  auto cursor = openLibmdbBackend(file)->query("select * from [" + table + "]");
  VARIANT v;
  VariantInit(&v);
  for (; !cursor->atEnd(); cursor->next()) {
    rows.emplace_back();
    for (int i = 0; i < cursor->fieldCount(); ++i) {
      cursor->read(i, &v);
      rows.back().push_back(describe(v));
    }
  }
  VariantClear(&v);
#else
  (void)file, (void)table;
#endif
  return rows;
}

class JetSamples : public testing::TestWithParam<const char*> {};

// The rows of a table through our reader, up to a row it finds damaged
// (whose message goes to *damage).
std::vector<std::vector<std::string>> readUntilDamaged(CDaoDatabase& db, const std::string& table,
                                                       std::string* damage) {
  std::vector<std::vector<std::string>> rows;
  CDaoRecordset rs(&db);
  VARIANT v;
  VariantInit(&v);
  try {
    rs.Open(AFX_DAO_USE_DEFAULT_TYPE, ("select * from [" + table + "]").c_str(), 0);
    for (; !rs.IsEOF(); rs.MoveNext()) {
      rows.emplace_back();
      for (int i = 0; i < rs.GetFieldCount(); ++i) {
        rs.GetFieldValue(i, v);
        rows.back().push_back(describe(v));
      }
    }
  } catch (CDaoException* e) {
    *damage = e->message();
    e->Delete();
  }
  VariantClear(&v);
  return rows;
}

// Tables whose rows do not hold together in the samples: the slots of one
// permissions page of testodbc.mdb overlap (libmdb reads junk there, such as
// a row with 9 columns in a table of 4). Our reader refuses such a row; the
// rows before it are compared.
bool knownDamaged(const std::string& file, const std::string& table) {
  return file.ends_with("testodbc.mdb") && table == "MSysACEs";
}

TEST_P(JetSamples, EveryValueOfEveryTableMatchesLibmdbAndMdbExport) {
  std::string file = sample(GetParam());
  SKIP_WITHOUT_SAMPLE(file);
  if (!haveMdbExport()) GTEST_SKIP() << "mdb-export (Debian package mdbtools) is not installed";
  std::string before = readFile(file);
  CDaoDatabase db;
  db.Open(file.c_str());
  int values = 0;
  for (const std::string& table : tablesOf(file)) {
    std::string damage;
    auto ours = readUntilDamaged(db, table, &damage);
    auto theirs = oracle(file, table);
    auto libmdb = readThroughLibmdb(file, table);
    if (!damage.empty()) {
      EXPECT_TRUE(knownDamaged(file, table)) << table << ": " << damage;
      EXPECT_LT(ours.size(), theirs.size()) << table;
      theirs.resize(std::min(theirs.size(), ours.size()));
      libmdb.resize(std::min(libmdb.size(), ours.size()));
    }
    if (WH_HAVE_LIBMDB) {
      EXPECT_EQ(ours, libmdb) << table;
    }
    ASSERT_EQ(ours.size(), theirs.size()) << table;
    for (size_t r = 0; r < ours.size(); ++r) {
      ASSERT_EQ(ours[r].size(), theirs[r].size()) << table << " row " << r;
      for (size_t c = 0; c < ours[r].size(); ++c, ++values)
        expectSameValue(ours[r][c], theirs[r][c],
                        table + " row " + std::to_string(r) + " column " + std::to_string(c));
    }
  }
  db.Close();
  EXPECT_GT(values, 100);
  EXPECT_EQ(readFile(file), before) << "the Access file must never be written";
}

INSTANTIATE_TEST_SUITE_P(RealAccessFiles, JetSamples,
                         testing::Values("Monitor.mdb", "testodbc.mdb", "node-adodb.mdb"),
                         [](const testing::TestParamInfo<const char*>& param) {
                           std::string name = param.param;
                           return name.substr(0, name.find('.')) == "node-adodb"
                                      ? std::string("NodeAdodb")
                                      : name.substr(0, name.find('.'));
                         });

TEST(JetValues, Jet4ColumnsOfMonitor) {
  std::string file = sample("Monitor.mdb");
  SKIP_WITHOUT_SAMPLE(file);
  CDaoDatabase db;
  db.Open(file.c_str());
  auto rows = readAll(db, "select * from Monitor_Authenticate");
  ASSERT_EQ(rows.size(), 1u);
  std::vector<std::string> expected = {
      "3:1",
      "5:1234567890",
      "8:12345678",
      "5:33600",
      "8:nobody@sunnyline.co.za",
      "11:-1",
      "11:-1",
      "11:-1",
      "11:-1",
      "11:0",
      "7:2000-06-17 20:36:24",
      "8:Example Circuit Added For Monitor Example To Potential New Clients"};
  EXPECT_EQ(rows[0], expected);
  auto objects = readAll(db, "SELECT * FROM MSysObjects");
  ASSERT_GT(objects.size(), 10u);
  EXPECT_EQ(objects[0][2], "8:Tables");
  EXPECT_EQ(objects[0][7], "3:-2147483648");  // Flags: a negative Long
  EXPECT_EQ(objects[0][9], "1:");             // Connect: NULL
  EXPECT_EQ(objects[0][4], "7:2000-06-19 05:27:56");
  db.Close();
}

TEST(JetValues, Jet3NegativeIntegerAndTexts) {
  std::string file = sample("testodbc.mdb");
  SKIP_WITHOUT_SAMPLE(file);
  CDaoDatabase db;
  db.Open(file.c_str());
  auto dev = readAll(db, "select * from FPdev");
  ASSERT_EQ(dev.size(), 8u);
  EXPECT_EQ(dev[0], (std::vector<std::string>{"3:1", "8:Michael Van Canneyt",
                                              "8:Michael@tfdec1.fys.kuleuven.ac.be"}));
  bool sawNegativeShort = false;
  for (const auto& row : readAll(db, "select * from MSysObjects"))
    sawNegativeShort |=
        row[2] == "8:SummaryInfo" && row[3] == "2:-32757" && row[0] == "3:-2147483648";
  EXPECT_TRUE(sawNegativeShort) << "Type -32757 (16-bit) and Id -2147483648 of SummaryInfo";
  db.Close();
}

TEST(JetValues, Jet4UnicodeTextAndDates) {
  std::string file = sample("node-adodb.mdb");
  SKIP_WITHOUT_SAMPLE(file);
  CDaoDatabase db;
  db.Open(file.c_str());
  auto users = readAll(db, "select * from Users");
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users[0], (std::vector<std::string>{"3:1", "8:Nuintun", "8:Male",
                                                "7:1989-01-25 00:00:00", "11:-1"}));
  EXPECT_EQ(users[1][4], "11:0");
  EXPECT_EQ(users[2][1], "8:??");  // Chinese has no Windows-1252 form
  db.Close();
}

// The schema fix-ups on an Access file: kept in memory, never written.
TEST(JetOverlay, AddedLongColumnAppearsLastWithItsConstant) {
  std::string file = sample("Monitor.mdb");
  SKIP_WITHOUT_SAMPLE(file);
  ScratchDir dir;
  std::string copy = dir.file("SMTP.MDB");
  {
    std::string bytes = readFile(file);
    FILE* f = std::fopen(copy.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  std::string before = readFile(copy);
  CDaoDatabase db;
  db.Open(copy.c_str());
  CDaoTableDef def(&db);
  def.Open("monitor_authenticate");
  EXPECT_EQ(def.GetFieldCount(), 12);
  def.CreateField("max_vpop3", dbLong, 0, 0);
  EXPECT_EQ(def.GetFieldCount(), 13);
  EXPECT_EQ(readAll(db, "select * from Monitor_Authenticate")[0].back(),
            "1:");  // like a new Jet column
  db.Execute("update Monitor_Authenticate set max_vpop3 = 63", dbFailOnError);
  auto row = readAll(db, "select * from Monitor_Authenticate")[0];
  ASSERT_EQ(row.size(), 13u);
  EXPECT_EQ(row[0], "3:1");
  EXPECT_EQ(row[12], "3:63");

  EXPECT_EQ(daoErrorOf([&] { def.CreateField("MAX_VPOP3", dbLong, 0, 0); }), kDaoFieldExists);
  EXPECT_EQ(daoErrorOf([&] { def.CreateField("Comment", dbLong, 0, 0); }), kDaoFieldExists);
  EXPECT_EQ(daoErrorOf([&] { def.CreateField("Other", dbText, 20, 0); }), kDaoReadOnly);
  EXPECT_EQ(
      daoErrorOf([&] { db.Execute("update Monitor_Authenticate set ID = 5", dbFailOnError); }),
      kDaoReadOnly);
  EXPECT_EQ(daoErrorOf([&] { db.Execute("delete from Monitor_Authenticate", dbFailOnError); }),
            kDaoReadOnly);
  EXPECT_EQ(daoErrorOf([&] { readAll(db, "select ID from Monitor_Authenticate"); }),
            kDaoSyntaxError);
  EXPECT_EQ(daoErrorOf([&] { readAll(db, "select * from NoSuchTable"); }), kDaoItemNotFound);
  EXPECT_EQ(daoErrorOf([&] { def.DeleteField("Comment"); }), kDaoReadOnly);
  def.DeleteField("max_vpop3");
  EXPECT_EQ(def.GetFieldCount(), 12);
  def.Close();
  db.Close();
  EXPECT_EQ(readFile(copy), before);

  // A fresh open starts from the file again.
  db.Open(copy.c_str());
  CDaoTableDef again(&db);
  again.Open("Monitor_Authenticate");
  EXPECT_EQ(again.GetFieldCount(), 12);
  db.Close();
}

TEST(JetOverlay, DbmigrateRunOnAnAccessFileLeavesItUnchanged) {
  std::string file = sample("node-adodb.mdb");
  SKIP_WITHOUT_SAMPLE(file);
  ScratchDir dir;
  std::string bytes = readFile(file);
  FILE* f = std::fopen(dir.file("SMTP.MDB").c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  CommandResult r = runProgram(dir.path(), {dbmigrateProgram()});
  EXPECT_EQ(r.status, 0);
  // None of the old server's tables is in this file: each use is reported.
  EXPECT_NE(r.output.find("Table 'MessageBag' not found"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Table 'SPAMSystem' not found"), std::string::npos) << r.output;
  EXPECT_EQ(readFile(dir.file("SMTP.MDB")), bytes);
}

TEST(JetOpen, TruncatedAccessFileFailsToOpen) {
  std::string file = sample("Monitor.mdb");
  SKIP_WITHOUT_SAMPLE(file);
  ScratchDir dir;
  std::string bytes = readFile(file);
  for (size_t length : {size_t{32}, size_t{2048}, size_t{4096}, size_t{4096 * 3}}) {
    std::string path = dir.file("cut" + std::to_string(length) + ".mdb");
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, length, f);
    std::fclose(f);
    CDaoDatabase db;
    int code = daoErrorOf([&] {
      db.Open(path.c_str());
      readAll(db, "select * from Monitor_Authenticate");
    });
    EXPECT_NE(code, 0) << length << " bytes";
    db.Close();
  }
}

}  // namespace
