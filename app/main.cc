#include "app/startup.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "run/env.h"

int main(int argc, char** argv) {
  koru::PrepareProcess();
  int exit_code;
  {
    koru::TerminalConsole console;
    koru::PosixClock clock;
    koru::Env env(console, clock);
    exit_code = koru::KoruMain(env, koru::ArgumentWords(argc, argv), koru::CurrentDirectory());
  }
  return exit_code;
}
