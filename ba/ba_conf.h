// ba_conf.h: the DBS configuration file reader.
//
// ba_readconf parses <home>/etc/<dbs>.cfg into `dbsconfig` (ba/globals.h) and, in checking
// mode, checks the values against each other and every partition file on disk. Failures are
// negative error numbers (ba/error.h) whose texts live in the catalogs; the variable part of
// a failure is left in `ba_conferr`.
//
// See also: dbsconfig.h (the record), ba_msg.h (texts of the error numbers).
#pragma once

#include <cstdio>

#include "ba/dbsconfig.h"

// Reads <home>/etc/<dbsname>.cfg (empty dbsname: the settings' DBS). mode 0 only parses; any
// other mode also checks each partition as it is read and then runs ba_confcheck.
// Returns 0 or the first failure's error number.
int ba_readconf(int mode, const char *dbsname);
// Value checks and adjustments over a parsed record; 0 or an error number.
int ba_confcheck(dbsconf *cfg);
// Disk checks of one partition entry; 0 or an error number.
int ba_confpart(cfgpart *part);
// 0 when part overlaps no other partition of cfg; (space, index) name part itself, -1 when
// it is not in the record. -3008 on overlap, -3019 when a file cannot be examined.
int ba_confolap(dbsconf *cfg, cfgpart *part, int space, int index);
// 0 when both paths name the same file, 1 when not, -3019 when one cannot be examined.
int ba_samefile(const char *path1, const char *path2);
// Reads one line into buf (at most max characters and a terminating zero; buf holds max + 1
// bytes). The newline is not stored; characters beyond max are skipped. Returns 0 when the
// line ended with a newline, -1 at the end of the file (a line without newline is absent).
int ba_getline(char *buf, FILE *file, int max);
