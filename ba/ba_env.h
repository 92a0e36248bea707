// ba_env.h: the process settings record and its loader.
//
// Every program starts by loading the TOLV environment into `ba_settings` with ba_readenv;
// the loader also reads the installation's language file (ba_nls.h), which fills the
// national-language fields. Strings are owned copies made with the selected allocator
// (ba_mem.h); the record never points into the environment, except that `dbsname`,
// `dbshost` and `dbsservice` point into the 200-byte TOLVDBS buffer `ba_dbsbuf` (or, for
// `dbsservice`, to its constant default) and are not released separately.
//
// See also: ba_nls.h (language files), ba_mem.h (allocator selection by `debug`).
#pragma once

#include <cstdio>

// One collation entry of a SIL line: an owned byte string and its weight.
struct ba_collent {
  char *str;
  int weight;
};

// One SHIFT pair: the lower- and upper-case member of a character above 127.
struct ba_shiftpair {
  unsigned char lower;
  unsigned char upper;
};

// Bits of basettings.flags, one per TOLVNO... variable (0x400: TOLVOLDDATE NOT set).
enum ba_envflag : unsigned {
  ENV_NOINDEXONLY = 0x1,
  ENV_NOAGGOPT = 0x2,
  ENV_NOGROUPOPT = 0x4,
  ENV_NOCOMPINDEX = 0x8,
  ENV_NOVCHARTMP = 0x10,
  ENV_NOORDINDEX = 0x20,
  ENV_NOFASTINDEX = 0x40,
  ENV_NOALTERCHECK = 0x80,
  ENV_NOROWIDACCESS = 0x100,
  ENV_NOCONSECSHM = 0x200,
  ENV_NEWDATE = 0x400,
  ENV_REPAIRFL = 0x800,
  ENV_NOTCPNODELAY = 0x1000,
  ENV_NOCONFCHECK = 0x2000,
};

// The settings record, fields in their defined order. Zero-filled at the start of every load.
struct basettings {
  char decpoint;          // POINT: '.' or ','
  char datesep;           // DATE, TOLVDATE: separator of the date format
  int dateorder;          // 0 day first, 1 month first, 2 year first
  int datelen;            // 8 or 10
  int delim;              // TOLVDELIM, default '|'
  char *yes;              // YES: characters answering yes
  char *no;               // NO: characters answering no
  ba_collent *coll;       // SIL: collation entries
  int ncoll;
  char *home;             // TOLVHOME
  char *dbsname;          // TOLVDBS name part, points into ba_dbsbuf
  char *dbshost;          // TOLVDBS host part (after '@'), null for a local DBS
  int opentab;            // TOLVOPENTAB, default 100
  int mem;                // TOLVMEM, default 4000
  int debug;              // TOLVDEBUG; non-zero selects the memory-control allocator
  char *term;             // TOLVTERM
  char *termcap;          // TOLVTERMCAP, default "<home>/etc/termcap"
  char *lang;             // TOLVLANG, default "geriso"
  char *nls;              // TOLVNLS
  char *user;             // TOLVUSER
  char *currency;         // CURRENCY, TOLVMONEY
  char *editor;           // TOLVEDIT, default "vi"
  char *isolevel;         // TOLVISOLEVEL
  char numpoint;          // always '.'
  char *tmpdir;           // TOLVTMP, default "/tmp"
  char strplain;          // 1 when TOLVSTRING is set
  ba_shiftpair *shift;    // SHIFT pairs
  int nshift;
  char *hostip;           // TOLVHOSTIP
  int ignownercase;       // 1 when TOLVIGNOREOWNERCASE is exactly "1"
  const char *dbsservice; // TOLVDBS service part (after ':'), default "tolvsql"
  int ntextrange;         // TEXT ranges, each lo * 256 + hi
  int *textrange;
  int ntextchar;          // TEXT single characters
  int textchar[256];
  unsigned flags;         // ba_envflag bits
};

// Size of the TOLVDBS buffer: 199 characters and the terminating zero.
constexpr int BA_DBSBUFLEN = 200;
// Longest path built by the loader (the language file path): 99 characters.
constexpr int BA_ENVPATHMAX = 99;
// Longest DBS name.
constexpr int BA_DBSNAMEMAX = 10;

// Loads the whole record from the environment and the language file. The DBS name (of
// TOLVDBS), TOLVLANG and TOLVNLS must be plain names (ba_plainname): otherwise "DBS name (%s)
// is not a plain name\n" or "TOLVLANG (%s) ..." / "TOLVNLS (%s) ..." and -1. Returns 0, or -1
// after printing one diagnostic to msgfile (nothing when msgfile is null; the allocation failure
// message always goes to standard error). Releases the previous load first.
int ba_readenv(FILE *msgfile);
// ba_readenv(stderr).
int ba_initenv();
// ba_readenv in its two halves, for a program that must check its installation before it
// reads anything from it (a set-user-id program): ba_envhome releases the previous load and
// takes only what names the installation and the DBS (TOLVDEBUG, TOLVHOME, TOLVDBS), reading
// no file; ba_envrest, called after it, does the rest, language file included. Each returns 0,
// or -1 after printing its diagnostic as ba_readenv does.
int ba_envhome(FILE *msgfile);
int ba_envrest(FILE *msgfile);
// Releases every owned string and vector of the record and empties those fields.
void ba_freeenv();
