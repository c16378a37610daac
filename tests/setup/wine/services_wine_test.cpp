// installhook's service control against Wine's service control manager.
#include <windows.h>

#include "setup/services.h"
#include "setup/setup_context.h"
#include "setup/win32_platform.h"
#include "tests/setup/wine/wine_check.h"
#include "tests/setup/wine/wine_helpers.h"

using namespace wine_helpers;

WINE_TEST(InstallServiceRegistersWrenhubWithEveryParameter) {
  deleteService("Wrenhub");
  setup::Win32Platform os;
  setup::SetupContext context(os);
  context.programFolder = "C:\\Program Files\\Wrenhub";
  CHECK_EQ(context.serviceManager.open(), 0);
  CHECK_EQ(setup::installService(context), 0);
  ServiceConfig config = readServiceConfig("Wrenhub");
  CHECK(config.exists);
  CHECK_EQ(config.displayName, std::string("Wrenhub"));
  CHECK_EQ(config.path, std::string("C:\\Program Files\\Wrenhub\\bootsvc.Exe"));
  CHECK_EQ(config.type, DWORD(SERVICE_WIN32_OWN_PROCESS));
  CHECK_EQ(config.start, DWORD(SERVICE_AUTO_START));
  CHECK_EQ(config.errorControl, DWORD(SERVICE_ERROR_IGNORE));
  CHECK_EQ(config.group, std::string());
  CHECK_EQ(config.dependencies, std::string());
  CHECK_EQ(config.tag, DWORD(0));
  CHECK_EQ(config.account, std::string("LocalSystem"));

  // A second registration replaces the first (the old one is removed first).
  context.programFolder = "D:\\Wrenhub\\";
  CHECK_EQ(setup::installService(context), 0);
  CHECK_EQ(readServiceConfig("Wrenhub").path, std::string("D:\\Wrenhub\\bootsvc.Exe"));
  deleteService("Wrenhub");
}

WINE_TEST(CreateOfAnExistingServiceFails) {
  deleteService("WrenhubTest");
  setup::Win32Platform os;
  setup::ServiceManager manager(os);
  CHECK_EQ(manager.open(), 0);
  CHECK_EQ(manager.create("WrenhubTest", "WrenhubTest", "C:\\first.exe"), 0);
  CHECK_EQ(manager.create("WrenhubTest", "WrenhubTest", "C:\\second.exe"), -1);
  CHECK_EQ(readServiceConfig("WrenhubTest").path, std::string("C:\\first.exe"));
  deleteService("WrenhubTest");
}

WINE_TEST(StopAndRemoveOfStoppedAndMissingServices) {
  deleteService("WrenhubTest");
  setup::Win32Platform os;
  setup::ServiceManager manager(os);
  CHECK_EQ(manager.open(), 0);
  CHECK_EQ(manager.create("WrenhubTest", "WrenhubTest", "C:\\first.exe"), 0);
  CHECK_EQ(manager.stop("WrenhubTest"), -2);  // not running: the stop request is refused
  CHECK_EQ(manager.start("Missing service"), -1);
  CHECK_EQ(manager.remove("WrenhubTest"), 0);
  CHECK_EQ(serviceState("WrenhubTest"), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
  CHECK_EQ(manager.remove("WrenhubTest"), -1);
  CHECK_EQ(manager.stop("WrenhubTest"), -1);
}
