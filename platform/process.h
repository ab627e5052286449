#ifndef KORU_PLATFORM_PROCESS_H_
#define KORU_PLATFORM_PROCESS_H_

#include <string>
#include <vector>

namespace koru {

// The arguments after the program name, each one word as the shell split it (blanks inside an
// argument belong to it); empty arguments are left out.
std::vector<std::string> ArgumentWords(int argc, const char* const* argv);

// Sets up the process for the program: the locale's date and time conventions, and a write
// past a file size limit or to a closed connection failing with an error instead of ending
// the process.
void PrepareProcess();

// The full path of the current directory as the system reports it (empty when unknown).
std::string CurrentDirectory();

}  // namespace koru

#endif  // KORU_PLATFORM_PROCESS_H_
