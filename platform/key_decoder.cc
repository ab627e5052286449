#include "platform/key_decoder.h"

namespace koru {

size_t DecodeKey(std::string_view bytes, int* key) {
  constexpr char kEsc = 27;
  if (bytes[0] != kEsc || bytes.size() == 1 || bytes[1] == kEsc) {
    *key = static_cast<unsigned char>(bytes[0]);
    return 1;
  }
  *key = -1;
  if (bytes[1] == '[') {
    // Control sequence: parameter and intermediate bytes, then one final byte 0x40-0x7E.
    size_t i = 2;
    while (i < bytes.size() && (bytes[i] < 0x40 || bytes[i] > 0x7E)) ++i;
    return i < bytes.size() ? i + 1 : bytes.size();
  }
  if (bytes[1] == 'O') return bytes.size() >= 3 ? 3 : bytes.size();
  return 2;
}

}  // namespace koru
