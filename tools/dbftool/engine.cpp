#include "tools/dbftool/engine.h"

#include "dbf/core/file.h"
#include "dbf/core/table.h"
#include "dbf/index/build.h"
#include "tools/dbftool/console.h"

namespace dbftool {

Engine::Engine() {
  engine4init(&ctx_, nullptr, kEngineVersion);
  ctx_.compatibility = 30;
  // A lock that someone else holds is tried for ten seconds, not for ever.
  ctx_.lockAttempts = 100;
  ctx_.lockRetryDelay = 10;
}

Engine::~Engine() { engine4free(&ctx_); }

int Engine::takeError() { return engine4errorSet(&ctx_, 0); }

std::string tableFileName(const std::string& name) {
  char full[258];
  if (name.empty() || file4nameFull(full, sizeof full, name.c_str(), "DBF", false) < 0) return "";
  return full;
}

namespace {

std::string besideDataFile(const std::string& dataFile, const char* extension) {
  char full[258];
  if (file4nameFull(full, sizeof full, dataFile.c_str(), extension, true) < 0) return "";
  return full;
}

}  // namespace

std::string memoFileName(const std::string& dataFile) { return besideDataFile(dataFile, "FPT"); }

std::string indexFileName(const std::string& dataFile) { return besideDataFile(dataFile, "CDX"); }

Table* openTable(Engine& engine, const std::string& name, Access access, std::string* error,
                 bool withIndex) {
  EngineContext* ctx = engine.ctx();
  const std::string file = tableFileName(name);
  if (file.empty()) {
    *error = format("'%s' is not a table name", name.c_str());
    return nullptr;
  }
  ctx->shareMode = access == Access::kExclusive ? 1 : 0;
  ctx->openReadOnly = access == Access::kRead ? 1 : 0;
  ctx->openProductionIndex = withIndex ? 1 : 0;
  Table* t = table4open(ctx, file.c_str());
  ctx->openProductionIndex = 1;
  if (t == nullptr) *error = openFailure(file, engine.takeError(), access);
  return t;
}

std::string openFailure(const std::string& file, int code, Access access) {
  // An existing file that cannot be had is held by someone (the sharing
  // rules refuse it with the general open error).
  if (code == dbf::kErrOpen && file4exists(file.c_str())) {
    if (access == Access::kExclusive)
      return format(
          "%s is in use by another program (the mail server or another dbftool); "
          "nothing was changed. Stop it and try again.",
          file.c_str());
    return format(
        "%s is in use by another program that keeps it to itself (a pack?); try "
        "again later",
        file.c_str());
  }
  const std::string memo = memoFileName(file);
  if (code == dbf::kErrOpenNotFound && file4exists(file.c_str()) && !file4exists(memo.c_str()))
    return format("cannot open %s: its memo file %s is missing", file.c_str(), memo.c_str());
  std::string text = format("cannot open %s: %s", file.c_str(), engineErrorText(code).c_str());
  if (code == dbf::kErrData) text += " (dbftool check tells more)";
  return text;
}

std::string engineErrorText(int code) {
  switch (code) {
    case dbf::kLocked:
      return "locked by another program";
    case dbf::kDuplicate:
      return "equal keys in a unique or candidate tag";
    case dbf::kErrClose:
      return "closing a file failed";
    case dbf::kErrCreate:
      return "a file could not be created";
    case dbf::kErrLength:
    case dbf::kErrSetLength:
      return "the file length could not be read or set";
    case dbf::kErrLock:
      return "a lock could not be taken";
    case dbf::kErrOpen:
      return "the file cannot be opened";
    case dbf::kErrOpenAccess:
      return "access denied";
    case dbf::kErrOpenTooMany:
      return "too many open files";
    case dbf::kErrOpenNotFound:
      return "file not found";
    case dbf::kErrRead:
      return "a read failed or ran past the end of the file";
    case dbf::kErrUnlock:
      return "a lock could not be released";
    case dbf::kErrWrite:
      return "writing failed (is the file read-only?)";
    case dbf::kErrData:
      return "not a valid data file";
    case dbf::kErrColumnName:
      return "no column of that name";
    case dbf::kErrFlush:
      return "flushing to disk failed";
    case dbf::kErrIndex:
      return "the index file is damaged or no index file";
    case dbf::kErrKeyType:
      return "a key expression of a type that makes no key";
    case dbf::kErrUniqueKey:
      return "a key that a unique or candidate tag already holds";
    case dbf::kErrTagDescription:
      return "the tag cannot be made (name, expression or options)";
    case dbf::kErrParameter:
      return "a value out of range (a GENERAL tag on a code page it cannot weigh?)";
    case dbf::kErrNameNotFound:
      return "a name that is already taken or not found";
    case dbf::kErrAlreadyOpen:
      return "the file is open already";
    case dbf::kErrMemory:
      return "out of memory";
    case dbf::kErrExprCommaOrParen:
      return "',' or ')' expected";
    case dbf::kErrExprCompile:
      return "the expression does not compile";
    case dbf::kErrExprAlias:
      return "no open table of that alias";
    case dbf::kErrExprIifWidth:
      return "the two branches of IIF differ in width";
    case dbf::kErrExprConstantArg:
      return "this function argument must be a number constant";
    case dbf::kErrExprArgCount:
      return "wrong number of function arguments";
    case dbf::kErrExprStack:
      return "the expression is too deeply nested";
    case dbf::kErrExprParenMissing:
      return "')' missing";
    case dbf::kErrExprType:
      return "an operator or function does not take values of these types";
    case dbf::kErrExprFunction:
      return "no function of that name";
    case dbf::kErrExprOperator:
      return "no operator of that name";
    case dbf::kErrExprOperand:
      return "an operand cannot be read";
    case dbf::kErrExprQuote:
      return "a text constant lacks its closing quote";
    case dbf::kErrExprNotOneValue:
      return "the expression is not one logical value";
    default:
      return format("engine error %d", code);
  }
}

}  // namespace dbftool
