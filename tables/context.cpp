// One engine context per thread for the table access layer, and the settings
// applied around each engine create and open.
#include "tables/context.h"

#include <mutex>
#include <new>
#include <vector>

namespace {

thread_local EngineContext* threadContext = nullptr;

// Contexts are never freed, but they stay reachable from here after their
// thread has ended, so that leak checkers do not count them as lost.
std::mutex& contextRegistryMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::vector<EngineContext*>& contextRegistry() {
  static std::vector<EngineContext*>* contexts = new std::vector<EngineContext*>;
  return *contexts;
}

EngineContext* createContext() {
  EngineContext* ctx = new (std::nothrow) EngineContext{};
  if (ctx == nullptr) return nullptr;
  if (engine4init(ctx, nullptr, kEngineVersion) != 0) {
    delete ctx;
    return nullptr;
  }
  try {
    std::lock_guard<std::mutex> guard(contextRegistryMutex());
    contextRegistry().push_back(ctx);
  } catch (...) {
    // Only the bookkeeping for leak checkers is lost; the context is usable.
  }
  return ctx;
}

}  // namespace

EngineContext* currentContext() {
  if (threadContext == nullptr) threadContext = createContext();
  if (threadContext != nullptr) threadContext->singleOpen = 0;
  return threadContext;
}

EngineSettingsScope::EngineSettingsScope(EngineContext* ctx)
    : ctx_(ctx),
      savedOpenProductionIndex_(ctx->openProductionIndex),
      savedRefuseOverwrite_(ctx->refuseOverwrite) {
  ctx_->openProductionIndex = 0;
  ctx_->errorCode = 0;
  ctx_->refuseOverwrite = 1;
  ctx_->compatibility = 30;
}

EngineSettingsScope::~EngineSettingsScope() {
  ctx_->openProductionIndex = savedOpenProductionIndex_;
  ctx_->refuseOverwrite = savedRefuseOverwrite_;
}
