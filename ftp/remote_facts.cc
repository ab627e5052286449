#include "ftp/remote_facts.h"

namespace koru {

ServerFeatures RemoteFacts::LearnOnce(const std::function<ServerFeatures()>& ask) {
  const std::lock_guard asking(asking_);
  {
    const std::lock_guard lock(mutex_);
    if (learned_) return features_;
  }
  ServerFeatures features = ask();
  const std::lock_guard lock(mutex_);
  features_ = std::move(features);
  learned_ = true;
  return features_;
}

ServerFeatures RemoteFacts::Features() const {
  const std::lock_guard lock(mutex_);
  return features_;
}

bool RemoteFacts::ClaimZoneProbe() {
  const std::lock_guard lock(mutex_);
  if (probe_claimed_) return false;
  probe_claimed_ = true;
  return true;
}

void RemoteFacts::SetZone(int32_t minutes) {
  const std::lock_guard lock(mutex_);
  zone_ = minutes;
}

std::optional<int32_t> RemoteFacts::Zone() const {
  const std::lock_guard lock(mutex_);
  return zone_;
}

bool RemoteFacts::FirstFallbackOf(const std::string& directory) {
  const std::lock_guard lock(mutex_);
  return fallbacks_.insert(directory).second;
}

}  // namespace koru
