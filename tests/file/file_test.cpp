// DiskFile in one process: open and create with their refusals, temporary
// files, reads past the end, length, replace and rename.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "tests/file/fault_os.h"
#include "tests/file/test_util.h"

using namespace dbf;
using whtest::Context;
using whtest::fileExists;
using whtest::readWhole;
using whtest::ScratchDir;
using whtest::writeWhole;

namespace {

class FileTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  Context c;
};

// Environment variable set for one test and put back afterwards.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvVar() {
    if (hadOld_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  bool hadOld_;
  std::string old_;
};

}  // namespace

TEST_F(FileTest, OpeningAMissingFileWithReportingOffStores70) {
  c.reportOpenErrors = 0;
  DiskFile f;
  EXPECT_EQ(file4open(&f, &c, "MISSING.DBF", false), kOpenFailed);
  EXPECT_EQ(c.errorCode, kOpenFailed);
  EXPECT_EQ(f.handle, -1);
  EXPECT_FALSE(f.isOpen);
  // 70 is a silent outcome, not an error: the next open proceeds and clears it.
  writeWhole("THERE.DBF", "x");
  EXPECT_EQ(file4open(&f, &c, "THERE.DBF", false), 0);
  EXPECT_EQ(c.errorCode, 0);
  file4close(&f);
}

TEST_F(FileTest, OpenFailuresAreReportedByReason) {
  DiskFile f;
  EXPECT_EQ(file4open(&f, &c, "MISSING.DBF", false), kErrOpenNotFound);
  EXPECT_EQ(c.errorLocation, 90615);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4open(&f, &c, dir.path().c_str(), false), kErrOpenAccess) << "a directory";
  engine4errorSet(&c, 0);
  writeWhole("A.DBF", "x");
  c.shareMode = 3;
  EXPECT_EQ(file4open(&f, &c, "A.DBF", false), kErrOpen);
  EXPECT_EQ(f.handle, -1);
  engine4errorSet(&c, 0);
  c.reportOpenErrors = 0;
  EXPECT_EQ(file4open(&f, &c, "A.DBF", false), kOpenFailed);
}

TEST_F(FileTest, ReadOnlyOpenRefusesEveryChange) {
  writeWhole("RO.DBF", "abcdef");
  c.openReadOnly = 1;
  DiskFile f;
  ASSERT_EQ(file4open(&f, &c, "RO.DBF", false), 0);
  EXPECT_TRUE(f.readOnly);
  EXPECT_EQ(file4write(&f, 0, "zz", 2), kErrWrite);
  EXPECT_EQ(c.errorLocation, 80606);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4setLength(&f, 1), kErrParameter);
  EXPECT_EQ(c.errorLocation, 80607);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4lock(&f, 0x7FFFFFFE, 1), 0) << "nothing to lock in a read-only file";
  EXPECT_EQ(file4flush(&f), 0);
  EXPECT_EQ(readWhole("RO.DBF"), "abcdef");
  file4close(&f);
}

TEST_F(FileTest, FileWithTheReadOnlyAttributeOpensForReadingOnly) {
  writeWhole("ATTR.DBF", "abc");
  whtest::FaultOs os;
  os.everythingReadOnly = true;  // the tests run as root, who may write anything
  DiskFile f;
  ASSERT_EQ(file4open(&f, &c, "ATTR.DBF", false), 0);
  EXPECT_TRUE(f.readOnly);
  EXPECT_EQ(file4write(&f, 0, "z", 1), kErrWrite);
  engine4errorSet(&c, 0);
  file4close(&f);
}

TEST_F(FileTest, CreateRefusesAnExistingFileWhileRefuseOverwriteIsOn) {
  writeWhole("OLD.DBF", "keep me");
  DiskFile f;
  EXPECT_EQ(file4create(&f, &c, "OLD.DBF", false), kErrCreate);
  EXPECT_EQ(c.errorLocation, 90602);
  EXPECT_EQ(f.handle, -1);
  engine4errorSet(&c, 0);
  c.reportCreateErrors = 0;
  EXPECT_EQ(file4create(&f, &c, "OLD.DBF", false), kAlreadyExists);
  EXPECT_EQ(c.errorCode, kAlreadyExists);
  EXPECT_EQ(readWhole("OLD.DBF"), "keep me");
}

TEST_F(FileTest, CreateReplacesAnUnusedFileWhenRefuseOverwriteIsOff) {
  writeWhole("OLD.DBF", "old contents");
  c.refuseOverwrite = 0;
  DiskFile f;
  ASSERT_EQ(file4create(&f, &c, "OLD.DBF", true), 0);
  EXPECT_EQ(file4length(&f), 0);
  EXPECT_FALSE(f.readOnly);
  EXPECT_EQ(file4write(&f, 0, "new", 3), 0);
  file4close(&f);
  EXPECT_EQ(readWhole("OLD.DBF"), "new");
}

