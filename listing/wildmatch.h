#ifndef KORU_LISTING_WILDMATCH_H_
#define KORU_LISTING_WILDMATCH_H_

#include <cstdint>
#include <string_view>

// The local file-mask matcher: literal text with the wildcards "*" and "?".
namespace koru {

// Whether `name` fits `mask`. "?" stands for any run of characters, like "*"; one left-to-right
// pass then turns each "**" into "*". A mask without wildcards must equal the name. Otherwise
// three independent checks must all hold: the text before the first star begins the name, the
// text after the last star ends the name, and the text between the first and the last star
// (taken literally, inner stars included) occurs somewhere in the name. A non-zero `ignoreCase`
// compares upper-cased copies (UpperCase).
// Result: -1 when the name fits, 0 otherwise. The program sends masks to the server with LIST
// and matches them here only where the server refuses a listing with a mask.
int32_t WILDMATCH(std::string_view name, std::string_view mask, int32_t ignoreCase);

}  // namespace koru

#endif  // KORU_LISTING_WILDMATCH_H_
