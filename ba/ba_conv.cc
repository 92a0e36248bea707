// ba_conv: small value conversions: numbers as text, national casing, currency stripping,
// 4-byte floating normalisation, literals and names.
//
// See also: ba_nls (SHIFT pairs and currency of the language file), ba_keyw (keywords).
#include "ba/ba_conv.h"

#include <cctype>

#include "ba/globals.h"

namespace {

// Maps one byte: below 128 with the C library's mapping, above through the first SHIFT pair
// whose `from` member equals it.
template <typename Ascii>
char *map_case(char *s, Ascii ascii, bool upper) {
  for (; *s != '\0'; s++) {
    auto c = static_cast<unsigned char>(*s);
    if (c < 128) {
      *s = static_cast<char>(ascii(c));
      continue;
    }
    for (int i = 0; i < ba_settings.nshift; i++) {
      const ba_shiftpair &p = ba_settings.shift[i];
      if ((upper ? p.lower : p.upper) == c) {
        *s = static_cast<char>(upper ? p.upper : p.lower);
        break;
      }
    }
  }
  return s;
}

}  // namespace

char *ba_strupper(char *s) { return map_case(s, [](int c) { return toupper(c); }, true); }

char *ba_strlower(char *s) { return map_case(s, [](int c) { return tolower(c); }, false); }
