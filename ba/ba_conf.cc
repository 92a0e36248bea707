// ba_conf: the DBS configuration file reader.
//
// Principal entry points: ba_readconf (parse <home>/etc/<dbs>.cfg into `dbsconfig`, and check
// it in checking mode), ba_confcheck (value checks and adjustments of a parsed record),
// ba_confpart (disk checks of one partition), ba_confolap and ba_samefile (overlap of
// partitions that share a file), ba_freeconf (release of the record's vectors), and
// ba_getline, the line reader shared with the language-file parser (ba_nls).
//
// Invariants:
//  (1) dbsconfig.dbspaces holds ndbspace entries and each entry's parts holds nparts
//      entries; both vectors grow only through ba_rszvek, so a new entry is zero-filled.
//  (2) Every text field of the record and ba_conferr is NUL-terminated; every copy into them
//      is bounded by the field's size.
//  (3) ba_readconf closes its file on every path.
//
// See also: dbsconfig.h (the record), ba_mem (ba_rszvek, the allocator choice), ba_conv
// (ba_strupper for dbspace names), ba_msg (texts of the error numbers).
#include "ba/ba_conf.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ba/ba_conv.h"
#include "ba/ba_mem.h"
#include "ba/ba_sys.h"
#include "ba/error.h"
#include "ba/globals.h"

