// The whole flow of Foo and Goo on the in-memory platform with a scripted
// dialog: every outcome of the dialog and its validation loop.
#include <gtest/gtest.h>

#include "setup/paths.h"
#include "setup/setup_context.h"
#include "tests/setup/fake_platform.h"

namespace setup {
namespace {

using testing::FakePlatform;
using testing::FakeService;
using testing::ShownMessage;

const std::string kProduct = "SOFTWARE\\Varnel Workshop\\Wrenhub";
const std::string kDefaultDomain = kProduct + "\\vhDefault";
const std::string kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\WrenhubNT";
constexpr WindowHandle kInstaller = 0x1234;

// A dialog answer: set the edits (and the box), then press a button.
std::function<int(SetupDialogValues&)> answer(std::string data, std::string domain,
                                              int button = kIdOk, int ticked = 0) {
  return [=](SetupDialogValues& v) {
    v.dataDirectory = data;
    v.domainName = domain;
    v.checkState = ticked;
    return button;
  };
}
std::function<int(SetupDialogValues&)> cancel() {
  return [](SetupDialogValues&) { return kIdCancel; };
}
std::function<int(SetupDialogValues&)> tick() {
  return [](SetupDialogValues& v) {
    v.checkState = 1;
    return kIdOk;
  };
}

class Flow : public ::testing::Test {
 protected:
  Flow() : context(os) {
    os.putString("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", "Domain",
                 "corp.example\r\n");
  }
  bool foo() { return runFoo(context, kInstaller, "C:\\Readme", "C:\\Second", "C:\\Wrenhub"); }
  bool goo() { return runGoo(context, kInstaller, "C:\\Readme", "C:\\Second", "C:\\Wrenhub"); }
  std::vector<std::string> messageTexts() const {
    std::vector<std::string> texts;
    for (const auto& m : os.messages) texts.push_back(m.text);
    return texts;
  }
  FakePlatform os;
  SetupContext context;
};

TEST_F(Flow, NoServiceManagerShowsNothingAndWritesNothing) {
  os.serviceManagerAvailable = false;
  EXPECT_FALSE(foo());
  EXPECT_TRUE(os.dialogsShown.empty());
  EXPECT_TRUE(os.messages.empty());
  EXPECT_TRUE(os.logWith("setValue").empty());
  EXPECT_TRUE(os.logWith("create").empty());
}

TEST_F(Flow, DialogStartsFromProgramFolderAndMachineDomain) {
  os.dialogScript = {cancel()};
  EXPECT_FALSE(foo());
  ASSERT_EQ(os.dialogsShown.size(), 1u);
  EXPECT_EQ(os.dialogsShown[0].programDirectory, "C:\\Wrenhub");
  EXPECT_EQ(os.dialogsShown[0].dataDirectory, "C:\\Wrenhub\\Data\\");
  EXPECT_EQ(os.dialogsShown[0].domainName, "corp.example");
  EXPECT_EQ(os.dialogsShown[0].checkState, 0);
}

TEST_F(Flow, CancelWritesNothing) {
  os.putString(kUninstall, "UninstallString", "C:\\old.exe");
  os.dialogScript = {cancel()};
  EXPECT_FALSE(foo());
  EXPECT_TRUE(os.logWith("setValue").empty());
  EXPECT_TRUE(os.logWith("createService").empty());
  EXPECT_TRUE(os.logWith("deleteKey").empty());
  EXPECT_FALSE(os.hasKey(kProduct));
  EXPECT_TRUE(os.messages.empty());
}

TEST_F(Flow, AcceptedAnswersRegisterServiceUninstallEntryAndConfigurationInOrder) {
  os.putString(kUninstall, "UninstallString", "C:\\WINDOWS\\uninst.exe");
  os.dialogScript = {answer("D:\\Mail\\Data", "mail.example")};
  EXPECT_TRUE(foo());
  EXPECT_EQ(os.directoriesCreated, (std::vector<std::string>{"D:\\Mail", "D:\\Mail\\Data"}));
  EXPECT_EQ(os.currentDirectory, "D:\\Mail\\Data\\");
  EXPECT_EQ(context.dataFolder, "D:\\Mail\\Data\\");
  EXPECT_EQ(context.domainName, "mail.example");

  // The service first, then the uninstall entry, then the configuration.
  std::vector<std::string> steps;
  for (const std::string& line : os.log) {
    if (line == "createService Wrenhub" || line == "setValue " + kUninstall + " UninstallString" ||
        line == "setValue " + kProduct + " Uninstall")
      steps.push_back(line);
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"createService Wrenhub",
                                             "setValue " + kUninstall + " UninstallString",
                                             "setValue " + kProduct + " Uninstall"}));
  EXPECT_EQ(os.services.at("Wrenhub").binaryPath, "C:\\Wrenhub\\bootsvc.Exe");
  EXPECT_EQ(os.text(kUninstall, "UninstallString"), "C:\\Wrenhub\\REMOVER.EXE");
  EXPECT_EQ(os.text(kProduct, "Uninstall"), "C:\\WINDOWS\\uninst.exe");
  EXPECT_EQ(os.text(kProduct, "EXECPATH"), "C:\\Wrenhub\\");
  EXPECT_EQ(os.text(kProduct, "MAILPATH"), "D:\\Mail\\Data\\");
  EXPECT_EQ(os.text(kDefaultDomain, "DomainName"), "mail.example");
  EXPECT_TRUE(os.messages.empty());
  EXPECT_EQ(os.openKeyHandles, 0);
}

