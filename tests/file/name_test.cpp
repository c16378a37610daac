// Full file names: absolute, dots resolved, blanks trimmed, default extension,
// only the last component upper-cased.
#include <gtest/gtest.h>

#include <string>

#include "dbf/core/file.h"
#include "tests/file/test_util.h"

namespace {

class FileName : public ::testing::Test {
 protected:
  whtest::ScratchDir dir;

  std::string full(const char* name, const char* ext = "DBF", bool force = false) {
    char out[258];
    int n = file4nameFull(out, sizeof out, name, ext, force);
    if (n < 0) return "<refused>";
    EXPECT_EQ(static_cast<size_t>(n), strlen(out));
    return out;
  }
};

}  // namespace

TEST_F(FileName, RelativeNamesJoinTheCurrentDirectory) {
  EXPECT_EQ(full("UserBase"), dir.path() + "/USERBASE.DBF");
  EXPECT_EQ(full("./MessageBag"), dir.path() + "/MESSAGEBAG.DBF");
  EXPECT_EQ(full("sub/../MailBox"), dir.path() + "/MAILBOX.DBF");
  std::string parent = std::filesystem::path(dir.path()).parent_path().string();
  EXPECT_EQ(full("../x"), parent + "/X.DBF");
}

TEST_F(FileName, AbsoluteNamesKeepTheirDirectoriesCase) {
  EXPECT_EQ(full("/Data/Mail/userbase.dbf"), "/Data/Mail/USERBASE.DBF");
  EXPECT_EQ(full("/Data/./Mail/../Other/t"), "/Data/Other/T.DBF");
  EXPECT_EQ(full("//Data//t"), "/Data/T.DBF");
  EXPECT_EQ(full("/../../t"), "/T.DBF") << "no step above the root";
}

TEST_F(FileName, TrailingBlanksGoBeforeTheExtensionIsAdded) {
  EXPECT_EQ(full("/d/SPAMSystem   "), "/d/SPAMSYSTEM.DBF");
  EXPECT_EQ(full("/d/My File "), "/d/MY FILE.DBF");
}

TEST_F(FileName, ExtensionIsAddedOnlyWhenTheLastComponentHasNoDot) {
  EXPECT_EQ(full("/d.x/table"), "/d.x/TABLE.DBF");
  EXPECT_EQ(full("/d/table.old"), "/d/TABLE.OLD");
  EXPECT_EQ(full("/d/table", "FPT"), "/d/TABLE.FPT");
  EXPECT_EQ(full("/d/table", nullptr), "/d/TABLE");
}

TEST_F(FileName, ForcedExtensionReplacesTheLastOne) {
  EXPECT_EQ(full("/d/UserBase.DBF", "FPT", true), "/d/USERBASE.FPT");
  EXPECT_EQ(full("/d/a.b.c", "CDX", true), "/d/A.B.CDX");
  EXPECT_EQ(full("/d.x/plain", "FPT", true), "/d.x/PLAIN.FPT");
}

TEST_F(FileName, OnlyAsciiLettersAreUpperCased) {
  // UTF-8 "é" (C3 A9) and a Latin-1 byte must come through unchanged.
  EXPECT_EQ(full("/d/caf\xC3\xA9"), "/d/CAF\xC3\xA9.DBF");
  EXPECT_EQ(full("/d/\xE9t\xE9"), "/d/\xE9T\xE9.DBF");
}

TEST_F(FileName, NamesThatNameNoFileAreRefused) {
  EXPECT_EQ(full(""), "<refused>");
  EXPECT_EQ(full("   "), "<refused>");
  EXPECT_EQ(full("/d/sub/"), "<refused>");
  EXPECT_EQ(full(".."), "<refused>");
  EXPECT_EQ(full("/d/."), "<refused>");
  char out[8];
  EXPECT_EQ(file4nameFull(out, sizeof out, nullptr, "DBF", false), -1);
}

TEST_F(FileName, ResultMustFitTheCapacity) {
  char out[258];
  std::string name = "/" + std::string(252, 'a');  // 253 + ".DBF" = 257 characters
  EXPECT_EQ(file4nameFull(out, sizeof out, name.c_str(), "DBF", false), 257);
  name += "a";
  EXPECT_EQ(file4nameFull(out, sizeof out, name.c_str(), "DBF", false), -1);
  char tiny[5];
  EXPECT_EQ(file4nameFull(tiny, sizeof tiny, "/abc", "DBF", false), -1);
}

TEST_F(FileName, EqualFullNamesForEveryWayOfNamingOneFile) {
  EXPECT_EQ(full("userbase"), full(dir.file("USERBASE.dbf").c_str()));
  EXPECT_EQ(full("./x/../UserBase  "), full("USERBASE"));
}
