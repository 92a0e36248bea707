// ba_msg.h: message catalogs.
//
// Every message and error number has its text in a binary catalog of the installation,
// <home>/msg/<lang>/<catalog>.msc, chosen by number range; numbers of 5000 and above come from
// a memory-resident table filled by ba_msgload. The lookup never fails: when no text can be
// had it returns a diagnostic text instead.
//
// Catalog file format (all integers big-endian):
//   offset 0          i16  count of index entries
//   offset 2 + 6*i    i16  msgno of entry i
//   offset 4 + 6*i    u32  textoff of entry i, from the start of the file
//   at each textoff        the text, ended by a zero byte (at most 100 bytes are used)
//
// See also: ba_conf.h (configuration errors printed through ba_msgformat).
#pragma once

#include <cstdio>

constexpr int MSG_TEXTLEN = 101;     // result buffers: 100 characters and the zero
constexpr int MSG_TABLEMAX = 500;    // entries of the memory-resident table
constexpr int MSG_HEADERLEN = 2;     // the count
constexpr int MSG_ENTRYLEN = 6;      // msgno (2) and textoff (4)

// The text of msgno in the current language (TOLVLANG, default "geriso").
const char *ba_msgtext(int msgno);
// The lookup with explicit installation directory and language.
const char *ba_getmsg(int msgno, const char *home, const char *lang);
// Loads all entries of catalog name into the memory-resident table: "%s/%s.msc" with dir and
// name, or the installation's catalog when dir is null. Returns 0, -1 or -2.
int ba_msgload(const char *name, const char *dir);
// Empties the memory-resident table.
void ba_msgfree();

// Writes a catalog text used as a printf format with the arguments (detail, err); no newline
// is added.
// A catalog is input: the text is used as a format only when its conversions are a prefix of
// "%s" then "%d" ("%%" allowed); otherwise it is written literally, followed by the detail.
// Returns the number of characters written.
int ba_msgformat(FILE *out, const char *text, const char *detail, int err);
