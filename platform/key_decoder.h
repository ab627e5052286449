#ifndef KORU_PLATFORM_KEY_DECODER_H_
#define KORU_PLATFORM_KEY_DECODER_H_

#include <cstddef>
#include <string_view>

namespace koru {

// Splits the bytes a terminal sent into key presses. A lone Esc is the key 27; the escape
// sequences of arrow and function keys (ESC [ ... final, ESC O x) and Alt combinations
// (ESC x) are no key at all. Returns the number of bytes the first key press took and stores
// its key code in `key`, or -1 for a sequence that is no key. `bytes` must not be empty.
// An Esc at the very end of `bytes` counts as a lone Esc: the caller gives a sequence time to
// arrive whole before it decodes.
size_t DecodeKey(std::string_view bytes, int* key);

}  // namespace koru

#endif  // KORU_PLATFORM_KEY_DECODER_H_
