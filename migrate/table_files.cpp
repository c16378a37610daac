// OldTableFiles: setting a table's old files aside while it is replaced.
#include "migrate/table_files.h"

#include <cstring>

#include "dbf/core/file.h"
#include "dbf/core/os.h"

namespace {

constexpr char kAsideSuffix[] = ".DBMIGRATE-OLD";
constexpr int kFoundSize = 4096;

// The last component of a path, as the administrator knows the file.
std::string leafOf(const std::string& name) {
  size_t slash = name.find_last_of(std::string("/") + kOsSeparator);
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

const char* osFailureText(OsStatus status) {
  switch (status) {
    case kOsNotFound:
      return "not found";
    case kOsAccessDenied:
      return "access denied (a read-only file or directory)";
    case kOsSharingViolation:
      return "in use by another program";
    case kOsExists:
      return "the name is taken";
    case kOsAmbiguous:
      return "several files match the name when case is ignored";
    case kOsTooManyFiles:
      return "too many open files";
    default:
      return "the system refused";
  }
}

OldTableFiles::OldTableFiles(const char* tablePath) {
  for (const char* extension : {"DBF", "FPT", "CDX"}) {
    std::string given = std::string(tablePath) + "." + extension;
    char full[258];
    File file;
    file.name =
        file4nameFull(full, sizeof full, given.c_str(), extension, false) >= 0 ? full : given;
    file.aside = file.name + kAsideSuffix;
    files_.push_back(file);
  }
}

// Finds |file| and makes sure it may be renamed: it must be a plain file
// that nobody has open, as Windows would refuse to rename one in use. The
// probe is an exclusive open, which fails while anyone else has it open.
bool OldTableFiles::check(File& file) {
  const OsInterface* os = os4get();
  char found[kFoundSize];
  file.found.clear();
  OsStatus status = os->findExisting(file.name.c_str(), found, sizeof found);
  if (status == kOsNotFound) return true;
  if (status == kOsAmbiguous) {
    problem_ = "several files match " + leafOf(file.name) + " when case is ignored: " + found;
    return false;
  }
  if (status != kOsOk) {
    problem_ = "cannot look for " + leafOf(file.name);
    return false;
  }
  file.found = found;
  int64_t probe = -1;
  OsStatus opened = os->open(found, false, kOsShareNone, &probe);
  if (opened == kOsOk) {
    os->close(probe);
    return true;
  }
  problem_ =
      leafOf(file.found) + (opened == kOsSharingViolation
                                ? " is in use by another program"
                                : " cannot be opened (it is no plain file, or access is denied)");
  return false;
}

bool OldTableFiles::setAside() {
  const OsInterface* os = os4get();
  problem_.clear();
  for (File& file : files_) {
    if (!check(file)) return false;
  }
  for (File& file : files_) {
    if (file.found.empty()) continue;
    // An aside file of a killed run is older than the file now in place.
    os->remove(file.aside.c_str());
    OsStatus status = os->rename(file.found.c_str(), file.aside.c_str(), false);
    if (status != kOsOk) {
      problem_ = leafOf(file.found) + " cannot be renamed: " + osFailureText(status);
      restore();
      return false;
    }
    file.moved = true;
  }
  return true;
}

void OldTableFiles::restore() {
  const OsInterface* os = os4get();
  for (File& file : files_) {
    if (!os->exists(file.aside.c_str())) continue;
    const std::string& home = file.found.empty() ? file.name : file.found;
    // What stands under the name now is what the failed creation left.
    if (file.moved) os->remove(home.c_str());
    if (os->rename(file.aside.c_str(), home.c_str(), false) == kOsOk) file.moved = false;
  }
}

void OldTableFiles::discard() {
  const OsInterface* os = os4get();
  for (File& file : files_) {
    if (os->exists(file.aside.c_str())) os->remove(file.aside.c_str());
    file.moved = false;
  }
}
