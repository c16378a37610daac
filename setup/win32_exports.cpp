// The entry points the installer calls, Foo and Goo, and the library's one
// global SetupContext, alive from load to unload.
#include <windows.h>

#include "setup/setup_context.h"
#include "setup/win32_platform.h"

namespace {

setup::Win32Platform platform;
setup::SetupContext context(platform);

setup::WindowHandle toWindowHandle(HWND window) {
  return reinterpret_cast<setup::WindowHandle>(window);
}

}  // namespace

// Asks for the data directory and the domain, registers the service, the
// uninstall entry and the configuration. True when the dialog was accepted.
// The last argument is reserved.
extern "C" bool __stdcall Foo(HWND owner, const char* readmeFolder, const char* secondFolder,
                              const char* programFolder, DWORD) {
  return setup::runFoo(context, toWindowHandle(owner), readmeFolder, secondFolder, programFolder);
}

// Opens the read-me, stops and removes the services "Wrenhub" and
// "SMTPService". Always true. The last argument is reserved.
extern "C" bool __stdcall Goo(HWND owner, const char* readmeFolder, const char* secondFolder,
                              const char* programFolder, DWORD) {
  return setup::runGoo(context, toWindowHandle(owner), readmeFolder, secondFolder, programFolder);
}
