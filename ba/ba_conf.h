// ba_conf.h: the DBS configuration file reader.
//
// ba_readconf parses <home>/etc/<dbs>.cfg into `dbsconfig` (ba/globals.h) and, in checking
// mode, checks the values against each other and every partition file on disk. Failures are
// negative error numbers (ba/error.h) whose texts live in the catalogs; the variable part of
// a failure is left in `ba_conferr` (emptied at the start of every read, always
// NUL-terminated, never longer than BA_CONFERRLEN - 1 characters). Where a failure has no
// variable part, `ba_conferr` is left as it was.
//
// Ownership: the dbspace and partition vectors of `dbsconfig` belong to this module; they are
// released by the next ba_readconf (once its file is open) or by ba_freeconf, each block
// through the family that allocated it (ba_release, ba_mem.h).
//
// See also: dbsconfig.h (the record), ba_msg.h (texts of the error numbers), ba_env.h
// (`home` and `dbsname` of the settings).
#pragma once

#include <cstdio>
#include <sys/stat.h>

#include "ba/dbsconfig.h"

// Reads <home>/etc/<dbsname>.cfg (dbsname empty or null: the settings' DBS). Run set-user-id,
// the file must be a regular file of root or the user tolv reached without a link in its
// last component, else -3024 with errno ELOOP or EACCES. mode 0 only
// parses; any other mode also checks each partition as its line is read and then runs
// ba_confcheck. Returns 0 or the first failure's error number; the file is always closed.
// After a failure `dbsconfig` holds what was read so far; a failure to open the file leaves
// the previous record untouched.
int ba_readconf(int mode, const char *dbsname);
// Releases the dbspace and partition vectors of `dbsconfig` and zero-fills the record.
void ba_freeconf();
// Value checks and adjustments over a parsed record; 0 or an error number.
int ba_confcheck(dbsconf *cfg);
// Disk checks of one partition entry: path, size and range, then the file itself: examined
// first (it must exist and not be a directory, else -3018; owner and group of the user "tolv",
// mode 0660, else -3020 to -3023), only then opened for update and closed again (-3018), and
// the open descriptor checked once more (-3019 when it is not the file examined). Run
// set-user-id (ba_setuidrun) the path must also reach the file without any symbolic link
// (-3018 with errno ELOOP) and name a regular file or block device (-3018, EINVAL).
// 0 or an error number.
int ba_confpart(cfgpart *part);
// Owner, group and permission bits of an examined partition file (st of path): owner the user
// "tolv", group its primary group, mode 0660. 0, -3020 (no user tolv), or -3021, -3022, -3023
// with `ba_conferr` "%s (%d found)" / "%s (0%o found)".
int ba_confowner(const char *path, const struct stat *st);
// 0 when part overlaps no other partition of cfg; (space, index) name part itself, -1 when
// it is not in the record. -3008 on overlap, -3019 when a file cannot be examined.
int ba_confolap(dbsconf *cfg, cfgpart *part, int space, int index);
// 0 when both paths name the same file, 1 when not, -3019 when one cannot be examined.
int ba_samefile(const char *path1, const char *path2);
// Reads one line into buf (at most max characters and a terminating zero; buf holds max + 1
// bytes). The newline is not stored; characters beyond max are skipped. Returns 0 when the
// line ended with a newline, -1 at the end of the file (a line without newline is absent).
int ba_getline(char *buf, FILE *file, int max);
