// installhook's registry code against the real registry (under Wine): values
// and types of the configuration, the security of the keys it creates, the
// uninstall entry and the machine's domain.
#include <windows.h>

#include <cstdio>

#include "setup/registry.h"
#include "setup/setup_context.h"
#include "setup/win32_platform.h"
#include "tests/setup/wine/wine_check.h"
#include "tests/setup/wine/wine_helpers.h"

using namespace wine_helpers;

namespace {

const std::string kProduct = "SOFTWARE\\Varnel Workshop\\Wrenhub";
const std::string kDefaultDomain = kProduct + "\\vhDefault";
const std::string kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\WrenhubNT";
const std::string kTcpip = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

void freshRegistry() {
  deleteTree("SOFTWARE\\Varnel Workshop");
  deleteTree(kUninstall);
}

struct Fixture {
  setup::Win32Platform os;
  setup::SetupContext context{os};
  explicit Fixture(bool fresh = true) {
    if (fresh) freshRegistry();
    context.platformId = os.platformId();
    context.programFolder = "C:\\Program Files\\Wrenhub";
    context.dataFolder = "C:\\MailData\\";
    context.domainName = "mail.example";
  }
};

std::string sidText(PSID sid) {
  char text[128] = "?";
  SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  int length = std::snprintf(text, sizeof text, "S-1-%u", authority->Value[5]);
  for (DWORD i = 0; i < *GetSidSubAuthorityCount(sid); ++i)
    length +=
        std::snprintf(text + length, sizeof text - length, "-%lu", *GetSidSubAuthority(sid, i));
  return text;
}

}  // namespace

WINE_TEST(RunsOnWindowsNt) { CHECK_EQ(setup::Win32Platform().platformId(), 2ul); }

WINE_TEST(ConfigurationValuesAndTypes) {
  Fixture f;
  f.context.previousUninstallCommand = "C:\\WINDOWS\\uninst.exe";
  setup::writeConfiguration(f.context);
  auto product = [](const char* name) { return readValue(kProduct, name); };
  auto domain = [](const char* name) { return readValue(kDefaultDomain, name); };
  CHECK_EQ(product("Uninstall").type, DWORD(REG_SZ));
  CHECK_EQ(product("Uninstall").bytes, sz("C:\\WINDOWS\\uninst.exe"));
  CHECK_EQ(product("EXECPATH").type, DWORD(REG_SZ));
  CHECK_EQ(product("EXECPATH").bytes, sz("C:\\Program Files\\Wrenhub\\"));
  CHECK_EQ(product("MAILPATH").type, DWORD(REG_SZ));
  CHECK_EQ(product("MAILPATH").bytes, sz("C:\\MailData\\"));
  CHECK_EQ(domain("MAILPATH").type, DWORD(REG_SZ));
  CHECK_EQ(domain("MAILPATH").bytes, sz("C:\\MailData\\"));
  CHECK_EQ(domain("DomainName").type, DWORD(REG_SZ));
  CHECK_EQ(domain("DomainName").bytes, sz("mail.example"));
  CHECK_EQ(domain("Boot").type, DWORD(REG_DWORD));
  CHECK_EQ(domain("Boot").bytes, std::string("\x07\0\0\0", 4));
  CHECK_EQ(domain("Running").type, DWORD(REG_DWORD));
  CHECK_EQ(domain("Running").bytes, std::string(4, '\0'));
  CHECK_EQ(domain("IPList").type, DWORD(REG_BINARY));
  CHECK_EQ(domain("IPList").bytes, std::string(8, '\0'));
}

WINE_TEST(NoDefaultDomainWritesEmptyMailPathAndNoVhDefault) {
  Fixture f;
  f.context.noDefaultDomain = 1;
  f.context.dataFolder.clear();
  f.context.domainName.clear();
  setup::writeConfiguration(f.context);
  CHECK_EQ(readValue(kProduct, "MAILPATH").bytes, sz(""));
  CHECK_EQ(readValue(kProduct, "Uninstall").bytes, sz(""));
  CHECK(!keyExists(kDefaultDomain));
}

