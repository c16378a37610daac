// The setup extension's flow: the global SetupContext, the setup dialog with
// its validation loop, and the bodies of the exports Foo (setupStep) and Goo
// (cleanupStep).
//
// Everything runs on the installer's thread during the call; there are no
// threads and no locks.
#pragma once

#include <cstdint>
#include <string>

#include "setup/platform.h"
#include "setup/services.h"

namespace setup {

inline constexpr const char* kMessageCaption = "Setup";
inline constexpr const char* kReadmeFile = "Readme.htm";
inline constexpr const char* kDataSubfolder = "Data\\";

// The library's single global state, alive from load to unload: values left
// by one call of Foo or Goo are still there in the next.
struct SetupContext {
  explicit SetupContext(SetupPlatform& p) : serviceManager(p), platform(p) {}

  std::string readmeFolder;              // holds "Readme.htm"
  std::string secondFolder;              // stored, never consulted
  std::string programFolder;             // holds bootsvc.Exe and REMOVER.EXE
  std::string dataFolder;                // accepted data directory, ends in '\'; empty until then
  std::string domainName;                // accepted domain; empty until then
  std::string previousUninstallCommand;  // "UninstallString" found before setup replaced it
  std::uint32_t noDefaultDomain = 0;     // 1: the administrator skipped the default domain
  WindowHandle ownerWindow = 0;          // owner of every message box
  ServiceManager serviceManager;

  SetupPlatform& platform;
  unsigned long platformId = 0;  // of the last version query; 2 is Windows NT
};

// The dialog object: the four values of dialog template 129, in the order the
// object holds them, shown again with its current values on each run.
class SetupDialog {
 public:
  SetupDialog(std::string programDirectory, std::string dataDirectory, std::string domainName);

  // Runs the dialog modally; kIdOk copies the controls back into the object.
  int runModal(SetupPlatform& platform, WindowHandle owner);

  SetupDialogValues values;
};

// Creates every level of a path that ends in a backslash, from the one ending
// at the second backslash on (C:\Mail\Data\ creates C:\Mail, then C:\Mail\Data);
// results are ignored, so existing levels are no error.
void createDirectoryPath(SetupPlatform& platform, const std::string& path);

// Shows the dialog until its answers are usable (true) or the administrator
// cancels (false). On acceptance the context holds either the
// no-default-domain flag or the data folder (created, made the current
// directory, ending in a backslash) and the domain name.
bool runSetupDialogLoop(SetupContext& context, SetupDialog& dialog);

// Foo's body: version, service manager (none: false, nothing shown), dialog,
// then service, uninstall entry and configuration in this order. True exactly
// when the dialog was accepted.
bool setupStep(SetupContext& context);

// Goo's body: version, service manager (none: stop), open the read-me, stop
// "Wrenhub" and "SMTPService", then remove them; results ignored.
void cleanupStep(SetupContext& context);

// What the exports do with their arguments: store them, then run the step.
bool runFoo(SetupContext& context, WindowHandle owner, const char* readmeFolder,
            const char* secondFolder, const char* programFolder);
bool runGoo(SetupContext& context, WindowHandle owner, const char* readmeFolder,
            const char* secondFolder, const char* programFolder);

}  // namespace setup
