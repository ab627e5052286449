#ifndef KORU_APP_STARTUP_H_
#define KORU_APP_STARTUP_H_

#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "run/env.h"
#include "run/options.h"
#include "sync/run_totals.h"

namespace koru {

inline constexpr char kVersion[] = "20080313";
// The release of the program, its packages and its manual page (the project's version).
extern const char kRelease[];

// The usage text, one entry per console line.
const std::vector<std::string>& UsageText();
// What --help and -h print after the usage text: the location forms it does not show and the
// environment.
const std::vector<std::string>& HelpText();

// Sets the console title to the first 249 characters of `text`.
void SETTITLE(Env& env, std::string_view text);

// The entry procedure: start values, title, banner, command line, usage text or option echo and
// start lines. Returns the process exit code. `current_dir` is shown as the local path.
int KoruMain(Env& env, std::string_view command_line, const std::string& current_dir);
// The same for the program's argument words as the shell split them: a word keeps its blanks
// (a quoted location or password with blanks stays whole).
int KoruMain(Env& env, const CommandWords& words, const std::string& current_dir);
// The same, counting what the run did in `totals`, where the caller can read it afterwards.
int KoruMain(Env& env, RunTotals& totals, std::string_view command_line,
             const std::string& current_dir);
int KoruMain(Env& env, RunTotals& totals, const CommandWords& words,
             const std::string& current_dir);
// The same, reading the command line into `options`, where the caller can read them afterwards.
// They are read once, before the run, and the run never changes them.
int KoruMain(Env& env, Options& options, RunTotals& totals, std::string_view command_line,
             const std::string& current_dir);
int KoruMain(Env& env, Options& options, RunTotals& totals, const CommandWords& words,
             const std::string& current_dir);

}  // namespace koru

#endif  // KORU_APP_STARTUP_H_
