#include "platform/handle_pool.h"

namespace koru {

int HandlePool::Lowest() const {
  for (int n = 1; n < static_cast<int>(used_.size()); ++n) {
    if (!used_[n]) return n;
  }
  return used_.empty() ? 1 : static_cast<int>(used_.size());
}

bool HandlePool::Claim(int number) {
  if (number < 1 || InUse(number)) return false;
  if (number >= static_cast<int>(used_.size())) used_.resize(number + 1, false);
  used_[number] = true;
  return true;
}

void HandlePool::Release(int number) {
  if (InUse(number)) used_[number] = false;
}

bool HandlePool::InUse(int number) const {
  return number >= 1 && number < static_cast<int>(used_.size()) && used_[number];
}

}  // namespace koru
