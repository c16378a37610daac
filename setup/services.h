// Service control: the connection to the service control manager and the
// registration of the mail server's service "Wrenhub".
//
// Every operation returns 0 for success and a small negative code for each
// distinct failure. No operation waits for a service to change state: a stop
// request only asks the service to stop.
#pragma once

#include "setup/platform.h"

namespace setup {

struct SetupContext;

inline constexpr const char* kServiceName = "Wrenhub";
inline constexpr const char* kServiceDisplayName = "Wrenhub";
inline constexpr const char* kOldServiceName = "SMTPService";
inline constexpr const char* kServiceExecutable = "bootsvc.Exe";

// One connection to the service control manager of the local machine. The
// operations are virtual in this slot order (other code of the product relies
// on it): destroy, create, start, stop, remove, open, close, platformOpen.
class ServiceManager {
 public:
  explicit ServiceManager(SetupPlatform& platform) : platform_(platform) {}
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Closes the connection if it is open.
  virtual ~ServiceManager();

  // Registers `name` as an automatically started service of its own process
  // that runs `path` as the local system account, with errors ignored; the new
  // service's handle is closed at once. 0, or -1 when the creation failed
  // (an existing name included).
  virtual int create(const char* name, const char* displayName, const char* path);

  // 0; -1 the service cannot be opened; -2 the start was refused.
  virtual int start(const char* name);

  // Asks the service to stop. 0; -1 cannot be opened ("1)ERROR = %d\n" with the
  // system error is printed); -2 the stop request was refused ("2)ERROR = %d\n").
  virtual int stop(const char* name);

  // Unregisters a stopped service. A service that accepts a stop request was
  // running: it is only asked to stop and stays registered (-2). 0 deleted;
  // -1 cannot be opened; -2 was running; -3 deletion refused.
  virtual int remove(const char* name);

  // Connects (again: an earlier connection is closed first). 0, or -1 when no
  // handle was obtained.
  virtual int open();

  // Closes the connection if it is open.
  virtual void close();

  ScHandle handle() const { return handle_; }

 protected:
  // The platform's opener used by open(): the local machine's default
  // database with SC_MANAGER_CREATE_SERVICE access.
  virtual ScHandle platformOpen();

 private:
  SetupPlatform& platform_;
  ScHandle handle_ = kNoHandle;
};

// Removes the services "Wrenhub" and "SMTPService" and deletes the four old
// product keys, in that order; every result is ignored.
void removeOldRegistrations(SetupContext& context);

// removeOldRegistrations, then registers "Wrenhub" running bootsvc.Exe from
// the program folder. A failed registration is shown in the message box
// "Install service error." and reported as -1; otherwise 0. The service is
// not started.
int installService(SetupContext& context);

}  // namespace setup