namespace {

// The scan formats below carry the widths of these buffers as literals.
static_assert(CF_LINEMAX == 100, "the %100s widths assume 100-character lines");
static_assert(sizeof(dbsconf::z_text) == 116, "the %115s width of the Z line");

constexpr int CF_KB = 1024;             // bytes of a kilobyte
constexpr int CF_PARTMINKB = 300;       // smallest partition
constexpr int CF_PARTENDKB = 2097152;   // a partition ends within the first 2 GiB of its file
constexpr int CF_LOGSPARE = 1500;       // kilobytes of the first partition kept besides the log
constexpr int CF_ONUM4MIN = 32 * CF_KB; // smallest o_num4, in bytes
constexpr mode_t CF_PARTMODE = 0660;    // permission bits of a partition file
constexpr const char *CF_OWNER = "tolv";  // owner (and primary group) of the partition files

// Writes the detail text of a failure into ba_conferr, cut at its size. errno is kept, since
// the caller's message prints it beside the detail.
__attribute__((format(printf, 1, 2))) void set_conferr(const char *fmt, ...) {
  int saved = errno;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(ba_conferr, sizeof ba_conferr, fmt, ap);
  va_end(ap);
  errno = saved;
}

// Sets ba_conferr to detail and returns err.
int fail(int err, const char *detail) {
  set_conferr("%s", detail);
  return err;
}

// Copies a word of known fitting length into a fixed field.
template <size_t N>
void store(char (&field)[N], const char *word) {
  snprintf(field, N, "%s", word);
}

bool outside(int v, int lo, int hi) { return v < lo || v > hi; }

// ---- Reading -------------------------------------------------------------------------------

void set_defaults(dbsconf &cfg) {
  cfg.o_num2 = 10;
  cfg.o_num3 = 3;
  cfg.o_num4 = 256;
  cfg.r_num1 = 32;
  cfg.r_num2 = 30;
  cfg.r_num3 = 0;
  cfg.r_num4 = 1;
  cfg.c_num1 = 300;
  cfg.c_num2 = 1;
  cfg.c_num3 = 4;
  cfg.c_num4 = 32;
  cfg.c_num5 = 8;
}

// o_num4 is written in kilobytes and kept in bytes. A value whose byte count does not fit an
// int saturates, so that it stays on its side of the range check instead of wrapping.
int kb_to_bytes(int kb) {
  int64_t bytes = static_cast<int64_t>(kb) * CF_KB;
  if (bytes > INT_MAX) return INT_MAX;
  if (bytes < INT_MIN) return INT_MIN;
  return static_cast<int>(bytes);
}

// Builds <home>/etc/<dbs>.cfg into path (CF_FILEPATHMAX + 1 bytes). A path longer than
// CF_FILEPATHMAX is refused rather than cut, since a cut path names another file; so is a
// path without home or DBS name (the settings were not loaded, or TOLVDBS is unset), since
// it would name a file outside the installation such as /etc/<dbs>.cfg. Both fail like a
// file that cannot be opened: the path as far as it is known in ba_conferr, and the errno
// that opening such a path would leave, for the caller's message.
int config_path(const char *dbsname, char *path) {
  const char *name = dbsname != nullptr && dbsname[0] != '\0' ? dbsname : ba_settings.dbsname;
  bool known = ba_settings.home != nullptr && name != nullptr;
  const char *home = ba_settings.home != nullptr ? ba_settings.home : "";
  if (name == nullptr) name = "";
  bool fits = ba_pathfmt(path, CF_FILEPATHMAX + 1, "%s/etc/%s.cfg", home, name);
  if (known && fits) return 0;
  errno = known ? ENAMETOOLONG : ENOENT;
  set_conferr("%s/etc/%s.cfg", home, name);
  return ER_CF_NOFILE;
}

int find_dbspace(const dbsconf &cfg, const char *name) {
  for (int i = 0; i < cfg.ndbspace; i++)
    if (strcmp(cfg.dbspaces[i].name, name) == 0) return i;
  return -1;
}

// Scans the name word of an A, F or L line into name (CF_LINEMAX + 1 bytes), upper-cased.
// A line without a name word is refused like any name outside 1..10 characters, with an
// empty detail: it names no dbspace, and nothing of an earlier line may stand in for it.
int scan_spacename(const char *line, char *name) {
  if (sscanf(line, "%*c %100s", name) != 1) return fail(ER_CF_NAMELEN, "");
  if (strlen(name) > CF_NAMEMAX) return fail(ER_CF_NAMELEN, name);
  ba_strupper(name);
  return 0;
}

// Appends a partition entry to s and fills it from the path, size and offset of line. An F
// or A line without a path leaves the new entry zero-filled (empty path, size and offset 0);
// in checking mode ba_confpart then refuses the empty path as not absolute.
int add_partition(cfgspace &s, const char *line, int mode) {
  if (ba_rszvek(&s.parts, s.nparts, sizeof(cfgpart)) != 0) return ER_NOMEM;
  cfgpart &part = s.parts[s.nparts++];
  char path[CF_LINEMAX + 1] = "";
  sscanf(line, "%*c %*s %100s %d %d", path, &part.size, &part.offset);
  if (strlen(path) > CF_PATHMAX) return fail(ER_CF_PATHLEN, path);
  store(part.path, path);
  return mode != 0 ? ba_confpart(&part) : 0;
}

int open_dbspace(dbsconf &cfg, const char *name, const char *line, int mode) {
  if (find_dbspace(cfg, name) >= 0) return fail(ER_CF_DUPSPACE, name);
  if (cfg.ndbspace >= CF_MAXSPACES) return ER_CF_NODBSPACE;
  if (ba_rszvek(&cfg.dbspaces, cfg.ndbspace, sizeof(cfgspace)) != 0) return ER_NOMEM;
  cfgspace &s = cfg.dbspaces[cfg.ndbspace++];
  store(s.name, name);
  return add_partition(s, line, mode);
}

// F opens a dbspace with its first partition, A adds a partition to an open dbspace, L puts
// the logical log into an open dbspace.
int read_spaceline(dbsconf &cfg, const char *line, int mode) {
  char name[CF_LINEMAX + 1];
  int rc = scan_spacename(line, name);
  if (rc != 0) return rc;
  if (line[0] == 'F') return open_dbspace(cfg, name, line, mode);
  int space = find_dbspace(cfg, name);
  if (space < 0) return fail(ER_CF_NOSPACE, name);
  if (line[0] == 'A') return add_partition(cfg.dbspaces[space], line, mode);
  cfg.logspace = space;
  sscanf(line, "%*c %*s %d %d", &cfg.l_num1, &cfg.l_num2);
  return 0;
}

// B and T: a path and two numbers. A path longer than the field is refused while reading,
// in every mode, like an over-long partition path: cut, it could name another existing file,
// and the earlier line's value would be a stale one. The detail is the whole word.
template <size_t N>
int scan_pathline(const char *line, char (&path)[N], int &num1, int &num2) {
  char word[CF_LINEMAX + 1];
  if (sscanf(line, "%*s %100s %d %d", word, &num1, &num2) < 1) return 0;
  if (strlen(word) >= N) return fail(ER_CF_BTPATH, word);
  store(path, word);
  return 0;
}

// The kinds whose fields are numbers or one short word. Fields missing at the end of the line
// keep their values, as sscanf stops at the first one it cannot read.
void scan_valueline(dbsconf &cfg, const char *line) {
  switch (line[0]) {
    case 'C':
      sscanf(line, "%*s %d %d %d %d %d", &cfg.c_num1, &cfg.c_num2, &cfg.c_num3, &cfg.c_num4,
             &cfg.c_num5);
      break;
    case 'D':
      sscanf(line, "%*s %d", &cfg.dbskey);
      break;
    case 'O':
      sscanf(line, "%*s %d %d %d %d", &cfg.o_num1, &cfg.o_num2, &cfg.o_num3, &cfg.o_num4);
      break;
    case 'P':
      sscanf(line, "%*s %d", &cfg.p_num);
      break;
    case 'R':
      sscanf(line, "%*s %d %d %d %d", &cfg.r_num1, &cfg.r_num2, &cfg.r_num3, &cfg.r_num4);
      break;
    case 'S':
      sscanf(line, "%*s %d %d %d %d 0x%x %d %d", &cfg.s_num1, &cfg.s_num2, &cfg.s_num3,
             &cfg.s_num4, &cfg.shmaddr, &cfg.s_num5, &cfg.s_num6);
      break;
    case 'Z':
      // A Z word fits: a line holds at most 100 characters, the field 115.
      sscanf(line, "%*s %115s", cfg.z_text);
      break;
    default:  // comments, blank lines and unknown kinds
      break;
  }
}

int read_line(dbsconf &cfg, const char *line, int mode) {
  switch (line[0]) {
    case 'A':
    case 'F':
    case 'L':
      return read_spaceline(cfg, line, mode);
    case 'B':
      return scan_pathline(line, cfg.b_path, cfg.b_num1, cfg.b_num2);
    case 'T':
      return scan_pathline(line, cfg.t_path, cfg.t_num1, cfg.t_num2);
    default:
      scan_valueline(cfg, line);
      return 0;
  }
}

int read_lines(dbsconf &cfg, FILE *file, int mode) {
  char line[CF_LINEMAX + 1];
  while (ba_getline(line, file, CF_LINEMAX) == 0) {
    int rc = read_line(cfg, line, mode);
    if (rc != 0) return rc;
  }
  return 0;
}

// Closes the configuration file without disturbing the errno of a failure met while reading
// it, which the caller's message prints.
void close_keeping_errno(FILE *file) {
  int saved = errno;
  fclose(file);
  errno = saved;
}

// ---- Partition checks ----------------------------------------------------------------------

// Path, size and range of a partition; the detail of every failure is the path.
int check_partrange(const cfgpart &part) {
  int err = 0;
  if (part.path[0] != '/')
    err = ER_CF_RELPATH;
  else if (part.size % 2 != 0)  // size * 1024 a multiple of 2048, without the product
    err = ER_CF_ODDSIZE;
  else if (part.size < CF_PARTMINKB)
    err = ER_CF_SMALLSIZE;
  else if (static_cast<int64_t>(part.size) + part.offset > CF_PARTENDKB)
    err = ER_CF_PARTEND;
  return err != 0 ? fail(err, part.path) : 0;
}

}  // namespace

