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

// The text of msgno in the current language (TOLVLANG, default "geriso"), below the settings'
// home. Never fails: when no text can be had the result is a diagnostic text.
// The result is a constant, a text of the memory-resident table, or one of two 101-byte
// module buffers that the next lookup overwrites; it is at most 100 characters long.
const char *ba_msgtext(int msgno);
// The lookup with explicit installation directory and language; results as ba_msgtext.
const char *ba_getmsg(int msgno, const char *home, const char *lang);
// Loads all entries of catalog name into the memory-resident table: "%s/%s.msc" with dir and
// name, or <home>/msg/<TOLVLANG>/<name>.msc when dir is null. Entries accumulate over calls;
// the first loaded entry of a number wins. Diagnostics go to standard error.
// Returns 0, -1 (file, read or table failure; entries added so far stay) or -2 (no memory
// for a text copy). REQUIRES: name is not null.
int ba_msgload(const char *name, const char *dir);
// Releases every text of the memory-resident table and empties it.
void ba_msgfree();

// Writes a catalog text used as a printf format with the arguments (detail, err); no newline
// is added.
// A catalog is input: the text is used as a format only when its conversions are a prefix of
// "%s" then "%d" ("%%" allowed, no flags or widths); otherwise it is written literally,
// followed by a blank and the detail when the detail is not empty.
// A null detail counts as empty. Returns the number of characters written (fprintf's result).
int ba_msgformat(FILE *out, const char *text, const char *detail, int err);
