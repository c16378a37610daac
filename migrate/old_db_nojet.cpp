// Access/Jet backend, left out: this build was configured without libmdb.
#include "migrate/old_db_backend.h"
#include "migrate/old_db_exception.h"

std::unique_ptr<OldDbBackend> openJetBackend(const std::string& path) {
  throwDaoException(kDaoUnrecognizedFile,
                    "'" + path +
                        "' is an Access database, and this dbmigrate was built without "
                        "Access support (WH_JET=OFF).");
}