int ba_confowner(const char *path, const struct stat *st) {
  const passwd *pw = getpwnam(CF_OWNER);
  if (pw == nullptr) return ER_CF_NOTOLV;
  if (st->st_uid != pw->pw_uid) {
    set_conferr("%s (%d found)", path, static_cast<int>(st->st_uid));
    return ER_CF_OWNER;
  }
  if (st->st_gid != pw->pw_gid) {
    set_conferr("%s (%d found)", path, static_cast<int>(st->st_gid));
    return ER_CF_GROUP;
  }
  if ((st->st_mode & 0777) != CF_PARTMODE) {
    set_conferr("%s (0%o found)", path, static_cast<unsigned>(st->st_mode));
    return ER_CF_MODE;
  }
  return 0;
}

namespace {

// Examines a partition file before it is ever opened for update, into st. Run set-user-id
// the path must be the file itself: no symbolic link in it, neither at its end (lstat) nor in
// a directory (its real path is the path), and a regular file or a block device. Whatever
// keeps the file from being opened is -3018 with the errno an open would leave (a directory:
// EISDIR, a link: ELOOP, anything else set-user-id refuses: EINVAL); `ba_conferr` = the path.
int examine_partfile(const char *path, struct stat *st) {
  bool strict = ba_setuidrun() != 0;
  if ((strict ? lstat(path, st) : stat(path, st)) != 0) return fail(ER_CF_OPEN, path);
  int err = 0;
  if (S_ISLNK(st->st_mode))
    err = ELOOP;
  else if (S_ISDIR(st->st_mode))
    err = EISDIR;
  else if (strict && !S_ISREG(st->st_mode) && !S_ISBLK(st->st_mode))
    err = EINVAL;
  char real[PATH_MAX];
  if (err == 0 && strict && (realpath(path, real) == nullptr || strcmp(real, path) != 0))
    err = ELOOP;
  if (err == 0) return 0;
  errno = err;
  return fail(ER_CF_OPEN, path);
}

// Examined first (existence, kind, owner, group, mode), opened for update only then (never
// through a link when run set-user-id), and checked once more on the open descriptor, which
// must be the file examined.
int check_partfile(const cfgpart &part) {
  struct stat st;
  int rc = examine_partfile(part.path, &st);
  if (rc == 0) rc = ba_confowner(part.path, &st);
  if (rc != 0) return rc;
  int nofollow = ba_setuidrun() != 0 ? O_NOFOLLOW : 0;
  int fd = open(part.path, O_RDWR | O_NOCTTY | O_CLOEXEC | nofollow);
  if (fd < 0) return fail(ER_CF_OPEN, part.path);
  struct stat opened;
  rc = fstat(fd, &opened) != 0 ? fail(ER_CF_STAT, part.path) : 0;
  close(fd);
  if (rc != 0) return rc;
  if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    errno = ESTALE;  // replaced between the examination and the open
    return fail(ER_CF_STAT, part.path);
  }
  return ba_confowner(part.path, &opened);
}

