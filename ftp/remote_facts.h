#ifndef KORU_FTP_REMOTE_FACTS_H_
#define KORU_FTP_REMOTE_FACTS_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "ftp/server_features.h"

// What the server of a run offers for exact remote dates, learnt once and shared by every
// connection of the run: the features its FEAT reply names, and its zone where a probe (the
// MDTM of a listed file) told it. Every member may be called from any connection's thread.
namespace koru {

class RemoteFacts {
 public:
  // The features, asked for with `ask` by the first caller of the run (the others wait for that
  // answer and reuse it). `ask` is called at most once.
  ServerFeatures LearnOnce(const std::function<ServerFeatures()>& ask);
  // What the features are; nothing offered before LearnOnce.
  ServerFeatures Features() const;

  // True for the first caller only: the zone probe of the run is its to make.
  bool ClaimZoneProbe();
  // The probe found the server's offset from UTC.
  void SetZone(int32_t minutes);
  std::optional<int32_t> Zone() const;

  // True the first time `directory` is named: a fallback from MLSD to LIST is said once.
  bool FirstFallbackOf(const std::string& directory);

 private:
  mutable std::mutex mutex_;
  std::mutex asking_;  // held while FEAT is asked, so that no connection goes on without it
  bool learned_ = false;
  ServerFeatures features_;
  bool probe_claimed_ = false;
  std::optional<int32_t> zone_;
  std::set<std::string> fallbacks_;
};

}  // namespace koru

#endif  // KORU_FTP_REMOTE_FACTS_H_
