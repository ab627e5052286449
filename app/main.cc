#include <signal.h>

#include <clocale>

#include "app/env.h"
#include "app/startup.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/terminal.h"

int main(int argc, char** argv) {
  std::setlocale(LC_TIME, "");
  // A write past a file size limit must fail with an error, not end the process.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  int exit_code;
  {
    koru::TerminalConsole console;
    koru::PosixClock clock;
    koru::Env env(console, clock);
    exit_code = koru::KoruMain(env, koru::CommandLineText(argc, argv), koru::CurrentDirectory());
  }
  return exit_code;
}
