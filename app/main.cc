#include <optional>

#include "app/quiet_console.h"
#include "app/startup.h"
#include "platform/clock.h"
#include "platform/netrc_file.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "run/env.h"

int main(int argc, char** argv) {
  koru::PrepareProcess();
  const koru::CommandWords words = koru::ArgumentWords(argc, argv);
  // The words hold the password now: ps need not show it any longer.
  if (const std::optional<koru::WordSpan> password = koru::LocationPasswordSpan(words)) {
    koru::BlankArgumentBytes(argc, argv, password->word, password->offset, password->length);
  }
  int exit_code;
  {
    koru::TerminalConsole terminal;
    koru::QuietConsole quiet(terminal);
    koru::Console& console =
        koru::RunsQuietly(words) ? static_cast<koru::Console&>(quiet) : terminal;
    koru::PosixClock clock;
    koru::Env env(console, clock);
    env.netrc = &koru::SystemNetrc();
    exit_code = koru::KoruMain(env, words, koru::CurrentDirectory());
  }
  return exit_code;
}
