// Helpers of the Wine tests: direct registry and service look-ups that do not
// go through installhook, to check what it left.
#pragma once

#include <windows.h>

#include <string>

namespace wine_helpers {

struct RegValue {
  bool exists = false;
  DWORD type = 0;
  std::string bytes;
};

inline RegValue readValue(const std::string& path, const char* name) {
  RegValue value;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return value;
  char buffer[2048];
  DWORD size = sizeof buffer;
  if (RegQueryValueExA(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(buffer), &size) ==
      ERROR_SUCCESS) {
    value.exists = true;
    value.bytes.assign(buffer, size);
  }
  RegCloseKey(key);
  return value;
}

// A REG_SZ value as stored: its text followed by exactly one NUL.
inline std::string sz(const std::string& text) {
  return std::string(text.c_str(), text.size() + 1);
}

inline bool keyExists(const std::string& path) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

inline void putString(const std::string& path, const char* name, const std::string& bytes,
                      DWORD type = REG_SZ) {
  HKEY key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
}

inline void deleteTree(const std::string& path) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
}

// Deletes a service if it exists (it is not running in these tests).
inline void deleteService(const char* name) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
  if (service) {
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

// ERROR_SUCCESS when the service is registered, else the error of OpenServiceA.
inline DWORD serviceState(const char* name) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG);
  DWORD result = service ? ERROR_SUCCESS : GetLastError();
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

struct ServiceConfig {
  bool exists = false;
  DWORD type = 0, start = 0, errorControl = 0, tag = 0;
  std::string path, group, dependencies, account, displayName;
};

inline ServiceConfig readServiceConfig(const char* name) {
  ServiceConfig config;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG);
  if (service) {
    alignas(8) char buffer[8192];
    auto* info = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    DWORD needed = 0;
    if (QueryServiceConfigA(service, info, sizeof buffer, &needed)) {
      auto text = [](const char* s) { return std::string(s ? s : ""); };
      config.exists = true;
      config.type = info->dwServiceType;
      config.start = info->dwStartType;
      config.errorControl = info->dwErrorControl;
      config.tag = info->dwTagId;
      config.path = text(info->lpBinaryPathName);
      config.group = text(info->lpLoadOrderGroup);
      config.dependencies = text(info->lpDependencies);
      config.account = text(info->lpServiceStartName);
      config.displayName = text(info->lpDisplayName);
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return config;
}

}  // namespace wine_helpers