// Compares q with part: 0 when they do not overlap, -3008 or -3019 otherwise.
int check_pair(const cfgpart &q, const cfgpart &part) {
  int same = ba_samefile(q.path, part.path);
  if (same != 0) return same == 1 ? 0 : same;
  // q covers [a, c), part covers [b, d), in kilobytes; touching ranges do not overlap.
  int64_t a = q.offset, c = a + q.size;
  int64_t b = part.offset, d = b + part.size;
  if (b < c && a < d) {
    set_conferr("%s - %s", q.path, part.path);
    return ER_CF_OVERLAP;
  }
  return 0;
}

// ---- Value checks --------------------------------------------------------------------------

void adjust_rvalues(dbsconf &cfg) {
  if (cfg.r_num1 < 32) cfg.r_num1 = 32;
  if (cfg.r_num2 > 100) cfg.r_num2 = 100;
  if (cfg.r_num2 < 0) cfg.r_num2 = 0;
}

void adjust_cvalues(dbsconf &cfg) {
  if (cfg.c_num3 > cfg.s_num3 / 20) cfg.c_num3 = cfg.s_num3 / 20;
  if (cfg.c_num3 <= 0) cfg.c_num3 = 1;
  cfg.c_num3 = static_cast<int>(std::bit_floor(static_cast<unsigned>(cfg.c_num3)));
  if (cfg.c_num1 < 30) cfg.c_num1 = 30;
  if (cfg.c_num2 < 0) cfg.c_num2 = 0;
  if (cfg.c_num5 < 1) cfg.c_num5 = 1;
  if (cfg.c_num4 < 4) cfg.c_num4 = 4;
}

