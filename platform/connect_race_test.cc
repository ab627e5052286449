#include "platform/connect_race.h"

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/channels.h"
#include "platform/transport.h"
#include "tests/fakes.h"
#include "tests/loopback_listener.h"

namespace koru {
namespace {

using Outcome = ConnectAttempts::Outcome;
using testing::FakeClock;
using testing::LoopbackListener;

// ---- The race, on a fake clock ---------------------------------------------------------------

// How one scripted attempt goes: it fails or connects at once, or after `after_ms` from its
// start, or never ends.
struct Script {
  Outcome outcome;
  int after_ms = 0;  // -1: never ends
};
const Script kRefused{Outcome::kFailed};
const Script kSilent{Outcome::kPending, -1};
Script ConnectsAfter(int ms) { return {Outcome::kConnected, ms}; }
Script FailsAfter(int ms) { return {Outcome::kFailed, ms}; }

// Attempts that follow their scripts on a fake clock that moves only while they are waited
// for; records when each one started.
class ScriptedAttempts : public ConnectAttempts {
 public:
  ScriptedAttempts(std::vector<Script> scripts, FakeClock& clock)
      : scripts_(std::move(scripts)), clock_(clock) {
    clock_.follows_real_time = false;
  }

  Outcome Start(size_t index) override {
    started_at[index] = clock_.MonotonicMs();
    const Script& s = scripts_[index];
    if (s.after_ms == 0) return s.outcome;
    return Outcome::kPending;
  }

  int WaitAny(int timeout_ms, Outcome* outcome) override {
    int first = -1;
    int64_t first_end = 0;
    for (const auto& [index, start] : started_at) {
      const Script& s = scripts_[index];
      if (s.after_ms <= 0 || ended_.count(index)) continue;
      const int64_t end = start + s.after_ms;
      if (first < 0 || end < first_end) {
        first = static_cast<int>(index);
        first_end = end;
      }
    }
    const int64_t now = clock_.MonotonicMs();
    if (first < 0 || (timeout_ms >= 0 && first_end > now + timeout_ms)) {
      if (timeout_ms < 0) {
        ADD_FAILURE() << "waits for ever";
        *outcome = Outcome::kFailed;
        return static_cast<int>(started_at.begin()->first);
      }
      clock_.SkipWait(timeout_ms);
      return -1;
    }
    clock_.SkipWait(static_cast<int>(first_end - now));
    ended_[static_cast<size_t>(first)] = true;
    *outcome = scripts_[static_cast<size_t>(first)].outcome;
    return first;
  }

  std::map<size_t, int64_t> started_at;  // by index: the clock when it started

