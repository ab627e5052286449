#ifndef KORU_PLATFORM_PROCESS_H_
#define KORU_PLATFORM_PROCESS_H_

#include <cstddef>
#include <string>
#include <vector>

namespace koru {

// The arguments after the program name, each one word as the shell split it (blanks inside an
// argument belong to it); empty arguments are left out.
std::vector<std::string> ArgumentWords(int argc, const char* const* argv);

// Overwrites `length` bytes from `offset` of the argument word `word` (counted as ArgumentWords
// counts them) with blanks, in the process's own argument memory: what ps and
// /proc/<pid>/cmdline show. Bytes beyond the argument are left alone.
void BlankArgumentBytes(int argc, char** argv, size_t word, size_t offset, size_t length);

// Sets up the process for the program: the locale's date and time conventions, and a write
// past a file size limit or to a closed connection failing with an error instead of ending
// the process.
void PrepareProcess();

// The full path of the current directory as the system reports it (empty when unknown).
std::string CurrentDirectory();

}  // namespace koru

#endif  // KORU_PLATFORM_PROCESS_H_