TEST_F(Flow, TickedBoxAcceptsEmptyAnswersWithoutDefaultDomain) {
  os.dialogScript = {[](SetupDialogValues& v) {
    v.dataDirectory.clear();
    v.domainName.clear();
    v.checkState = 1;
    return kIdOk;
  }};
  EXPECT_TRUE(foo());
  EXPECT_EQ(context.noDefaultDomain, 1u);
  EXPECT_TRUE(os.messages.empty());
  EXPECT_TRUE(os.directoriesCreated.empty());
  EXPECT_EQ(os.text(kProduct, "MAILPATH"), "");
  EXPECT_FALSE(os.hasKey(kDefaultDomain));
  EXPECT_EQ(os.services.count("Wrenhub"), 1u);
}

TEST_F(Flow, RejectedAnswersAreReportedInTheLoopsOrder) {
  os.directoriesThatCannotBeEntered.insert("Q:\\Mail\\");
  os.dialogScript = {
      answer("", ""),             // both empty: the data directory is reported
      [](SetupDialogValues& v) {  // refilled with the program folder
        EXPECT_EQ(v.dataDirectory, "C:\\Wrenhub");
        v.domainName.clear();
        return kIdOk;
      },
      answer("\\\\server\\share", "mail.example"),
      answer("Q:\\Mail", "mail.example"),
      answer("D:\\Mail\\\\Data\\", "   "),  // a later double backslash is fine; blanks too
  };
  EXPECT_TRUE(foo());
  EXPECT_EQ(messageTexts(), (std::vector<std::string>{
                                "Destination path is empty", "Domain Name is empty",
                                "Do not accept UNC name", "Cannot create destination directory"}));
  for (const ShownMessage& m : os.messages) {
    EXPECT_EQ(m.caption, "Setup");
    EXPECT_EQ(m.style, 0x10u);
    EXPECT_EQ(m.owner, kInstaller);
  }
  EXPECT_EQ(context.dataFolder, "D:\\Mail\\\\Data\\");
  EXPECT_EQ(context.domainName, "   ");
  EXPECT_EQ(os.text(kDefaultDomain, "DomainName"), "   ");
  // Directories of the rejected attempt stay.
  EXPECT_EQ(os.directoriesCreated.front(), "Q:\\Mail");
  // Every run shows the object's current values.
  EXPECT_EQ(os.dialogsShown[3].dataDirectory, "\\\\server\\share");
}

TEST_F(Flow, CancelAfterRejectionReturnsFalse) {
  os.dialogScript = {answer("D:\\Mail", ""), cancel()};
  EXPECT_FALSE(foo());
  EXPECT_EQ(messageTexts(), std::vector<std::string>{"Domain Name is empty"});
  EXPECT_TRUE(os.logWith("setValue").empty());
}

TEST_F(Flow, FailingServiceRegistrationStillWritesEverythingAndSucceeds) {
  os.addService("Wrenhub", true);
  os.dialogScript = {answer("D:\\Mail", "mail.example")};
  EXPECT_TRUE(foo());
  EXPECT_EQ(messageTexts(), std::vector<std::string>{"Install service error."});
  EXPECT_EQ(os.text(kProduct, "EXECPATH"), "C:\\Wrenhub\\");
}

TEST_F(Flow, UnwritableConfigurationDoesNotChangeTheResult) {
  os.uncreatableKeys.insert(FakePlatform::lower(kProduct));
  os.adminOnlyCreationFails = true;
  os.dialogScript = {answer("D:\\Mail", "mail.example")};
  EXPECT_TRUE(foo());
  EXPECT_FALSE(os.hasKey(kProduct));
  EXPECT_TRUE(os.messages.empty());
  EXPECT_EQ(os.services.count("Wrenhub"), 1u);
}