int check_ovalues(dbsconf &cfg) {
  if (outside(cfg.o_num3, 1, 20)) return ER_CF_ONUM3;
  if (cfg.o_num4 < CF_ONUM4MIN) return ER_CF_ONUM4;
  if (outside(cfg.o_num2, 10, 90)) cfg.o_num2 = 10;
  return 0;
}

// Size of the first partition of the first dbspace. A first dbspace without a partition
// (its entry could not be allocated) has room for nothing.
int64_t first_partsize(const dbsconf &cfg) {
  const cfgspace &first = cfg.dbspaces[0];
  return first.nparts > 0 ? first.parts[0].size : 0;
}

// Key, dbspaces and the logical log.
int check_layout(const dbsconf &cfg) {
  if (outside(cfg.dbskey, 1, 10000)) return ER_CF_DBSKEY;
  if (cfg.ndbspace <= 0) return ER_CF_NODBSPACE;
  if (cfg.p_num < 200) return ER_CF_PNUM;
  if (outside(cfg.l_num1, 3, 64)) return ER_CF_LNUM1;
  if (cfg.l_num2 < 200) return ER_CF_LNUM2;
  if (cfg.logspace != 0) {
    bool known = cfg.logspace > 0 && cfg.logspace < cfg.ndbspace;
    return fail(ER_CF_LOGSPACE, known ? cfg.dbspaces[cfg.logspace].name : "");
  }
  int64_t need = static_cast<int64_t>(cfg.l_num1) * cfg.l_num2 + cfg.p_num;
  if (need > first_partsize(cfg) - CF_LOGSPARE) return ER_CF_LOGFIT;
  return 0;
}

int check_pathvalues(const dbsconf &cfg) {
  struct stat st;
  if (stat(cfg.b_path, &st) != 0) return fail(ER_CF_BTPATH, cfg.b_path);
  if (stat(cfg.t_path, &st) != 0) return fail(ER_CF_BTPATH, cfg.t_path);
  if (cfg.b_num1 < 4 || cfg.t_num1 < 4) return ER_CF_BTNUM1;
  if (cfg.b_num2 < 100 || cfg.t_num2 < 100) return ER_CF_BTNUM2;
  return 0;
}

// v lies below both bounds, that is below the smaller one.
bool below_both(int v, int bound1, int bound2) { return v < bound1 && v < bound2; }

// The S values; s_num1 is checked first, so the products below stay small.
int check_svalues(const dbsconf &cfg) {
  if (outside(cfg.s_num1, 4, 9999)) return ER_CF_SNUM1;
  if (below_both(cfg.s_num2, 100 * cfg.s_num1, 2000) || cfg.s_num2 > 9999999)
    return ER_CF_SNUM2;
  if (below_both(cfg.s_num4, 10 * cfg.s_num1, 50) || cfg.s_num4 > 99999) return ER_CF_SNUM4;
  if (below_both(cfg.s_num3, 20 * cfg.s_num1, 200) || cfg.s_num3 > 99999) return ER_CF_SNUM3;
  if (cfg.s_num5 < 1) return ER_CF_SNUM5;
  return 0;
}

