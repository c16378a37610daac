// The setup dialog on Win32: template 129 run modally, with two-way data
// exchange and the check box that switches both edits off.
#include <windows.h>

#include <string>

#include "setup/resource.h"
#include "setup/win32_platform.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module, whether DLL or program

namespace setup {

namespace {

std::string controlText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  int length = GetWindowTextLengthA(control);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  int copied = GetWindowTextA(control, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

void valuesToControls(HWND dialog, const SetupDialogValues& values) {
  SetDlgItemTextA(dialog, IDC_PROGRAM_DIRECTORY, values.programDirectory.c_str());
  SetDlgItemTextA(dialog, IDC_DOMAIN_NAME, values.domainName.c_str());
  SetDlgItemTextA(dialog, IDC_DATA_DIRECTORY, values.dataDirectory.c_str());
  CheckDlgButton(dialog, IDC_NO_DEFAULT_DOMAIN,
                 values.checkState != 0 ? BST_CHECKED : BST_UNCHECKED);
}

void controlsToValues(HWND dialog, SetupDialogValues& values) {
  values.programDirectory = controlText(dialog, IDC_PROGRAM_DIRECTORY);
  values.domainName = controlText(dialog, IDC_DOMAIN_NAME);
  values.dataDirectory = controlText(dialog, IDC_DATA_DIRECTORY);
  values.checkState = IsDlgButtonChecked(dialog, IDC_NO_DEFAULT_DOMAIN) == BST_CHECKED ? 1 : 0;
}

void enableEdits(HWND dialog, bool enable) {
  EnableWindow(GetDlgItem(dialog, IDC_DATA_DIRECTORY), enable);
  EnableWindow(GetDlgItem(dialog, IDC_DOMAIN_NAME), enable);
}

INT_PTR CALLBACK setupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* values = reinterpret_cast<SetupDialogValues*>(GetWindowLongPtrA(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      valuesToControls(dialog, *reinterpret_cast<SetupDialogValues*>(lParam));
      enableEdits(dialog, true);
      return TRUE;
    case WM_COMMAND:
      if (values == nullptr) return FALSE;
      switch (LOWORD(wParam)) {
        case IDOK:
          controlsToValues(dialog, *values);
          EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        case IDC_NO_DEFAULT_DOMAIN:
          if (HIWORD(wParam) != BN_CLICKED) return FALSE;
          controlsToValues(dialog, *values);
          enableEdits(dialog, values->checkState == 0);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

}  // namespace

int Win32Platform::runSetupDialog(WindowHandle owner, SetupDialogValues& values) {
  // The controls write into a copy, so that Cancel leaves the values untouched
  // even after the check box copied the controls over.
  SetupDialogValues edited = values;
  INT_PTR result = DialogBoxParamA(
      reinterpret_cast<HINSTANCE>(&__ImageBase), MAKEINTRESOURCEA(IDD_SETUP_DIALOG),
      reinterpret_cast<HWND>(owner), setupDialogProc, reinterpret_cast<LPARAM>(&edited));
  if (result == IDOK) values = edited;
  return static_cast<int>(result);
}

}  // namespace setup