TEST_F(FileTest, CreateNeverReplacesAFileThatIsOpen) {
  writeWhole("BUSY.DBF", "in use");
  DiskFile reader;
  ASSERT_EQ(file4open(&reader, &c, "BUSY.DBF", false), 0);
  c.refuseOverwrite = 0;
  c.reportCreateErrors = 0;
  DiskFile f;
  EXPECT_EQ(file4create(&f, &c, "BUSY.DBF", false), kAlreadyExists);
  EXPECT_EQ(readWhole("BUSY.DBF"), "in use");
  file4close(&reader);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4create(&f, &c, "BUSY.DBF", false), 0) << "once closed it may be replaced";
  file4close(&f);
}

TEST_F(FileTest, CreateTemporaryMarksTheFileForDeletion) {
  c.createTemporary = 1;
  DiskFile f;
  ASSERT_EQ(file4create(&f, &c, "SCRATCH.DBF", true), 0);
  EXPECT_TRUE(f.deleteOnClose);
  EXPECT_TRUE(fileExists("SCRATCH.DBF"));
  EXPECT_EQ(file4close(&f), 0);
  EXPECT_FALSE(fileExists("SCRATCH.DBF"));
}

TEST_F(FileTest, TemporaryFileIsNamedTempDigitsInTheTempDirectory) {
  std::string tempDir = dir.file("tmpdir");
  std::filesystem::create_directory(tempDir);
  EnvVar temp("TEMP", tempDir.c_str());
  DiskFile f;
  ASSERT_EQ(file4temp(&f, &c, true), 0);
  EXPECT_TRUE(std::regex_match(std::string(f.name), std::regex(tempDir + "/TEMP[0-9]{4}\\.TMP")))
      << f.name;
  EXPECT_EQ(f.mode, 1);
  EXPECT_TRUE(f.ownsName);
  EXPECT_TRUE(f.deleteOnClose);
  std::string name = f.name;
  EXPECT_TRUE(fileExists(name));
  EXPECT_EQ(c.shareMode, 0) << "settings are put back";
  EXPECT_EQ(c.reportCreateErrors, 1);
  file4close(&f);
  EXPECT_FALSE(fileExists(name));
}

TEST_F(FileTest, TemporaryDirectoryFallsBackFromTempToTmpToTmpdirToCurrent) {
  std::filesystem::create_directory("a");
  std::filesystem::create_directory("b");
  EnvVar temp("TEMP", nullptr);
  EnvVar tmp("TMP", dir.file("a").c_str());
  EnvVar tmpdir("TMPDIR", dir.file("b").c_str());
  DiskFile f;
  ASSERT_EQ(file4temp(&f, &c, false), 0);
  EXPECT_EQ(std::filesystem::path(f.name).parent_path(), dir.file("a"));
  std::string kept = f.name;
  file4close(&f);
  EXPECT_TRUE(fileExists(kept)) << "not marked: stays";
  {
    EnvVar noTmp("TMP", nullptr);
    ASSERT_EQ(file4temp(&f, &c, true), 0);
    EXPECT_EQ(std::filesystem::path(f.name).parent_path(), dir.file("b"));
    file4close(&f);
    EnvVar noTmpdir("TMPDIR", nullptr);
    ASSERT_EQ(file4temp(&f, &c, true), 0);
    EXPECT_EQ(std::filesystem::path(f.name).parent_path(), dir.path());
    file4close(&f);
  }
}

TEST_F(FileTest, TemporaryNameInUseIsRetriedThenGivenUp) {
  whtest::FaultOs os;
  os.tempDir = dir.path().c_str();
  os.fixedSeconds = 1234567;  // always TEMP4567.TMP
  os.realSleep = false;
  writeWhole("TEMP4567.TMP", "someone else's");
  DiskFile f;
  EXPECT_EQ(file4temp(&f, &c, true), kErrCreate);
  EXPECT_EQ(c.errorLocation, 80605);
  EXPECT_EQ(os.creates, 0) << "an existing name is never opened for creation";
  EXPECT_EQ(os.sleeps.size(), 100u);
  EXPECT_EQ(os.sleeps[0], 500);
  EXPECT_EQ(readWhole("TEMP4567.TMP"), "someone else's");
  EXPECT_EQ(c.refuseOverwrite, 1);
  EXPECT_EQ(c.shareMode, 0);
}

