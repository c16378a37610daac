// An in-memory Windows for the setup tests: registry keys and values, services,
// directories, a scripted setup dialog and recorded message boxes, with
// switches that make single operations fail.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "setup/platform.h"

namespace setup::testing {

struct FakeValue {
  unsigned long type = 0;
  std::string bytes;
};

struct FakeKey {
  std::string name;  // full path as created, e.g. "SOFTWARE\Varnel Workshop\Wrenhub"
  bool adminOnly = false;
  std::map<std::string, FakeValue> values;  // by lower-case name
};

struct FakeService {
  std::string displayName;
  ServiceRegistration reg;  // string pointers point into the strings below
  std::string binaryPath;
  bool running = false;
};

struct ShownMessage {
  WindowHandle owner;
  std::string text;
  std::string caption;
  unsigned style;
};

class FakePlatform : public SetupPlatform {
 public:
  // Switches.
  unsigned long version = kPlatformWin32Nt;
  bool serviceManagerAvailable = true;
  bool adminOnlyCreationFails = false;
  std::set<std::string> uncreatableKeys;  // lower-case full paths
  bool deletionRefused = false;
  std::set<std::string> directoriesThatCannotBeEntered;  // as passed to SetCurrentDirectory
  // Each entry answers one run of the dialog: edits the values, returns the button.
  std::deque<std::function<int(SetupDialogValues&)>> dialogScript;

  // What happened.
  std::vector<std::string> log;
  std::vector<SetupDialogValues> dialogsShown;  // values as each run opened
  std::vector<ShownMessage> messages;
  std::vector<std::string> directoriesCreated;
  std::string currentDirectory;
  std::map<std::string, FakeKey> keys;          // by lower-case full path
  std::map<std::string, FakeService> services;  // by name
  int openKeyHandles = 0;
  int openServiceHandles = 0;