int check_overlaps(dbsconf &cfg) {
  for (int i = 0; i < cfg.ndbspace; i++) {
    cfgspace &s = cfg.dbspaces[i];
    for (int j = 0; j < s.nparts; j++) {
      int rc = ba_confolap(&cfg, &s.parts[j], i, j);
      if (rc != 0) return rc;
    }
  }
  return 0;
}

// Opens the configuration file for reading. Run set-user-id, the file decides what the
// program touches with root's rights, so it must be a regular file reached without a link in
// its last component (else ELOOP) and owned by root or the user tolv (else EACCES). Null with
// errno on failure.
FILE *open_config(const char *path) {
  bool strict = ba_setuidrun() != 0;
  int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC | (strict ? O_NOFOLLOW | O_NONBLOCK : 0));
  if (fd < 0) return nullptr;
  struct stat st;
  if (strict && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ba_trusteduid(st.st_uid) == 0)) {
    close(fd);
    errno = EACCES;
    return nullptr;
  }
  FILE *file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

int ba_readconf(int mode, const char *dbsname) {
  ba_conferr[0] = '\0';
  char path[CF_FILEPATHMAX + 1];
  int rc = config_path(dbsname, path);
  if (rc != 0) return rc;
  FILE *file = open_config(path);
  if (file == nullptr) return fail(ER_CF_NOFILE, path);
  ba_freeconf();
  set_defaults(dbsconfig);
  rc = read_lines(dbsconfig, file, mode);
  close_keeping_errno(file);
  if (rc != 0) return rc;
  dbsconfig.o_num4 = kb_to_bytes(dbsconfig.o_num4);
  return mode != 0 ? ba_confcheck(&dbsconfig) : 0;
}

void ba_freeconf() {
  for (int i = 0; i < dbsconfig.ndbspace; i++)
    if (dbsconfig.dbspaces[i].parts != nullptr) ba_release(dbsconfig.dbspaces[i].parts);
  if (dbsconfig.dbspaces != nullptr) ba_release(dbsconfig.dbspaces);
  memset(&dbsconfig, 0, sizeof dbsconfig);
}

int ba_confcheck(dbsconf *cfg) {
  adjust_rvalues(*cfg);
  adjust_cvalues(*cfg);
  int rc = check_ovalues(*cfg);
  if (rc == 0) rc = check_layout(*cfg);
  if (rc == 0) rc = check_pathvalues(*cfg);
  if (rc == 0) rc = check_svalues(*cfg);
  if (rc == 0) rc = check_overlaps(*cfg);
  return rc;
}

int ba_confpart(cfgpart *part) {
  int rc = check_partrange(*part);
  return rc != 0 ? rc : check_partfile(*part);
}

int ba_confolap(dbsconf *cfg, cfgpart *part, int space, int index) {
  for (int i = 0; i < cfg->ndbspace; i++) {
    const cfgspace &s = cfg->dbspaces[i];
    for (int j = 0; j < s.nparts; j++) {
      if (i == space && j == index) continue;
      int rc = check_pair(s.parts[j], *part);
      if (rc != 0) return rc;
    }
  }
  return 0;
}

// Two names of one file share device and inode. The inode number alone is not enough:
// files on different file systems may carry the same number.
int ba_samefile(const char *path1, const char *path2) {
  struct stat st1, st2;
  if (stat(path1, &st1) != 0) return fail(ER_CF_STAT, path1);
  if (stat(path2, &st2) != 0) return fail(ER_CF_STAT, path2);
  return st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino ? 0 : 1;
}

int ba_getline(char *buf, FILE *file, int max) {
  int n = 0;
  int c;
  while ((c = getc(file)) != EOF && c != '\n') {
    if (n < max) buf[n++] = static_cast<char>(c);
  }
  buf[n] = '\0';
  return c == '\n' ? 0 : -1;
}
