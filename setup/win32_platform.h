// The Win32 implementation of setup's platform interface.
#pragma once

#include "setup/platform.h"

namespace setup {

class Win32Platform final : public SetupPlatform {
 public:
  unsigned long platformId() override;

  long openKey(RegKey parent, const char* path, RegKey* out) override;
  long createKey(RegKey parent, const char* path, RegKey* out) override;
  bool createAdminOnlyKey(RegKey parent, const char* path, RegKey* out) override;
  long queryValue(RegKey key, const char* name, unsigned long* type, unsigned char* data,
                  unsigned long* size) override;
  long setValue(RegKey key, const char* name, unsigned long type, const void* data,
                unsigned long size) override;
  long closeKey(RegKey key) override;
  long deleteKey(RegKey parent, const char* path) override;

  ScHandle openSCManager(unsigned long access) override;
  ScHandle createService(ScHandle manager, const ServiceRegistration& reg) override;
  ScHandle openService(ScHandle manager, const char* name, unsigned long access) override;
  bool startService(ScHandle service) override;
  bool controlService(ScHandle service, unsigned long control) override;
  bool deleteService(ScHandle service) override;
  bool closeServiceHandle(ScHandle handle) override;
  unsigned long lastError() override;

  void shellOpen(const char* file) override;
  bool createDirectory(const char* path) override;
  bool setCurrentDirectory(const char* path) override;

  int runSetupDialog(WindowHandle owner, SetupDialogValues& values) override;
  int messageBox(WindowHandle owner, const char* text, const char* caption,
                 unsigned style) override;
};

}  // namespace setup