WINE_TEST(CreatedKeysGrantAccessToAdministratorsOnly) {
  Fixture f;
  setup::RegKey key = setup::kNoKey;
  CHECK_EQ(setup::openOrCreateKey(f.os, f.context.platformId, setup::kLocalMachine,
                                  kProduct.c_str(), &key),
           0);
  CHECK(key != setup::kNoKey);
  if (key != setup::kNoKey) f.os.closeKey(key);

  HKEY opened;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProduct.c_str(), 0, READ_CONTROL, &opened) !=
      ERROR_SUCCESS) {
    CHECK(!"product key cannot be opened");
    return;
  }
  alignas(8) BYTE buffer[4096];
  DWORD size = sizeof buffer;
  LONG status = RegGetKeySecurity(opened, DACL_SECURITY_INFORMATION, buffer, &size);
  RegCloseKey(opened);
  CHECK_EQ(status, 0l);
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  CHECK(GetSecurityDescriptorDacl(buffer, &present, &dacl, &defaulted));
  CHECK(present);
  if (!dacl) return;
  bool adminsFull = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    CHECK_EQ(int(header->AceType), int(ACCESS_ALLOWED_ACE_TYPE));
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    std::string sid = sidText(&ace->SidStart);
    if (sid == "S-1-5-32-544") {
      adminsFull = ace->Mask == GENERIC_ALL || ace->Mask == KEY_ALL_ACCESS;
      if (!adminsFull)
        wine_check::fail(__FILE__, __LINE__, "administrators mask " + std::to_string(ace->Mask));
    } else if (sid == "S-1-5-32-545") {
      // Wine adds a read entry for Users to every key; Windows does not.
      CHECK((ace->Mask & ~(KEY_READ | GENERIC_READ)) == 0);
    } else {
      wine_check::fail(__FILE__, __LINE__, "unexpected entry for " + sid);
    }
  }
  CHECK(adminsFull);
}

WINE_TEST(ExistingKeyIsOpenedNotRecreated) {
  Fixture f;
  putString(kProduct, "Postmaster", sz("admin"));
  putString(kDefaultDomain, "Postmaster", sz("admin"));
  setup::writeConfiguration(f.context);
  CHECK_EQ(readValue(kProduct, "Postmaster").bytes, sz("admin"));
  CHECK_EQ(readValue(kDefaultDomain, "Postmaster").bytes, sz("admin"));
  CHECK_EQ(readValue(kDefaultDomain, "DomainName").bytes, sz("mail.example"));
}

WINE_TEST(MissingUninstallKeyIsNotCreated) {
  Fixture f;
  setup::writeUninstallEntry(f.context);
  CHECK(!keyExists(kUninstall));
  CHECK_EQ(f.context.previousUninstallCommand, std::string());
}

WINE_TEST(UninstallEntryPointsAtRemoverAndSecondRunReadsItBack) {
  Fixture f;
  putString(kUninstall, "UninstallString", sz("C:\\WINDOWS\\uninst.exe -f\"C:\\log\""));
  setup::writeUninstallEntry(f.context);
  setup::writeConfiguration(f.context);
  CHECK_EQ(readValue(kUninstall, "UninstallString").bytes,
           sz("C:\\Program Files\\Wrenhub\\REMOVER.EXE"));
  CHECK_EQ(readValue(kProduct, "Uninstall").bytes, sz("C:\\WINDOWS\\uninst.exe -f\"C:\\log\""));

  Fixture second(false);  // the same machine, a later installation
  second.context.programFolder = "C:\\Wrenhub\\";
  setup::writeUninstallEntry(second.context);
  setup::writeConfiguration(second.context);
  CHECK_EQ(readValue(kUninstall, "UninstallString").bytes, sz("C:\\Wrenhub\\REMOVER.EXE"));
  CHECK_EQ(readValue(kProduct, "Uninstall").bytes, sz("C:\\Program Files\\Wrenhub\\REMOVER.EXE"));
}

WINE_TEST(DomainIsCutAtItsCarriageReturn) {
  setup::Win32Platform os;
  RegValue saved = readValue(kTcpip, "Domain");
  putString(kTcpip, "Domain", sz("corp.example\r\nsecond line"));
  CHECK_EQ(setup::readSystemDomain(os, 2), std::string("corp.example"));
  putString(kTcpip, "Domain", sz("\r\ncorp.example"));
  CHECK_EQ(setup::readSystemDomain(os, 2), std::string());
  // A binary value without terminator ends at its last byte.
  putString(kTcpip, "Domain", "bin.example", REG_BINARY);
  CHECK_EQ(setup::readSystemDomain(os, 2), std::string("bin.example"));
  putString(kTcpip, "Domain", sz(std::string(400, 'd')));
  CHECK_EQ(setup::readSystemDomain(os, 2), std::string(259, 'd'));
  if (saved.exists) putString(kTcpip, "Domain", saved.bytes, saved.type);
}

WINE_TEST(ReadRegistryStringOfUnterminatedString) {
  setup::Win32Platform os;
  putString("SOFTWARE\\Varnel Workshop\\Test", "raw", "abc");  // REG_SZ without its NUL
  setup::RegKey key = setup::kNoKey;
  CHECK_EQ(os.openKey(setup::kLocalMachine, "SOFTWARE\\Varnel Workshop\\Test", &key), 0l);
  auto text = setup::readRegistryString(os, key, "raw");
  CHECK(text.has_value());
  if (text) CHECK_EQ(*text, std::string("abc"));
  CHECK(!setup::readRegistryString(os, key, "missing").has_value());
  os.closeKey(key);
  deleteTree("SOFTWARE\\Varnel Workshop\\Test");
}
