// The engine context of the table access layer: one EngineContext per thread,
// and the engine settings the layer puts in place around every create and open.
#pragma once

#include "dbf/core/context.h"

// Returns this thread's EngineContext, creating and initialising it (engine
// version 6300) on first use; null only when it cannot be created. The context
// lives until the process ends: it is never freed, also not when its thread
// ends. Every call sets the context's single-open setting to 0, so that several
// handles of one thread may open the same data file at once (the engine then
// shares the open file between them).
EngineContext* currentContext();

// The settings of |ctx| for an engine create or open, for the lifetime of a
// scope: openProductionIndex 0 (the production index is not opened with the
// table), errorCode 0, refuseOverwrite 1 (a create never replaces a file) and
// compatibility 30 (FoxPro 3.0 layout). On leaving the scope
// openProductionIndex and refuseOverwrite get their earlier values back;
// compatibility stays 30, and errorCode keeps whatever the engine stored, which
// alone tells whether the call succeeded.
class EngineSettingsScope {
 public:
  explicit EngineSettingsScope(EngineContext* ctx);
  ~EngineSettingsScope();
  EngineSettingsScope(const EngineSettingsScope&) = delete;
  EngineSettingsScope& operator=(const EngineSettingsScope&) = delete;

 private:
  EngineContext* ctx_;
  int32_t savedOpenProductionIndex_;
  uint8_t savedRefuseOverwrite_;
};