TEST_F(FileTest, TemporaryNameInUseWaitsForTheNextSecond) {
  whtest::FaultOs os;
  os.tempDir = dir.path().c_str();
  os.fixedSeconds = 20042;
  os.clockStep = 1;  // the clock moves on while the engine waits
  os.realSleep = false;
  writeWhole("TEMP0042.TMP", "taken");
  c.refuseOverwrite = 0;  // even then a temporary file never replaces another
  DiskFile f;
  ASSERT_EQ(file4temp(&f, &c, true), 0);
  EXPECT_EQ(std::string(f.name), dir.file("TEMP0043.TMP"));
  EXPECT_EQ(os.sleeps.size(), 1u);
  EXPECT_EQ(readWhole("TEMP0042.TMP"), "taken");
  file4close(&f);
}

TEST_F(FileTest, TemporaryFileInAMissingDirectoryFailsAtOnce) {
  whtest::FaultOs os;
  os.tempDir = "/nonexistent/dir";
  os.realSleep = false;
  DiskFile f;
  EXPECT_EQ(file4temp(&f, &c, true), kErrCreate);
  EXPECT_EQ(c.errorLocation, 80605);
  EXPECT_TRUE(os.sleeps.empty());
}

TEST_F(FileTest, CreateWithoutANameMakesATemporaryFile) {
  EnvVar temp("TEMP", dir.path().c_str());
  c.createTemporary = 1;
  DiskFile f;
  ASSERT_EQ(file4create(&f, &c, nullptr, false), 0);
  std::string name = f.name;
  EXPECT_TRUE(f.deleteOnClose);
  file4close(&f);
  EXPECT_FALSE(fileExists(name));
}

TEST_F(FileTest, ReadPastTheEndGivesFewerBytesAndReadAllFails) {
  writeWhole("R.DBF", "0123456789");
  DiskFile f;
  ASSERT_EQ(file4open(&f, &c, "R.DBF", false), 0);
  char buf[16] = {};
  EXPECT_EQ(file4read(&f, 6, buf, 8), 4u);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(file4read(&f, 100, buf, 8), 0u);
  EXPECT_EQ(c.errorCode, 0) << "a short read is not an error";

  EXPECT_EQ(file4readAll(&f, 6, buf, 8), kErrRead);
  EXPECT_EQ(c.errorCode, kErrRead);
  EXPECT_EQ(c.errorLocation, 90608);
  // The context stays in error until cleared.
  EXPECT_EQ(file4readAll(&f, 0, buf, 2), -1);
  EXPECT_EQ(file4read(&f, 0, buf, 2), 0u);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4readAll(&f, 0, buf, 10), 0);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(file4readAll(&f, 50, buf, 0), 0) << "nothing asked, nothing missing";
  file4close(&f);
}

TEST_F(FileTest, BadArgumentsAreRefused) {
  writeWhole("R.DBF", "0123");
  DiskFile f;
  ASSERT_EQ(file4open(&f, &c, "R.DBF", false), 0);
  char buf[4];
  EXPECT_EQ(file4read(&f, -1, buf, 4), 0u);
  EXPECT_EQ(c.errorCode, kErrNullHandle);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4write(&f, -1, "x", 1), kErrParameter);
  EXPECT_EQ(c.errorLocation, 90619);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4write(&f, 0, nullptr, 1), kErrParameter);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4setLength(&f, -5), kErrNullHandle);
  EXPECT_EQ(c.errorLocation, 90606);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4lock(&f, -1, 1), kErrParameter);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4unlock(&f, 0, -1), kErrParameter);
  engine4errorSet(&c, 0);
  file4close(&f);
  EXPECT_EQ(file4write(&f, 0, "x", 1), kErrParameter) << "closed file";
  EXPECT_EQ(file4lock(nullptr, 0, 1), kErrNullHandle);
  EXPECT_EQ(file4readAll(&f, 0, buf, 1), kErrNotOpen);
}

TEST_F(FileTest, LengthAndSetLength) {
  DiskFile f;
  ASSERT_EQ(file4create(&f, &c, "L.DBF", false), 0);
  EXPECT_EQ(file4length(&f), 0);
  EXPECT_EQ(file4write(&f, 10, "abc", 3), 0);
  EXPECT_EQ(file4length(&f), 13);
  EXPECT_EQ(file4setLength(&f, 5), 0);
  EXPECT_EQ(file4length(&f), 5);
  EXPECT_EQ(file4setLength(&f, 4096), 0);
  EXPECT_EQ(file4length(&f), 4096);
  // A silent outcome below 200 stored in the context stops setLength.
  c.errorCode = kOpenFailed;
  EXPECT_EQ(file4setLength(&f, 1), -1);
  c.errorCode = 0;
  file4close(&f);
}

