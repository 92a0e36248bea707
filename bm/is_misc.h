// is_misc.h: small diagnostics of the access layer.
//
// See also: bm_log.h (the message log the dump goes to).
#pragma once

// The line is built in a fixed buffer of this size; each byte takes 4 characters ("%02x%c "),
// so one call dumps at most IS_HEXMAX bytes.
constexpr int IS_HEXLINE = 400;
constexpr int IS_HEXMAX = 99;
static_assert(IS_HEXMAX * 4 + 1 <= IS_HEXLINE, "the dump of IS_HEXMAX bytes fits the line");

// Writes one line "<title>: <dump>\n" to the DBS message log (bm_logerr); the dump shows every
// byte as two hexadecimal digits, the byte itself when printable (else a blank) and a blank.
// Only the first IS_HEXMAX bytes are shown; a negative length or null bytes shows none.
void is_hexdump(const char *title, const void *bytes, int length);