  // --- helpers for tests ---
  static std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  }
  FakeKey& addKey(const std::string& path) {
    FakeKey& key = keys[lower(path)];
    key.name = path;
    return key;
  }
  bool hasKey(const std::string& path) const { return keys.count(lower(path)) != 0; }
  const FakeKey& key(const std::string& path) const { return keys.at(lower(path)); }
  void putValue(const std::string& path, const std::string& name, unsigned long type,
                const std::string& bytes) {
    addKey(path).values[lower(name)] = FakeValue{type, bytes};
  }
  void putString(const std::string& path, const std::string& name, const std::string& text) {
    putValue(path, name, kRegSz, std::string(text.c_str(), text.size() + 1));
  }
  const FakeValue* value(const std::string& path, const std::string& name) const {
    auto k = keys.find(lower(path));
    if (k == keys.end()) return nullptr;
    auto v = k->second.values.find(lower(name));
    return v == k->second.values.end() ? nullptr : &v->second;
  }
  // The text of a REG_SZ value without its terminator; "<missing>" if absent.
  std::string text(const std::string& path, const std::string& name) const {
    const FakeValue* v = value(path, name);
    if (v == nullptr) return "<missing>";
    return v->bytes.substr(0, v->bytes.find('\0'));
  }
  void addService(const std::string& name, bool running) {
    FakeService& s = services[name];
    s.running = running;
    s.binaryPath = "C:\\old\\" + name + ".exe";
  }
  std::vector<std::string> logWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : log)
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
  }

  // --- SetupPlatform ---
  unsigned long platformId() override {
    log.push_back("version");
    return version;
  }

  long openKey(RegKey parent, const char* path, RegKey* out) override {
    std::string full = fullPath(parent, path);
    *out = kNoKey;
    if (!keys.count(lower(full))) return kErrorFileNotFound;
    *out = newKeyHandle(full);
    return kErrorSuccess;
  }
  long createKey(RegKey parent, const char* path, RegKey* out) override {
    log.push_back(std::string("createKey ") + path);
    return create(parent, path, false, out) ? kErrorSuccess : 5;
  }
  bool createAdminOnlyKey(RegKey parent, const char* path, RegKey* out) override {
    log.push_back(std::string("createAdminOnlyKey ") + path);
    *out = kNoKey;
    if (adminOnlyCreationFails) return false;
    return create(parent, path, true, out);
  }
  long queryValue(RegKey key, const char* name, unsigned long* type, unsigned char* data,
                  unsigned long* size) override {
    const FakeValue* v = value(keyPath(key), name);
    if (v == nullptr) return kErrorFileNotFound;
    *type = v->type;
    unsigned long room = *size;
    *size = static_cast<unsigned long>(v->bytes.size());
    if (data == nullptr) return kErrorSuccess;
    if (room < v->bytes.size()) return kErrorMoreData;
    std::memcpy(data, v->bytes.data(), v->bytes.size());
    return kErrorSuccess;
  }
  long setValue(RegKey key, const char* name, unsigned long type, const void* data,
                unsigned long size) override {
    std::string path = keyPath(key);
    log.push_back("setValue " + path + " " + name);
    keys.at(lower(path)).values[lower(name)] =
        FakeValue{type, std::string(static_cast<const char*>(data), size)};
    return kErrorSuccess;
  }
  long closeKey(RegKey key) override {
    if (!keyHandles.erase(key)) throw std::logic_error("closing a key that is not open");
    --openKeyHandles;
    return kErrorSuccess;
  }
  long deleteKey(RegKey parent, const char* path) override {
    std::string full = lower(fullPath(parent, path));
    log.push_back(std::string("deleteKey ") + path);
    if (!keys.count(full)) return kErrorFileNotFound;
    for (const auto& [other, unused] : keys)
      if (other.size() > full.size() && other.compare(0, full.size() + 1, full + "\\") == 0)
        return 5;  // has subkeys
    keys.erase(full);
    return kErrorSuccess;
  }

  ScHandle openSCManager(unsigned long access) override {
    log.push_back("openSCManager " + std::to_string(access));
    if (!serviceManagerAvailable) {
      error = 5;
      return kNoHandle;
    }
    ++openServiceHandles;
    return kManager + (++managerOpenings);
  }
  ScHandle createService(ScHandle manager, const ServiceRegistration& reg) override {
    log.push_back(std::string("createService ") + reg.name);
    checkManager(manager);
    if (services.count(reg.name)) {
      error = 1073;  // ERROR_SERVICE_EXISTS
      return kNoHandle;
    }
    FakeService& s = services[reg.name];
    s.reg = reg;
    s.displayName = reg.displayName ? reg.displayName : "";
    s.binaryPath = reg.binaryPath ? reg.binaryPath : "";
    s.reg.name = nullptr;
    s.reg.displayName = nullptr;
    s.reg.binaryPath = nullptr;
    return newServiceHandle(reg.name);
  }
  ScHandle openService(ScHandle manager, const char* name, unsigned long access) override {
    log.push_back(std::string("openService ") + name + " " + std::to_string(access));
    checkManager(manager);
    if (!services.count(name)) {
      error = 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
      return kNoHandle;
    }
    return newServiceHandle(name);
  }
  bool startService(ScHandle service) override {
    FakeService& s = services.at(serviceHandles.at(service));
    if (s.running) {
      error = 1056;  // ERROR_SERVICE_ALREADY_RUNNING
      return false;
    }
    s.running = true;
    return true;
  }
  bool controlService(ScHandle service, unsigned long control) override {
    const std::string& name = serviceHandles.at(service);
    log.push_back("controlService " + name + " " + std::to_string(control));
    FakeService& s = services.at(name);
    if (control != kServiceControlStop || !s.running) {
      error = 1062;  // ERROR_SERVICE_NOT_ACTIVE
      return false;
    }
    s.running = false;
    return true;
  }
  bool deleteService(ScHandle service) override {
    const std::string& name = serviceHandles.at(service);
    log.push_back("deleteService " + name);
    if (deletionRefused) {
      error = 5;
      return false;
    }
    services.erase(name);
    return true;
  }
  bool closeServiceHandle(ScHandle handle) override {
    if (handle > kManager && handle <= kManager + managerOpenings) {
      if (!closedManagers.insert(handle).second) throw std::logic_error("manager closed twice");
    } else if (!serviceHandles.erase(handle)) {
      throw std::logic_error("closing a service handle that is not open");
    }
    --openServiceHandles;
    return true;
  }
  unsigned long lastError() override { return error; }

  void shellOpen(const char* file) override { log.push_back(std::string("shellOpen ") + file); }
  bool createDirectory(const char* path) override {
    directoriesCreated.push_back(path);
    return true;
  }
  bool setCurrentDirectory(const char* path) override {
    if (directoriesThatCannotBeEntered.count(path)) return false;
    currentDirectory = path;
    return true;
  }
  int runSetupDialog(WindowHandle, SetupDialogValues& values) override {
    log.push_back("dialog");
    dialogsShown.push_back(values);
    if (dialogScript.empty()) throw std::logic_error("dialog shown more often than scripted");
    auto answer = dialogScript.front();
    dialogScript.pop_front();
    return answer(values);
  }
  int messageBox(WindowHandle owner, const char* text, const char* caption,
                 unsigned style) override {
    log.push_back(std::string("messageBox ") + text);
    messages.push_back({owner, text, caption, style});
    return kIdOk;
  }

 private:
  static constexpr ScHandle kManager = 0x5C000;
  static constexpr ScHandle kFirstService = 0x77000;

  std::string keyPath(RegKey key) const {
    if (key == kLocalMachine) return "";
    return keyHandles.at(key);
  }
  std::string fullPath(RegKey parent, const char* path) const {
    std::string base = keyPath(parent);
    return base.empty() ? path : base + "\\" + path;
  }
  RegKey newKeyHandle(const std::string& path) {
    RegKey handle = nextKey++;
    keyHandles[handle] = keys.at(lower(path)).name;
    ++openKeyHandles;
    return handle;
  }
  bool create(RegKey parent, const char* path, bool adminOnly, RegKey* out) {
    std::string full = fullPath(parent, path);
    *out = kNoKey;
    if (uncreatableKeys.count(lower(full))) return false;
    if (!keys.count(lower(full))) addKey(full).adminOnly = adminOnly;
    *out = newKeyHandle(full);
    return true;
  }
  ScHandle newServiceHandle(const std::string& name) {
    ScHandle handle = nextService++;
    serviceHandles[handle] = name;
    ++openServiceHandles;
    return handle;
  }
  void checkManager(ScHandle manager) const {
    if (manager <= kManager || manager > kManager + managerOpenings ||
        closedManagers.count(manager))
      throw std::logic_error("service call without an open service manager");
  }

  std::map<RegKey, std::string> keyHandles;
  RegKey nextKey = 0x1000;
  std::map<ScHandle, std::string> serviceHandles;
  ScHandle nextService = kFirstService;
  ScHandle managerOpenings = 0;
  std::set<ScHandle> closedManagers;
  unsigned long error = 0;
};

}  // namespace setup::testing
