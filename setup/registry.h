// Registry configuration: the primitives setup reads and writes keys with,
// the uninstall entry handed over to REMOVER.EXE, and the configuration the
// mail server reads under HKEY_LOCAL_MACHINE\SOFTWARE\Varnel Workshop\Wrenhub.
#pragma once

#include <optional>
#include <string>

#include "setup/platform.h"

namespace setup {

struct SetupContext;

inline constexpr const char* kProductKey = "SOFTWARE\\Varnel Workshop\\Wrenhub";
inline constexpr const char* kDefaultDomainKey = "vhDefault";
inline constexpr const char* kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\WrenhubNT";
inline constexpr const char* kUninstaller = "REMOVER.EXE";
inline constexpr const char* kNtTcpipKey = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
inline constexpr const char* kWin95TcpipKey = "SYSTEM\\CurrentControlSet\\Services\\VxD\\MSTCP";

// The old product keys, deleted in this order before the service is
// registered. On Windows NT a key that has subkeys is not deleted, so the
// product key survives once it holds "vhDefault".
inline constexpr const char* kOldProductKeys[] = {
    "SOFTWARE\\Varnel Workshop\\SMTPServer",
    "SOFTWARE\\Varnel Workshop\\SMTPServer2.0",
    "SOFTWARE\\Varnel Workshop\\Wrenhub",
    "SOFTWARE\\Varnel Workshop\\WrenhubNT",
};

// Opens `path` under `parent`, creating it when missing: on Windows NT
// (platformId 2) first with administrators-only access, then, if that fails or
// on other platforms, plainly. *out is kNoKey first; 0 when it is open, 1 on
// failure.
int openOrCreateKey(SetupPlatform& platform, unsigned long platformId, RegKey parent,
                    const char* path, RegKey* out);

// Creates `path` with a DACL that grants GENERIC_ALL to the built-in
// Administrators group only. True when the key was created and opened.
bool createAdminOnlyKey(SetupPlatform& platform, RegKey parent, const char* path, RegKey* out);

// The value's bytes as text, whatever its type, or nothing when the value is
// missing or cannot be read. The text ends at the value's first NUL or at its
// end, whichever comes first: a REG_BINARY or unterminated value is never
// read past its end.
std::optional<std::string> readRegistryString(SetupPlatform& platform, RegKey key,
                                              const char* name);

// Value setters; each returns the Win32 error code (0 success), which setup
// ignores. A missing text is written as the empty string.
long setStringValue(SetupPlatform& platform, RegKey key, const char* name, const char* text);
long setDwordValue(SetupPlatform& platform, RegKey key, const char* name, std::uint32_t value);
long setBinaryValue(SetupPlatform& platform, RegKey key, const char* name, const void* bytes,
                    unsigned long length);

// The machine's DNS domain: the "Domain" value of the TCP/IP parameters, cut
// at its first control character and at the 260-byte path limit (at most 259
// characters). Empty when the key or value is missing.
std::string readSystemDomain(SetupPlatform& platform, unsigned long platformId);

// When the installer's uninstall key "...\Uninstall\WrenhubNT" exists (it is
// never created), remembers its "UninstallString" in the context as the
// previous uninstall command and points it at REMOVER.EXE in the program folder.
void writeUninstallEntry(SetupContext& context);

// Writes "Uninstall", "EXECPATH" and "MAILPATH" under the product key and,
// unless the no-default-domain flag is set or the domain is empty, the default
// virtual domain "vhDefault": "MAILPATH", "DomainName", "Boot" = 7,
// "Running" = 0, "IPList" = 8 zero bytes. Failures are not reported.
void writeConfiguration(SetupContext& context);

// Deletes the four old product keys in order, ignoring the results.
void deleteOldProductKeys(SetupPlatform& platform);

}  // namespace setup
