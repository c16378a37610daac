// Existing files are found as Windows finds them, ignoring case: tables, memo
// files and other files that another program wrote under lower-case names;
// a name that matches several files is an error naming them, and new files
// still get the engine's upper-case names.
#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "dbf/core/os.h"
#include "tests/table/fixture.h"

using namespace tabletest;

namespace {

const ColumnDescription kColumns[] = {
    {"NAME", 'C', 8, 0, 0}, {"NOTE", 'M', 0, 0, 0}, {nullptr, 0, 0, 0, 0}};

std::string find(const char* name, OsStatus* status) {
  char out[1024] = "";
  *status = os4get()->findExisting(name, out, sizeof out);
  return out;
}

}  // namespace

TEST_F(TableTest, FilesOfAnotherCaseAreTheSameFilesAndSeveralAreAnError) {
  Table* t = table4create(&ctx_, "./Users", kColumns, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(appendTexts(t, {"ann", "a note of Ann"}), 0);
  ASSERT_EQ(table4close(t), 0);
  fs::rename("USERS.DBF", "users.dbf");
  fs::rename("USERS.FPT", "Users.fpt");

  // Opened, memo included, under the names another program gave the files.
  t = table4open(&ctx_, "./USERS");
  ASSERT_NE(t, nullptr) << ctx_.errorCode;
  ASSERT_EQ(table4top(t), 0);
  uint32_t length = 0;
  const char* note = column4memoText(table4column(t, 2), &length);
  EXPECT_EQ(std::string(note, length), "a note of Ann");
  ASSERT_EQ(table4close(t), 0);

  // A case-blind match is an existing file: no create puts a second file
  // beside it. New files get the upper-case name.
  EXPECT_EQ(table4create(&ctx_, "./users", kColumns, nullptr), nullptr);
  EXPECT_EQ(os4get()->rename("USERS.DBF", "USERS.FPT", false), kOsExists);
  engine4errorSet(&ctx_, 0);
  t = table4create(&ctx_, "./other", kColumns, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(table4close(t), 0);
  EXPECT_TRUE(fs::exists("OTHER.DBF"));

  // Two files that differ only in case: nothing picks one of them.
  fs::copy_file("users.dbf", "Users.DBF");
  OsStatus status;
  std::string matches = find("USERS.DBF", &status);
  EXPECT_EQ(status, kOsAmbiguous);
  EXPECT_TRUE(matches == "users.dbf, Users.DBF" || matches == "Users.DBF, users.dbf") << matches;
  EXPECT_EQ(table4open(&ctx_, "./USERS"), nullptr);
  EXPECT_LT(ctx_.errorCode, 0);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(os4get()->remove("USERS.DBF"), kOsAmbiguous);
  EXPECT_TRUE(fs::exists("users.dbf") && fs::exists("Users.DBF"));
}

// The directory's names are kept between searches; random changes made behind
// the interface's back must never make a search answer otherwise than a fresh
// read of the directory would.
TEST_F(TableTest, CaseBlindSearchesFollowEveryChangeOfTheDirectory) {
  std::mt19937 random(20240611);
  auto variant = [&] {
    std::string name = "msg" + std::to_string(random() % 3) + ".dat";
    for (char& c : name)
      if (random() % 2) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
  };
  auto expected = [](const std::string& name) {
    if (fs::exists(name)) return name;
    std::vector<std::string> matches;
    for (const auto& entry : fs::directory_iterator("."))
      if (strcasecmp(entry.path().filename().c_str(), name.c_str()) == 0)
        matches.push_back(entry.path().filename());
    std::sort(matches.begin(), matches.end());
    std::string joined;
    for (const std::string& m : matches) joined += (joined.empty() ? "" : ", ") + m;
    return joined;
  };
  for (int step = 0; step < 1500; ++step) {
    std::string name = variant();
    switch (random() % 4) {
      case 0:
        spit(name, {1});
        break;
      case 1:
        fs::remove(name);
        break;
      case 2:
        if (fs::exists(name)) fs::rename(name, variant());
        break;
      default: {
        OsStatus status;
        std::string found = find(name.c_str(), &status);
        std::vector<std::string> parts;  // the order of several matches is the directory's
        for (size_t at = 0; at <= found.size();) {
          size_t comma = std::min(found.find(", ", at), found.size());
          if (comma > at) parts.push_back(found.substr(at, comma - at));
          at = comma + 2;
        }
        std::sort(parts.begin(), parts.end());
        std::string sorted;
        for (const std::string& p : parts) sorted += (sorted.empty() ? "" : ", ") + p;
        ASSERT_EQ(sorted, expected(name)) << "step " << step;
      }
    }
  }
}

// Renames that must not replace: the outcome of each, against what the
// directory holds just before it (the source in any case, the new name in
// any case but the source's own), with the directory changed behind the
// interface's back between them.
TEST_F(TableTest, RenamesWithoutReplacingFollowTheDirectoryInAnyCase) {
  std::mt19937 random(20261210);
  auto variant = [&] {
    std::string name = "m" + std::to_string(random() % 3) + ".msg";
    for (char& c : name)
      if (random() % 2) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
  };
  auto matching = [](const std::string& name) {
    std::vector<std::string> matches;
    for (const auto& entry : fs::directory_iterator("."))
      if (strcasecmp(entry.path().filename().c_str(), name.c_str()) == 0)
        matches.push_back(entry.path().filename());
    return matches;
  };
  for (int step = 0; step < 1500; ++step) {
    const std::string from = variant(), to = variant();
    if (random() % 3 == 0) {
      spit(variant(), {1});
      continue;
    }
    if (random() % 4 == 0) {
      fs::remove(variant());
      continue;
    }
    const std::vector<std::string> sources = matching(from), targets = matching(to);
    const std::string source = fs::exists(from) ? from : sources.size() == 1 ? sources[0] : "";
    OsStatus expected = kOsOk;
    if (source.empty()) {
      expected = sources.empty() ? kOsNotFound : kOsAmbiguous;
    } else {
      for (const std::string& target : targets)
        if (target != source) expected = kOsExists;
    }
    ASSERT_EQ(os4get()->rename(from.c_str(), to.c_str(), false), expected)
        << "step " << step << ": " << from << " to " << to;
    if (expected == kOsOk) {
      ASSERT_TRUE(fs::exists(to)) << "step " << step;
      if (source != to) {
        ASSERT_FALSE(fs::exists(source)) << "step " << step;
      }
    }
  }
}
