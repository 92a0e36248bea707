// ba_env: the process settings record `ba_settings` and its loader.
//
// Principal entry points: ba_readenv (load the TOLV environment and the language file),
// ba_initenv (the same with diagnostics to standard error), ba_freeenv (release the record).
//
// Invariants:
//  (1) The record and ba_dbsbuf are written only here (and the language fields by ba_nls on
//      behalf of ba_readenv); everything else only reads them.
//  (2) Every string field except dbsname, dbshost and dbsservice is an owned copy allocated
//      with the family that `debug` selects; `debug` is set once per load, before the first
//      allocation, and ba_freeenv runs before it changes, so each block goes back to the
//      family that allocated it.
//  (3) dbsname and dbshost point into ba_dbsbuf, dbsservice into it or to a constant; they
//      are never released.
//
// See also: ba_nls (the language file), ba_mem (allocator selection by `debug`).
#include "ba/ba_env.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "ba/ba_mem.h"
#include "ba/ba_nls.h"
#include "ba/ba_sys.h"
#include "ba/globals.h"

// The language file path below the installation, from home, lang and nls. A macro so that the
// open failure can print the whole path even when it does not fit the path buffer.
#define ENV_NLSPATH "%s/msg/%s/%s.nls"

namespace {

constexpr int kOpentabDefault = 100;
constexpr int kOpentabMin = 15;  // TOLVOPENTAB values of 14 or less are ignored
constexpr int kMemDefault = 4000;
constexpr int kMemMin = 500;     // TOLVMEM values below 500 are ignored
constexpr int kTermcapExtra = 30;  // room for "/etc/termcap" and the zero after home
constexpr char kServiceDefault[] = "tolvsql";
constexpr char kLangDefault[] = "geriso";

// Owned strings of the record that this module fills; the language strings (yes, no,
// currency) and vectors are released by ba_nlsclear.
constexpr char *basettings::*kOwnedStrings[] = {
    &basettings::home,   &basettings::term,     &basettings::termcap, &basettings::lang,
    &basettings::nls,    &basettings::user,     &basettings::editor,  &basettings::isolevel,
    &basettings::tmpdir, &basettings::hostip,
};

// The bits of `flags`, in the order they are set. A bit is set when its variable is set,
// except ENV_NEWDATE, which is set when TOLVOLDDATE is not.
struct flagvar {
  const char *name;
  unsigned bit;
  bool whenunset;
};
constexpr flagvar kFlagVars[] = {
    {"TOLVNOCOMPINDEX", ENV_NOCOMPINDEX, false},
    {"TOLVNOINDEXONLY", ENV_NOINDEXONLY, false},
    {"TOLVNOAGGOPT", ENV_NOAGGOPT, false},
    {"TOLVNOGROUPOPT", ENV_NOGROUPOPT, false},
    {"TOLVNOVCHARTMP", ENV_NOVCHARTMP, false},
    {"TOLVNOORDINDEX", ENV_NOORDINDEX, false},
    {"TOLVNOFASTINDEX", ENV_NOFASTINDEX, false},
    {"TOLVNOALTERCHECK", ENV_NOALTERCHECK, false},
    {"TOLVNOROWIDACCESS", ENV_NOROWIDACCESS, false},
    {"TOLVNOCONSECSHM", ENV_NOCONSECSHM, false},
    {"TOLVOLDDATE", ENV_NEWDATE, true},
    {"TOLVREPAIRFL", ENV_REPAIRFL, false},
    {"TOLVNOTCPNODELAY", ENV_NOTCPNODELAY, false},
    {"TOLVNOCONFCHECK", ENV_NOCONFCHECK, false},
};

basettings &s = ba_settings;

void envmsg(FILE *msgfile, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// One diagnostic of the loader; nothing when there is no message stream.
void envmsg(FILE *msgfile, const char *fmt, ...) {
  if (msgfile == nullptr) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(msgfile, fmt, ap);
  va_end(ap);
}

// An integer value read like atoi (optional sign and leading digits, 0 when none); values
// beyond the int range are clamped instead of overflowing.
int env_int(const char *value) {
  long n = strtol(value, nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

// An owned copy of a variable's value; null when it is unset or no memory is left.
char *env_copy(const char *name) {
  const char *value = getenv(name);
  return value != nullptr ? ba_strdup(value) : nullptr;
}

char *env_copy_or(const char *name, const char *dflt) {
  const char *value = getenv(name);
  return ba_strdup(value != nullptr ? value : dflt);
}

// Step 4.
int read_home(FILE *msgfile) {
  s.home = env_copy("TOLVHOME");
  if (s.home != nullptr) return 0;
  envmsg(msgfile, "TOLVHOME not set\n");
  return -1;
}

// Splits ba_dbsbuf into name, host (after the first '@') and service (after the first ':' of
// the host). Without '@' a ':' belongs to the name.
void split_dbs() {
  s.dbsname = ba_dbsbuf;
  char *at = strchr(ba_dbsbuf, '@');
  if (at == nullptr) return;
  *at = '\0';
  s.dbshost = at + 1;
  char *colon = strchr(s.dbshost, ':');
  if (colon == nullptr) return;
  *colon = '\0';
  s.dbsservice = colon + 1;
}

// Step 5. A value that does not fit ba_dbsbuf is refused: a cut value could name another
// host or service without anyone noticing.
int read_dbs(FILE *msgfile) {
  s.dbsservice = kServiceDefault;
  const char *value = getenv("TOLVDBS");
  if (value == nullptr) return 0;
  size_t n = strlen(value);
  if (n >= sizeof ba_dbsbuf) {
    envmsg(msgfile, "TOLVDBS (%s) too long\n", value);
    return -1;
  }
  memcpy(ba_dbsbuf, value, n + 1);
  split_dbs();
  if (strlen(s.dbsname) > BA_DBSNAMEMAX) {
    envmsg(msgfile, "DBS name (%s) too long\n", s.dbsname);
    return -1;
  }
  // The name becomes a file name below etc/ and log/ of the installation: "../x" or "a/b"
  // would lead out of them (and a set-user-id program would follow as root). An empty name
  // names no DBS; the configuration reader finds no file for it.
  if (s.dbsname[0] == '\0' || ba_plainname(s.dbsname) != 0) return 0;
  envmsg(msgfile, "DBS name (%s) is not a plain name\n", s.dbsname);
  return -1;
}

// Step 6.
void read_delim() {
  const char *value = getenv("TOLVDELIM");
  s.delim = value != nullptr ? static_cast<unsigned char>(value[0]) : '|';
}

// The language file of a language directory when TOLVNLS is unset.
const char *default_nls(const char *lang) {
  static constexpr const char *kKnown[] = {"geribm", "ger7", "eng"};
  for (const char *known : kKnown)
    if (lang != nullptr && strcmp(lang, known) == 0) return known;
  return kLangDefault;
}

// A language or language-file name read from var must be a plain name: it is a directory or
// file name below msg/ of the installation, which "../x" or "a/b" would leave.
int check_plain(FILE *msgfile, const char *var, const char *value) {
  if (value == nullptr || ba_plainname(value) != 0) return 0;  // null: no memory, as before
  envmsg(msgfile, "%s (%s) is not a plain name\n", var, value);
  return -1;
}

// Steps 7 and 8.
int read_lang(FILE *msgfile) {
  s.lang = env_copy_or("TOLVLANG", kLangDefault);
  if (check_plain(msgfile, "TOLVLANG", s.lang) != 0) return -1;
  s.nls = env_copy_or("TOLVNLS", default_nls(s.lang));
  return check_plain(msgfile, "TOLVNLS", s.nls);
}

const char *or_empty(const char *str) { return str != nullptr ? str : ""; }

// Step 9. A path longer than BA_ENVPATHMAX is refused like a file that cannot be opened (a cut
// path would open some other file); the message names the whole path.
int read_nlsfile(FILE *msgfile) {
  const char *lang = or_empty(s.lang), *nls = or_empty(s.nls);
  char path[BA_ENVPATHMAX + 1];
  bool fits = ba_pathfmt(path, sizeof path, ENV_NLSPATH, s.home, lang, nls);
  FILE *file = fits ? fopen(path, "re") : nullptr;
  if (file == nullptr) {
    envmsg(msgfile, "Cannot open language file " ENV_NLSPATH "\n", s.home, lang, nls);
    return -1;
  }
  int rc = ba_nlsread(&s, file);
  fclose(file);
  if (rc == 0) return 0;
  envmsg(msgfile, "Corrupt language file %s. Error %d in line %d\n", path, rc, ba_nlsline);
  return -1;
}

// The integer value of a variable when it is set and at least min; dflt otherwise.
int env_int_from(const char *name, int dflt, int min) {
  const char *value = getenv(name);
  if (value == nullptr || env_int(value) < min) return dflt;
  return env_int(value);
}

// Steps 10 to 14: sizes with their thresholds, the date and currency formats.
void read_sizes_and_formats() {
  s.opentab = env_int_from("TOLVOPENTAB", kOpentabDefault, kOpentabMin);
  const char *date = getenv("TOLVDATE");
  if (date != nullptr && ba_isdatefmt(date)) ba_setdate(date);  // other lengths are ignored
  const char *money = getenv("TOLVMONEY");
  if (money != nullptr) {
    char *copy = ba_strdup(money);  // no memory: the field stays absent
    if (s.currency != nullptr) ba_release(s.currency);
    s.currency = copy;
  }
  // The default (step 11) and TOLVMEM (step 14) in one: nothing between them can fail.
  s.mem = env_int_from("TOLVMEM", kMemDefault, kMemMin);
}

// Step 16.
int read_termcap() {
  if (getenv("TOLVTERMCAP") != nullptr) {
    s.termcap = env_copy("TOLVTERMCAP");
    return 0;
  }
  int size = static_cast<int>(strlen(s.home)) + kTermcapExtra;
  s.termcap = static_cast<char *>(ba_alloc(size));
  if (s.termcap == nullptr) {
    fputs("malloc() failed\n", stderr);
    return -1;
  }
  snprintf(s.termcap, size, "%s/etc/termcap", s.home);
  return 0;
}

// Steps 17 and 18.
void read_strings() {
  s.isolevel = env_copy("TOLVISOLEVEL");
  s.term = env_copy("TOLVTERM");
  s.user = env_copy("TOLVUSER");
  s.editor = env_copy_or("TOLVEDIT", "vi");
  s.tmpdir = env_copy_or("TOLVTMP", "/tmp");
}

// Steps 19 to 21.
void read_switches() {
  s.strplain = getenv("TOLVSTRING") != nullptr ? 1 : 0;
  const char *value = getenv("TOLVIGNOREOWNERCASE");
  s.ignownercase = value != nullptr && strcmp(value, "1") == 0 ? 1 : 0;
  s.flags = 0;
  for (const flagvar &f : kFlagVars)
    if ((getenv(f.name) != nullptr) != f.whenunset) s.flags |= f.bit;
}

}  // namespace

// The load runs in a fixed order, numbered in the helpers' comments: 1 release the previous
// load, 2 TOLVDEBUG, 3 constants, 4 TOLVHOME, 5 TOLVDBS (ba_envhome: what names the
// installation and the DBS, nothing read from files), then 6 TOLVDELIM, 7-8 language and file
// name, 9 language file, 10-14 sizes and formats, 15 TOLVHOSTIP, 16 termcap, 17-18 strings,
// 19-21 switches and flags (ba_envrest). A failing step returns at once; the fields of later
// steps stay zero.
int ba_envhome(FILE *msgfile) {
  ba_freeenv();
  s = basettings{};
  memset(ba_dbsbuf, 0, sizeof ba_dbsbuf);
  const char *debug = getenv("TOLVDEBUG");
  s.debug = debug != nullptr ? env_int(debug) : 0;  // selects the allocator from here on
  s.numpoint = '.';
  s.strplain = 0;
  return read_home(msgfile) != 0 || read_dbs(msgfile) != 0 ? -1 : 0;
}

int ba_envrest(FILE *msgfile) {
  read_delim();
  if (read_lang(msgfile) != 0 || read_nlsfile(msgfile) != 0) return -1;
  read_sizes_and_formats();
  s.hostip = env_copy("TOLVHOSTIP");
  if (read_termcap() != 0) return -1;
  read_strings();
  read_switches();
  return 0;
}

int ba_readenv(FILE *msgfile) {
  return ba_envhome(msgfile) != 0 || ba_envrest(msgfile) != 0 ? -1 : 0;
}

int ba_initenv() { return ba_readenv(stderr); }

void ba_freeenv() {
  ba_nlsclear(&s);
  for (char *basettings::*field : kOwnedStrings) {
    char *&str = s.*field;
    if (str != nullptr) ba_release(str);
    str = nullptr;
  }
}
