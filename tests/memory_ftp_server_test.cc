// The in-memory FTP server's extensions (FEAT, MLSD, MDTM, OPTS UTF8, the server's zone), driven
// by a bare client over its Transport.
#include "tests/memory_ftp_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ftp/server_features.h"
#include "listing/list_parser.h"
#include "listing/mlsd_parser.h"
#include "listing/remote_time.h"

namespace koru::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int kWaitMs = 1000;

std::string ReadAll(Connection& connection, bool until_closed, const std::string& until = "") {
  std::string text;
  char buffer[512];
  while (until_closed || text.find(until) == std::string::npos) {
    if (!connection.Wait(false, kWaitMs)) break;
    const int64_t n = connection.ReceiveSome(buffer, sizeof buffer);
    if (n == Connection::kNothingYet) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// A client that logs in and sends commands one by one.
class BareClient {
 public:
  explicit BareClient(MemoryFtpServer& server) : server_(server) {
    SystemError failure;
    control_ = server.Connect({"127.0.0.1"}, MemoryFtpServer::kControlPort, &failure, {}, kWaitMs);
    Reply();
    Command("USER anonymous");
    Command("PASS guest@");
  }

  // The reply's lines.
  std::vector<std::string> Command(const std::string& command) {
    control_->SendSome(command + "\r\n");
    return Reply();
  }

  // The data a listing command sends, after PASV; its final reply in `*reply`.
  std::string Listing(const std::string& command, std::string* reply) {
    const std::string passive = Command("PASV").back();
    const size_t open = passive.find('(');
    int h[6] = {};
    if (open == std::string::npos) return "";
    std::sscanf(passive.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h[0], &h[1], &h[2], &h[3], &h[4],
                &h[5]);
    SystemError failure;
    auto data = server_.Connect({"127.0.0.1"}, h[4] * 256 + h[5], &failure, {}, kWaitMs);
    const std::vector<std::string> opening = Command(command);
    if (opening.empty()) return "";
    *reply = opening.back();
    if (!data || opening.back().rfind("150", 0) != 0) return "";
    const std::string listing = ReadAll(*data, true);
    *reply = Reply().back();
    return listing;
  }

 private:
  // A reply's lines: one, or from "ddd-" to the line that begins "ddd ".
  std::vector<std::string> Reply() {
    std::vector<std::string> lines;
    for (;;) {
      const size_t end = pending_.find("\r\n");
      if (end == std::string::npos) {
        const std::string more = ReadAll(*control_, false, "\r\n");
        if (more.empty()) return lines;
        pending_ += more;
        continue;
      }
      lines.push_back(pending_.substr(0, end));
      pending_.erase(0, end + 2);
      const std::string& first = lines.front();
      const bool multi_line = first.size() >= 4 && first[3] == '-';
      if (!multi_line || (lines.size() > 1 && lines.back().rfind(first.substr(0, 3) + " ", 0) == 0)) {
        return lines;
      }
    }
  }

  MemoryFtpServer& server_;
  std::unique_ptr<Connection> control_;
  std::string pending_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

const int64_t kChanged = CivilToSeconds({2026, 12, 9, 21, 30, 42});  // within half a year

class MemoryFtpServerExtensions : public ::testing::Test {
 protected:
  MemoryFtpServerExtensions() {
    server.AddFile("/pub/a.txt", "abc");
    server.SetFileTime("/pub/a.txt", kChanged);
    server.AddFile("/pub/ old;one ", FakeFile{.content = "12345", .date = "Mar  5  2001"});
    server.AddDirectory("/pub/sub");
  }

  FakeClock clock;
  MemoryFtpServer server{clock};
};

TEST_F(MemoryFtpServerExtensions, OffersNothingByDefaultAndListsAsBefore) {
  BareClient client(server);
  EXPECT_THAT(client.Command("FEAT"), ElementsAre("502 Command not implemented."));
  EXPECT_THAT(client.Command("MDTM /pub/a.txt"), ElementsAre("502 Command not implemented."));
  EXPECT_THAT(client.Command("OPTS UTF8 ON"), ElementsAre("502 Command not implemented."));
  std::string reply;
  EXPECT_EQ(client.Listing("MLSD /pub", &reply), "");
  EXPECT_EQ(reply, "502 Command not implemented.");
  ASSERT_THAT(client.Command("CWD /pub"), ElementsAre(HasSubstr("250")));
  // A file with a time of its own lists it in the server's zone (UTC here).
  EXPECT_THAT(Lines(client.Listing("LIST", &reply)),
              ElementsAre(HasSubstr("5 Mar  5  2001  old;one "), HasSubstr("3 Dec  9 21:30 a.txt"),
                          HasSubstr("512 Mar  5  2001 sub")));
}

TEST_F(MemoryFtpServerExtensions, AnswersFeatMlsdMdtmAndUtf8AsOffered) {
  server.Offer({.features = MemoryFtpServer::ModernFeatures(), .mlsd = true, .mdtm = true,
                .utf8 = true});
  server.SetServerZone(330);
  BareClient client(server);
  const ServerFeatures features = ParseFeatReply(client.Command("FEAT"));
  EXPECT_TRUE(features.mlst && features.mdtm && features.size && features.utf8 &&
              features.rest_stream);
  EXPECT_FALSE(features.epsv);
  EXPECT_THAT(client.Command("OPTS UTF8 ON"), ElementsAre(HasSubstr("200")));

  // MDTM is UTC, to the second; the listed date text is read in the server's zone.
  EXPECT_EQ(ParseMdtmReply(client.Command("MDTM /pub/a.txt").back()), kChanged);
  EXPECT_EQ(ParseMdtmReply(client.Command("MDTM /pub/ old;one ").back()),
            CivilToSeconds({2001, 3, 4, 18, 30, 0}));
  EXPECT_THAT(client.Command("MDTM /pub/sub"), ElementsAre(HasSubstr("550")));
  EXPECT_THAT(client.Command("MDTM /pub/none"), ElementsAre(HasSubstr("550")));

  std::string reply;
  const std::vector<std::string> mlsd = Lines(client.Listing("MLSD /pub", &reply));
  EXPECT_EQ(reply, "226 Transfer complete.");
  ASSERT_EQ(mlsd.size(), 5u);
  std::vector<MlsdEntry> entries;
  for (const std::string& line : mlsd) entries.push_back(ParseMlsdLine(line).value());
  EXPECT_EQ(entries[0].type, MlsdType::kCurrentDirectory);
  EXPECT_EQ(entries[1].type, MlsdType::kParentDirectory);
  EXPECT_EQ(entries[2], (MlsdEntry{MlsdType::kFile, 5, CivilToSeconds({2001, 3, 4, 18, 30, 0}),
                                   " old;one ", ""}));
  EXPECT_EQ(entries[3], (MlsdEntry{MlsdType::kFile, 3, kChanged, "a.txt", ""}));
  EXPECT_EQ(entries[4].type, MlsdType::kDirectory);
  EXPECT_EQ(entries[4].name, "sub");

  // LIST shows the server's wall clock: 21:30 UTC is 03:00 the next day at +05:30, and the
  // zone comes back from the listed time and the MDTM.
  ASSERT_THAT(client.Command("CWD /pub"), ElementsAre(HasSubstr("250")));
  const std::vector<std::string> list = Lines(client.Listing("LIST a.txt", &reply));
  ASSERT_THAT(list, ElementsAre(HasSubstr("3 Dec 10 03:00 a.txt")));
  LISTENTRY listed;
  ASSERT_TRUE(PARSELISTLINE(list[0], listed, clock.Now()));
  EXPECT_EQ(ServerZoneMinutes(listed, kChanged), 330);
  // MLSD of the current directory, by default.
  EXPECT_EQ(Lines(client.Listing("MLSD", &reply)).size(), 5u);
  EXPECT_EQ(client.Listing("MLSD a.txt", &reply), "");
  EXPECT_THAT(reply, HasSubstr("550"));
}

TEST_F(MemoryFtpServerExtensions, RefusesWhatItIsToldToRefuse) {
  server.Offer({.features = std::nullopt,
                .feat_refusal = "500 FEAT not understood.", .mlsd_refusal = "500 What?",
                .mdtm_refusal = "550 Not allowed.", .utf8_refusal = "501 No."});
  server.SetMlsdListing("/pub/sub", {"not an MLSD line"});
  BareClient client(server);
  EXPECT_THAT(client.Command("FEAT"), ElementsAre("500 FEAT not understood."));
  EXPECT_THAT(client.Command("MDTM /pub/a.txt"), ElementsAre("550 Not allowed."));
  EXPECT_THAT(client.Command("OPTS UTF8 ON"), ElementsAre("501 No."));
  std::string reply;
  client.Listing("MLSD /pub", &reply);
  EXPECT_EQ(reply, "500 What?");

  // Offered, but refused in one directory; raw lines in another.
  server.Offer({.features = std::vector<std::string>{"MDTM"}, .mlsd = true, .mdtm = true});
  server.FailCommand("MLSD", "/pub", "550 Permission denied.");
  client.Listing("MLSD /pub", &reply);
  EXPECT_EQ(reply, "550 Permission denied.");
  EXPECT_EQ(client.Listing("MLSD /pub/sub", &reply), "not an MLSD line\r\n");
  EXPECT_THAT(client.Command("FEAT"), ElementsAre("211-Features:", " MDTM", "211 End"));
}

}  // namespace
}  // namespace koru::testing
