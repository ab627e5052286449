#ifndef KORU_TESTS_FTP_FIXTURE_H_
#define KORU_TESTS_FTP_FIXTURE_H_

#include <string>

#include "ftp/ftp_session.h"
#include "gtest/gtest.h"
#include "run/env.h"
#include "tests/fake_ftp_server.h"
#include "tests/fakes.h"

namespace koru::testing {

// An Env of fakes (console, clock at 09:05:03) with a short channel time-out, and a fake FTP
// server. The server is stopped before the Env closes its channels. A script that uses
// variables of the test body must see the server stopped (ServerCommands() or server.Stop())
// before the body ends.
class FtpFixture : public ::testing::Test {
 protected:
  static constexpr int kTimeoutMs = 300;

  FtpFixture() {
    env.channel_timeout_ms = kTimeoutMs;
    options.ProgramTitle = "KORU 20080313";
  }

  // Opens channel 1 straight to the server (no greeting, no login) as the channel of
  // `session`; its first connection follows `script`. Returns the channel number.
  int OpenControl(SessionScript script) {
    server.AddSession(std::move(script));
    EXPECT_TRUE(session.channels.Open(1, "127.0.0.1", server.port(), kTimeoutMs));
    session.h = 1;
    return 1;
  }

  // The commands the server received, once it has stopped.
  std::vector<std::string> ServerCommands() {
    server.Stop();
    return server.commands();
  }

  RecordingConsole console;
  FakeClock clock;
  Options options;
  RunSettings state;
  Env env{console, clock};
  koru::Session session{env, options, state};  // the control connection under test
  FakeFtpServer server;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_FTP_FIXTURE_H_
