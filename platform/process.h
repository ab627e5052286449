#ifndef KORU_PLATFORM_PROCESS_H_
#define KORU_PLATFORM_PROCESS_H_

#include <string>

namespace koru {

// The command line text: the arguments after the program name joined by single blanks.
std::string CommandLineText(int argc, const char* const* argv);

// The full path of the current directory as the system reports it (empty when unknown).
std::string CurrentDirectory();

}  // namespace koru

#endif  // KORU_PLATFORM_PROCESS_H_
