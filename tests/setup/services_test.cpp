// ServiceManager and the service registration on the in-memory service manager.
#include <gtest/gtest.h>

#include "setup/services.h"
#include "setup/setup_context.h"
#include "tests/setup/fake_platform.h"

namespace setup {
namespace {

using testing::FakePlatform;
using testing::FakeService;
using testing::ShownMessage;

class Services : public ::testing::Test {
 protected:
  Services() : manager(os) { EXPECT_EQ(manager.open(), 0); }
  FakePlatform os;
  ServiceManager manager;
};

TEST_F(Services, OpenAsksOnlyToCreateServices) {
  EXPECT_EQ(os.logWith("openSCManager"), std::vector<std::string>{"openSCManager 2"});
  EXPECT_NE(manager.handle(), kNoHandle);
}

TEST_F(Services, CreateRegistersEveryParameterAndClosesTheService) {
  ASSERT_EQ(manager.create("Wrenhub", "Wrenhub", "C:\\Wrenhub\\bootsvc.Exe"), 0);
  const FakeService& s = os.services.at("Wrenhub");
  EXPECT_EQ(s.displayName, "Wrenhub");
  EXPECT_EQ(s.binaryPath, "C:\\Wrenhub\\bootsvc.Exe");
  EXPECT_EQ(s.reg.desiredAccess, 0xF01FFu);
  EXPECT_EQ(s.reg.serviceType, 0x10u);
  EXPECT_EQ(s.reg.startType, 2u);
  EXPECT_EQ(s.reg.errorControl, 0u);
  EXPECT_EQ(s.reg.loadOrderGroup, nullptr);
  EXPECT_EQ(s.reg.tagId, nullptr);
  EXPECT_EQ(s.reg.dependencies, nullptr);
  EXPECT_EQ(s.reg.accountName, nullptr);
  EXPECT_EQ(s.reg.password, nullptr);
  EXPECT_FALSE(s.running);
  EXPECT_EQ(os.openServiceHandles, 1);  // only the manager
}

TEST_F(Services, CreateOfAnExistingNameFails) {
  os.addService("Wrenhub", false);
  EXPECT_EQ(manager.create("Wrenhub", "Wrenhub", "C:\\new\\bootsvc.Exe"), -1);
  EXPECT_EQ(os.services.at("Wrenhub").binaryPath, "C:\\old\\Wrenhub.exe");
}

TEST_F(Services, StopReportsEachFailureWithTheSystemError) {
  os.addService("Running", true);
  os.addService("Stopped", false);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(manager.stop("Running"), 0);
  EXPECT_EQ(manager.stop("Missing"), -1);
  EXPECT_EQ(manager.stop("Stopped"), -2);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "1)ERROR = 1060\n2)ERROR = 1062\n");
  EXPECT_FALSE(os.services.at("Running").running);
  EXPECT_EQ(os.openServiceHandles, 1);
}

TEST_F(Services, RemoveDeletesAStoppedService) {
  os.addService("Wrenhub", false);
  EXPECT_EQ(manager.remove("Wrenhub"), 0);
  EXPECT_EQ(os.services.count("Wrenhub"), 0u);
  EXPECT_EQ(manager.remove("Wrenhub"), -1);
  EXPECT_EQ(os.openServiceHandles, 1);
}

TEST_F(Services, RemoveOnlyAsksARunningServiceToStop) {
  os.addService("Wrenhub", true);
  EXPECT_EQ(manager.remove("Wrenhub"), -2);
  EXPECT_EQ(os.services.count("Wrenhub"), 1u);
  EXPECT_TRUE(os.logWith("deleteService").empty());
  // Asked to stop, it is deleted by the next remove.
  EXPECT_EQ(manager.remove("Wrenhub"), 0);
}

TEST_F(Services, RemoveReportsRefusedDeletion) {
  os.addService("Wrenhub", false);
  os.deletionRefused = true;
  EXPECT_EQ(manager.remove("Wrenhub"), -3);
  EXPECT_EQ(os.openServiceHandles, 1);
}

TEST_F(Services, StartOpensAndStarts) {
  os.addService("Wrenhub", false);
  EXPECT_EQ(manager.start("Wrenhub"), 0);
  EXPECT_TRUE(os.services.at("Wrenhub").running);
  EXPECT_EQ(manager.start("Wrenhub"), -2);
  EXPECT_EQ(manager.start("Missing"), -1);
}

TEST_F(Services, ReopeningClosesTheEarlierConnection) {
  ScHandle first = manager.handle();
  EXPECT_EQ(manager.open(), 0);
  EXPECT_NE(manager.handle(), first);
  EXPECT_EQ(os.openServiceHandles, 1);
  manager.close();
  EXPECT_EQ(manager.handle(), kNoHandle);
  EXPECT_EQ(os.openServiceHandles, 0);
  manager.close();  // closing twice is harmless
}

TEST(ServiceManager, OpenWithoutServiceManagerFailsAndDestroyClosesTheHandle) {
  FakePlatform os;
  os.serviceManagerAvailable = false;
  {
    ServiceManager manager(os);
    EXPECT_EQ(manager.open(), -1);
    EXPECT_EQ(manager.handle(), kNoHandle);
  }
  os.serviceManagerAvailable = true;
  {
    ServiceManager manager(os);
    EXPECT_EQ(manager.open(), 0);
    EXPECT_EQ(os.openServiceHandles, 1);
  }
  EXPECT_EQ(os.openServiceHandles, 0);
}

class InstallService : public ::testing::Test {
 protected:
  InstallService() : context(os) {
    context.programFolder = "C:\\Program Files\\Wrenhub";
    context.ownerWindow = 0x4242;
    EXPECT_EQ(context.serviceManager.open(), 0);
  }
  FakePlatform os;
  SetupContext context;
};

TEST_F(InstallService, RemovesOldRegistrationsThenRegistersBootsvc) {
  os.addService("Wrenhub", false);
  os.addService("SMTPService", false);
  os.addKey("SOFTWARE\\Varnel Workshop\\SMTPServer2.0");
  EXPECT_EQ(installService(context), 0);
  std::vector<std::string> calls;
  for (const std::string& line : os.log)
    if (line.rfind("openSCManager", 0) != 0 && line.rfind("controlService", 0) != 0)
      calls.push_back(line);
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "openService Wrenhub 983551", "deleteService Wrenhub",
                       "openService SMTPService 983551", "deleteService SMTPService",
                       "deleteKey SOFTWARE\\Varnel Workshop\\SMTPServer",
                       "deleteKey SOFTWARE\\Varnel Workshop\\SMTPServer2.0",
                       "deleteKey SOFTWARE\\Varnel Workshop\\Wrenhub",
                       "deleteKey SOFTWARE\\Varnel Workshop\\WrenhubNT", "createService Wrenhub"}));
  EXPECT_EQ(os.services.count("SMTPService"), 0u);
  EXPECT_EQ(os.services.at("Wrenhub").binaryPath, "C:\\Program Files\\Wrenhub\\bootsvc.Exe");
  EXPECT_FALSE(os.services.at("Wrenhub").running);
  EXPECT_TRUE(os.messages.empty());
}

TEST_F(InstallService, RunningServiceMakesTheRegistrationFailWithAMessage) {
  os.addService("Wrenhub", true);
  EXPECT_EQ(installService(context), -1);
  ASSERT_EQ(os.messages.size(), 1u);
  EXPECT_EQ(os.messages[0].text, "Install service error.");
  EXPECT_EQ(os.messages[0].caption, "Setup");
  EXPECT_EQ(os.messages[0].style, 0x10u);
  EXPECT_EQ(os.messages[0].owner, 0x4242u);
  EXPECT_EQ(os.services.at("Wrenhub").binaryPath, "C:\\old\\Wrenhub.exe");
}

}  // namespace
}  // namespace setup
