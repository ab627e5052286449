#include "ftp/server_features.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace koru {
namespace {

using Lines = std::vector<std::string>;

TEST(FeatReply, ReadsWhatEachServerOffers) {
  // pure-ftpd's answer, as started by the end-to-end tests.
  const ServerFeatures pure = ParseFeatReply(
      {"211-Extensions supported:", " UTF8", " EPRT", " IDLE", " MDTM", " SIZE", " MFMT",
       " REST STREAM", " MLST type*;size*;sizd*;modify*;UNIX.mode*;UNIX.uid*;UNIX.gid*;unique*;",
       " MLSD", " PRET", " AUTH TLS", " PBSZ", " PROT", " TVFS", " ESTA", " PASV", " EPSV",
       " ESTP", "211 End."});
  EXPECT_TRUE(pure.mlst && pure.mdtm && pure.size && pure.utf8 && pure.rest_stream && pure.epsv);
  const Lines facts = {"type", "size", "sizd", "modify", "unix.mode", "unix.uid", "unix.gid",
                       "unique"};
  EXPECT_EQ(pure.facts, facts);
  EXPECT_EQ(pure.enabled_facts, facts);

  // Names in any case, facts offered but not enabled, a blank after the final code.
  const ServerFeatures mixed =
      ParseFeatReply({"211-Features:", " mdtm", " Mlst Type*;Size;MODIFY*;Perm", " rest  stream",
                      "not a feature line: MLST", "211 "});
  EXPECT_TRUE(mixed.mlst);
  EXPECT_TRUE(mixed.mdtm);
  EXPECT_TRUE(mixed.rest_stream);
  EXPECT_FALSE(mixed.size || mixed.utf8 || mixed.epsv);
  EXPECT_EQ(mixed.facts, (Lines{"type", "size", "modify", "perm"}));
  EXPECT_EQ(mixed.enabled_facts, (Lines{"type", "modify"}));
  EXPECT_TRUE(mixed.OffersFact("Modify"));
  EXPECT_TRUE(mixed.OffersFact("size"));
  EXPECT_FALSE(mixed.OffersFact("sizd"));

  // vsftpd: MDTM without MLST. "REST" alone is no REST STREAM; a line not set off by a blank
  // names nothing.
  const ServerFeatures vsftpd = ParseFeatReply(
      {"211-Features:", " EPRT", " EPSV", " MDTM", " PASV", " REST", " SIZE", " TVFS", "MLST type*;",
       "211 End"});
  ServerFeatures expected;
  expected.mdtm = expected.size = expected.epsv = true;
  EXPECT_EQ(vsftpd, expected);
}

TEST(FeatReply, ARefusalOrAnUnreadableReplyOffersNothing) {
  const ServerFeatures nothing;
  const std::string replies[] = {"500 Unknown command.", "502 Command not implemented.",
                                 "211 No features.", ""};
  for (const std::string& reply : replies) {
    EXPECT_EQ(ParseFeatReply({reply}), nothing) << reply;
  }
  EXPECT_EQ(ParseFeatReply({}), nothing);
  // Cut short, or ending with another code.
  EXPECT_EQ(ParseFeatReply({"211-Features:", " MDTM", " SIZE"}), nothing);
  EXPECT_EQ(ParseFeatReply({"211-Features:", " MDTM", "500 End"}), nothing);
  EXPECT_EQ(ParseFeatReply({"211-Features:", " MDTM", "211-End"}), nothing);
  EXPECT_EQ(ParseFeatReply({"214-Features:", " MDTM", "214 End"}), nothing);
}

}  // namespace
}  // namespace koru