TEST_F(FileTest, FlushAfterWriteFlushesEveryWrite) {
  whtest::FaultOs os;
  DiskFile f;
  ASSERT_EQ(file4create(&f, &c, "W.DBF", false), 0);
  EXPECT_EQ(file4write(&f, 0, "a", 1), 0);
  EXPECT_EQ(os.flushes, 0);
  c.flushAfterWrite = 1;
  EXPECT_EQ(file4write(&f, 1, "b", 1), 0);
  EXPECT_EQ(file4write(&f, 2, "c", 1), 0);
  EXPECT_EQ(os.flushes, 2);
  file4close(&f);
}

TEST_F(FileTest, ReplaceCopiesIntoASharedTarget) {
  writeWhole("T.DBF", std::string(50000, 'o'));
  const std::string fresh = whtest::pattern(10000);
  writeWhole("S.TMP", fresh);
  c.copyBufferSize = 3000;  // several chunks
  DiskFile target, source;
  ASSERT_EQ(file4open(&target, &c, "T.DBF", false), 0);
  ASSERT_EQ(file4open(&source, &c, "S.TMP", false), 0);
  source.deleteOnClose = true;
  EXPECT_EQ(file4replace(&target, &source), 0);
  EXPECT_EQ(source.handle, -1);
  EXPECT_FALSE(fileExists("S.TMP"));
  EXPECT_EQ(file4length(&target), 10000);
  file4close(&target);
  EXPECT_EQ(readWhole("T.DBF"), fresh);
}

TEST_F(FileTest, ReplaceRenamesOverAnExclusiveTarget) {
  writeWhole("T.DBF", "old");
  writeWhole("S.TMP", "rebuilt file");
  c.shareMode = 1;
  DiskFile target, source;
  ASSERT_EQ(file4open(&target, &c, "T.DBF", true), 0);
  ASSERT_EQ(file4open(&source, &c, "S.TMP", true), 0);
  source.deleteOnClose = true;
  c.shareMode = 0;
  EXPECT_EQ(file4replace(&target, &source), 0);
  EXPECT_GE(target.handle, 0);
  EXPECT_EQ(target.mode, 1) << "reopened exclusively";
  EXPECT_STREQ(target.name, "T.DBF");
  EXPECT_EQ(c.shareMode, 0);
  EXPECT_FALSE(fileExists("S.TMP"));
  char buf[12];
  EXPECT_EQ(file4readAll(&target, 0, buf, 12), 0);
  EXPECT_EQ(std::string(buf, 12), "rebuilt file");
  file4close(&target);
}

TEST_F(FileTest, RenameNeverReplacesAnExistingFile) {
  writeWhole("A.MSG", "message a");
  writeWhole("B.MSG", "message b");
  EXPECT_EQ(file4renameNoReplace("A.MSG", "B.MSG"), -1);
  EXPECT_EQ(readWhole("A.MSG"), "message a");
  EXPECT_EQ(readWhole("B.MSG"), "message b");
  EXPECT_EQ(file4renameNoReplace("MISSING.MSG", "C.MSG"), -1);
  EXPECT_EQ(file4renameNoReplace("A.MSG", "C.MSG"), 0);
  EXPECT_FALSE(fileExists("A.MSG"));
  EXPECT_EQ(readWhole("C.MSG"), "message a");
  EXPECT_EQ(file4remove("C.MSG"), 0);
  EXPECT_EQ(file4remove("C.MSG"), -1);
  EXPECT_FALSE(file4exists("C.MSG"));
}

TEST(FilePositionText, IsTwoRightAlignedNineteenPlaceNumbers) {
  char text[40];
  file4positionText(text, 1024, 512);
  EXPECT_EQ(std::string(text), std::string(15, ' ') + "1024" + " " + std::string(16, ' ') + "512");
  EXPECT_EQ(strlen(text), 39u);
  file4positionText(text, 0x7FFFFFFFFFFFFFFFLL, 0xFFFFFFFFu);
  EXPECT_EQ(std::string(text), "9223372036854775807          4294967295");
}

TEST_F(FileTest, AZeroFilledDiskFileCountsAsClosed) {
  // DiskFiles often live in zero-filled pool units: handle 0 there is not
  // descriptor 0, and whatever descriptor the bytes name must stay untouched.
  int fd = ::open(dir.path().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  DiskFile zero;
  memset(static_cast<void*>(&zero), 0, sizeof zero);
  zero.handle = fd;
  zero.ctx = &c;
  EXPECT_EQ(file4close(&zero), 0);
  EXPECT_EQ(file4write(&zero, 0, "x", 1), kErrParameter);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4lock(&zero, 0x7FFFFFFE, 1), kErrParameter);
  engine4errorSet(&c, 0);
  EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the descriptor was not closed";
  ::close(fd);
}
