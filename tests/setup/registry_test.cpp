// Registry primitives, uninstall entry and configuration on the in-memory registry.
#include <gtest/gtest.h>

#include "setup/registry.h"
#include "setup/setup_context.h"
#include "tests/setup/fake_platform.h"

namespace setup {
namespace {

using testing::FakePlatform;

const std::string kProduct = "SOFTWARE\\Varnel Workshop\\Wrenhub";
const std::string kDefaultDomain = kProduct + "\\vhDefault";
const std::string kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\WrenhubNT";
const std::string kTcpip = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

// --- openOrCreateKey ---

TEST(OpenOrCreateKey, OpensAnExistingKeyWithoutCreatingIt) {
  FakePlatform os;
  os.addKey(kProduct);
  RegKey key = 77;
  EXPECT_EQ(openOrCreateKey(os, kPlatformWin32Nt, kLocalMachine, kProduct.c_str(), &key), 0);
  EXPECT_NE(key, kNoKey);
  EXPECT_TRUE(os.logWith("create").empty());
  EXPECT_FALSE(os.key(kProduct).adminOnly);
  os.closeKey(key);
}

TEST(OpenOrCreateKey, CreatesMissingKeyAdminOnlyOnNt) {
  FakePlatform os;
  RegKey key = kNoKey;
  EXPECT_EQ(openOrCreateKey(os, kPlatformWin32Nt, kLocalMachine, kProduct.c_str(), &key), 0);
  EXPECT_TRUE(os.key(kProduct).adminOnly);
  EXPECT_TRUE(os.logWith("createKey").empty());
  os.closeKey(key);
  EXPECT_EQ(os.openKeyHandles, 0);
}

TEST(OpenOrCreateKey, PlainCreationTakesOverWhenSecuredCreationFails) {
  FakePlatform os;
  os.adminOnlyCreationFails = true;
  RegKey key = kNoKey;
  EXPECT_EQ(openOrCreateKey(os, kPlatformWin32Nt, kLocalMachine, kProduct.c_str(), &key), 0);
  EXPECT_NE(key, kNoKey);
  EXPECT_EQ(os.log,
            (std::vector<std::string>{"createAdminOnlyKey " + kProduct, "createKey " + kProduct}));
  EXPECT_FALSE(os.key(kProduct).adminOnly);
  os.closeKey(key);
}

TEST(OpenOrCreateKey, OtherPlatformsCreatePlainly) {
  FakePlatform os;
  RegKey key = kNoKey;
  EXPECT_EQ(openOrCreateKey(os, 1, kLocalMachine, kProduct.c_str(), &key), 0);
  EXPECT_EQ(os.log, (std::vector<std::string>{"createKey " + kProduct}));
  os.closeKey(key);
}

TEST(OpenOrCreateKey, KeyThatCannotBeCreatedFailsWithNoKey) {
  FakePlatform os;
  os.uncreatableKeys.insert(FakePlatform::lower(kProduct));
  RegKey key = 77;
  EXPECT_EQ(openOrCreateKey(os, kPlatformWin32Nt, kLocalMachine, kProduct.c_str(), &key), 1);
  EXPECT_EQ(key, kNoKey);
  EXPECT_EQ(os.openKeyHandles, 0);
}

// --- readRegistryString and the value setters ---

class ReadRegistryString : public ::testing::Test {
 protected:
  std::optional<std::string> read(const std::string& name) {
    RegKey key = kNoKey;
    EXPECT_EQ(os.openKey(kLocalMachine, "K", &key), 0);
    auto text = readRegistryString(os, key, name.c_str());
    os.closeKey(key);
    return text;
  }
  FakePlatform os;
};

TEST_F(ReadRegistryString, StringValueWithoutItsTerminator) {
  os.putString("K", "v", "C:\\old\\uninst.exe");
  EXPECT_EQ(read("v"), "C:\\old\\uninst.exe");
}

TEST_F(ReadRegistryString, UnterminatedAndBinaryValuesEndAtTheirLastByte) {
  os.putValue("K", "sz", kRegSz, "abc");  // written without its NUL
  os.putValue("K", "bin", kRegBinary, std::string("\x01\x02xyz", 5));
  EXPECT_EQ(read("sz"), "abc");
  EXPECT_EQ(read("bin"), std::string("\x01\x02xyz", 5));
}

TEST_F(ReadRegistryString, EmbeddedTerminatorEndsTheText) {
  os.putValue("K", "v", kRegBinary, std::string("ab\0cd", 5));
  EXPECT_EQ(read("v"), "ab");
}

TEST_F(ReadRegistryString, EmptyAndMissingValues) {
  os.putValue("K", "empty", kRegSz, "");
  EXPECT_EQ(read("empty"), "");
  EXPECT_EQ(read("missing"), std::nullopt);
}

TEST(ValueSetters, TypesAndLengths) {
  FakePlatform os;
  os.addKey("K");
  RegKey key = kNoKey;
  os.openKey(kLocalMachine, "K", &key);
  setStringValue(os, key, "s", "abc");
  setStringValue(os, key, "none", nullptr);
  setDwordValue(os, key, "d", 0x01020307);
  const unsigned char bytes[3] = {0, 9, 0};
  setBinaryValue(os, key, "b", bytes, 3);
  os.closeKey(key);
  EXPECT_EQ(os.value("K", "s")->type, kRegSz);
  EXPECT_EQ(os.value("K", "s")->bytes, std::string("abc\0", 4));
  EXPECT_EQ(os.value("K", "none")->bytes, std::string("\0", 1));
  EXPECT_EQ(os.value("K", "d")->type, kRegDword);
  EXPECT_EQ(os.value("K", "d")->bytes, std::string("\x07\x03\x02\x01", 4));
  EXPECT_EQ(os.value("K", "b")->type, kRegBinary);
  EXPECT_EQ(os.value("K", "b")->bytes, std::string("\0\x09\0", 3));
}

// --- readSystemDomain ---

TEST(ReadSystemDomain, NtReadsTcpipParametersCutAtTheLineEnd) {
  FakePlatform os;
  os.putString(kTcpip, "Domain", "corp.example\r\n");
  os.putString("SYSTEM\\CurrentControlSet\\Services\\VxD\\MSTCP", "Domain", "win95.example");
  EXPECT_EQ(readSystemDomain(os, kPlatformWin32Nt), "corp.example");
  EXPECT_EQ(readSystemDomain(os, 1), "win95.example");
  EXPECT_EQ(os.openKeyHandles, 0);
}

TEST(ReadSystemDomain, LeadingControlCharacterOrMissingValueGivesNoDomain) {
  FakePlatform os;
  EXPECT_EQ(readSystemDomain(os, kPlatformWin32Nt), "");  // no key
  os.addKey(kTcpip);
  EXPECT_EQ(readSystemDomain(os, kPlatformWin32Nt), "");  // no value
  os.putString(kTcpip, "Domain", "\tcorp.example");
  EXPECT_EQ(readSystemDomain(os, kPlatformWin32Nt), "");
}

TEST(ReadSystemDomain, LongOrUnterminatedValueStaysWithinThePathBuffer) {
  FakePlatform os;
  os.putString(kTcpip, "Domain", std::string(1000, 'd'));
  EXPECT_EQ(readSystemDomain(os, kPlatformWin32Nt), std::string(259, 'd'));
  os.putValue(kTcpip, "Domain", kRegBinary, "bin.example");
  EXPECT_EQ(readSystemDomain(os, kPlatformWin32Nt), "bin.example");
}

TEST(ReadSystemDomain, LatinLettersAreNotControlCharacters) {
  FakePlatform os;
  os.putString(kTcpip, "Domain", "m\xfcller.example");
  EXPECT_EQ(readSystemDomain(os, kPlatformWin32Nt), "m\xfcller.example");
}

// --- writeUninstallEntry and writeConfiguration ---

class Configuration : public ::testing::Test {
 protected:
  Configuration() : context(os) {
    context.platformId = kPlatformWin32Nt;
    context.programFolder = "C:\\Program Files\\Wrenhub";
    context.dataFolder = "D:\\Mail\\";
    context.domainName = "mail.example";
  }
  FakePlatform os;
  SetupContext context;
};

TEST_F(Configuration, MissingUninstallKeyIsNeitherCreatedNorRead) {
  writeUninstallEntry(context);
  EXPECT_FALSE(os.hasKey(kUninstall));
  EXPECT_EQ(context.previousUninstallCommand, "");
  writeConfiguration(context);
  EXPECT_EQ(os.text(kProduct, "Uninstall"), "");
}

TEST_F(Configuration, UninstallEntryIsHandedToRemoverAndTheOldCommandKept) {
  os.putString(kUninstall, "UninstallString", "C:\\WINDOWS\\uninst.exe -f\"x.log\"");
  os.putString(kUninstall, "DisplayName", "Wrenhub");
  writeUninstallEntry(context);
  EXPECT_EQ(os.text(kUninstall, "UninstallString"), "C:\\Program Files\\Wrenhub\\REMOVER.EXE");
  EXPECT_EQ(os.text(kUninstall, "DisplayName"), "Wrenhub");
  EXPECT_EQ(context.previousUninstallCommand, "C:\\WINDOWS\\uninst.exe -f\"x.log\"");
  EXPECT_EQ(os.openKeyHandles, 0);

  // A second run reads back what the first one wrote.
  context.programFolder = "C:\\Wrenhub\\";
  writeUninstallEntry(context);
  EXPECT_EQ(context.previousUninstallCommand, "C:\\Program Files\\Wrenhub\\REMOVER.EXE");
  EXPECT_EQ(os.text(kUninstall, "UninstallString"), "C:\\Wrenhub\\REMOVER.EXE");
}

TEST_F(Configuration, EveryValueInItsOrderAndType) {
  context.previousUninstallCommand = "C:\\WINDOWS\\uninst.exe";
  writeConfiguration(context);
  EXPECT_EQ(
      os.logWith("setValue"),
      (std::vector<std::string>{
          "setValue " + kProduct + " Uninstall", "setValue " + kProduct + " EXECPATH",
          "setValue " + kProduct + " MAILPATH", "setValue " + kDefaultDomain + " MAILPATH",
          "setValue " + kDefaultDomain + " DomainName", "setValue " + kDefaultDomain + " Boot",
          "setValue " + kDefaultDomain + " Running", "setValue " + kDefaultDomain + " IPList"}));
  EXPECT_EQ(os.text(kProduct, "Uninstall"), "C:\\WINDOWS\\uninst.exe");
  EXPECT_EQ(os.text(kProduct, "EXECPATH"), "C:\\Program Files\\Wrenhub\\");
  EXPECT_EQ(os.text(kProduct, "MAILPATH"), "D:\\Mail\\");
  EXPECT_EQ(os.value(kProduct, "MAILPATH")->type, kRegSz);
  EXPECT_EQ(os.text(kDefaultDomain, "MAILPATH"), "D:\\Mail\\");
  EXPECT_EQ(os.text(kDefaultDomain, "DomainName"), "mail.example");
  EXPECT_EQ(os.value(kDefaultDomain, "Boot")->bytes, std::string("\x07\0\0\0", 4));
  EXPECT_EQ(os.value(kDefaultDomain, "Running")->type, kRegDword);
  EXPECT_EQ(os.value(kDefaultDomain, "Running")->bytes, std::string(4, '\0'));
  EXPECT_EQ(os.value(kDefaultDomain, "IPList")->type, kRegBinary);
  EXPECT_EQ(os.value(kDefaultDomain, "IPList")->bytes, std::string(8, '\0'));
  EXPECT_TRUE(os.key(kProduct).adminOnly);
  EXPECT_TRUE(os.key(kDefaultDomain).adminOnly);
  EXPECT_EQ(os.openKeyHandles, 0);
}

TEST_F(Configuration, NoDefaultDomainLeavesVhDefaultAlone) {
  os.putString(kDefaultDomain, "DomainName", "earlier.example");
  context.noDefaultDomain = 1;
  context.dataFolder.clear();
  context.domainName.clear();
  writeConfiguration(context);
  EXPECT_EQ(os.text(kProduct, "MAILPATH"), "");
  EXPECT_EQ(os.value(kProduct, "MAILPATH")->bytes, std::string("\0", 1));
  EXPECT_EQ(os.text(kDefaultDomain, "DomainName"), "earlier.example");
  EXPECT_EQ(os.logWith("setValue " + kDefaultDomain).size(), 0u);
}

TEST_F(Configuration, ExistingVhDefaultKeepsValuesSetupDoesNotWrite) {
  os.putString(kDefaultDomain, "Postmaster", "admin");
  os.putString(kDefaultDomain, "DomainName", "earlier.example");
  writeConfiguration(context);
  EXPECT_EQ(os.text(kDefaultDomain, "Postmaster"), "admin");
  EXPECT_EQ(os.text(kDefaultDomain, "DomainName"), "mail.example");
}

TEST_F(Configuration, UncreatableVhDefaultStillLeavesTheProductValues) {
  os.uncreatableKeys.insert(FakePlatform::lower(kDefaultDomain));
  os.adminOnlyCreationFails = true;
  writeConfiguration(context);
  EXPECT_EQ(os.text(kProduct, "EXECPATH"), "C:\\Program Files\\Wrenhub\\");
  EXPECT_FALSE(os.hasKey(kDefaultDomain));
  EXPECT_EQ(os.openKeyHandles, 0);
}

TEST_F(Configuration, UncreatableProductKeyWritesNothing) {
  os.uncreatableKeys.insert(FakePlatform::lower(kProduct));
  os.adminOnlyCreationFails = true;
  writeConfiguration(context);
  EXPECT_TRUE(os.logWith("setValue").empty());
  EXPECT_EQ(os.openKeyHandles, 0);
}

TEST_F(Configuration, OverlongFoldersAreCutToThePathBuffer) {
  context.programFolder = std::string(300, 'p');
  context.dataFolder = std::string(300, 'd');
  writeConfiguration(context);
  EXPECT_EQ(os.text(kProduct, "EXECPATH"), std::string(259, 'p') + "\\");
  EXPECT_EQ(os.text(kProduct, "MAILPATH"), std::string(259, 'd') + "\\");
}

TEST(OldProductKeys, DeletedInOrderAndProductKeyWithSubkeySurvives) {
  FakePlatform os;
  os.addKey("SOFTWARE\\Varnel Workshop\\SMTPServer");
  os.addKey(kProduct);
  os.putString(kDefaultDomain, "DomainName", "mail.example");
  deleteOldProductKeys(os);
  EXPECT_EQ(os.logWith("deleteKey"),
            (std::vector<std::string>{"deleteKey SOFTWARE\\Varnel Workshop\\SMTPServer",
                                      "deleteKey SOFTWARE\\Varnel Workshop\\SMTPServer2.0",
                                      "deleteKey SOFTWARE\\Varnel Workshop\\Wrenhub",
                                      "deleteKey SOFTWARE\\Varnel Workshop\\WrenhubNT"}));
  EXPECT_FALSE(os.hasKey("SOFTWARE\\Varnel Workshop\\SMTPServer"));
  EXPECT_TRUE(os.hasKey(kProduct));
}

}  // namespace
}  // namespace setup
