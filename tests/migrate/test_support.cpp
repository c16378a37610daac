// Helpers of the migration tests.
#include "tests/migrate/test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/wh-migrate-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> ScratchDir::list() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

InDirectory::InDirectory(const std::string& dir) {
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(dir);
}

InDirectory::~InDirectory() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
}

CommandResult runProgram(const std::string& dir, const std::vector<std::string>& argv) {
  ScratchDir capture;
  std::string outPath = capture.file("out"), errPath = capture.file("err");
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(120);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(121);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  CommandResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outPath),
                       readFile(errPath)};
  return result;
}

void sqliteExec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite open");
  char* error = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("sqlite: " + message);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

std::string describe(const VARIANT& v) {
  std::string value;
  switch (v.vt) {
    case VT_I2:
      value = std::to_string(v.iVal);
      break;
    case VT_I4:
      value = std::to_string(v.lVal);
      break;
    case VT_BOOL:
      value = std::to_string(v.boolVal);
      break;
    case VT_CY:
      value = std::to_string(v.cyVal);
      break;
    case VT_R8: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.17g", v.dblVal);
      value = buf;
      break;
    }
    case VT_DATE: {
      SYSTEMTIME st;
      if (!VariantTimeToSystemTime(v.date, &st)) {
        value = "invalid";
        break;
      }
      char buf[64];
      std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
                    st.wHour, st.wMinute, st.wSecond);
      value = buf;
      break;
    }
    case VT_BSTR:
    case VT_UI1:
      value = v.pszVal ? v.pszVal : "(null pointer)";
      break;
    default:
      break;
  }
  return std::to_string(v.vt) + ":" + value;
}

std::vector<std::vector<std::string>> readAll(CDaoDatabase& db, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  CDaoRecordset rs(&db);
  rs.Open(AFX_DAO_USE_DEFAULT_TYPE, sql.c_str(), 0);
  int n = rs.GetFieldCount();
  VARIANT v;
  VariantInit(&v);
  for (; !rs.IsEOF(); rs.MoveNext()) {
    std::vector<std::string> row;
    for (int i = 0; i < n; ++i) {
      rs.GetFieldValue(i, v);
      row.push_back(describe(v));
    }
    rows.push_back(row);
  }
  VariantClear(&v);
  rs.Close();
  return rows;
}

static std::string fromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string dbmigrateProgram() { return WH_DBMIGRATE_PROGRAM; }
std::string sampleProgram() { return WH_SAMPLE_PROGRAM; }

std::string jetSampleDir() {
  std::string dir = fromEnvironment("WH_JET_SAMPLES");
  if (!dir.empty()) return dir;
  return WH_JET_SAMPLES_DEFAULT;  // <build>/jet-samples
}
