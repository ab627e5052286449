// Commands sent together on a connection that pipelines: CWD, TYPE A and the passive command
// go together before a listing.

#include <optional>
#include <string>
#include <vector>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/listing_transfer.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/ftp_fixture.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using testing::FakeFtpSession;
using testing::FtpFixture;
using testing::Verb;

constexpr char kTransferComplete[] = "226 Transfer complete.";

// How a server answers the passive command sent with a CWD.
enum class PassiveAnswer { kPort, kRefusal, kClosing, kSilence };

struct AheadCase {
  const char* name;
  PassiveAnswer answer;
  bool logged_in;        // afterwards
  bool still_pipelines;  // afterwards
};

class PipelinedPassiveTest : public FtpFixture, public ::testing::WithParamInterface<AheadCase> {
 protected:
  PipelinedPassiveTest() {
    session.PipelinesCommands = true;
    session.SkipsRepeatedType = true;
    session.TransferType = 'A';
    session.ConnectedFlag = kOn;
  }
};

// Whatever the server makes of the passive command sent with the CWD, the CWD's outcome
// stands and nothing is said: a server that closes the connection there (a time-out) or
// leaves the command unanswered has it closed quietly, for the engine to log in again, and a
// silent one is sent each command alone from then on.
TEST_P(PipelinedPassiveTest, TheCwdStandsAndNothingIsSaid) {
  env.stalled_reply_wait_ms = 100;
  const PassiveAnswer answer = GetParam().answer;
  OpenControl(testing::Session({}, {}, [answer](const std::string& command, FakeFtpSession& s) {
    if (Verb(command) == "CWD") return s.Reply("250 Directory successfully changed.");
    switch (answer) {
      case PassiveAnswer::kPort:
        return s.Reply(s.Passive());
      case PassiveAnswer::kRefusal:
        return s.Reply("425 Cannot open passive connection.");
      case PassiveAnswer::kClosing:
        s.Reply("421 Timeout.");
        return s.Close();
      case PassiveAnswer::kSilence:
        return;
    }
  }));

  const CommandOutcome cd = ChangeDirForListing(session, "/pub");

  EXPECT_TRUE(cd.ok);
  EXPECT_EQ(cd.reply, "250 Directory successfully changed.");
  EXPECT_FALSE(cd.lost);
  EXPECT_EQ(cd.logged_in, GetParam().logged_in);
  EXPECT_EQ(session.PipelinesCommands, GetParam().still_pipelines);
  EXPECT_TRUE(console.lines.empty());
  EXPECT_THAT(ServerCommands(), ElementsAre("CWD /pub", "PASV"));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PipelinedPassiveTest,
    ::testing::Values(AheadCase{"Port", PassiveAnswer::kPort, true, true},
                      AheadCase{"Refusal", PassiveAnswer::kRefusal, true, true},
                      AheadCase{"Closing", PassiveAnswer::kClosing, false, true},
                      AheadCase{"Silence", PassiveAnswer::kSilence, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- CWD, TYPE A and PASV before a listing ---------------------------------------------------

struct ListingCwdCase {
  const char* name;
  std::string cwd_reply;
  bool ok;
};

class PipelinedListingTest : public FtpFixture,
                             public ::testing::WithParamInterface<ListingCwdCase> {
 protected:
  PipelinedListingTest() {
    session.PipelinesCommands = true;
    session.SkipsRepeatedType = true;
    session.ConnectedFlag = kOn;
  }
};

// The server answers CWD only once TYPE A and PASV have come with it. A refused CWD leaves
// the replies in step: the outcome is the CWD's, and the listing after it is read whole.
TEST_P(PipelinedListingTest, CwdGoesWithTypeAndPassive) {
  const ListingCwdCase& c = GetParam();
  OpenControl(testing::Session(
      {}, {}, [&c, held = 0, passive = std::string()](const std::string& command,
                                                       FakeFtpSession& s) mutable {
        const std::string verb = Verb(command);
        if (verb == "CWD" || verb == "TYPE") {
          ++held;
        } else if (verb == "PASV" && held == 2) {
          held = 0;
          s.Reply(c.cwd_reply);
          s.Reply("200 Switching to ASCII mode.");
          s.Reply(s.Passive());
        } else if (verb == "PASV") {
          s.Reply(s.Passive());
        } else if (verb == "LIST" && s.AcceptData()) {
          s.Reply("150 Here comes the directory listing.");
          s.SendData("-rw-r--r-- 1 0 0 5 Mar 05 2001 a.txt\r\n");
          s.CloseData();
          s.Reply(kTransferComplete);
        } else {
          s.Reply("502 Command not scripted.");
        }
      }));

  const CommandOutcome cd = ChangeDirForListing(session, "/pub/");
  const ListingOutcome listing = ListDirectory(session, "/pub/", "");

  EXPECT_EQ(cd.ok, c.ok);
  EXPECT_EQ(cd.reply, c.cwd_reply);
  EXPECT_EQ(session.TransferType, 'A');
  EXPECT_FALSE(listing.transfer.failed);
  EXPECT_THAT(listing.lines, ElementsAre("-rw-r--r-- 1 0 0 5 Mar 05 2001 a.txt"));
  const std::vector<std::string> commands = ServerCommands();
  EXPECT_THAT(std::vector<std::string>(commands.begin(), commands.begin() + 4),
              ElementsAre("CWD /pub", "TYPE A", "PASV", "LIST"));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PipelinedListingTest,
    ::testing::Values(ListingCwdCase{"Changed", "250 Directory successfully changed.", true},
                      ListingCwdCase{"Refused", "550 Failed to change directory.", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace koru
