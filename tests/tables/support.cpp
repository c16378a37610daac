// Shared pieces of the table layer tests.
#include "tests/tables/support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tables_test {

const ColumnDescription kPeopleColumns[] = {
    {"ID", 'N', 10, 0, 0},    {"NAME", 'C', 6, 0, 0}, {"NOTE", 'M', 4, 0, 0},
    {"STAMP", 'N', 10, 0, 0}, {nullptr, 0, 0, 0, 0},
};

void ScratchDirectoryTest::SetUp() {
  previous_ = std::filesystem::current_path();
  std::string pattern = (std::filesystem::temp_directory_path() / "wh-tables-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  directory_ = pattern;
  std::filesystem::current_path(directory_);
}

void ScratchDirectoryTest::TearDown() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

namespace {

std::string readerScript() {
  const char* source = std::getenv("WH_SOURCE_DIR");
  std::string root = source != nullptr ? source : WH_TEST_SOURCE_DIR;
  return root + "/tests/tables/read_dbf.py";
}

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return parts;
    start = tab + 1;
  }
}

}  // namespace

DbfContents readWithDbfread(const std::string& dbfFile) {
  DbfContents contents;
  std::string command = "/usr/bin/python3 '" + readerScript() + "' '" + dbfFile + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    contents.error = "cannot run " + command;
    return contents;
  }
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  int status = pclose(pipe);
  if (status != 0) {
    contents.error = output;
    return contents;
  }
  std::istringstream lines(output);
  std::string line;
  if (!std::getline(lines, line)) return contents;
  std::istringstream counts(line);
  counts >> contents.headerCount >> contents.liveCount >> contents.deletedCount;
  if (!std::getline(lines, line)) return contents;
  contents.fields = splitTabs(line);
  while (std::getline(lines, line)) contents.rows.push_back(splitTabs(line));
  contents.ok = true;
  return contents;
}

void appendPerson(TableHandle* handle, int32_t id, const char* name, const char* note) {
  ASSERT_EQ(handle->beginRecord(), 0);
  handle->assignLong(kId, id);
  if (name != nullptr) handle->assignText(kName, name);
  if (note != nullptr) handle->assignText(kNote, note);
  ASSERT_EQ(handle->appendRecord(), 0);
}

std::vector<int32_t> visibleIds(TableHandle* handle) {
  std::vector<int32_t> ids;
  for (int r = handle->firstRecord(nullptr); r == 0; r = handle->nextRecord(nullptr)) {
    int32_t id = -1;
    handle->readLong(kId, &id);
    ids.push_back(id);
  }
  return ids;
}

bool fileExists(const char* name) { return std::filesystem::exists(name); }

void writeFile(const char* name, const std::string& contents) {
  std::ofstream out(name, std::ios::binary);
  out << contents;
}

}  // namespace tables_test
