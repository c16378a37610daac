// Setup flow: the dialog's validation loop and the steps behind Foo and Goo.
#include "setup/setup_context.h"

#include "setup/paths.h"
#include "setup/registry.h"

namespace setup {

namespace {

void showError(SetupContext& context, const char* text) {
  context.platform.messageBox(context.ownerWindow, text, kMessageCaption, kMbOkErrorIcon);
}

void storeArguments(SetupContext& context, WindowHandle owner, const char* readmeFolder,
                    const char* secondFolder, const char* programFolder) {
  context.ownerWindow = owner;
  context.readmeFolder = limitPath(readmeFolder ? readmeFolder : "");
  context.secondFolder = limitPath(secondFolder ? secondFolder : "");
  context.programFolder = limitPath(programFolder ? programFolder : "");
}

}  // namespace

SetupDialog::SetupDialog(std::string programDirectory, std::string dataDirectory,
                         std::string domainName) {
  values.programDirectory = std::move(programDirectory);
  values.dataDirectory = std::move(dataDirectory);
  values.domainName = std::move(domainName);
  values.checkState = 0;
}

int SetupDialog::runModal(SetupPlatform& platform, WindowHandle owner) {
  return platform.runSetupDialog(owner, values);
}

void createDirectoryPath(SetupPlatform& platform, const std::string& path) {
  if (path.empty()) return;
  std::size_t cut = path.find('\\');
  if (cut != std::string::npos) cut = path.find('\\', cut + 1);
  for (;;) {
    if (cut == std::string::npos) cut = path.size();
    platform.createDirectory(path.substr(0, cut).c_str());
    if (cut + 1 >= path.size()) return;
    cut = path.find('\\', cut + 1);
  }
}

bool runSetupDialogLoop(SetupContext& context, SetupDialog& dialog) {
  SetupDialogValues& answer = dialog.values;
  for (;;) {
    if (dialog.runModal(context.platform, context.ownerWindow) != kIdOk) return false;
    if (answer.checkState != 0) {
      // The answers of this call decide, not those of an earlier Foo in the
      // same process: no default domain, and no data folder or domain.
      context.noDefaultDomain = 1;
      context.dataFolder.clear();
      context.domainName.clear();
      return true;
    }
    if (answer.dataDirectory.empty()) {
      showError(context, "Destination path is empty");
      answer.dataDirectory = answer.programDirectory;
      continue;
    }
    if (answer.domainName.empty()) {
      showError(context, "Domain Name is empty");
      continue;
    }
    std::string directory = limitPath(answer.dataDirectory);
    if (directory.starts_with("\\\\")) {
      showError(context, "Do not accept UNC name");
      continue;
    }
    appendBackslash(directory);
    createDirectoryPath(context.platform, directory);
    if (!context.platform.setCurrentDirectory(directory.c_str())) {
      showError(context, "Cannot create destination directory");
      continue;
    }
    context.noDefaultDomain = 0;
    context.dataFolder = directory;
    context.domainName = answer.domainName;
    return true;
  }
}

bool setupStep(SetupContext& context) {
  context.platformId = context.platform.platformId();
  if (context.serviceManager.open() != 0) return false;
  std::string dataDirectory = limitPath(context.programFolder);
  appendBackslash(dataDirectory);
  dataDirectory += kDataSubfolder;
  SetupDialog dialog(context.programFolder, dataDirectory,
                     readSystemDomain(context.platform, context.platformId));
  if (!runSetupDialogLoop(context, dialog)) return false;
  // Each step runs whatever the one before reported; the uninstall entry
  // comes first because the configuration stores the command it found.
  installService(context);
  writeUninstallEntry(context);
  writeConfiguration(context);
  return true;
}

void cleanupStep(SetupContext& context) {
  context.platformId = context.platform.platformId();
  if (context.serviceManager.open() != 0) return;
  std::string readme = filePathIn(context.readmeFolder, kReadmeFile);
  context.platform.shellOpen(readme.c_str());
  ServiceManager& services = context.serviceManager;
  services.stop(kServiceName);
  services.stop(kOldServiceName);
  services.remove(kServiceName);
  services.remove(kOldServiceName);
}

bool runFoo(SetupContext& context, WindowHandle owner, const char* readmeFolder,
            const char* secondFolder, const char* programFolder) {
  storeArguments(context, owner, readmeFolder, secondFolder, programFolder);
  return setupStep(context);
}

bool runGoo(SetupContext& context, WindowHandle owner, const char* readmeFolder,
            const char* secondFolder, const char* programFolder) {
  storeArguments(context, owner, readmeFolder, secondFolder, programFolder);
  cleanupStep(context);
  return true;
}

}  // namespace setup
