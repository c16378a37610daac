// Registry primitives, uninstall entry and configuration of setup.
#include "setup/registry.h"

#include <vector>

#include "setup/paths.h"
#include "setup/setup_context.h"

namespace setup {

int openOrCreateKey(SetupPlatform& platform, unsigned long platformId, RegKey parent,
                    const char* path, RegKey* out) {
  *out = kNoKey;
  if (platform.openKey(parent, path, out) == kErrorSuccess) return 0;
  *out = kNoKey;
  if (platformId == kPlatformWin32Nt && createAdminOnlyKey(platform, parent, path, out)) return 0;
  *out = kNoKey;
  if (platform.createKey(parent, path, out) == kErrorSuccess) return 0;
  *out = kNoKey;
  return 1;
}

bool createAdminOnlyKey(SetupPlatform& platform, RegKey parent, const char* path, RegKey* out) {
  return platform.createAdminOnlyKey(parent, path, out);
}

std::optional<std::string> readRegistryString(SetupPlatform& platform, RegKey key,
                                              const char* name) {
  unsigned long type = 0;
  unsigned long size = 0;
  if (platform.queryValue(key, name, &type, nullptr, &size) != kErrorSuccess) return std::nullopt;
  // One byte more than the value, so that there is always room for the NUL
  // that a REG_BINARY or carelessly written REG_SZ value lacks.
  std::vector<unsigned char> buffer(static_cast<std::size_t>(size) + 1, 0);
  unsigned long read = size;
  if (platform.queryValue(key, name, &type, buffer.data(), &read) != kErrorSuccess) {
    return std::nullopt;  // also when the value grew between the two calls
  }
  if (read > size) read = size;
  buffer[read] = 0;
  return std::string(reinterpret_cast<const char*>(buffer.data()));
}

long setStringValue(SetupPlatform& platform, RegKey key, const char* name, const char* text) {
  if (text == nullptr) text = "";
  std::string_view view(text);
  return platform.setValue(key, name, kRegSz, text, static_cast<unsigned long>(view.size() + 1));
}

long setDwordValue(SetupPlatform& platform, RegKey key, const char* name, std::uint32_t value) {
  unsigned char bytes[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return platform.setValue(key, name, kRegDword, bytes, 4);
}

long setBinaryValue(SetupPlatform& platform, RegKey key, const char* name, const void* bytes,
                    unsigned long length) {
  return platform.setValue(key, name, kRegBinary, bytes, length);
}

std::string readSystemDomain(SetupPlatform& platform, unsigned long platformId) {
  const char* path = platformId == kPlatformWin32Nt ? kNtTcpipKey : kWin95TcpipKey;
  RegKey key = kNoKey;
  if (platform.openKey(kLocalMachine, path, &key) != kErrorSuccess) return {};
  std::optional<std::string> value = readRegistryString(platform, key, "Domain");
  platform.closeKey(key);
  if (!value) return {};
  std::string domain = limitPath(*value);
  for (std::size_t i = 0; i < domain.size(); ++i) {
    if (static_cast<unsigned char>(domain[i]) < 32) {  // a line end or any control byte ends it
      domain.resize(i);
      break;
    }
  }
  return domain;
}

void writeUninstallEntry(SetupContext& context) {
  SetupPlatform& platform = context.platform;
  RegKey key = kNoKey;
  if (platform.openKey(kLocalMachine, kUninstallKey, &key) != kErrorSuccess) return;
  if (std::optional<std::string> previous = readRegistryString(platform, key, "UninstallString")) {
    context.previousUninstallCommand = *previous;
  }
  std::string remover = filePathIn(context.programFolder, kUninstaller);
  setStringValue(platform, key, "UninstallString", remover.c_str());
  platform.closeKey(key);
}

void writeConfiguration(SetupContext& context) {
  SetupPlatform& platform = context.platform;
  RegKey product = kNoKey;
  if (openOrCreateKey(platform, context.platformId, kLocalMachine, kProductKey, &product) != 0) {
    return;
  }
  setStringValue(platform, product, "Uninstall",
                 limitPath(context.previousUninstallCommand).c_str());
  std::string execPath = limitPath(context.programFolder);
  appendBackslash(execPath);
  setStringValue(platform, product, "EXECPATH", execPath.c_str());
  std::string mailPath = limitPath(context.dataFolder);
  appendBackslash(mailPath);
  setStringValue(platform, product, "MAILPATH", mailPath.c_str());

  if (context.noDefaultDomain == 0 && !context.domainName.empty()) {
    RegKey domain = kNoKey;
    if (openOrCreateKey(platform, context.platformId, product, kDefaultDomainKey, &domain) != 0) {
      platform.closeKey(product);
      return;
    }
    setStringValue(platform, domain, "MAILPATH", mailPath.c_str());
    setStringValue(platform, domain, "DomainName", context.domainName.c_str());
    setDwordValue(platform, domain, "Boot", 7);
    setDwordValue(platform, domain, "Running", 0);
    const unsigned char noAddresses[8] = {};
    setBinaryValue(platform, domain, "IPList", noAddresses, sizeof noAddresses);
    platform.closeKey(domain);
  }
  platform.closeKey(product);
}

void deleteOldProductKeys(SetupPlatform& platform) {
  for (const char* key : kOldProductKeys) platform.deleteKey(kLocalMachine, key);
}

}  // namespace setup
