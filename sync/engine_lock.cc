#include "sync/engine_lock.h"

namespace koru {

thread_local std::unique_lock<std::mutex>* EngineLock::held_ = nullptr;

}  // namespace koru