TEST_F(Flow, SecondFooStartsFromTheDefaultsAndUsesOnlyItsOwnAnswers) {
  os.dialogScript = {answer("D:\\Mail", "mail.example"), tick()};
  EXPECT_TRUE(foo());
  EXPECT_TRUE(foo());
  ASSERT_EQ(os.dialogsShown.size(), 2u);
  EXPECT_EQ(os.dialogsShown[1].dataDirectory, "C:\\Wrenhub\\Data\\");
  EXPECT_EQ(os.text(kProduct, "MAILPATH"), "");
  // The product key holds vhDefault, so it survives the old-key deletion and
  // the ticked run leaves the default domain of the first run alone.
  EXPECT_EQ(os.text(kDefaultDomain, "DomainName"), "mail.example");

  // A third run without the box configures the default domain again.
  os.dialogScript = {answer("D:\\Mail2", "other.example")};
  EXPECT_TRUE(foo());
  EXPECT_EQ(context.noDefaultDomain, 0u);
  EXPECT_EQ(os.text(kDefaultDomain, "DomainName"), "other.example");
  EXPECT_EQ(os.text(kProduct, "MAILPATH"), "D:\\Mail2\\");
}

TEST_F(Flow, SecondFolderHasNoEffect) {
  os.dialogScript = {answer("D:\\Mail", "mail.example")};
  EXPECT_TRUE(runFoo(context, kInstaller, "C:\\Readme", "Z:\\anything", "C:\\Wrenhub"));
  FakePlatform other;
  other.putString("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", "Domain",
                  "corp.example\r\n");
  SetupContext otherContext(other);
  other.dialogScript = {answer("D:\\Mail", "mail.example")};
  EXPECT_TRUE(runFoo(otherContext, kInstaller, "C:\\Readme", "", "C:\\Wrenhub"));
  EXPECT_EQ(os.log, other.log);
}

TEST_F(Flow, GooOpensTheReadmeThenStopsAndRemovesBothServices) {
  os.addService("Wrenhub", true);
  os.addService("SMTPService", true);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(goo());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  std::vector<std::string> calls;
  for (const std::string& line : os.log)
    if (line.rfind("openService", 0) != 0) calls.push_back(line);
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "version", "openSCManager 2", "shellOpen C:\\Readme\\Readme.htm",
                       "controlService Wrenhub 1", "controlService SMTPService 1",
                       "controlService Wrenhub 1", "deleteService Wrenhub",
                       "controlService SMTPService 1", "deleteService SMTPService"}));
  EXPECT_TRUE(os.services.empty());
  EXPECT_TRUE(os.messages.empty());
}

TEST_F(Flow, GooIsTrueWithoutServicesOrServiceManager) {
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(goo());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "1)ERROR = 1060\n1)ERROR = 1060\n");
  EXPECT_EQ(os.logWith("shellOpen").size(), 1u);

  FakePlatform none;
  none.serviceManagerAvailable = false;
  SetupContext noneContext(none);
  EXPECT_TRUE(runGoo(noneContext, kInstaller, "C:\\Readme", "", "C:\\Wrenhub"));
  EXPECT_TRUE(none.logWith("shellOpen").empty());
}

TEST(CreateDirectoryPath, CreatesEveryLevelAfterTheDrive) {
  FakePlatform os;
  createDirectoryPath(os, "C:\\Mail\\Data\\");
  EXPECT_EQ(os.directoriesCreated, (std::vector<std::string>{"C:\\Mail", "C:\\Mail\\Data"}));
  os.directoriesCreated.clear();
  createDirectoryPath(os, "C:\\");
  EXPECT_EQ(os.directoriesCreated, std::vector<std::string>{"C:\\"});
  os.directoriesCreated.clear();
  createDirectoryPath(os, "Mail\\Data\\Log\\");
  EXPECT_EQ(os.directoriesCreated, (std::vector<std::string>{"Mail\\Data", "Mail\\Data\\Log"}));
}

TEST(AppendBackslash, OnlyWhereMissing) {
  std::string empty, plain = "C:\\Mail", ended = "C:\\Mail\\";
  appendBackslash(empty);
  appendBackslash(plain);
  appendBackslash(ended);
  EXPECT_EQ(empty, "");
  EXPECT_EQ(plain, "C:\\Mail\\");
  EXPECT_EQ(ended, "C:\\Mail\\");
}

}  // namespace
}  // namespace setup