 private:
  std::vector<Script> scripts_;
  FakeClock& clock_;
  std::map<size_t, bool> ended_;
};

TEST(RaceConnects, StartsEachAddressWhenTheOneBeforeFailsOrHasHad250Ms) {
  struct Case {
    const char* name;
    std::vector<Script> scripts;
    int winner;
    std::map<size_t, int64_t> started_at;
    int timeout_ms = -1;  // of the whole race
  };
  const Case cases[] = {
      {"FirstConnects", {ConnectsAfter(30), kSilent}, 0, {{0, 0}}},
      {"FirstConnectsAtOnce", {ConnectsAfter(0), kSilent}, 0, {{0, 0}}},
      {"SilentFirstCosts250Ms", {kSilent, ConnectsAfter(10)}, 1, {{0, 0}, {1, 250}}},
      {"RefusedFirstMovesOnAtOnce", {kRefused, ConnectsAfter(10)}, 1, {{0, 0}, {1, 0}}},
      {"FailureAfter100MsMovesOnThen", {FailsAfter(100), ConnectsAfter(10)}, 1, {{0, 0}, {1, 100}}},
      // The earlier attempt goes on after the next one has started, and may win.
      {"EarlierAttemptStillWins", {ConnectsAfter(300), kSilent}, 0, {{0, 0}, {1, 250}}},
      {"TwoSilentThenOne", {kSilent, kSilent, ConnectsAfter(5)}, 2, {{0, 0}, {1, 250}, {2, 500}}},
      // A failure while a later attempt is pending starts the next one at once.
      {"FailureBeforeTheHeadStartEnds",
       {kSilent, FailsAfter(50), ConnectsAfter(5)},
       2,
       {{0, 0}, {1, 250}, {2, 300}}},
      {"EveryAddressFails",
       {FailsAfter(100), kRefused, FailsAfter(400)},
       -1,
       {{0, 0}, {1, 100}, {2, 100}}},
      // The only address left is waited for as long as it takes.
      {"LastAddressWaitedFor", {kRefused, ConnectsAfter(5000)}, 1, {{0, 0}, {1, 0}}},
      {"NoAddress", {}, -1, {}},
      // A race with a time-out ends with it, however many attempts are still pending.
      {"SilentAddressesTimeOut", {kSilent, kSilent}, kRaceTimedOut, {{0, 0}, {1, 250}}, 1000},
      {"ConnectBeforeTheTimeOutWins", {ConnectsAfter(900)}, 0, {{0, 0}}, 1000},
      {"FailuresBeforeTheTimeOutLose", {FailsAfter(100)}, kRaceLost, {{0, 0}}, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    ScriptedAttempts attempts(c.scripts, clock);
    EXPECT_EQ(RaceConnects(attempts, c.scripts.size(), clock, {}, kConnectHeadStartMs,
                           c.timeout_ms),
              c.winner);
    EXPECT_EQ(attempts.started_at, c.started_at);
    if (c.timeout_ms >= 0 && c.winner == kRaceTimedOut) {
      EXPECT_EQ(clock.MonotonicMs(), c.timeout_ms);
    }
  }
}

// ---- TCP over loopback -----------------------------------------------------------------------

// Milliseconds since `start`.
int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// A listener on 127.0.0.1 and one on ::1 at the same port.
struct DualListeners {
  DualListeners() {
    for (int tries = 0; tries < 20 && !(v6 && v6->valid()); ++tries) {
      v4 = std::make_unique<LoopbackListener>(false, 0);
      v6 = std::make_unique<LoopbackListener>(true, v4->port());
    }
  }
  std::unique_ptr<LoopbackListener> v4;
  std::unique_ptr<LoopbackListener> v6;
};

TEST(TcpTransport, ConnectsToIpv6AndIpv4Addresses) {
  DualListeners listeners;
  ASSERT_TRUE(listeners.v6->valid());
  TcpTransport transport;
  for (const std::string address : {"::1", "127.0.0.1"}) {
    SystemError error;
    const std::unique_ptr<Connection> c =
        transport.Connect({address}, listeners.v4->port(), &error);
    ASSERT_TRUE(c) << address;
    EXPECT_EQ(c->PeerAddress(), address);
  }
}

TEST(TcpTransport, AnAddressThatRefusesHandsOverAtOnce) {
  LoopbackListener v4(false, 0);  // nothing listens on ::1 at its port
  ASSERT_TRUE(v4.valid());
  TcpTransport transport;
  SystemError error;
  const auto start = std::chrono::steady_clock::now();
  const std::unique_ptr<Connection> c = transport.Connect({"::1", "127.0.0.1"}, v4.port(), &error);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->PeerAddress(), "127.0.0.1");
  EXPECT_LT(MsSince(start), 10000);
}

TEST(TcpTransport, AnAddressThatNeverAnswersCostsTheHeadStartNotATimeOut) {
  DualListeners listeners;
  ASSERT_TRUE(listeners.v6->valid());
  ASSERT_TRUE(listeners.v6->NeverAnswer());
  TcpTransport transport;
  SystemError error;
  const auto start = std::chrono::steady_clock::now();
  const std::unique_ptr<Connection> c =
      transport.Connect({"::1", "127.0.0.1"}, listeners.v4->port(), &error);
  const int64_t took = MsSince(start);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->PeerAddress(), "127.0.0.1");
  EXPECT_GE(took, kConnectHeadStartMs - 5);  // both clocks count whole milliseconds
  EXPECT_LT(took, 10000);  // far below the kernel's time-out of a connect with no answer
}

// A connect that gets no answer ends with the channel's time-out, not the system's minutes,
// and says so in the system's words.
TEST(TcpTransport, ConnectWithoutAnswerEndsAtTheTimeOut) {
  LoopbackListener silent(false, 0);
  ASSERT_TRUE(silent.valid());
  ASSERT_TRUE(silent.NeverAnswer());
  TcpTransport transport;
  SystemError error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(transport.Connect({"127.0.0.1"}, silent.port(), &error, {}, 300));
  const int64_t took = MsSince(start);
  EXPECT_EQ(error.number, kErrTimeout);
  EXPECT_EQ(error.text, "Connection timed out");
  EXPECT_GE(took, 300 - 5);  // both clocks count whole milliseconds
  EXPECT_LT(took, 5000);

  HandlePool pool;
  Channels channels(pool);
  EXPECT_FALSE(channels.Open(1, "127.0.0.1", silent.port(), 300));
  EXPECT_EQ(channels.Error(), kErrTimeout);
  EXPECT_EQ(channels.LastError().text, "Connection timed out");
}

TEST(TcpTransport, EveryAddressRefusingFailsWithError57) {
  int port = 0;
  {
    const LoopbackListener gone(false, 0);  // its port is free again once it is closed
    port = gone.port();
  }
  TcpTransport transport;
  SystemError error;
  EXPECT_FALSE(transport.Connect({"::1", "127.0.0.1", "not-numeric"}, port, &error));
  EXPECT_EQ(error.number, kErrSocket);
}

// The connections of a run share one transport and connect from several threads at once: each
// connect's failure is its own, never another's (refused, timed out, not an address).
TEST(TcpTransport, ConnectsFromSeveralThreadsEachGetTheirOwnFailure) {
  int refusing = 0;
  {
    const LoopbackListener gone(false, 0);
    refusing = gone.port();
  }
  LoopbackListener silent(false, 0);
  ASSERT_TRUE(silent.valid());
  ASSERT_TRUE(silent.NeverAnswer());
  struct Case {
    std::string address;
    int port;
    int timeout_ms;
    int number;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", refusing, -1, kErrSocket, "Connection refused"},
      {"127.0.0.1", silent.port(), 50, kErrTimeout, "Connection timed out"},
      {"not-numeric", refusing, -1, kErrSocket, ""},
  };
  constexpr int kRounds = 20;
  TcpTransport transport;
  std::vector<std::vector<SystemError>> found(cases.size(), std::vector<SystemError>(kRounds));
  std::vector<std::thread> threads;
  for (size_t c = 0; c < cases.size(); ++c) {
    threads.emplace_back([&, c] {
      for (int round = 0; round < kRounds; ++round) {
        // Filled in beforehand with what no case gives, to see that a failure overwrites it.
        SystemError error{SystemError::Facility::kNone, -1, "untouched"};
        const std::unique_ptr<Connection> connection =
            transport.Connect({cases[c].address}, cases[c].port, &error, {}, cases[c].timeout_ms);
        found[c][round] = error;
        EXPECT_FALSE(connection);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t c = 0; c < cases.size(); ++c) {
    for (int round = 0; round < kRounds; ++round) {
      const SystemError& error = found[c][round];
      EXPECT_EQ(error.number, cases[c].number) << cases[c].address << ":" << cases[c].port;
      EXPECT_EQ(error.text, cases[c].text) << cases[c].address << ":" << cases[c].port;
      EXPECT_EQ(error.facility, SystemError::Facility::kChannel);
    }
  }
}

TEST(ResolveHost, GivesNumericAddressesOfBothFamilies) {
  EXPECT_EQ(ResolveHost("::1"), std::vector<std::string>{"::1"});
  EXPECT_EQ(ResolveHost("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
  const std::vector<std::string> localhost = ResolveHost("localhost");
  EXPECT_FALSE(localhost.empty());
  for (const std::string& address : localhost) {
    EXPECT_TRUE(address == "127.0.0.1" || address == "::1") << address;
  }
  EXPECT_TRUE(ResolveHost("").empty());
  EXPECT_TRUE(ResolveHost("[::1]").empty());
}

// A name lookup that hangs (a resolver whose servers do not answer) ends as soon as the user
// asks to stop; without a stop check it is waited for.
TEST(Channels, StopEndsAHangingNameLookup) {
  HandlePool pool;
  Channels channels(pool);
  auto lookup_over = std::make_shared<std::promise<void>>();
  std::future<void> given_up_lookup_over = lookup_over->get_future();
  channels.SetResolver([lookup_over](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    lookup_over->set_value();
    return std::vector<std::string>{};
  });
  const auto start = std::chrono::steady_clock::now();
  channels.SetStopCheck([start] { return MsSince(start) >= 200; });

  EXPECT_FALSE(channels.Open(1, "hangs.example", 21, 60000));

  EXPECT_EQ(channels.Error(), kErrInterrupted);
  EXPECT_LT(MsSince(start), 1000);

  channels.SetStopCheck(nullptr);
  channels.SetResolver([](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return std::vector<std::string>{};
  });
  EXPECT_FALSE(channels.Open(1, "slow.example", 21, 60000));
  EXPECT_EQ(channels.Error(), kErrSocket);
  EXPECT_EQ(channels.LastError().text, "Name or service not known");
  // The lookup given up on goes on in a thread of its own. Once it is over, no later test forks
  // a child while the process has a thread besides the test's (under ThreadSanitizer such a
  // child never handles its signals).
  given_up_lookup_over.wait();
}

TEST(Channels, OpenTriesEveryAddressTheResolverGives) {
  LoopbackListener v4(false, 0);
  ASSERT_TRUE(v4.valid());
  HandlePool pool;
  Channels channels(pool);
  std::vector<std::string> asked;
  channels.SetResolver([&asked](const std::string& host) {
    asked.push_back(host);
    return std::vector<std::string>{"::1", "127.0.0.1"};
  });
  ASSERT_TRUE(channels.Open(1, "dual.example", v4.port(), 300));
  EXPECT_EQ(channels.PeerAddress(1), "127.0.0.1");
  EXPECT_EQ(asked, std::vector<std::string>{"dual.example"});
}

}  // namespace
}  // namespace koru
