// Status codes of the DBF engine.
//
// Every engine operation returns an int: 0 for success, a small positive
// outcome that is not an error, or a negative error code. Negative codes are
// stored in the EngineContext (see context.h) and make later calls return
// kErrContextHoldsError until the code is cleared.
#pragma once

namespace dbf {

// Outcomes that are not errors.
inline constexpr int kOk = 0;
inline constexpr int kEof = 3;             // end of file reached
inline constexpr int kBof = 4;             // beginning of file reached
inline constexpr int kNotFound = 5;        // record not found (not reported)
inline constexpr int kDuplicate = 20;      // key already present in a unique tag
inline constexpr int kLocked = 50;         // lock not obtained within the tries
inline constexpr int kAlreadyExists = 60;  // create refused, reporting off
inline constexpr int kOpenFailed = 70;     // open failed, reporting off

// Error codes.
inline constexpr int kErrClose = -10;
inline constexpr int kErrCreate = -20;
inline constexpr int kErrLength = -30;
inline constexpr int kErrSetLength = -40;
inline constexpr int kErrLock = -50;
inline constexpr int kErrOpen = -60;
inline constexpr int kErrOpenAccess = -61;
inline constexpr int kErrOpenMode = -62;
inline constexpr int kErrOpenTooMany = -63;
inline constexpr int kErrOpenNotFound = -64;
inline constexpr int kErrAlreadyOpen = -69;
inline constexpr int kErrRead = -70;
inline constexpr int kErrUnlock = -110;
inline constexpr int kErrWrite = -120;
inline constexpr int kErrData = -200;
inline constexpr int kErrColumnName = -210;
inline constexpr int kErrRecordLength = -230;
inline constexpr int kErrTagName = -330;
inline constexpr int kErrUniqueKey = -340;
inline constexpr int kErrNotOpen = -610;
inline constexpr int kErrFlush = -630;
inline constexpr int kErrNoRecord = -910;
inline constexpr int kErrMemory = -920;
inline constexpr int kErrParameter = -930;
inline constexpr int kErrNullHandle = -935;
inline constexpr int kErrUnbound = -970;
inline constexpr int kErrVersion = -1095;
inline constexpr int kErrContextHoldsError = -1410;
inline constexpr int kErrNameNotFound = -1420;

// Expression compiler errors.
inline constexpr int kErrExprCommaOrParen = -400;
inline constexpr int kErrExprCompile = -410;
inline constexpr int kErrExprAlias = -420;
inline constexpr int kErrExprIifWidth = -422;
inline constexpr int kErrExprConstantArg = -425;
inline constexpr int kErrExprArgCount = -430;
inline constexpr int kErrExprStack = -440;
inline constexpr int kErrExprParenMissing = -450;
inline constexpr int kErrExprType = -460;
inline constexpr int kErrExprFunction = -470;
inline constexpr int kErrExprOperator = -480;
inline constexpr int kErrExprOperand = -490;
inline constexpr int kErrExprQuote = -500;
inline constexpr int kErrExprForeignAlias = -510;
inline constexpr int kErrExprNotOneValue = -950;

}  // namespace dbf
