// The operating-system interface of installhook.
//
// Everything setup asks of Windows goes through SetupPlatform: the version
// query, the registry, the secured key creation, the service control manager,
// the shell, directories, the setup dialog and message boxes. win32_platform.cpp
// is the real implementation (and the only file that calls Win32); the tests
// put an in-memory implementation in its place, so that every path of the
// setup logic runs on any host.
//
// The operations are thin: each one is one system call with the system's own
// result convention (Win32 error code, handle or BOOL), so that the logic
// above keeps every decision of its own.
#pragma once

#include <cstdint>
#include <string>

namespace setup {

// Registry key handle. 0 is "no key"; kLocalMachine names HKEY_LOCAL_MACHINE.
using RegKey = std::uintptr_t;
constexpr RegKey kNoKey = 0;
constexpr RegKey kLocalMachine = 0x80000002u;

// Service control manager and service handles; 0 is "no handle".
using ScHandle = std::uintptr_t;
constexpr ScHandle kNoHandle = 0;

// Window handle of the installer (the owner of every message box).
using WindowHandle = std::uintptr_t;

// Win32 values the logic passes through unchanged.
constexpr unsigned long kPlatformWin32Nt = 2;  // VER_PLATFORM_WIN32_NT
constexpr unsigned long kRegSz = 1;            // REG_SZ
constexpr unsigned long kRegBinary = 3;        // REG_BINARY
constexpr unsigned long kRegDword = 4;         // REG_DWORD
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorMoreData = 234;
constexpr unsigned long kScManagerCreateService = 0x0002;
constexpr unsigned long kServiceAllAccess = 0xF01FF;
constexpr unsigned long kServiceWin32OwnProcess = 0x10;
constexpr unsigned long kServiceAutoStart = 2;
constexpr unsigned long kServiceErrorIgnore = 0;
constexpr unsigned long kServiceControlStop = 1;
constexpr unsigned kMbOkErrorIcon = 0x10;  // MB_OK | MB_ICONERROR
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// The arguments of CreateServiceA. Strings that are null pointers are passed
// to the system as null (no load order group, no dependencies, local system).
struct ServiceRegistration {
  const char* name = nullptr;
  const char* displayName = nullptr;
  unsigned long desiredAccess = 0;
  unsigned long serviceType = 0;
  unsigned long startType = 0;
  unsigned long errorControl = 0;
  const char* binaryPath = nullptr;
  const char* loadOrderGroup = nullptr;
  unsigned long* tagId = nullptr;
  const char* dependencies = nullptr;
  const char* accountName = nullptr;
  const char* password = nullptr;
};

// The four values the setup dialog shows and edits, in the order the dialog
// object holds them. checkState is 0 (cleared) or 1 (ticked).
struct SetupDialogValues {
  std::string programDirectory;  // control 1002, read-only
  std::string domainName;        // control 1003
  std::string dataDirectory;     // control 1001
  std::int32_t checkState = 0;   // control 1004
};

class SetupPlatform {
 public:
  virtual ~SetupPlatform() = default;

  // GetVersionExA: the platform identifier (2 on Windows NT), 0 if unknown.
  virtual unsigned long platformId() = 0;

  // Registry. Results are Win32 error codes (0 success).
  virtual long openKey(RegKey parent, const char* path, RegKey* out) = 0;  // RegOpenKeyA
  // RegCreateKeyExA with class "REG_SZ", options 0, KEY_ALL_ACCESS, no security.
  virtual long createKey(RegKey parent, const char* path, RegKey* out) = 0;
  // RegCreateKeyExA with class "REG_SZ", options 0, KEY_ALL_ACCESS and a
  // security descriptor whose DACL has one entry: GENERIC_ALL for the
  // built-in Administrators group. True when the key was created and opened;
  // false when any step of building the descriptor or the creation failed.
  virtual bool createAdminOnlyKey(RegKey parent, const char* path, RegKey* out) = 0;
  // RegQueryValueExA; data may be null to ask only for type and size.
  virtual long queryValue(RegKey key, const char* name, unsigned long* type, unsigned char* data,
                          unsigned long* size) = 0;
  virtual long setValue(RegKey key, const char* name, unsigned long type, const void* data,
                        unsigned long size) = 0;                // RegSetValueExA
  virtual long closeKey(RegKey key) = 0;                        // RegCloseKey
  virtual long deleteKey(RegKey parent, const char* path) = 0;  // RegDeleteKeyA

  // Service control manager. Handles are kNoHandle on failure; the reason is
  // then in lastError().
  virtual ScHandle openSCManager(unsigned long access) = 0;  // local machine, default database
  virtual ScHandle createService(ScHandle manager, const ServiceRegistration& reg) = 0;
  virtual ScHandle openService(ScHandle manager, const char* name, unsigned long access) = 0;
  virtual bool startService(ScHandle service) = 0;  // no arguments
  virtual bool controlService(ScHandle service, unsigned long control) = 0;
  virtual bool deleteService(ScHandle service) = 0;
  virtual bool closeServiceHandle(ScHandle handle) = 0;
  virtual unsigned long lastError() = 0;  // GetLastError

  // ShellExecuteA(no owner, "open", file, no parameters, no directory, SW_SHOWNORMAL).
  virtual void shellOpen(const char* file) = 0;

  virtual bool createDirectory(const char* path) = 0;      // CreateDirectoryA, no security
  virtual bool setCurrentDirectory(const char* path) = 0;  // SetCurrentDirectoryA

  // Shows dialog template 129 modally, owned by `owner`, filled from `values`;
  // OK copies the controls back into `values`. Returns kIdOk or kIdCancel
  // (anything else when the dialog could not be shown).
  virtual int runSetupDialog(WindowHandle owner, SetupDialogValues& values) = 0;

  // MessageBoxA; returns the button pressed.
  virtual int messageBox(WindowHandle owner, const char* text, const char* caption,
                         unsigned style) = 0;
};

}  // namespace setup
