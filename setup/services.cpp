// Service control through the platform's service control manager.
#include "setup/services.h"

#include <cstdio>

#include "setup/paths.h"
#include "setup/registry.h"
#include "setup/setup_context.h"

namespace setup {

ServiceManager::~ServiceManager() {
  if (handle_ != kNoHandle) platform_.closeServiceHandle(handle_);
}

int ServiceManager::create(const char* name, const char* displayName, const char* path) {
  ServiceRegistration reg;
  reg.name = name;
  reg.displayName = displayName;
  reg.desiredAccess = kServiceAllAccess;
  reg.serviceType = kServiceWin32OwnProcess;
  reg.startType = kServiceAutoStart;
  reg.errorControl = kServiceErrorIgnore;
  reg.binaryPath = path;
  ScHandle service = platform_.createService(handle_, reg);
  if (service == kNoHandle) return -1;
  platform_.closeServiceHandle(service);
  return 0;
}

int ServiceManager::start(const char* name) {
  ScHandle service = platform_.openService(handle_, name, kServiceAllAccess);
  if (service == kNoHandle) return -1;
  bool started = platform_.startService(service);
  platform_.closeServiceHandle(service);
  return started ? 0 : -2;
}

int ServiceManager::stop(const char* name) {
  ScHandle service = platform_.openService(handle_, name, kServiceAllAccess);
  if (service == kNoHandle) {
    std::printf("1)ERROR = %d\n", static_cast<int>(platform_.lastError()));
    return -1;
  }
  int result = 0;
  if (!platform_.controlService(service, kServiceControlStop)) {
    std::printf("2)ERROR = %d\n", static_cast<int>(platform_.lastError()));
    result = -2;
  }
  platform_.closeServiceHandle(service);
  return result;
}

int ServiceManager::remove(const char* name) {
  ScHandle service = platform_.openService(handle_, name, kServiceAllAccess);
  if (service == kNoHandle) return -1;
  // A service that accepts a stop request was running; deleting it now would
  // leave it marked for deletion while it runs, so it is only asked to stop.
  if (platform_.controlService(service, kServiceControlStop)) {
    platform_.closeServiceHandle(service);
    return -2;
  }
  bool deleted = platform_.deleteService(service);
  platform_.closeServiceHandle(service);
  return deleted ? 0 : -3;
}

int ServiceManager::open() {
  close();  // a connection of an earlier call is replaced, not leaked
  handle_ = platformOpen();
  return handle_ == kNoHandle ? -1 : 0;
}

void ServiceManager::close() {
  if (handle_ != kNoHandle) platform_.closeServiceHandle(handle_);
  handle_ = kNoHandle;
}

ScHandle ServiceManager::platformOpen() { return platform_.openSCManager(kScManagerCreateService); }

void removeOldRegistrations(SetupContext& context) {
  context.serviceManager.remove(kServiceName);
  context.serviceManager.remove(kOldServiceName);
  deleteOldProductKeys(context.platform);
}

int installService(SetupContext& context) {
  std::string path = filePathIn(context.programFolder, kServiceExecutable);
  removeOldRegistrations(context);
  if (context.serviceManager.create(kServiceName, kServiceDisplayName, path.c_str()) != 0) {
    context.platform.messageBox(context.ownerWindow, "Install service error.", kMessageCaption,
                                kMbOkErrorIcon);
    return -1;
  }
  return 0;
}

}  // namespace setup
