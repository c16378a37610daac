// The shipped entry points under Wine: loads installhook.dll, calls Foo and
// Goo as the installer does and drives the real setup dialog and message
// boxes from a timer on this thread, then checks what the calls left in the
// registry, the service control manager and the file system.
#include <windows.h>

#include <deque>
#include <functional>
#include <vector>

#include "setup/resource.h"
#include "tests/setup/wine/wine_check.h"
#include "tests/setup/wine/wine_helpers.h"

using namespace wine_helpers;

namespace {

using EntryPoint = bool(__stdcall*)(HWND, const char*, const char*, const char*, DWORD);

const std::string kProduct = "SOFTWARE\\Varnel Workshop\\Wrenhub";
const std::string kDefaultDomain = kProduct + "\\vhDefault";
const std::string kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\WrenhubNT";
const std::string kTcpip = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
const std::string kRoot = "C:\\WrenhubTest";
const std::string kProgram = kRoot + "\\Program";
const std::string kReadme = kRoot + "\\Readme";
constexpr const char* kSeen = "installhook.test.seen";

// --- the window driver ---

// One expected window: the setup dialog or a message box with this text.
struct Expected {
  bool dialog;
  std::string text;               // message boxes only
  std::function<void(HWND)> act;  // dialogs: checks, edits, presses a button
};

std::deque<Expected> expected;
HWND installerWindow = nullptr;
int idleTicks = 0;
bool gaveUp = false;

std::string windowText(HWND window) {
  char text[1024] = "";
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string itemText(HWND dialog, int id) {
  char text[1024] = "";
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

std::string className(HWND window) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

void press(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

BOOL CALLBACK collectNewDialog(HWND window, LPARAM found) {
  if (className(window) == "#32770" && IsWindowVisible(window) && !GetPropA(window, kSeen)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK collectChildren(HWND window, LPARAM children) {
  reinterpret_cast<std::vector<HWND>*>(children)->push_back(window);
  return TRUE;
}

void checkMessageBox(HWND box, const std::string& text) {
  CHECK_EQ(windowText(box), std::string("Setup"));
  CHECK(GetWindow(box, GW_OWNER) == installerWindow);
  std::vector<HWND> children;
  EnumChildWindows(box, collectChildren, reinterpret_cast<LPARAM>(&children));
  bool found = false;
  HICON shown = nullptr;
  for (HWND child : children) {
    found = found || windowText(child) == text;
    if (className(child) == "Static" && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
      shown = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
  }
  if (!found)
    wine_check::fail(__FILE__, __LINE__,
                     "message box without the text " + wine_check::quoted(text));
  // The error icon, and OK as the only button.
  CHECK(shown != nullptr && shown == LoadIconA(nullptr, MAKEINTRESOURCEA(32513)));
  CHECK(GetDlgItem(box, IDOK) != nullptr);
  CHECK(GetDlgItem(box, IDCANCEL) == nullptr);
}

void CALLBACK onTimer(HWND, UINT, UINT_PTR, DWORD) {
  HWND window = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), collectNewDialog, reinterpret_cast<LPARAM>(&window));
  if (window == nullptr) {
    // 1500 ticks of 20 ms without the expected window: something hangs.
    if (!expected.empty() && ++idleTicks == 1500 && !gaveUp) {
      gaveUp = true;
      wine_check::fail(__FILE__, __LINE__, "no window appeared where one was expected");
    }
    return;
  }
  idleTicks = 0;
  SetPropA(window, kSeen, reinterpret_cast<HANDLE>(1));
  bool isDialog = windowText(window) == "Wrenhub Setup";
  if (expected.empty() || expected.front().dialog != isDialog || gaveUp) {
    wine_check::fail(__FILE__, __LINE__,
                     "unexpected window " + wine_check::quoted(windowText(window)) + " with text " +
                         wine_check::quoted(itemText(window, 0xFFFF)));
    PostMessageA(window, WM_COMMAND, isDialog ? IDCANCEL : IDOK, 0);
    return;
  }
  Expected next = expected.front();
  expected.pop_front();
  if (isDialog) {
    next.act(window);
  } else {
    checkMessageBox(window, next.text);
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
}

Expected dialog(std::function<void(HWND)> act) { return {true, "", std::move(act)}; }
Expected message(const std::string& text) { return {false, text, nullptr}; }

// Fills the edits and presses OK.
Expected answer(const std::string& data, const std::string& domain) {
  return dialog([=](HWND d) {
    SetDlgItemTextA(d, IDC_DATA_DIRECTORY, data.c_str());
    SetDlgItemTextA(d, IDC_DOMAIN_NAME, domain.c_str());
    press(d, IDOK);
  });
}

// --- the library ---

EntryPoint entryPoint(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  // Through the generic function pointer type, which any function type converts to.
  return reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct Library {
  HMODULE module = LoadLibraryA("installhook.dll");
  EntryPoint foo = entryPoint(module, "Foo");
  EntryPoint goo = entryPoint(module, "Goo");
  ~Library() {
    if (module) FreeLibrary(module);
  }
};

Library& library() {
  static Library loaded;
  return loaded;
}

// Calls an entry point as the installer does, with the script of windows it
// is expected to show; checks that every expected window was seen.
bool call(EntryPoint entry, std::deque<Expected> script) {
  if (entry == nullptr) {
    CHECK(!"installhook.dll or its entry point is missing");
    return false;
  }
  if (installerWindow == nullptr)
    installerWindow = CreateWindowExA(0, "STATIC", "Installer", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                      nullptr, nullptr, nullptr, nullptr);
  expected = std::move(script);
  idleTicks = 0;
  gaveUp = false;
  UINT_PTR timer = SetTimer(nullptr, 0, 20, onTimer);
  bool result = entry(installerWindow, kReadme.c_str(), "C:\\Unused", kProgram.c_str(), 0);
  KillTimer(nullptr, timer);
  if (!expected.empty())
    wine_check::fail(__FILE__, __LINE__,
                     std::to_string(expected.size()) + " expected window(s) not shown");
  expected.clear();
  return result;
}

bool directoryExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The template: every control in its order with its class, id, text and
// place (dialog units).
struct ControlLayout {
  const char* className;
  int id;
  const char* text;  // null: a value, not checked here
  RECT units;        // left, top, width, height
};

const ControlLayout kLayout[] = {
    {"Button", -1, "Executable Files Directory", {7, 7, 174, 34}},
    {"Static", IDC_PROGRAM_DIRECTORY, nullptr, {16, 21, 157, 12}},
    {"Button", -1, "Data Files Directory", {7, 69, 174, 59}},
    {"Edit", IDC_DATA_DIRECTORY, nullptr, {16, 82, 157, 12}},
    {"Static",
     -1,
     "All the data files will be stored in this directory, including databases, log files, message "
     "files.",
     {17, 98, 155, 24}},
    {"Button", -1, "Domain Name", {7, 134, 174, 31}},
    {"Edit", IDC_DOMAIN_NAME, nullptr, {16, 146, 157, 12}},
    {"Button", IDOK, "OK", {76, 180, 50, 14}},
    {"Button", IDCANCEL, "Cancel", {131, 180, 50, 14}},
    {"Button",
     IDC_NO_DEFAULT_DOMAIN,
     "I want to create multiple virtual domain.\nI want to create mail server later.",
     {7, 46, 174, 19}},
};

void checkLayout(HWND d) {
  CHECK_EQ(windowText(d), std::string("Wrenhub Setup"));
  LONG style = GetWindowLongA(d, GWL_STYLE);
  CHECK((style & (WS_POPUP | WS_CAPTION | WS_SYSMENU)) == (WS_POPUP | WS_CAPTION | WS_SYSMENU));
  CHECK(GetWindowLongA(d, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
  RECT client;
  GetClientRect(d, &client);
  RECT whole = {0, 0, 188, 201};
  MapDialogRect(d, &whole);
  CHECK_EQ(client.right, whole.right);
  CHECK_EQ(client.bottom, whole.bottom);
  LOGFONTA font = {};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(d, WM_GETFONT, 0, 0)), sizeof font, &font);
  CHECK_EQ(std::string(font.lfFaceName), std::string("Arial"));

  HWND control = GetWindow(d, GW_CHILD);
  for (const ControlLayout& expectedControl : kLayout) {
    if (control == nullptr) {
      CHECK(!"fewer controls than the template has");
      return;
    }
    CHECK_EQ(className(control), std::string(expectedControl.className));
    CHECK_EQ(static_cast<int>(static_cast<WORD>(GetDlgCtrlID(control))),
             static_cast<int>(static_cast<WORD>(expectedControl.id)));
    if (expectedControl.text) CHECK_EQ(windowText(control), std::string(expectedControl.text));
    RECT place = {expectedControl.units.left, expectedControl.units.top,
                  expectedControl.units.left + expectedControl.units.right,
                  expectedControl.units.top + expectedControl.units.bottom};
    MapDialogRect(d, &place);
    RECT actual;
    GetWindowRect(control, &actual);
    MapWindowPoints(nullptr, d, reinterpret_cast<POINT*>(&actual), 2);
    if (!EqualRect(&place, &actual))
      wine_check::fail(__FILE__, __LINE__,
                       std::string("control ") + std::to_string(expectedControl.id) +
                           " is not where the template puts it");
    control = GetWindow(control, GW_HWNDNEXT);
  }
  CHECK(control == nullptr);

  auto styleOf = [&](int id) { return GetWindowLongA(GetDlgItem(d, id), GWL_STYLE); };
  CHECK((styleOf(IDC_PROGRAM_DIRECTORY) & SS_SUNKEN) != 0);
  CHECK((styleOf(IDC_DATA_DIRECTORY) & ES_AUTOHSCROLL) != 0);
  CHECK((styleOf(IDC_DOMAIN_NAME) & ES_AUTOHSCROLL) != 0);
  CHECK_EQ(styleOf(IDC_NO_DEFAULT_DOMAIN) & 0xF, LONG(BS_AUTOCHECKBOX));
  CHECK((styleOf(IDC_NO_DEFAULT_DOMAIN) & (BS_MULTILINE | BS_TOP)) == (BS_MULTILINE | BS_TOP));
  CHECK_EQ(styleOf(IDOK) & 0xF, LONG(BS_DEFPUSHBUTTON));
  CHECK_EQ(SendMessageA(d, DM_GETDEFID, 0, 0) & 0xFFFF, LRESULT(IDOK));

  // Tab order: 1001, 1003, OK, Cancel, 1004, and round again.
  const int order[] = {IDC_DOMAIN_NAME, IDOK, IDCANCEL, IDC_NO_DEFAULT_DOMAIN, IDC_DATA_DIRECTORY};
  HWND current = GetDlgItem(d, IDC_DATA_DIRECTORY);
  for (int id : order) {
    current = GetNextDlgTabItem(d, current, FALSE);
    CHECK_EQ(GetDlgCtrlID(current), id);
  }
}

void checkDefaults(HWND d) {
  CHECK_EQ(itemText(d, IDC_PROGRAM_DIRECTORY), kProgram);
  CHECK_EQ(itemText(d, IDC_DATA_DIRECTORY), kProgram + "\\Data\\");
  CHECK_EQ(itemText(d, IDC_DOMAIN_NAME), std::string("wine.example"));
  CHECK_EQ(IsDlgButtonChecked(d, IDC_NO_DEFAULT_DOMAIN), UINT(BST_UNCHECKED));
  CHECK(IsWindowEnabled(GetDlgItem(d, IDC_DATA_DIRECTORY)));
  CHECK(IsWindowEnabled(GetDlgItem(d, IDC_DOMAIN_NAME)));
}

void prepareMachine() {
  deleteService("Wrenhub");
  deleteService("SMTPService");
  deleteTree("SOFTWARE\\Varnel Workshop");
  deleteTree(kUninstall);
  putString(kUninstall, "UninstallString", sz("C:\\WINDOWS\\uninst.exe"));
  putString(kTcpip, "Domain", sz("wine.example\r\n"));
  CreateDirectoryA(kRoot.c_str(), nullptr);
  CreateDirectoryA(kProgram.c_str(), nullptr);
}

}  // namespace

// The steps below run in this order, as an installer would call them.

WINE_TEST(DllExportsFooAndGoo) {
  CHECK(library().module != nullptr);
  CHECK(library().foo != nullptr);
  CHECK(library().goo != nullptr);
  // The dialog template is language neutral.
  CHECK(FindResourceExA(library().module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(IDD_SETUP_DIALOG),
                        MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) != nullptr);
}

WINE_TEST(FooCancelledShowsTemplateAndDefaultsAndWritesNothing) {
  prepareMachine();
  bool result = call(library().foo, {dialog([](HWND d) {
                       checkLayout(d);
                       checkDefaults(d);
                       press(d, IDCANCEL);
                     })});
  CHECK(!result);
  CHECK(!keyExists(kProduct));
  CHECK_EQ(readValue(kUninstall, "UninstallString").bytes, sz("C:\\WINDOWS\\uninst.exe"));
  CHECK_EQ(serviceState("Wrenhub"), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

WINE_TEST(FooRejectsAnswersInOrderThenRegistersEverything) {
  const std::string data = kRoot + "\\Mail\\Data";
  bool result =
      call(library().foo,
           {answer("", ""), message("Destination path is empty"), dialog([](HWND d) {
              CHECK_EQ(itemText(d, IDC_DATA_DIRECTORY), kProgram);  // refilled
              CHECK_EQ(itemText(d, IDC_DOMAIN_NAME), std::string());
              press(d, IDOK);
            }),
            message("Domain Name is empty"), answer("\\\\server\\share\\Mail", "mail.example"),
            message("Do not accept UNC name"), answer("Q:\\NoSuchDrive\\Mail", "mail.example"),
            message("Cannot create destination directory"), dialog([&](HWND d) {
              CHECK_EQ(itemText(d, IDC_DATA_DIRECTORY), std::string("Q:\\NoSuchDrive\\Mail"));
              CHECK_EQ(itemText(d, IDC_DOMAIN_NAME), std::string("mail.example"));
              SetDlgItemTextA(d, IDC_DATA_DIRECTORY, data.c_str());
              press(d, IDOK);
            })});
  CHECK(result);
  CHECK(directoryExists(data));
  char current[MAX_PATH] = "";
  GetCurrentDirectoryA(sizeof current, current);
  CHECK_EQ(std::string(current), data);

  CHECK_EQ(readValue(kProduct, "Uninstall").bytes, sz("C:\\WINDOWS\\uninst.exe"));
  CHECK_EQ(readValue(kProduct, "EXECPATH").bytes, sz(kProgram + "\\"));
  CHECK_EQ(readValue(kProduct, "MAILPATH").bytes, sz(data + "\\"));
  CHECK_EQ(readValue(kDefaultDomain, "MAILPATH").bytes, sz(data + "\\"));
  CHECK_EQ(readValue(kDefaultDomain, "DomainName").bytes, sz("mail.example"));
  CHECK_EQ(readValue(kDefaultDomain, "Boot").bytes, std::string("\x07\0\0\0", 4));
  CHECK_EQ(readValue(kDefaultDomain, "Running").bytes, std::string(4, '\0'));
  CHECK_EQ(readValue(kDefaultDomain, "IPList").type, DWORD(REG_BINARY));
  CHECK_EQ(readValue(kDefaultDomain, "IPList").bytes, std::string(8, '\0'));
  CHECK_EQ(readValue(kUninstall, "UninstallString").bytes, sz(kProgram + "\\REMOVER.EXE"));

  ServiceConfig service = readServiceConfig("Wrenhub");
  CHECK(service.exists);
  CHECK_EQ(service.path, kProgram + "\\bootsvc.Exe");
  CHECK_EQ(service.start, DWORD(SERVICE_AUTO_START));
  CHECK_EQ(service.type, DWORD(SERVICE_WIN32_OWN_PROCESS));
  CHECK_EQ(service.errorControl, DWORD(SERVICE_ERROR_IGNORE));
}

WINE_TEST(SecondFooWithTheBoxTickedSkipsTheDefaultDomain) {
  bool result = call(library().foo, {dialog([](HWND d) {
                       checkDefaults(d);  // not the answers of the run before
                       press(d, IDC_NO_DEFAULT_DOMAIN);
                       CHECK_EQ(IsDlgButtonChecked(d, IDC_NO_DEFAULT_DOMAIN), UINT(BST_CHECKED));
                       CHECK(!IsWindowEnabled(GetDlgItem(d, IDC_DATA_DIRECTORY)));
                       CHECK(!IsWindowEnabled(GetDlgItem(d, IDC_DOMAIN_NAME)));
                       press(d, IDC_NO_DEFAULT_DOMAIN);
                       CHECK(IsWindowEnabled(GetDlgItem(d, IDC_DATA_DIRECTORY)));
                       CHECK(IsWindowEnabled(GetDlgItem(d, IDC_DOMAIN_NAME)));
                       SetDlgItemTextA(d, IDC_DATA_DIRECTORY, "");
                       SetDlgItemTextA(d, IDC_DOMAIN_NAME, "");
                       press(d, IDC_NO_DEFAULT_DOMAIN);
                       press(d, IDOK);
                     })});
  CHECK(result);
  CHECK_EQ(readValue(kProduct, "MAILPATH").bytes, sz(""));
  // The second run found the uninstall command the first one wrote.
  CHECK_EQ(readValue(kProduct, "Uninstall").bytes, sz(kProgram + "\\REMOVER.EXE"));
  // vhDefault kept the product key alive and is left as the first run wrote it.
  CHECK_EQ(readValue(kDefaultDomain, "DomainName").bytes, sz("mail.example"));
  CHECK(readServiceConfig("Wrenhub").exists);
}

WINE_TEST(GooStopsAndRemovesBothServicesAndAlwaysSucceeds) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE old =
      CreateServiceA(manager, "SMTPService", "SMTPService", SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                     "C:\\old\\smtpsvc.exe", nullptr, nullptr, nullptr, nullptr, nullptr);
  CHECK(old != nullptr);
  if (old) CloseServiceHandle(old);
  CloseServiceHandle(manager);

  CHECK(call(library().goo, {}));
  CHECK_EQ(serviceState("Wrenhub"), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
  CHECK_EQ(serviceState("SMTPService"), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
  // The registry configuration is not Goo's business.
  CHECK(keyExists(kDefaultDomain));

  // Nothing left to remove: still true, nothing shown.
  CHECK(call(library().goo, {}));
}

WINE_TEST(FooAfterGooRegistersAgain) {
  CHECK(call(library().foo, {answer(kRoot + "\\Mail2", "second.example")}));
  CHECK(readServiceConfig("Wrenhub").exists);
  CHECK_EQ(readValue(kDefaultDomain, "DomainName").bytes, sz("second.example"));
  CHECK_EQ(readValue(kProduct, "MAILPATH").bytes, sz(kRoot + "\\Mail2\\"));
  CHECK(call(library().goo, {}));
}
