// dbftool's use of the engine: one EngineContext for the life of a command,
// the ways a command opens a table, and texts for the engine's codes.
#pragma once

#include <string>

#include "dbf/core/context.h"

struct Table;

namespace dbftool {

// An initialised EngineContext, freed when it goes.
class Engine {
 public:
  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  EngineContext* ctx() { return &ctx_; }
  // The code stored in the context, which is then cleared.
  int takeError();

 private:
  EngineContext ctx_{};
};

enum class Access {
  kRead,       // read only, beside any other user of the table
  kExclusive,  // read and write, nobody else may have the table open
};

// The full name of a table named on the command line: absolute, with the
// extension .DBF when it has none, its last component upper-cased as the
// engine names files. Empty when the name cannot be a file name.
std::string tableFileName(const std::string& name);
// The name of the memo file that belongs to the data file |dataFile|.
std::string memoFileName(const std::string& dataFile);
// The name of the production index of the data file |dataFile|.
std::string indexFileName(const std::string& dataFile);

// Opens |name| through the engine, with its production index unless
// |withIndex| is false; null with a message in |error| on failure. An
// exclusive open of a table that someone else has open is refused, and the
// message says so.
Table* openTable(Engine& engine, const std::string& name, Access access, std::string* error,
                 bool withIndex = true);

// The message for a failed open of the data file |file| with |code|, which
// tells a file that someone else holds from one that is missing or damaged.
std::string openFailure(const std::string& file, int code, Access access);

// What an engine code means, for messages: "file not found" and the like.
std::string engineErrorText(int code);

}  // namespace dbftool
