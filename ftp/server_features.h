#ifndef KORU_FTP_SERVER_FEATURES_H_
#define KORU_FTP_SERVER_FEATURES_H_

#include <string>
#include <string_view>
#include <vector>

// What a server offers beyond the basic commands, as its answer to FEAT tells (RFC 2389,
// RFC 3659). Asked once per run; later connections to the same server reuse it.
namespace koru {

struct ServerFeatures {
  bool mlst = false;  // MLST, and with it MLSD
  // The facts the MLST line names, in lower case, in its order; `enabled_facts` those marked
  // "*" (the ones the server sends unless told otherwise).
  std::vector<std::string> facts;
  std::vector<std::string> enabled_facts;
  bool mdtm = false;
  bool size = false;
  bool utf8 = false;
  bool rest_stream = false;
  bool epsv = false;

  // Whether the MLST line names `fact` (any case), enabled or not.
  bool OffersFact(std::string_view fact) const;

  bool operator==(const ServerFeatures&) const = default;
};

// Reads a FEAT reply, all its lines (without line terminators) in order. Only a 211 reply
// offers anything: a refusal (500, 502), another code or a reply that does not read gives
// nothing offered. In a multi-line 211 reply ("211-", feature lines, "211 End") every line
// that begins with a blank names a feature, its name in any case, its parameters after one
// blank; other lines are ignored. A single-line 211 offers nothing. "REST STREAM" needs both
// words; the MLST line's parameter is its fact list, "type*;size*;modify*;", a "*" after a fact
// marking it enabled.
ServerFeatures ParseFeatReply(const std::vector<std::string>& lines);

}  // namespace koru

#endif  // KORU_FTP_SERVER_FEATURES_H_
