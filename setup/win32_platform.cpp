// Win32 calls behind setup's platform interface: version, registry, key
// security, service control manager, shell, directories and message boxes.
#include "setup/win32_platform.h"

#include <windows.h>
#include <shellapi.h>

namespace setup {

namespace {

HKEY toHkey(RegKey key) {
  if (key == kLocalMachine) return HKEY_LOCAL_MACHINE;
  return reinterpret_cast<HKEY>(key);
}

RegKey fromHkey(HKEY key) { return reinterpret_cast<RegKey>(key); }

SC_HANDLE toScHandle(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }

ScHandle fromScHandle(SC_HANDLE handle) { return reinterpret_cast<ScHandle>(handle); }

// The class every key setup creates is given, as the registry tools of the
// product expect it.
char kKeyClass[] = "REG_SZ";

}  // namespace

unsigned long Win32Platform::platformId() {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&info)) return 0;
#pragma GCC diagnostic pop
  return info.dwPlatformId;
}

long Win32Platform::openKey(RegKey parent, const char* path, RegKey* out) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyA(toHkey(parent), path, &key);
  *out = status == ERROR_SUCCESS ? fromHkey(key) : kNoKey;
  return status;
}

long Win32Platform::createKey(RegKey parent, const char* path, RegKey* out) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG status = RegCreateKeyExA(toHkey(parent), path, 0, kKeyClass, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key, &disposition);
  *out = status == ERROR_SUCCESS ? fromHkey(key) : kNoKey;
  return status;
}

bool Win32Platform::createAdminOnlyKey(RegKey parent, const char* path, RegKey* out) {
  *out = kNoKey;
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return false;
  // Room for far more than the one entry; the list's own header is counted in.
  DWORD aclBuffer[4096 / sizeof(DWORD)];
  PACL acl = reinterpret_cast<PACL>(aclBuffer);
  if (!InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION)) return false;

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID allocated = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &allocated)) {
    return false;
  }
  DWORD sidLength = GetLengthSid(allocated);
  PSID admins = HeapAlloc(GetProcessHeap(), 0, sidLength);
  bool copied = admins != nullptr && CopySid(sidLength, admins, allocated);
  FreeSid(allocated);
  if (!copied) {
    if (admins != nullptr) HeapFree(GetProcessHeap(), 0, admins);
    return false;
  }

  bool created = false;
  if (AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, admins) &&
      SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(toHkey(parent), path, 0, kKeyClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        &attributes, &key, &disposition) == ERROR_SUCCESS) {
      *out = fromHkey(key);
      created = true;
    }
  }
  HeapFree(GetProcessHeap(), 0, admins);
  return created;
}

long Win32Platform::queryValue(RegKey key, const char* name, unsigned long* type,
                               unsigned char* data, unsigned long* size) {
  DWORD valueType = 0;
  DWORD valueSize = *size;
  LONG status = RegQueryValueExA(toHkey(key), name, nullptr, &valueType, data, &valueSize);
  *type = valueType;
  *size = valueSize;
  return status;
}

long Win32Platform::setValue(RegKey key, const char* name, unsigned long type, const void* data,
                             unsigned long size) {
  return RegSetValueExA(toHkey(key), name, 0, type, static_cast<const BYTE*>(data), size);
}

long Win32Platform::closeKey(RegKey key) { return RegCloseKey(toHkey(key)); }

long Win32Platform::deleteKey(RegKey parent, const char* path) {
  return RegDeleteKeyA(toHkey(parent), path);
}

ScHandle Win32Platform::openSCManager(unsigned long access) {
  return fromScHandle(OpenSCManagerA(nullptr, nullptr, access));
}

ScHandle Win32Platform::createService(ScHandle manager, const ServiceRegistration& reg) {
  return fromScHandle(CreateServiceA(
      toScHandle(manager), reg.name, reg.displayName, reg.desiredAccess, reg.serviceType,
      reg.startType, reg.errorControl, reg.binaryPath, reg.loadOrderGroup,
      reinterpret_cast<LPDWORD>(reg.tagId), reg.dependencies, reg.accountName, reg.password));
}

ScHandle Win32Platform::openService(ScHandle manager, const char* name, unsigned long access) {
  return fromScHandle(OpenServiceA(toScHandle(manager), name, access));
}

bool Win32Platform::startService(ScHandle service) {
  return StartServiceA(toScHandle(service), 0, nullptr) != FALSE;
}

bool Win32Platform::controlService(ScHandle service, unsigned long control) {
  SERVICE_STATUS status = {};
  return ControlService(toScHandle(service), control, &status) != FALSE;
}

bool Win32Platform::deleteService(ScHandle service) {
  return DeleteService(toScHandle(service)) != FALSE;
}

bool Win32Platform::closeServiceHandle(ScHandle handle) {
  return CloseServiceHandle(toScHandle(handle)) != FALSE;
}

unsigned long Win32Platform::lastError() { return GetLastError(); }

void Win32Platform::shellOpen(const char* file) {
  ShellExecuteA(nullptr, "open", file, nullptr, nullptr, SW_SHOWNORMAL);
}

bool Win32Platform::createDirectory(const char* path) {
  return CreateDirectoryA(path, nullptr) != FALSE;
}

bool Win32Platform::setCurrentDirectory(const char* path) {
  return SetCurrentDirectoryA(path) != FALSE;
}

int Win32Platform::messageBox(WindowHandle owner, const char* text, const char* caption,
                              unsigned style) {
  return MessageBoxA(reinterpret_cast<HWND>(owner), text, caption, style);
}

}  // namespace setup
